// The files of cheap IP cameras and their phone apps (often named .264 or .h264, which they are
// not). A 16-byte header: "HXVS" (H.264) or "HXVT" (H.265), the picture's width and height and 4
// bytes more, all little endian. Then records, each a 16-byte header (tag, payload length, time
// in milliseconds, flags; little endian) and its payload:
//   HXVF  video: one NAL unit with its start code; flags 1 on a key picture's units
//   HXAF  sound: 4 bytes (00 01 50 00), then G.711 A-law, 8000 Hz mono, 160 bytes (20 ms) a
//         record, written about 100 ms behind the pictures of the same time
//   HXFI  an index of the file, at its end: passed over
// A record is taken when the next one's tag follows it; when something else follows, it is
// taken unless another record begins inside it (it was cut short).
#pragma once

#include "demux/demuxer.h"

class HxvsReader : public Demuxer {
public:
    explicit HxvsReader(VideoCoding coding);
    // The header's picture size; 0 until it is read.
    uint32_t Width() const { return width; }
    uint32_t Height() const { return height; }

    static constexpr size_t kHeaderBytes = 16;
    // The largest payloads taken as records: a header that says more is damage.
    static constexpr uint32_t kMaxVideoBytes = 32u << 20;
    static constexpr uint32_t kMaxSoundBytes = 64u << 10;
    static constexpr uint32_t kMaxIndexBytes = 32u << 20;

protected:
    Step Read(const uint8_t* data, size_t size, bool end,
              std::vector<RecordPacket>* packets) override;
    const char* Name() const override;

private:
    int64_t Unwrap(uint32_t ms);

    bool headerRead = false;
    uint32_t width = 0;
    uint32_t height = 0;
    bool clockStarted = false;
    uint32_t lastMs = 0;
    int64_t clock = 0;
};
