// Removal of the emulation-prevention bytes of a NAL unit (H.264 7.4.1, H.265 7.4.2).
#pragma once

#include <cstdint>

// Copies the NAL unit bytes src[0, len) to dst with every 0x03 that follows two zero bytes
// removed, stopping when dst holds cap bytes. Returns the number of bytes written.
uint32_t UnescapeRbsp(const uint8_t* src, uint32_t len, uint8_t* dst, uint32_t cap);
