// Most-significant-bit-first reader over a byte buffer that the caller owns.
#pragma once

#include <cstdint>

// Thrown by value when a read cannot be served.
enum BitstreamErr_t : int32_t {
    BitstreamErrTooManyBits = 0,  // one read asked for more than 32 bits
    BitstreamErrEndOfData = 1,    // a read needed a bit at or beyond the end of the buffer
};

class Bitstream {
public:
    // bitCount is the length of the buffer in bits (a last byte in part: its first bits); nothing
    // is read here.
    Bitstream(const uint8_t* data, uint32_t bitCount);
    Bitstream(const Bitstream&) = delete;
    Bitstream& operator=(const Bitstream&) = delete;

    // The next n (0 to 32) bits as a right-aligned number, first bit most significant.
    uint32_t ReadBits(uint32_t n) {
        if (n - 1 < 32u && n <= cached) {  // 1 to 32 bits, all loaded
            const uint32_t v = uint32_t(cache >> (64 - n));
            cache <<= n;
            cached -= n;
            return v;
        }
        return ReadBitsSlow(n);
    }
    // Passes over zero bits up to the first 1, which it reads too; returns how many zeros there
    // were (the prefix of an Exp-Golomb code). Throws when the data ends before a 1.
    uint32_t ReadLeadingZeros();
    // What ReadBits(n) would return, position unchanged (uses the saved slot).
    uint32_t PeekBits(uint32_t n);
    uint32_t BitsLeft() const { return cached + bitsNotLoaded; }
    // true: remember the position in the one saved slot; false: go back to it.
    void Checkpoint(bool save);

private:
    uint32_t ReadBitsSlow(uint32_t n);
    // Loads whole bytes behind the loaded bits while at least 8 bits of room are left.
    void Refill();

    // The next `cached` bits from the top down; every bit below them is 0.
    uint64_t cache = 0;
    uint32_t cached = 0;
    const uint8_t* nextByte;
    uint32_t bitsNotLoaded;  // buffer bits from nextByte to the end

    uint64_t savedCache = 0;
    uint32_t savedCached = 0;
    const uint8_t* savedNextByte;
    uint32_t savedBitsNotLoaded;
};

void SkipBits(Bitstream& stream, uint32_t n);
