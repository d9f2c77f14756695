// Helpers the H.265 parsers share (not part of the library's interface).
#pragma once

#include <cstdint>

#include "h265/nal.h"
#include "syntax/bitstream.h"
#include "syntax/expgolomb.h"

namespace h265detail {

// Raised for values out of range; caught together with the Bitstream's errors.
struct Invalid {};

inline uint32_t ReadUEAtMost(Bitstream& s, uint32_t max) {
    const uint32_t v = ReadUE(s);
    if (v > max) throw Invalid();
    return v;
}

inline int32_t ReadSEWithin(Bitstream& s, int32_t min, int32_t max) {
    const int32_t v = ReadSE(s);
    if (v < min || v > max) throw Invalid();
    return v;
}

// The two header bytes of a parameter set of the given type. Sets of layers other than the base
// layer use other syntax (F.7.3.2) and are refused, so that they never take a base-layer slot.
inline void ReadParameterSetHeader(Bitstream& s, uint32_t type) {
    if (s.ReadBits(1) != 0) throw Invalid();  // forbidden_zero_bit
    if (s.ReadBits(6) != type) throw Invalid();
    if (s.ReadBits(6) != 0) throw Invalid();  // nuh_layer_id
    if (s.ReadBits(3) == 0) throw Invalid();  // nuh_temporal_id_plus1
}

}  // namespace h265detail
