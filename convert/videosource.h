// The video track's source: H.264 or H.265 Annex B input, one file, a stream or segments read one
// after the other, cut into NAL units, gathered into pictures by the codec's picture reader and
// timed by the timeline, each picture one sample of the track.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "convert/hdrmetadata.h"
#include "convert/nalunit.h"
#include "convert/picturereader.h"
#include "convert/timestamps.h"
#include "convert/trackformat.h"
#include "convert/tracksource.h"
#include "demux/demuxer.h"
#include "mp4/mp4v2.h"

class AccessUnitWriter;
class Timeline;

struct VideoOptions {
    TimestampFile* timestamps = nullptr;        // the pictures' times, when it holds any
    uint32_t overrideNum = 0, overrideDen = 0;  // the frame rate instead of the stream's
    int64_t fragmentMillis = 0;                 // fragments of at least this long; 0: none
    const std::string* outputName = nullptr;    // the output's path, for messages
    // An input that wraps its stream with sound beside it (a camera's or a DVR's file, told by
    // its first bytes) hands each sound frame here, with the input's number, the time its
    // record carries on the pictures' time line and the format its file gives; null once the
    // inputs have ended. Such inputs time the pictures, unless a timestamp file does.
    std::function<void(size_t input, const DemuxPacket* frame, const AudioSampleEntry& format)>
        sound;
};

class VideoSource : public TrackSource {
public:
    explicit VideoSource(const VideoOptions& options);
    ~VideoSource() override;

    // The file the track goes into, and the options, before anything is written.
    void SetFile(MP4FileHandle h) { file = h; }
    void SetOptions(const VideoOptions& o) { options = o; }
    // Called once the video track is in the file, before its first sample: the place for the
    // other tracks, which must be there before a fragmented file's first fragment. Returning
    // false fails the conversion with its Failure().
    void SetTrackHook(std::function<bool()> hook) { trackHook = std::move(hook); }
    // Called before each fragment is written with the time (seconds) at which it ends.
    void SetFragmentHook(std::function<void(double)> hook) { fragmentHook = std::move(hook); }

    // Opens the first of the inputs (segments of one stream, "-": standard input) to be read;
    // false when it cannot be (Pump then fails and tells why).
    bool SetInputs(std::vector<std::string> paths);
    // Whether the input being read is a pipe, FIFO or socket, read as it comes.
    bool StreamInput() const { return streamInput; }

    Step Pump(int waitMs) override;
    // The pictures a call of Pump writes stop once they pass `seconds` (with the units in
    // front of the one that passed it): the muxer keeps the tracks together.
    void SetLimit(double seconds) { limit = seconds; }
    // Ends the input being read as its end would, and reads no more (a recording stopped).
    void Stop();
    bool Finish() override;
    double WrittenSeconds() const override;
    int StreamFd() const override { return streamInput ? fd : -1; }
    // The bytes read of all inputs, and all of them: the progress of a file.
    void Progress(uint64_t* done, uint64_t* total);

    // Writes the NAL units of the Annex B region [buffer, buffer + end). Returns the bytes the
    // units found cover (0 when there is none, or on a failure that ends the writing).
    int32_t WriteNalUnits(const uint8_t* buffer, uint32_t end);
    bool Failed() const { return failed; }
    // Why writing to the file failed with `err`.
    QString WriteFailure(int err) const;

    // What was written.
    Codec StreamCodec() const { return probe.StreamCodec(); }
    MP4TrackId TrackId() const { return trackId; }
    const AccessUnitWriter* Writer() const { return writer.get(); }
    uint32_t TrackTimeScale() const { return trackTimeScale; }
    double FramesPerSecond() const { return framesPerSecond; }
    int32_t Width() const { return width; }
    int32_t Height() const { return height; }
    bool RateAssumed() const { return rateAssumed; }
    uint64_t InputSizeAtStart() const { return sizeAtStartAll; }
    uint64_t InputSizeAtEnd() const { return sizeAtEndAll; }
    uint64_t InputBytesRead() const { return bytesBefore; }
    uint64_t PicturesSoFar() const;
    double SecondsSoFar() const;
    // Whether the pictures' times came from their input's records.
    bool TimedByInput() const { return comingTimes; }
    // The recorder's clock at the first picture of the first input, when its records tell it.
    bool RecordedAt(CivilTime* when) const;

private:
    void Fail(const QString& reason);
    bool OpenInput(size_t index);
    void EndInput();
    bool WriteBuffered();
    bool CheckStall();
    bool TakeUnit(const NalUnit& nal);
    Step ReadWrapped(int waitMs);
    bool HandAll();
    Step ReadFailed();
    Step NextInput();
    bool CheckWrapper(uint32_t bytes);
    bool TakePackets(bool all);
    void TakeTimes();
    void EndWrapped();
    bool StartWriter();
    bool AddVideoTrack(const NalUnit& sps);
    void CheckLaterSps(const NalUnit& sps);
    void GiveHdrMetadata();
    QString WriteFailure() const;
    Timeline MakeTimeline(uint32_t fpsNum, uint32_t fpsDen);

