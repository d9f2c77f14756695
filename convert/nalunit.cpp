#include "convert/nalunit.h"

#include <cstring>

namespace {

// First index q in [from, end - 3] where 00 00 01 begins, or `end` when there is none. The 01 is
// searched with memchr, which runs many bytes a step; a hit is then checked backwards.
uint32_t FindThreeByteCode(const uint8_t* buffer, uint32_t end, uint32_t from) {
    if (end < 3 || from > end - 3) return end;
    const uint8_t* p = buffer + from + 2;
    const uint8_t* last = buffer + end;
    while (p < last) {
        p = static_cast<const uint8_t*>(memchr(p, 0x01, size_t(last - p)));
        if (!p) return end;
        if (p[-1] == 0 && p[-2] == 0) return uint32_t(p - 2 - buffer);
        // The next two bytes cannot end a code: each would need this 01 to be a zero.
        p += 3;
    }
    return end;
}

// The first start code at or after `from`: its index in *at, its length as the result (0 when
// there is none). As with a byte-by-byte walk, 00 00 00 01 is one 4-byte code.
int32_t FindStartCode(const uint8_t* buffer, uint32_t end, uint32_t from, uint32_t* at) {
    uint32_t q = FindThreeByteCode(buffer, end, from);
    if (q == end) return 0;
    if (q > from && buffer[q - 1] == 0) {
        *at = q - 1;
        return 4;
    }
    *at = q;
    return 3;
}

}  // namespace

int32_t StartCodeLength(const uint8_t* pos, const uint8_t* end) {
    if (end - pos >= 3 && pos[0] == 0 && pos[1] == 0) {
        if (pos[2] == 0) return (end - pos >= 4 && pos[3] == 1) ? 4 : -1;
        if (pos[2] == 1) return 3;
    }
    return -1;
}

int32_t FindNextNalUnit(const uint8_t* buffer, uint32_t end, uint32_t start, NalUnit* nalu) {
    if (!buffer || !nalu || start >= end) return 0;
    uint32_t k = 0;
    const int32_t b = FindStartCode(buffer, end, start, &k);
    if (b == 0) return 0;
    const uint32_t header = k + uint32_t(b);
    if (header >= end) return 0;
    uint32_t next = end;
    if (FindStartCode(buffer, end, header, &next) == 0) next = end;
    nalu->type = buffer[header] & 0x1F;
    nalu->length = int32_t(next - header);
    nalu->startCodeLength = b;
    nalu->data = buffer + header;
    return int32_t(next - start);
}

int64_t FindLastStartCode(const uint8_t* buffer, uint32_t count) {
    if (!buffer) return -1;
    // Walk back over the 01 bytes; the first one with 00 00 in front of it ends the last code.
    for (const uint8_t* p = buffer + count; p > buffer + 2;) {
        p = static_cast<const uint8_t*>(memrchr(buffer + 2, 0x01, size_t(p - (buffer + 2))));
        if (!p) return -1;
        if (p[-1] == 0 && p[-2] == 0) {
            const uint8_t* code = (p - 2 > buffer && p[-3] == 0) ? p - 3 : p - 2;
            return code - buffer;
        }
    }
    return -1;
}
