// H.265 video parameter set (7.3.2.1), read through its timing information.
#pragma once

#include <cstdint>

#include "h265/sps.h"

struct H265VpsInfo {
    uint32_t vps_video_parameter_set_id;
    uint8_t vps_base_layer_internal_flag;
    uint8_t vps_base_layer_available_flag;
    uint32_t vps_max_layers_minus1;
    uint32_t vps_max_sub_layers_minus1;
    uint8_t vps_temporal_id_nesting_flag;
    H265ProfileTierLevel ptl;
    uint8_t vps_sub_layer_ordering_info_present_flag;
    // Every sub-layer filled: those not coded take the highest one's values.
    uint32_t vps_max_dec_pic_buffering_minus1[7];
    uint32_t vps_max_num_reorder_pics[7];
    uint32_t vps_max_latency_increase_plus1[7];
    uint32_t vps_max_layer_id;
    uint32_t vps_num_layer_sets_minus1;
    uint8_t vps_timing_info_present_flag;
    uint32_t vps_num_units_in_tick;
    uint32_t vps_time_scale;
    uint8_t vps_poc_proportional_to_timing_flag;
    uint32_t vps_num_ticks_poc_diff_one_minus1;
};

// Parses the VPS NAL unit data[0, length) (data points at the 2-byte NAL unit header) through
// vps_num_ticks_poc_diff_one_minus1; the HRD parameters and extensions after it are not read.
// False when that part is cut, the unit is no VPS of the base layer or a value is out of range
// (vps_max_sub_layers_minus1 above 6, timing with a zero tick or time scale). Never throws.
bool ParseH265Vps(const uint8_t* data, uint32_t length, H265VpsInfo* vps);
