#include "syntax/bitstream.h"

namespace {

constexpr uint32_t kMask[33] = {
    0x00000000, 0x00000001, 0x00000003, 0x00000007, 0x0000000F, 0x0000001F, 0x0000003F,
    0x0000007F, 0x000000FF, 0x000001FF, 0x000003FF, 0x000007FF, 0x00000FFF, 0x00001FFF,
    0x00003FFF, 0x00007FFF, 0x0000FFFF, 0x0001FFFF, 0x0003FFFF, 0x0007FFFF, 0x000FFFFF,
    0x001FFFFF, 0x003FFFFF, 0x007FFFFF, 0x00FFFFFF, 0x01FFFFFF, 0x03FFFFFF, 0x07FFFFFF,
    0x0FFFFFFF, 0x1FFFFFFF, 0x3FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF,
};

}  // namespace

// The current byte starts at 0 rather than undefined: a read that starts on a byte boundary
// shifts it into the accumulator before masking it off again.
Bitstream::Bitstream(const uint8_t* data, uint32_t bitCount)
    : bitsLeftInByte(0),
      nextByte(data),
      currentByte(0),
      savedCurrentByte(0),
      bitsNotLoaded(bitCount),
      positionSaved(0),
      savedBitsLeftInByte(0),
      savedNextByte(data),
      savedBitsNotLoaded(bitCount) {}

// ReadBits for reads that need bytes beyond the current one, and for the checks.
uint32_t Bitstream::ReadBitsAcross(uint32_t n) {
    if (n > 32) throw BitstreamErrTooManyBits;
    if (n == 0) return 0;
    if (n <= bitsLeftInByte) {
        bitsLeftInByte -= n;
        return (uint32_t(currentByte) >> bitsLeftInByte) & kMask[n];
    }

    // The unread bits of the current byte go to the top; r bits still have to be loaded.
    uint32_t r = n - bitsLeftInByte;
    uint32_t acc = r == 32 ? 0 : uint32_t(currentByte) << r;

    // Whole bytes first (at most three), then the byte that supplies the last 1 to 8 bits.
    switch ((r - 1) / 8) {
        case 3:
            r -= 8;
            if (bitsNotLoaded < 8) throw BitstreamErrEndOfData;
            acc |= uint32_t(*nextByte++) << r;
            bitsNotLoaded -= 8;
            [[fallthrough]];
        case 2:
            r -= 8;
            if (bitsNotLoaded < 8) throw BitstreamErrEndOfData;
            acc |= uint32_t(*nextByte++) << r;
            bitsNotLoaded -= 8;
            [[fallthrough]];
        case 1:
            r -= 8;
            if (bitsNotLoaded < 8) throw BitstreamErrEndOfData;
            acc |= uint32_t(*nextByte++) << r;
            bitsNotLoaded -= 8;
            [[fallthrough]];
        default:
            break;
    }

    if (bitsNotLoaded < r) throw BitstreamErrEndOfData;
    currentByte = *nextByte++;
    const uint32_t t = bitsNotLoaded < 8 ? bitsNotLoaded : 8;
    bitsLeftInByte = t - r;
    bitsNotLoaded -= t;
    acc |= (uint32_t(currentByte) >> bitsLeftInByte) & kMask[r];
    return acc & kMask[n];
}

uint32_t Bitstream::PeekBits(uint32_t n) {
    Checkpoint(true);
    const uint32_t v = ReadBits(n);
    Checkpoint(false);
    return v;
}

void Bitstream::Checkpoint(bool save) {
    if (save) {
        savedBitsLeftInByte = bitsLeftInByte;
        savedNextByte = nextByte;
        savedBitsNotLoaded = bitsNotLoaded;
        savedCurrentByte = currentByte;
        positionSaved = 1;
    } else {
        bitsLeftInByte = savedBitsLeftInByte;
        nextByte = savedNextByte;
        bitsNotLoaded = savedBitsNotLoaded;
        currentByte = savedCurrentByte;
        positionSaved = 0;
    }
}

void SkipBits(Bitstream& stream, uint32_t n) {
    stream.ReadBits(n);
}
