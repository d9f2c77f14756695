// H.265 sequence parameter set (7.3.2.2.1) with profile_tier_level (7.3.3) and the VUI (E.2.1).
#pragma once

#include <cstdint>

#include "syntax/bitstream.h"

// The general part of profile_tier_level; the sub-layer parts are read past.
struct H265ProfileTierLevel {
    uint8_t general_profile_space;
    uint8_t general_tier_flag;
    uint8_t general_profile_idc;
    uint32_t general_profile_compatibility_flags;  // flag j is bit 31 - j
    // general_progressive_source_flag is bit 47, then interlaced, non-packed, frame-only and
    // the 44 bits after them, as coded.
    uint64_t general_constraint_indicator_flags;
    uint8_t general_level_idc;  // 30 times the level number
};

// profile_tier_level(1, maxNumSubLayersMinus1). Throws what the Bitstream throws.
void ReadH265ProfileTierLevel(Bitstream& s, uint32_t maxNumSubLayersMinus1,
                              H265ProfileTierLevel* ptl);

// Filled by ParseH265Sps, which zero-fills it first. A field whose syntax element is absent keeps
// that zero unless the standard infers another value (noted).
struct H265SpsInfo {
    uint32_t sps_video_parameter_set_id;
    uint32_t sps_max_sub_layers_minus1;
    uint8_t sps_temporal_id_nesting_flag;
    H265ProfileTierLevel ptl;
    uint32_t sps_seq_parameter_set_id;
    uint32_t chroma_format_idc;
    uint8_t separate_colour_plane_flag;
    uint32_t pic_width_in_luma_samples;
    uint32_t pic_height_in_luma_samples;
    uint8_t conformance_window_flag;
    uint32_t conf_win_left_offset;  // in chroma sample units (SubWidthC, SubHeightC)
    uint32_t conf_win_right_offset;
    uint32_t conf_win_top_offset;
    uint32_t conf_win_bottom_offset;
    uint32_t width;  // displayed size in luma samples, conformance window applied
    uint32_t height;
    uint32_t bit_depth_luma_minus8;
    uint32_t bit_depth_chroma_minus8;
    uint32_t log2_max_pic_order_cnt_lsb_minus4;
    uint8_t sps_sub_layer_ordering_info_present_flag;
    // Every sub-layer filled: those not coded take the highest one's values.
    uint32_t sps_max_dec_pic_buffering_minus1[7];
    uint32_t sps_max_num_reorder_pics[7];
    uint32_t sps_max_latency_increase_plus1[7];
    uint32_t log2_min_luma_coding_block_size_minus3;
    uint32_t log2_diff_max_min_luma_coding_block_size;
    uint32_t log2_min_luma_transform_block_size_minus2;
    uint32_t log2_diff_max_min_luma_transform_block_size;
    uint8_t scaling_list_enabled_flag;
    uint8_t amp_enabled_flag;
    uint8_t sample_adaptive_offset_enabled_flag;
    uint8_t pcm_enabled_flag;
    uint32_t num_short_term_ref_pic_sets;
    uint8_t long_term_ref_pics_present_flag;
    uint32_t num_long_term_ref_pics_sps;
    uint8_t sps_temporal_mvp_enabled_flag;
    uint8_t strong_intra_smoothing_enabled_flag;

    // Derived: CtbLog2SizeY and the picture size in coding tree blocks (7-10 to 7-19).
    uint32_t ctb_log2_size_y;
    uint32_t pic_width_in_ctbs_y;
    uint32_t pic_height_in_ctbs_y;
    uint32_t pic_size_in_ctbs_y;

    // VUI: all zero when the VUI is absent, cut or malformed.
    uint8_t vui_parameters_present_flag;
    uint8_t aspect_ratio_info_present_flag;
    uint8_t aspect_ratio_idc;
    uint32_t sar_width;  // from Table E.1, or the explicit values for aspect_ratio_idc 255
    uint32_t sar_height;
    uint8_t video_signal_type_present_flag;
    uint8_t video_format;
    uint8_t video_full_range_flag;
    uint8_t colour_description_present_flag;
    uint8_t colour_primaries;
    uint8_t transfer_characteristics;
    uint8_t matrix_coeffs;
    uint8_t field_seq_flag;
    uint8_t frame_field_info_present_flag;
    uint8_t vui_timing_info_present_flag;
    uint32_t vui_num_units_in_tick;
    uint32_t vui_time_scale;
    uint8_t vui_hrd_parameters_present_flag;
    uint8_t bitstream_restriction_flag;
    uint32_t min_spatial_segmentation_idc;
};

// Parses the SPS NAL unit data[0, length) (data points at the 2-byte NAL unit header) through
// vui_parameters_present_flag, and the VUI after it. False when that part is cut, the unit is
// no base-layer SPS, or a value lies out of range (identifiers, bit depths, block sizes, a
// picture size of 0 or above 16888, a conformance window that leaves nothing). A VUI that is cut
// or breaks its value ranges is dropped (its fields stay 0) without failing. Never throws.
bool ParseH265Sps(const uint8_t* data, uint32_t length, H265SpsInfo* sps);

// SubWidthC and SubHeightC (Table 6-1): 2 for the subsampled directions of 4:2:0 and 4:2:2, else
// 1 (also for monochrome and separate colour planes).
uint32_t H265SubWidthC(const H265SpsInfo& sps);
uint32_t H265SubHeightC(const H265SpsInfo& sps);
