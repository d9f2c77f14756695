// The plain byte-by-byte NAL unit scan, kept as the reference the fast scanner must match.
#pragma once

#include <cstdint>

#include "convert/nalunit.h"

namespace reference {

inline int32_t StartCodeLength(const uint8_t* p, const uint8_t* end) {
    if (end - p >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1) return 4;
    if (end - p >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) return 3;
    return -1;
}

inline int32_t FindNextNalUnit(const uint8_t* buf, uint32_t end, uint32_t start, NalUnit* nalu) {
    uint32_t k = start;
    int32_t b = -1;
    for (; k < end; ++k)
        if ((b = StartCodeLength(buf + k, buf + end)) > 0) break;
    if (k >= end || k + uint32_t(b) == end) return 0;
    const uint32_t header = k + uint32_t(b);
    uint32_t next = header;
    while (next < end && StartCodeLength(buf + next, buf + end) < 0) ++next;
    nalu->type = buf[header] & 0x1F;
    nalu->length = int32_t(next - header);
    nalu->startCodeLength = b;
    nalu->data = buf + header;
    return int32_t(next - start);
}

}  // namespace reference
