// The files of Dahua DVRs and NVRs and of the many recorders that share their format (.dav). An
// optional 0x400-byte header that begins "DAHUA", then frames, each:
//   "DHAV", type (0xFD key picture, 0xFC other picture, 0xF0 sound, 0xF1 other data), sub-type,
//   channel, sub-number, frame number (32 bits), frame length (32 bits, all of it), date (32
//   bits: second, minute (6 bits each), hour, day (5 each), month (4), year - 2000 (6), from
//   the lowest bit up), a millisecond counter (16 bits, which wraps), the extension's length,
//   a checksum;
//   the extension: tagged fields (0x80/0x82 picture size, 0x81 video coding and frame rate,
//   0x83/0x8C sound channels, coding and rate), passed over by their sizes;
//   the payload (a picture's NAL units; G.711, PCM or ADTS AAC sound);
//   "dhav" and the frame length again.
// Fields are little endian. A frame is taken when its trailer repeats its length.
#pragma once

#include "demux/demuxer.h"

class DhavReader : public Demuxer {
public:
    DhavReader() = default;

    static constexpr size_t kFileHeaderBytes = 0x400;
    static constexpr size_t kHeaderBytes = 24;
    static constexpr size_t kTrailerBytes = 8;
    // The largest frame taken: a header that says more is damage.
    static constexpr uint32_t kMaxFrameBytes = 32u << 20;

    // The date field's parts.
    static CivilTime DecodeDate(uint32_t date);

protected:
    Step Read(const uint8_t* data, size_t size, bool end,
              std::vector<RecordPacket>* packets) override;
    const char* Name() const override { return "a DHAV file"; }

private:
    void TakeFrame(const uint8_t* frame, size_t length, std::vector<RecordPacket>* packets);
    void TakeSound(const uint8_t* frame, size_t from, size_t to, int64_t ms, int codec,
                   int channels, uint32_t rate, std::vector<RecordPacket>* packets);
    int64_t Unwrap(uint16_t ms, uint32_t date);

    bool started = false;
    size_t headerLeft = 0;
    bool channelKnown = false;
    uint8_t channel = 0;
    // The stream's sound, as the last sound frame's extension gave it.
    int soundCoding = -1;
    int soundChannels = 1;
    uint32_t soundRate = 8000;
    bool clockStarted = false;
    uint16_t lastMs = 0;
    int64_t lastSecond = -1;  // the last frame's date, in seconds; -1 when it was none
    int64_t clock = 0;
    bool secondKnown = false;
    uint32_t lastDate = 0;    // the date field of the frame before
    int64_t dateSecond = -1;  // its seconds, -1 when it is no date
    bool dated = false;       // the first picture's date was given
};
