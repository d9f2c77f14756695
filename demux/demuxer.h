// What a camera or DVR file holds around its video stream: the wrappers that cheap IP cameras
// (HXVS, HXVT) and DVRs (DHAV) write, told by their first bytes, and the push-based reader they
// share. A reader is fed the file's bytes as they come and hands out, in file order, the video
// stream's NAL units and the sound frames, each with its time in milliseconds; it keeps no more
// than the record it is reading, so that a pipe can be read as well as a file.
//
// Damage (a record cut short, a wrong length, bytes between records): the reader looks for the
// next record that is whole, keeps every whole one before and after, and counts what it passed
// over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "demux/picturetimes.h"
#include "demux/recordingdate.h"
#include "mp4/audioentry.h"

enum class ContainerKind : uint8_t {
    None,  // not a wrapper this room reads (a raw Annex B stream, for one)
    Hxvs,  // a camera's H.264 file: "HXVS" header, HXVF/HXAF/HXFI records
    Hxvt,  // the same with H.265: "HXVT"
    Dhav,  // a DVR's file: an optional "DAHUA" header, then DHAV frames
};

// The bytes at the start of a file that tell its kind.
constexpr size_t kContainerProbeBytes = 16;
// The wrapper that the first `size` bytes of a file begin; None when they tell none (fewer than
// kContainerProbeBytes may do for a short file).
ContainerKind DetectContainer(const uint8_t* data, size_t size);
// "HXVS", "HXVT", "DHAV"; "" for None.
const char* ContainerName(ContainerKind kind);

struct DemuxPacket {
    enum class Kind : uint8_t { Video, Sound };
    Kind kind = Kind::Video;
    // Video: Annex B bytes, one or more whole NAL units with their start codes, as the record
    // holds them. Sound: one frame of the coding Demuxer::Sound() gives (G.711 or PCM: a run of
    // samples; AAC: one raw frame without its ADTS header). Valid until the next call to Feed,
    // Space, Finish or Next.
    const uint8_t* data = nullptr;
    size_t size = 0;
    // The time its record carries, in milliseconds after the first video record's; sound that
    // comes before it has a negative time.
    int64_t ms = 0;
    // Video: the record says it belongs to a key picture. Only a hint: the stream's own NAL
    // unit types decide.
    bool key = false;
};

class Demuxer {
public:
    virtual ~Demuxer() = default;

    // Hands the reader the next bytes of the file.
    void Feed(const uint8_t* data, size_t size);
    // The same without a copy: room for `size` bytes to be read into, then Commit(bytes read).
    uint8_t* Space(size_t size);
    void Commit(size_t size);
    // The file has ended: what is left is read as the last bytes.
    void Finish();

    // The next packet in file order; false when the bytes given so far hold no further whole
    // record (feed more), or, after Finish, at the end. Sound before the first video record is
    // held back (up to kHeldSoundBytes, the oldest given up beyond) until that record tells the
    // times' origin.
    bool Next(DemuxPacket* packet);
    // Reads records ahead of the packets handed out: Next hands out none (asks for more bytes)
    // until `pictures` pictures follow the one handed out last, or the records read ahead hold
    // `bytes`, or the file has ended. Their times are known that far ahead (TakePictureTimes).
    void LookAhead(size_t pictures, size_t bytes);
    // Appends to `ms` the times of the pictures read since the last call, in decoding order,
    // each that of the packet with the picture's first slice (picturetimes.h), on the packets'
    // clock (DemuxPacket::ms).
    void TakePictureTimes(std::vector<int64_t>* ms);

    // What the file says of its streams, known once a record told it.
    VideoCoding Coding() const { return coding; }
    bool HasSound() const { return soundKnown; }
    const AudioSampleEntry& Sound() const { return sound; }
    // The recorder's clock time at the first picture, when the file carries dates.
    bool RecordedAt(CivilTime* when) const;

