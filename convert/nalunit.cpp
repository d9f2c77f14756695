#include "convert/nalunit.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// First index q in [from, end - 3] where 00 00 01 begins, or `end` when there is none. Start
// codes are rare: the search looks 16 bytes at a time for two zero bytes in a row (which the
// byte stream allows only in front of a start code or an emulation-prevention 03) and checks a
// hit byte by byte.
uint32_t FindThreeByteCode(const uint8_t* buffer, uint32_t end, uint32_t from) {
    if (end < 3 || from > end - 3) return end;
    const uint8_t* p = buffer + from;
    const uint8_t* last = buffer + end - 2;  // a code starts before this
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    // 64 bytes at a time: most such runs of coded data hold no zero byte at all, which one test
    // tells. Else the zero pairs that begin in p[0..63] (p[64] read for the last one).
    while (last - p >= 64) {
        const __m128i z0 =
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), zero);
        const __m128i z1 =
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), zero);
        const __m128i z2 =
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), zero);
        const __m128i z3 =
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), zero);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(z0, z1), _mm_or_si128(z2, z3))) != 0) {
            const uint64_t zeros = uint64_t(uint32_t(_mm_movemask_epi8(z0))) |
                                   uint64_t(uint32_t(_mm_movemask_epi8(z1))) << 16 |
                                   uint64_t(uint32_t(_mm_movemask_epi8(z2))) << 32 |
                                   uint64_t(uint32_t(_mm_movemask_epi8(z3))) << 48;
            uint64_t pairs = zeros & (zeros >> 1);
            if ((zeros >> 63) && p[64] == 0) pairs |= uint64_t(1) << 63;
            for (; pairs != 0; pairs &= pairs - 1) {
                const uint8_t* q = p + __builtin_ctzll(pairs);
                if (q[2] == 1) return uint32_t(q - buffer);
            }
        }
        p += 64;
    }
    // Each step looks at the zero pairs that begin in p[0..15]; it reads p[16] as well.
    while (last - p >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const int pairs =
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, zero)));
        if (pairs != 0) {
            for (int bits = pairs; bits != 0; bits &= bits - 1) {
                const uint8_t* q = p + __builtin_ctz(unsigned(bits));
                if (q[2] == 1) return uint32_t(q - buffer);
            }
        }
        p += 16;
    }
#endif
    for (; p < last; ++p)
        if (p[0] == 0 && p[1] == 0 && p[2] == 1) return uint32_t(p - buffer);
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
