// The bytes of a NAL unit with its emulation-prevention bytes left out, one at a time, so that
// data of any size can be stepped over without a copy.
#pragma once

#include <cstdint>

class RbspBytes {
public:
    RbspBytes(const uint8_t* data, uint32_t length) : p(data), end(data + length) { Settle(); }
    bool AtEnd() const { return p == end; }
    uint8_t Next() {
        const uint8_t b = *p++;
        zeros = b == 0 ? zeros + 1 : 0;
        Settle();
        return b;
    }

private:
    // A 0x03 right behind two zeros only keeps a start code from appearing.
    void Settle() {
        if (p != end && zeros >= 2 && *p == 0x03) {
            ++p;
            zeros = 0;
        }
    }
    const uint8_t* p;
    const uint8_t* end;
    uint32_t zeros = 0;
};
