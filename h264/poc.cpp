#include "h264/poc.h"

namespace {

// MaxFrameNum and MaxPicOrderCntLsb, with the exponent kept to the standard's range (4 to 16)
// so that a stray SPS cannot make the shift undefined.
int64_t PowerOfTwo(uint32_t minus4) {
    return int64_t(1) << (minus4 > 12 ? 16 : minus4 + 4);
}

bool NewPicture(const SliceHeader& prev, const SliceHeader& cur, bool type0, bool type1) {
    if (cur.frame_num != prev.frame_num) return true;
    if (cur.pic_parameter_set_id != prev.pic_parameter_set_id) return true;
    if (cur.field_pic_flag != prev.field_pic_flag) return true;
    if (cur.field_pic_flag && cur.bottom_field_flag != prev.bottom_field_flag) return true;
    if (cur.nal_ref_idc != prev.nal_ref_idc && (cur.nal_ref_idc == 0 || prev.nal_ref_idc == 0))
        return true;
    if (type0 && (cur.pic_order_cnt_lsb != prev.pic_order_cnt_lsb ||
                  cur.delta_pic_order_cnt_bottom != prev.delta_pic_order_cnt_bottom))
        return true;
    if (type1 && (cur.delta_pic_order_cnt[0] != prev.delta_pic_order_cnt[0] ||
                  cur.delta_pic_order_cnt[1] != prev.delta_pic_order_cnt[1]))
        return true;
    const bool curIdr = cur.nal_unit_type == 5;
    const bool prevIdr = prev.nal_unit_type == 5;
    if (curIdr != prevIdr) return true;
    return curIdr && cur.idr_pic_id != prev.idr_pic_id;
}

}  // namespace

PocResult PocCalculator::Compute(const SliceHeader& sh, const SpsInfo& sps) {
    const bool idr = sh.nal_unit_type == 5;
    const bool ref = sh.nal_ref_idc != 0;
    const bool field = sh.field_pic_flag != 0;
    const bool bottomField = field && sh.bottom_field_flag;
    PocResult r{};
    r.reset = idr;

    if (sps.pic_order_cnt_type == 0) {
        if (idr) {
            prevPicOrderCntMsb = 0;
            prevPicOrderCntLsb = 0;
        }
        const int64_t maxLsb = PowerOfTwo(sps.log2_max_pic_order_cnt_lsb_minus4);
        const int64_t lsb = sh.pic_order_cnt_lsb;
        int64_t msb = prevPicOrderCntMsb;
        if (lsb < prevPicOrderCntLsb && prevPicOrderCntLsb - lsb >= maxLsb / 2)
            msb += maxLsb;
        else if (lsb > prevPicOrderCntLsb && lsb - prevPicOrderCntLsb > maxLsb / 2)
            msb -= maxLsb;
        if (!bottomField) {
            r.top = msb + lsb;
            r.bottom = field ? 0 : r.top + sh.delta_pic_order_cnt_bottom;
        } else {
            r.bottom = msb + lsb;
        }
        if (ref) {
            prevPicOrderCntMsb = msb;
            prevPicOrderCntLsb = lsb;
        }
    } else {
        // Types 1 and 2 share FrameNumOffset.
        const int64_t maxFrameNum = PowerOfTwo(sps.log2_max_frame_num_minus4);
        int64_t frameNumOffset = 0;
        if (!idr)
            frameNumOffset = prevFrameNumOffset + (prevFrameNum > sh.frame_num ? maxFrameNum : 0);
        const int64_t frameNum = sh.frame_num;

        if (sps.pic_order_cnt_type == 1) {
            const uint32_t cycle = sps.num_ref_frames_in_pic_order_cnt_cycle > 256
                                       ? 256
                                       : sps.num_ref_frames_in_pic_order_cnt_cycle;
            int64_t absFrameNum = cycle != 0 ? frameNumOffset + frameNum : 0;
            if (!ref && absFrameNum > 0) --absFrameNum;
            int64_t expected = 0;
            if (absFrameNum > 0) {
                int64_t deltaPerCycle = 0;
                for (uint32_t i = 0; i < cycle; ++i) deltaPerCycle += sps.offset_for_ref_frame[i];
                const int64_t cycleCnt = (absFrameNum - 1) / cycle;
                const uint32_t inCycle = uint32_t((absFrameNum - 1) % cycle);
                expected = cycleCnt * deltaPerCycle;
                for (uint32_t i = 0; i <= inCycle; ++i) expected += sps.offset_for_ref_frame[i];
            }
            if (!ref) expected += sps.offset_for_non_ref_pic;
            if (!field) {
                r.top = expected + sh.delta_pic_order_cnt[0];
                r.bottom = r.top + sps.offset_for_top_to_bottom_field + sh.delta_pic_order_cnt[1];
            } else if (!bottomField) {
                r.top = expected + sh.delta_pic_order_cnt[0];
            } else {
                r.bottom =
                    expected + sps.offset_for_top_to_bottom_field + sh.delta_pic_order_cnt[0];
            }
        } else {
            int64_t temp = 0;
            if (!idr)
                temp = ref ? 2 * (frameNumOffset + frameNum) : 2 * (frameNumOffset + frameNum) - 1;
            r.top = bottomField ? 0 : temp;
            r.bottom = field && !bottomField ? 0 : temp;
        }
        prevFrameNumOffset = frameNumOffset;
        prevFrameNum = sh.frame_num;
    }

    if (!field)
        r.poc = r.top < r.bottom ? r.top : r.bottom;
    else
        r.poc = bottomField ? r.bottom : r.top;

    if (ref && sh.has_mmco5 && !idr) {
        // After the picture is decoded its order counts are taken relative to itself, its
        // frame_num counts as 0, and the following pictures start from there.
        const int64_t temp = r.poc;
        if (!bottomField) r.top -= temp;
        if (!field || bottomField) r.bottom -= temp;
        r.poc = 0;
        r.reset = true;
        prevPicOrderCntMsb = 0;
        prevPicOrderCntLsb = bottomField ? 0 : r.top;
        prevFrameNumOffset = 0;
        prevFrameNum = 0;
    }
    return r;
}

bool IsFirstVclOfNewPicture(const SliceHeader& prev, const SliceHeader& cur, const SpsInfo& sps) {
    return NewPicture(prev, cur, sps.pic_order_cnt_type == 0, sps.pic_order_cnt_type == 1);
}

bool IsFirstVclOfNewPicture(const SliceHeader& prev, const SliceHeader& cur) {
    return NewPicture(prev, cur, true, true);
}

bool IsSecondFieldOfPair(const SliceHeader& first, const SliceHeader& second) {
    return first.field_pic_flag && second.field_pic_flag &&
           first.bottom_field_flag != second.bottom_field_flag &&
           first.frame_num == second.frame_num &&
           (first.nal_ref_idc != 0) == (second.nal_ref_idc != 0) && second.nal_unit_type != 5 &&
           !second.has_mmco5;
}
