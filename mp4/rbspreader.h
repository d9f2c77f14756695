// Reads the first fields of a parameter set: the NAL unit's payload with its emulation
// prevention bytes removed (ITU-T H.265 7.4.2, H.264 7.4.1), read most significant bit first.
// A read past the end sets Failed() and returns 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class RbspReader {
public:
    // `nal`: the whole NAL unit; its first `headerBytes` bytes are skipped.
    RbspReader(const uint8_t* nal, uint32_t length, uint32_t headerBytes);

    uint32_t Bits(uint32_t n);  // n up to 32
    uint32_t Ue();              // ue(v), 9.2 of either standard
    void Skip(uint32_t n);
    // Byte i of the payload, emulation prevention removed; 0 beyond the end.
    uint8_t Byte(uint32_t i) const { return i < rbsp.size() ? rbsp[i] : 0; }
    bool Failed() const { return failed; }

private:
    std::vector<uint8_t> rbsp;
    uint64_t pos = 0;  // in bits
    bool failed = false;
};
