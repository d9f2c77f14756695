#include "syntax/bitstream.h"

#include <cstring>

Bitstream::Bitstream(const uint8_t* data, uint32_t bitCount)
    : nextByte(data), bitsNotLoaded(bitCount), savedNextByte(data), savedBitsNotLoaded(bitCount) {}

void Bitstream::Refill() {
    if (cached <= 56 && bitsNotLoaded >= 64) {
        // Eight bytes at once, of which the whole ones that fit behind the loaded bits.
        uint64_t word;
        memcpy(&word, nextByte, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        const uint32_t bits = (64 - cached) & ~7u;
        cache |= (bits == 64 ? word : word & ~(~uint64_t(0) >> bits)) >> cached;
        cached += bits;
        nextByte += bits / 8;
        bitsNotLoaded -= bits;
        return;
    }
    while (cached <= 56 && bitsNotLoaded >= 8) {
        cache |= uint64_t(*nextByte++) << (56 - cached);
        cached += 8;
        bitsNotLoaded -= 8;
    }
    if (cached <= 56 && bitsNotLoaded > 0) {  // the last byte, its first bits only
        const uint32_t k = bitsNotLoaded;
        cache |= uint64_t(*nextByte++ & uint8_t(0xFF00u >> k)) << (56 - cached);
        cached += k;
        bitsNotLoaded = 0;
    }
}

uint32_t Bitstream::ReadBitsSlow(uint32_t n) {
    if (n > 32) throw BitstreamErrTooManyBits;
    if (n == 0) return 0;
    Refill();
    if (n > cached) throw BitstreamErrEndOfData;
    const uint32_t v = uint32_t(cache >> (64 - n));
    cache <<= n;
    cached -= n;
    return v;
}

uint32_t Bitstream::ReadLeadingZeros() {
    uint32_t zeros = 0;
    for (;;) {
        if (cache != 0) {  // a 1 among the loaded bits
            const uint32_t z = uint32_t(__builtin_clzll(cache));
            // The 1 and the zeros in front of it; a shift by 64 would be undefined.
            cache = z == 63 ? 0 : cache << (z + 1);
            cached -= z + 1;
            return zeros + z;
        }
        zeros += cached;  // all of them zeros
        cached = 0;
        Refill();
        if (cached == 0) throw BitstreamErrEndOfData;
    }
}

uint32_t Bitstream::PeekBits(uint32_t n) {
    Checkpoint(true);
    const uint32_t v = ReadBits(n);
    Checkpoint(false);
    return v;
}

void Bitstream::Checkpoint(bool save) {
    if (save) {
        savedCache = cache;
        savedCached = cached;
        savedNextByte = nextByte;
        savedBitsNotLoaded = bitsNotLoaded;
    } else {
        cache = savedCache;
        cached = savedCached;
        nextByte = savedNextByte;
        bitsNotLoaded = savedBitsNotLoaded;
    }
}

void SkipBits(Bitstream& stream, uint32_t n) {
    stream.ReadBits(n);
}
