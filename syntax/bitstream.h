// Most-significant-bit-first reader over a byte buffer that the caller owns.
#pragma once

#include <cstdint>

// Thrown by value when a read cannot be served.
enum BitstreamErr_t : int32_t {
    BitstreamErrTooManyBits = 0,  // one read asked for more than 32 bits
    BitstreamErrEndOfData = 1,    // a read needed a byte at or beyond the end of the buffer
};

class Bitstream {
public:
    // bitCount is the length of the buffer in bits; nothing is read here.
    Bitstream(const uint8_t* data, uint32_t bitCount);
    Bitstream(const Bitstream&) = delete;
    Bitstream& operator=(const Bitstream&) = delete;

    // The next n (0 to 32) bits as a right-aligned number, first bit most significant.
    uint32_t ReadBits(uint32_t n) {
        if (n - 1 < bitsLeftInByte) {  // 1 to bitsLeftInByte bits: all in the current byte
            bitsLeftInByte -= n;
            return (uint32_t(currentByte) >> bitsLeftInByte) & ((1u << n) - 1);
        }
        return ReadBitsAcross(n);
    }
    // What ReadBits(n) would return, position unchanged (uses the saved slot).
    uint32_t PeekBits(uint32_t n);
    uint32_t BitsLeft() const { return bitsNotLoaded + bitsLeftInByte; }
    // true: remember the position in the one saved slot; false: go back to it.
    void Checkpoint(bool save);

private:
    uint32_t ReadBitsAcross(uint32_t n);

    uint32_t bitsLeftInByte;  // unread low-order bits of currentByte
    const uint8_t* nextByte;
    uint8_t currentByte;
    uint8_t savedCurrentByte;
    uint32_t bitsNotLoaded;  // buffer bits from nextByte to the end
    int32_t positionSaved;
    uint32_t savedBitsLeftInByte;
    const uint8_t* savedNextByte;
    uint32_t savedBitsNotLoaded;
};

void SkipBits(Bitstream& stream, uint32_t n);
