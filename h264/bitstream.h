// A most-significant-bit-first reader over a byte buffer the caller owns.
#pragma once

#include <cstdint>

// Thrown by value when a read cannot be served.
enum BitstreamErr_t : int32_t {
    BitstreamErrTooManyBits = 0,  // one read of more than 32 bits
    BitstreamErrEndOfData = 1,    // a read past the end of the buffer
};

class Bitstream {
public:
    // `bitCount` bits starting at the highest bit of data[0]. Reads nothing yet.
    Bitstream(const uint8_t* data, uint32_t bitCount);
    Bitstream(const Bitstream&) = delete;
    Bitstream& operator=(const Bitstream&) = delete;

    // The next n (0..32) bits as a right-aligned number, first bit most significant.
    uint32_t ReadBits(uint32_t n);
    // What ReadBits(n) would return, without moving on.
    uint32_t PeekBits(uint32_t n);
    uint32_t BitsLeft() const { return bitsNotLoaded + bitsInByte; }
    // true: remember the position (one slot); false: go back to it.
    void Checkpoint(bool save);

private:
    uint32_t bitsInByte;  // unread low-order bits of `currentByte`, 0..7
    const uint8_t* nextByte;
    uint8_t currentByte;
    uint8_t savedCurrentByte;
    uint32_t bitsNotLoaded;  // buffer bits from nextByte to the end
    int32_t positionSaved;
    uint32_t savedBitsInByte;
    const uint8_t* savedNextByte;
    uint32_t savedBitsNotLoaded;
};

// Reads n bits and drops them; fails as ReadBits does.
void SkipBits(Bitstream& stream, uint32_t n);