    MP4FileHandle file;
    VideoOptions options;
    bool finished = false;
    std::function<bool()> trackHook;
    std::function<void(double)> fragmentHook;
    bool failed = false;
    MP4TrackId trackId = 0;
    int32_t width = 0, height = 0;
    bool rateAssumed = false;
    uint32_t trackTimeScale = 0;  // ticks per second of the video track
    uint32_t frameDuration = 0;   // ticks per sample
    double framesPerSecond = 0;
    StreamProbe probe;       // the codec, and what the first SPS says
    SignalType firstSignal;  // the first SPS's video signal type, which the track gives
    bool signalChanged = false;
    std::vector<uint8_t> lastSps;  // the latest SPS looked at for its size and colours
    uint32_t lastWidth = 0;        // the size it gives
    uint32_t lastHeight = 0;
    uint32_t sizeChanges = 0;
    HdrMetadata hdr;
    bool mdcvGiven = false;  // handed to the track
    bool clliGiven = false;
    // Units in front of the one that tells the codec, kept (the latest, up to a bound) for it.
    struct EarlyUnit {
        int32_t type;
        std::vector<uint8_t> bytes;
    };
    std::deque<EarlyUnit> early;
    size_t earlyBytes = 0;
    std::unique_ptr<AccessUnitWriter> writer;

    // The inputs and the one being read: its buffer, what it covers, its sizes.
    std::vector<std::string> paths;
    size_t current = 0;
    int fd = -1;
    int openError = 0;
    bool streamInput = false;
    bool stopped = false;
    // A stream's last new picture: how many there were, and since when on the clock.
    uint64_t stallPictures = 0;
    std::chrono::steady_clock::time_point stallSince = std::chrono::steady_clock::now();
    std::vector<uint8_t> buffer;
    uint32_t fill = 0;
    std::unique_ptr<Demuxer> unwrap;  // the input's reader when it wraps its stream
    bool wrapperChecked = false;      // whether the input is known not to be wrapped
    // The complete units of the buffer, of which those from unitsStart on are not written yet
    // (`held`: a limit stopped them).
    uint32_t unitsStart = 0, unitsEnd = 0;
    bool held = false;
    bool packetsHeld = false;  // the wrapper's reader holds packets the limit stopped
    // The pictures' times that the wrapped inputs' records carry, in decoding order: joined
    // (each input's first picture a picture's length after the last one's before it), in
    // ticks, then handed to the timeline, or kept until it is there.
    bool comingTimes = false;
    std::vector<int64_t> cameTimes;
    std::vector<uint64_t> earlyTimes;
    bool inputTimed = false;  // the input being read gave a time
    int64_t inputFirst = 0, inputLast = 0, inputBeforeLast = 0;
    uint64_t inputTimes = 0;
    int64_t inputStart = 0;  // where the input's first picture goes, in ms
    CivilTime firstRecordedAt{};
    bool firstDated = false;
    double limit = 1e300;
    uint64_t done = 0;   // bytes of this input read
    uint64_t total = 0;  // its size now
    uint64_t sizeAtStart = 0, sizeAtEnd = 0;
    uint64_t slicesBefore = 0;
    size_t earlyBefore = 0;
    // Over all inputs: the bytes of those read before, the sizes of those to come.
    uint64_t bytesBefore = 0;
    uint64_t bytesAfter = 0;
    uint64_t sizeAtStartAll = 0, sizeAtEndAll = 0;
};
