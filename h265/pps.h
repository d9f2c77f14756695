// H.265 picture parameter set (7.3.2.3.1), read through the tile and wavefront flags.
#pragma once

#include <cstdint>

struct H265PpsInfo {
    uint32_t pps_pic_parameter_set_id;
    uint32_t pps_seq_parameter_set_id;
    uint8_t dependent_slice_segments_enabled_flag;
    uint8_t output_flag_present_flag;
    uint32_t num_extra_slice_header_bits;
    uint8_t sign_data_hiding_enabled_flag;
    uint8_t cabac_init_present_flag;
    uint32_t num_ref_idx_l0_default_active_minus1;
    uint32_t num_ref_idx_l1_default_active_minus1;
    int32_t init_qp_minus26;
    uint8_t constrained_intra_pred_flag;
    uint8_t transform_skip_enabled_flag;
    uint8_t cu_qp_delta_enabled_flag;
    uint32_t diff_cu_qp_delta_depth;
    int32_t pps_cb_qp_offset;
    int32_t pps_cr_qp_offset;
    uint8_t pps_slice_chroma_qp_offsets_present_flag;
    uint8_t weighted_pred_flag;
    uint8_t weighted_bipred_flag;
    uint8_t transquant_bypass_enabled_flag;
    uint8_t tiles_enabled_flag;
    uint8_t entropy_coding_sync_enabled_flag;
};

// Parses the PPS NAL unit data[0, length) (data points at the 2-byte NAL unit header) through
// entropy_coding_sync_enabled_flag. False when that part is cut, the unit is no base-layer PPS or
// a value is out of range. Never throws.
bool ParseH265Pps(const uint8_t* data, uint32_t length, H265PpsInfo* pps);
