// The conversion engine: an H.264 or H.265 Annex B file in, an MP4 file with its video track out.
// The engine muxes track sources (videosource.h) into one file (outputfile.h).
#pragma once

#include <QString>
#include <QStringList>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "audio/audioreader.h"
#include "convert/audiosource.h"
#include "convert/picturereader.h"
#include "convert/timestamps.h"
#include "convert/videosource.h"
#include "demux/recordingdate.h"
#include "mp4/mp4check.h"
#include "mp4/mp4v2.h"

class OutputFile;

// What a finished conversion wrote, for the window's and the command line's report.
struct ConversionSummary {
    Codec codec = Codec::Unknown;
    uint64_t pictures = 0;        // samples written (one per access unit)
    uint64_t syncPictures = 0;    // of which sync samples
    uint64_t hiddenPictures = 0;  // of which ahead of the first decodable one: kept, not shown
    uint64_t skippedUnits = 0;    // units no decoder can use, left out
    uint64_t skippedBytes = 0;
    double durationSeconds = 0;      // track duration
    double framesPerSecond = 0;      // frame rate the track plays at; the average when variable
    bool variableFrameRate = false;  // not every picture lasts the same
    int32_t width = 0;               // track size
    int32_t height = 0;
    QString outputPath;  // as written, which the other-name hook may have chosen
    // The input's size when the conversion began and when it ended, and the bytes read: all
    // three the same unless the input was appended to or cut meanwhile.
    uint64_t inputSizeAtStart = 0;
    uint64_t inputSizeAtEnd = 0;
    uint64_t inputBytesRead = 0;
    bool InputChangedSize() const {
        return !streamInput &&
               (inputSizeAtEnd != inputSizeAtStart || inputBytesRead != inputSizeAtStart);
    }
    bool streamInput = false;      // a pipe or FIFO, read as it came
    bool rateAssumed = false;      // the stream gave no frame rate: 25 fps played
    uint64_t fragments = 0;        // movie fragments written; 0 for an unfragmented file
    uint64_t droppedPictures = 0;  // ahead of the first decodable one, left out of the fragments
    int stopSignal = 0;            // the signal that ended a recording; 0: the end of the input
    QString audio;                 // the sound track: "AAC 48000 Hz 2 ch"; empty without one
    double audioSeconds = 0;       // how long the sound plays
    // The signal came before the recording's first picture: no file, and nothing went wrong.
    bool nothingRecorded = false;
    QString recordingDate;  // "recorded ... (where the date came from)"; empty: unknown
};

// Holds the converter state of one conversion. The window class derives from it, and the tests,
// the benchmark and the command-line converter use it on its own. One instance converts one file.
class Converter {
public:
    Converter();
    virtual ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Creates the MP4 file at `path`; returns its handle, or MP4_INVALID_FILE_HANDLE.
    MP4FileHandle CreateMp4File(const char* path, int32_t width, int32_t height);
    // Writes the NAL units of the Annex B region [buffer, buffer + end), H.264 or H.265 as the
    // first parameter set that tells shows. Returns the bytes the
    // units found cover (0 when there is none, or on a failure that ends the writing), or -1 for
    // a missing handle or buffer. The last access unit stays pending until CloseMp4File.
    int32_t WriteNalUnits(MP4FileHandle hMp4File, const uint8_t* buffer, uint32_t end);
    // Writes the pending access unit and closes the file; false when anything failed to reach it.
    bool CloseMp4File(MP4FileHandle hMp4File);

    // Converts `inputPath` ("-": standard input, which must not be a terminal; a pipe or FIFO is
    // read as it comes) into the MP4 file `outputPath` (the file name's bytes; "-": standard
    // output, fragmented files only), which must not exist yet. The file is written under a new
    // hidden name beside it and takes its name only when everything succeeded and reached the disk,
    // never replacing a file that took the name meanwhile; on false nothing is left behind and
    // LastError() says why. A character device named as such (not through a link), such as
    // /dev/null, is written in place.
    bool WriteH264File(const char* inputPath, const std::string& outputPath);
    // The same for a name in the user's terms: its bytes are QFile::encodeName(outputPath).
    bool WriteH264File(const char* inputPath, QString outputPath);

    // Joins the segments `inputPaths`, in this order, into the one MP4 file `outputPath`, as the
    // single input is converted: every picture of every segment, each segment's times following
    // the one before. Segments of different codecs are refused. One input is WriteH264File.
    bool WriteH264Files(const std::vector<std::string>& inputPaths, const std::string& outputPath);
    bool WriteH264Files(const std::vector<std::string>& inputPaths, QString outputPath);

    // A sound file (its name's bytes; empty for none) to put beside the pictures as the MP4's
    // sound track, without re-encoding: ADTS AAC, MP3, WAV, or headerless G.711 or PCM by its
    // name, whose `options` give the rate and channels; a pipe or FIFO is read as it comes. By
    // default its first sample plays with the first picture shown; `offsetSeconds` > 0 delays
    // it, < 0 skips its beginning. A sound input that cannot be read fails the conversion.
    void SetAudioFile(const std::string& path, const AudioOptions& options = {},
                      double offsetSeconds = 0);

