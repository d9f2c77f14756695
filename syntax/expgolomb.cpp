#include "syntax/expgolomb.h"

uint32_t ReadUE(Bitstream& s) {
    // Leading zero bits, a 1, then as many bits as there were zeros.
    const uint32_t zeros = s.ReadLeadingZeros();     // the end of the data throws
    if (zeros >= 32) throw BitstreamErrTooManyBits;  // a value past 32 bits
    return zeros == 0 ? 0 : (1u << zeros) - 1 + s.ReadBits(zeros);
}

int32_t ReadSE(Bitstream& s) {
    const uint32_t k = ReadUE(s);
    // k is at most 0xFFFFFFFE, so both halves fit in 31 bits.
    return (k & 1) ? int32_t((k + 1) / 2) : -int32_t(k / 2);
}
