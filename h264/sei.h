// Supplemental enhancement information messages (H.264 7.3.2.3 and D.1).
#pragma once

#include <cstdint>

// Walks the messages of the SEI NAL unit nal[0, length) (from its header byte) and, when one
// of them is a recovery point (payload type 6), stores its recovery_frame_cnt and returns true.
// False for other NAL unit types, for SEI units without a recovery point and when the message
// list breaks off before one. Never throws and allocates nothing.
bool FindRecoveryPoint(const uint8_t* nal, uint32_t length, uint32_t* recovery_frame_cnt);
