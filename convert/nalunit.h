// Splitting an H.264 Annex B byte stream held in memory into NAL units.
#pragma once

#include <cstdint>

// One NAL unit found in a caller's buffer. Nothing is owned: `data` points into that buffer.
struct NalUnit {
    int32_t type;             // nal_unit_type: the header byte masked with 0x1F
    int32_t length;           // bytes from the header byte up to the next start code or the end
    int32_t startCodeLength;  // 3 or 4
    const uint8_t* data;      // the NAL header byte
};

// The unit's length without the zero bytes behind it, which belong to the byte stream (a NAL
// unit never ends in 00); at least 1.
inline uint32_t PayloadLength(const NalUnit& nal) {
    uint32_t n = uint32_t(nal.length);
    while (n > 1 && nal.data[n - 1] == 0) --n;
    return n;
}

// 4 when 00 00 00 01 begins at `pos`, else 3 when 00 00 01 does, else -1. A pattern that would
// reach `end` or beyond is no start code; nothing at or past `end` is read.
int32_t StartCodeLength(const uint8_t* pos, const uint8_t* end);

// Finds the first NAL unit at or after `start` in the region [start, end) of `buffer`. On success
// fills `nalu` and returns the bytes from `start` to the end of that unit (at least 4); returns 0
// and leaves `nalu` untouched when the region holds no unit.
int32_t FindNextNalUnit(const uint8_t* buffer, uint32_t end, uint32_t start, NalUnit* nalu);

// Index of the first byte of the last start code (of either length) that lies wholly in
// [0, count), or -1 when there is none. A 3-byte code preceded by a zero is reported as the
// 4-byte code it is.
int64_t FindLastStartCode(const uint8_t* buffer, uint32_t count);