    // A timestamp file (its name's bytes; empty for none) that gives the pictures their
    // presentation times; read when the conversion starts, whose failure its errors are.
    void SetTimestampFile(const std::string& path);

    // The recording's start, given by hand; it wins over what the inputs tell (unknown: none).
    // The MP4's creation and modification times are the recording's start: given by hand, or
    // told by the first input (a recorder's dates in its frames, a date and time in its name),
    // else 0.
    void SetRecordingDate(const RecordingDate& date) { typedDate = date; }

    // Called when the output path is taken, at the start or when the finished file is to take
    // its name: returns another path in the same directory to use instead, or an empty one to
    // fail. Without it, a taken name fails the conversion.
    void SetOtherNameHook(std::function<std::string(const std::string& taken)> hook);

    // Whether the movie box goes in front of the media data, so that a player can start before
    // the whole file is there (off by default).
    void SetFastStart(bool on) { fastStart = on; }
    // A fragmented MP4 (moov up front, then movie fragments of at least `seconds` each) when
    // `seconds` > 0, an unfragmented one for 0; below 0 (the default), fragments of a second
    // when the input is a pipe or FIFO, none for a file. A recording (the first input a pipe or
    // FIFO) takes its final name once its first fragment is on the disk, every fragment on the
    // disk before the next begins, and keeps every whole fragment whatever happens (a failure
    // cuts it back to them); without one it leaves nothing. Should no new picture come for a
    // fragment's length of real time, the whole pictures held are written. The fragmented file
    // of a file is written as an unfragmented one is: under a hidden name until it is whole and
    // on the disk.
    void SetFragmentSeconds(double seconds);
    // While recording, the read loop ends the input cleanly once `*flag` is not 0 (a signal
    // number, set by the caller's handler): the pending pictures are written as the last
    // fragment. A signal handler installed without SA_RESTART wakes a read that waits.
    void SetStopFlag(const volatile sig_atomic_t* flag);
    // Pictures written so far and their duration, for the progress of a stream.
    uint64_t PicturesSoFar() const;
    double SecondsSoFar() const;

    // Frame rate to use instead of the stream's own (num/den frames per second); 0/0 for none.
    void SetFrameRateOverride(uint32_t num, uint32_t den);

    // Called between reads with the input's bytes read so far and its size. Returning false
    // cancels the conversion: WriteH264File then returns false, leaves nothing behind, and
    // Cancelled() is true.
    void SetProgressHook(std::function<bool(uint64_t done, uint64_t total)> hook);
    bool Cancelled() const { return cancelled; }

    // One line telling why the last conversion failed; empty when it succeeded.
    QString LastError() const { return lastError; }
    // What the last successful conversion wrote.
    const ConversionSummary& Summary() const { return summary; }
    // The warning lines of the last conversion (times fewer or more than pictures, an input
    // that changed size while it was read, a later SPS with another colour description).
    QStringList Warnings() const { return warnings; }

protected:
    int32_t videoWidth = 0;
    int32_t videoHeight = 0;
    int32_t frameRate = 0;
    int32_t timeScale = 0;
    int32_t videoTrackId = 0;

private:
    void Fail(const QString& reason);
    MP4FileHandle StartMp4File(MP4FileHandle hMp4File, int32_t width, int32_t height);
    VideoOptions VideoOptionsFor(bool fragmented);
    bool WriteOutput(const std::vector<std::string>& inputPaths);
    bool Mux(OutputFile& output, MP4FileHandle file, bool fragmented);
    bool StartSound();
    bool PrepareWrappedInputs(const std::vector<std::string>& inputPaths);
    void CompareLengths();
    bool SameCodec(const std::vector<std::string>& inputPaths);
    void CountTimes();
    bool OtherName(const std::string& taken);

    std::string outputName;  // the final output path, for messages
    QString lastError;
    QStringList warnings;
    ConversionSummary summary;
    std::string timestampPath;
    TimestampFile timestamps;
    bool fastStart = false;
    std::unique_ptr<VideoSource> video;
    SoundInput userSound;  // the sound file given
    SoundInput sound;      // the sound of this conversion: the file given, or the inputs' own
    RecordingDate typedDate;
    RecordingDate date;
    // Takes the sound frames of inputs that hold their own: from the first input that has some
    // on, less those of another format.
    std::function<void(size_t, const DemuxPacket*, const AudioSampleEntry&)> soundHook;
    size_t handedFrom = SIZE_MAX;
    std::set<size_t> otherSoundFrom;
    std::unique_ptr<AudioSource> audio;
    uint32_t overrideNum = 0;
    uint32_t overrideDen = 0;
    bool failed = false;
    std::function<bool(uint64_t, uint64_t)> progress;
    std::function<std::string(const std::string&)> otherName;
    bool cancelled = false;
    int64_t fragmentMillis = -1;
    const volatile sig_atomic_t* stopFlag = nullptr;
    bool streamInput = false;
    bool recording = false;            // a fragmented file of a stream, which a signal ends cleanly
    Mp4FragmentReport fragmentReport;  // what the fragments written whole hold
};