    // Damage passed over: the places where the reader had to look for the next whole record,
    // and the bytes it skipped there.
    uint64_t DamagedRecords() const { return damagedRecords; }
    uint64_t SkippedBytes() const { return skippedBytes; }
    // Whole sound frames left out: of a coding a track cannot hold, of a format other than the
    // first one's, or held back too long before the first picture.
    uint64_t SoundFramesLeftOut() const { return soundLeftOut; }
    // Video packets handed out.
    uint64_t VideoPackets() const { return videoPackets; }

    // After Finish: why the file gives nothing to convert ("no picture after its header"); empty
    // when it gave a video packet.
    std::string FailureReason() const;

    static constexpr size_t kHeldSoundBytes = 1 << 20;

protected:
    // One packet of a record: where it lies in the record's bytes and its time on the file's own
    // clock, unwrapped.
    struct RecordPacket {
        DemuxPacket::Kind kind;
        size_t offset;
        size_t size;
        int64_t ms;
        bool key;
    };
    struct Step {
        enum Kind : uint8_t {
            More,    // the bytes at hand do not tell yet (never after Finish)
            Record,  // a whole record of `bytes`; its packets were added
            Pass,    // `bytes` that hold no media (a file header, an index): not damage
            Skip,    // `bytes` of damage, up to where a whole record may begin
        };
        Kind kind;
        size_t bytes;
    };
    // Reads at the current place of the file: `data` holds the `size` bytes from there on,
    // `end`: nothing follows them. Adds a record's packets to `packets`.
    virtual Step Read(const uint8_t* data, size_t size, bool end,
                      std::vector<RecordPacket>* packets) = 0;
    // The file's kind with its article, for the reason a file gives nothing: "an HXVS file".
    virtual const char* Name() const = 0;

    // For the subclasses, as their records tell them.
    void SetCoding(VideoCoding c) { coding = c; }
    // The sound's format, from the first sound record; false when a later record's differs (the
    // record's frames are then left out).
    bool SetSound(const AudioSampleEntry& entry);
    void SetRecordedAt(const CivilTime& when);
    void LeaveOutSound(uint64_t frames) { soundLeftOut += frames; }

private:
    // A packet read and not handed out yet: where its bytes and its record's begin in the file.
    struct Queued {
        RecordPacket packet;
        uint64_t at;
        uint64_t recordAt;
        bool picture;  // holds a picture's first slice
    };
    bool ReadRecord();
    bool LookingAhead() const;
    void Skip(size_t bytes);
    void Hold(const uint8_t* data, size_t size, int64_t ms);

    std::vector<uint8_t> buffer;
    uint64_t base = 0;  // the place in the file of buffer[0]
    size_t begin = 0;   // the bytes kept: [begin, end), of which [scan, end) are not read yet
    size_t scan = 0;
    size_t end = 0;
    bool ended = false;
    bool inDamage = false;  // skipping since the last whole record

    std::deque<Queued> queue;          // packets read, in file order
    std::vector<RecordPacket> record;  // the packets of the record being read
    bool anyRecord = false;
    size_t aheadPictures = 0, aheadBytes = 0;
    uint64_t picturesRead = 0, picturesOut = 0;
    PictureTimes times;

    bool originKnown = false;
    int64_t origin = 0;  // the first video record's time
    struct HeldSound {
        std::vector<uint8_t> bytes;
        int64_t ms;
    };
    std::deque<HeldSound> held;
    size_t heldBytes = 0;
    HeldSound given;  // the held frame handed out last

    VideoCoding coding = VideoCoding::Unknown;
    bool soundKnown = false;
    AudioSampleEntry sound;
    bool dateKnown = false;
    CivilTime recordedAt{};
    uint64_t damagedRecords = 0;
    uint64_t skippedBytes = 0;
    uint64_t soundLeftOut = 0;
    uint64_t videoPackets = 0;
};

// A reader for the wrapper `kind` (not None).
std::unique_ptr<Demuxer> MakeDemuxer(ContainerKind kind);

// Little-endian fields of the wrappers.
inline uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t ReadLe16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
