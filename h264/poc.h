// Picture order count (H.264 8.2.1) and the picture boundaries of 7.4.1.2.4.
#pragma once

#include <cstdint>

#include "h264/slice.h"
#include "h264/sps.h"

struct PocResult {
    int64_t top;     // TopFieldOrderCnt (frames and top fields)
    int64_t bottom;  // BottomFieldOrderCnt (frames and bottom fields)
    int64_t poc;     // PicOrderCnt: the smaller of the two for a frame, the field's own otherwise
    // IDR or memory_management_control_operation 5: every earlier picture is displayed before
    // this one and the count starts anew (for MMCO 5 the values above are already relative to
    // the picture itself, as after its decoding).
    bool reset;
};

// Keeps the state that carries from picture to picture. Call Compute once per picture (frame
// or field) in decoding order, with the header of its first slice and its SPS.
class PocCalculator {
public:
    PocResult Compute(const SliceHeader& sh, const SpsInfo& sps);

private:
    // pic_order_cnt_type 0: of the previous reference picture.
    int64_t prevPicOrderCntMsb = 0;
    int64_t prevPicOrderCntLsb = 0;
    // pic_order_cnt_type 1 and 2: of the previous picture.
    int64_t prevFrameNumOffset = 0;
    uint32_t prevFrameNum = 0;
};

// Whether the slice cur, which follows the slice prev in the stream, starts a new primary coded
// picture. sps is the one cur refers to.
bool IsFirstVclOfNewPicture(const SliceHeader& prev, const SliceHeader& cur, const SpsInfo& sps);
// The same for headers from ParseSliceHeader, which leaves the picture order fields that the
// SPS does not code at 0, so that they can be compared whatever pic_order_cnt_type is.
bool IsFirstVclOfNewPicture(const SliceHeader& prev, const SliceHeader& cur);

// Whether the field picture second, decoded right after the field picture first, completes it
// into a complementary field pair (opposite parity, same frame_num, both reference or both
// non-reference, second neither IDR nor carrying MMCO 5). The caller does not offer a field
// that already completes a pair as first.
bool IsSecondFieldOfPair(const SliceHeader& first, const SliceHeader& second);
