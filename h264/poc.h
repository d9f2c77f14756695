// Picture order: which slices begin a new picture, and the order count of each picture.
#pragma once

#include <cstdint>

#include "h264/slice.h"
#include "h264/sps.h"

struct PocResult {
    int64_t top = 0;     // TopFieldOrderCnt
    int64_t bottom = 0;  // BottomFieldOrderCnt
    int64_t poc = 0;     // PicOrderCnt: the smaller of the two for a frame, the field's own else
};

// Order counts of the pictures of one stream, in decoding order (H.264 8.2.1). Kept in 64 bits so
// that no input can overflow them.
class PocCalculator {
public:
    // Call once per picture (frame or field), with its first slice's header and its SPS. For a
    // picture with memory_management_control_operation 5 the result is the count it has after
    // being decoded, from which the following pictures count.
    PocResult Compute(const SliceHeader& sh, const SpsInfo& sps);

private:
    // pic_order_cnt_type 0: of the previous reference picture.
    int64_t prevPicOrderCntMsb = 0;
    int64_t prevPicOrderCntLsb = 0;
    // pic_order_cnt_type 1 and 2: of the previous picture.
    int64_t prevFrameNumOffset = 0;
    uint32_t prevFrameNum = 0;
};

// Whether `cur`, a slice that follows `prev` in the same stream, is the first slice of a new
// primary coded picture (H.264 7.4.1.2.4).
bool IsFirstVclOfNewPicture(const SliceHeader& prev, const SliceHeader& cur);

// Whether the field `second` completes the field `first` to a frame: opposite parity, same
// frame_num, and the second neither an IDR picture nor one that resets the order.
bool IsSecondFieldOfPair(const SliceHeader& first, const SliceHeader& second);
