#include "syntax/rbsp.h"

#include <algorithm>
#include <cstring>

uint32_t UnescapeRbsp(const uint8_t* src, uint32_t len, uint8_t* dst, uint32_t cap) {
    // Copies the runs between 03 bytes whole; a 03 right behind two zeros of the source is an
    // emulation-prevention byte (a removed 03 is no zero, so it never counts for the next one).
    uint32_t in = 0, out = 0;
    while (in < len && out < cap) {
        // Only the bytes that can still fit are looked at: a header's few dozen, not the slice.
        const uint32_t window = std::min(len - in, cap - out);
        const void* hit = memchr(src + in, 0x03, window);
        const uint32_t at = hit ? uint32_t(static_cast<const uint8_t*>(hit) - src) : in + window;
        const uint32_t n = std::min(at - in, cap - out);
        memcpy(dst + out, src + in, n);
        out += n;
        in += n;
        if (in < at || at == len || out == cap) break;  // room, or the source, used up
        if (!(at >= 2 && src[at - 1] == 0 && src[at - 2] == 0)) dst[out++] = 0x03;
        in = at + 1;
    }
    return out;
}
