#include "h265/poc.h"

#include <cstdint>

#include "h265/nal.h"

int32_t H265PocCalculator::Compute(const H265SliceHeader& sh, const H265SpsInfo& sps,
                                   bool noRaslOutputFlag) {
    // MaxPicOrderCntLsb, with the exponent kept to the standard's range (4 to 16).
    const uint32_t minus4 = sps.log2_max_pic_order_cnt_lsb_minus4;
    const int64_t maxLsb = int64_t(1) << (minus4 > 12 ? 16 : minus4 + 4);
    const int64_t lsb = int64_t(sh.slice_pic_order_cnt_lsb) & (maxLsb - 1);

    int64_t msb = 0;
    if (!(H265IsIrap(sh.nal_unit_type) && noRaslOutputFlag)) {  // 8-1
        msb = prevTid0PicOrderCntMsb;
        if (lsb < prevTid0PicOrderCntLsb && prevTid0PicOrderCntLsb - lsb >= maxLsb / 2)
            msb += maxLsb;
        else if (lsb > prevTid0PicOrderCntLsb && lsb - prevTid0PicOrderCntLsb > maxLsb / 2)
            msb -= maxLsb;
    }
    // A stream that drifts past the int32_t range stays at its edge (no conforming one does).
    constexpr int64_t kLimit = int64_t(INT32_MAX);
    if (msb > kLimit) msb = kLimit + 1 - maxLsb;
    if (msb < -kLimit - 1) msb = -kLimit - 1;
    if (sh.temporal_id == 0 && !H265IsRasl(sh.nal_unit_type) && !H265IsRadl(sh.nal_unit_type) &&
        !H265IsSubLayerNonReference(sh.nal_unit_type)) {
        prevTid0PicOrderCntLsb = lsb;
        prevTid0PicOrderCntMsb = msb;
    }
    const int64_t poc = msb + lsb;
    return int32_t(poc > kLimit ? kLimit : poc < -kLimit - 1 ? -kLimit - 1 : poc);
}
