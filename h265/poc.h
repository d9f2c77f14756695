// H.265 picture order count (8.3.1).
#pragma once

#include <cstdint>

#include "h265/slice.h"
#include "h265/sps.h"

// Keeps prevTid0Pic's counts from picture to picture.
class H265PocCalculator {
public:
    // Call once per picture (first slice segment of each base-layer picture), in decoding
    // order. noRaslOutputFlag: the IRAP picture starts a coded video sequence (IDR, BLA, the
    // first picture, the first after an end of sequence); ignored for other pictures. Returns
    // PicOrderCntVal, held to the int32_t range for streams that drift past it.
    int32_t Compute(const H265SliceHeader& sh, const H265SpsInfo& sps, bool noRaslOutputFlag);

private:
    // Of the previous picture with TemporalId 0 that is not RASL, RADL or a sub-layer
    // non-reference picture.
    int64_t prevTid0PicOrderCntLsb = 0;
    int64_t prevTid0PicOrderCntMsb = 0;
};
