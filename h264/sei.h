// Supplemental enhancement information: the recovery point.
#pragma once

#include <cstdint>

// Walks the SEI messages of an SEI NAL unit (`data` at its header byte); true when one is a
// recovery point, with its recovery_frame_cnt in *recoveryFrameCnt.
bool FindRecoveryPoint(const uint8_t* data, uint32_t length, uint32_t* recoveryFrameCnt);
