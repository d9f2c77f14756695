#include "h264/poc.h"

#include <algorithm>

namespace {

constexpr uint8_t kNalIdr = 5;

}  // namespace

PocResult PocCalculator::Compute(const SliceHeader& sh, const SpsInfo& sps) {
    PocResult r;
    const bool idr = sh.nal_unit_type == kNalIdr;
    const bool field = sh.field_pic_flag != 0;
    const bool bottomField = field && sh.bottom_field_flag;
    const bool reference = sh.nal_ref_idc != 0;

    if (sps.pic_order_cnt_type == 0) {
        const int64_t maxLsb = int64_t(1) << std::min<uint32_t>(sps.log2_max_pic_order_cnt_lsb_minus4 + 4, 32);
        if (idr) {
            prevPicOrderCntMsb = 0;
            prevPicOrderCntLsb = 0;
        }
        const int64_t lsb = sh.pic_order_cnt_lsb;
        int64_t msb = prevPicOrderCntMsb;
        if (lsb < prevPicOrderCntLsb && prevPicOrderCntLsb - lsb >= maxLsb / 2)
            msb = prevPicOrderCntMsb + maxLsb;
        else if (lsb > prevPicOrderCntLsb && lsb - prevPicOrderCntLsb > maxLsb / 2)
            msb = prevPicOrderCntMsb - maxLsb;
        if (!bottomField) r.top = msb + lsb;
        if (!field)
            r.bottom = r.top + sh.delta_pic_order_cnt_bottom;
        else if (bottomField)
            r.bottom = msb + lsb;
        if (reference) {
            prevPicOrderCntMsb = msb;
            prevPicOrderCntLsb = lsb;
        }
    } else {
        const int64_t maxFrameNum = int64_t(1) << std::min<uint32_t>(sps.log2_max_frame_num_minus4 + 4, 32);
        int64_t frameNumOffset = 0;
        if (!idr)
            frameNumOffset = prevFrameNum > sh.frame_num ? prevFrameNumOffset + maxFrameNum
                                                          : prevFrameNumOffset;
        if (sps.pic_order_cnt_type == 1) {
            const uint32_t cycle = std::min<uint32_t>(sps.num_ref_frames_in_pic_order_cnt_cycle, 256);
            int64_t absFrameNum = cycle != 0 ? frameNumOffset + sh.frame_num : 0;
            if (!reference && absFrameNum > 0) --absFrameNum;
            int64_t expected = 0;
            if (absFrameNum > 0) {
                int64_t deltaPerCycle = 0;
                for (uint32_t i = 0; i < cycle; ++i) deltaPerCycle += sps.offset_for_ref_frame[i];
                const int64_t cycleCnt = (absFrameNum - 1) / cycle;
                const int64_t inCycle = (absFrameNum - 1) % cycle;
                expected = cycleCnt * deltaPerCycle;
                for (int64_t i = 0; i <= inCycle; ++i) expected += sps.offset_for_ref_frame[i];
            }
            if (!reference) expected += sps.offset_for_non_ref_pic;
            if (!field) {
                r.top = expected + sh.delta_pic_order_cnt[0];
                r.bottom = r.top + sps.offset_for_top_to_bottom_field + sh.delta_pic_order_cnt[1];
            } else if (!bottomField) {
                r.top = expected + sh.delta_pic_order_cnt[0];
            } else {
                r.bottom = expected + sps.offset_for_top_to_bottom_field + sh.delta_pic_order_cnt[0];
            }
        } else {
            int64_t temp = 0;
            if (!idr) temp = 2 * (frameNumOffset + sh.frame_num) - (reference ? 0 : 1);
            r.top = r.bottom = temp;
        }
        prevFrameNumOffset = frameNumOffset;
        prevFrameNum = sh.frame_num;
    }

    r.poc = !field ? std::min(r.top, r.bottom) : bottomField ? r.bottom : r.top;
    if (sh.has_mmco5) {
        // The picture counts from 0 after it is decoded, and so do those after it.
        const int64_t temp = r.poc;
        r.top -= temp;
        r.bottom -= temp;
        r.poc = 0;
        prevPicOrderCntMsb = 0;
        prevPicOrderCntLsb = bottomField ? 0 : r.top;
        prevFrameNumOffset = 0;
        prevFrameNum = 0;
    }
    return r;
}

bool IsFirstVclOfNewPicture(const SliceHeader& prev, const SliceHeader& cur) {
    const bool prevIdr = prev.nal_unit_type == kNalIdr;
    const bool curIdr = cur.nal_unit_type == kNalIdr;
    // Fields that the stream's pic_order_cnt_type leaves out are 0 in both headers.
    return prev.frame_num != cur.frame_num ||
           prev.pic_parameter_set_id != cur.pic_parameter_set_id ||
           prev.field_pic_flag != cur.field_pic_flag ||
           prev.bottom_field_flag != cur.bottom_field_flag ||
           ((prev.nal_ref_idc == 0) != (cur.nal_ref_idc == 0)) ||
           prev.pic_order_cnt_lsb != cur.pic_order_cnt_lsb ||
           prev.delta_pic_order_cnt_bottom != cur.delta_pic_order_cnt_bottom ||
           prev.delta_pic_order_cnt[0] != cur.delta_pic_order_cnt[0] ||
           prev.delta_pic_order_cnt[1] != cur.delta_pic_order_cnt[1] || prevIdr != curIdr ||
           (prevIdr && curIdr && prev.idr_pic_id != cur.idr_pic_id);
}

bool IsSecondFieldOfPair(const SliceHeader& first, const SliceHeader& second) {
    return first.field_pic_flag && second.field_pic_flag &&
           first.bottom_field_flag != second.bottom_field_flag &&
           first.frame_num == second.frame_num && second.nal_unit_type != kNalIdr &&
           !second.has_mmco5;
}
