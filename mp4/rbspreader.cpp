#include "mp4/rbspreader.h"

RbspReader::RbspReader(const uint8_t* nal, uint32_t length, uint32_t headerBytes) {
    rbsp.reserve(length);
    uint32_t zeros = 0;
    for (uint32_t i = headerBytes; i < length; ++i) {
        // 0x000003: the 3 only keeps a start code from appearing.
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        rbsp.push_back(nal[i]);
    }
}

uint32_t RbspReader::Bits(uint32_t n) {
    if (failed || pos + n > uint64_t(rbsp.size()) * 8) {
        failed = true;
        return 0;
    }
    uint32_t v = 0;
    for (uint32_t k = 0; k < n; ++k, ++pos)
        v = (v << 1) | ((rbsp[size_t(pos >> 3)] >> (7 - (pos & 7))) & 1);
    return v;
}

void RbspReader::Skip(uint32_t n) {
    if (failed || pos + n > uint64_t(rbsp.size()) * 8)
        failed = true;
    else
        pos += n;
}

uint32_t RbspReader::Ue() {
    uint32_t leadingZeros = 0;
    while (!failed && Bits(1) == 0)
        if (++leadingZeros > 31) failed = true;
    if (failed) return 0;
    return uint32_t((uint64_t(1) << leadingZeros) - 1 + Bits(leadingZeros));
}
