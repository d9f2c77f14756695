#include "h264/rbsp.h"

uint32_t UnescapeRbsp(const uint8_t* src, uint32_t len, uint8_t* dst, uint32_t cap) {
    uint32_t out = 0;
    uint32_t zeros = 0;
    for (uint32_t i = 0; i < len && out < cap; ++i) {
        const uint8_t b = src[i];
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        dst[out++] = b;
    }
    return out;
}
