// Sequence parameter set parsing: the picture size and the VUI.
#pragma once

#include <cstdint>

#include "syntax/bitstream.h"
#include "syntax/expgolomb.h"
#include "syntax/rbsp.h"

// Filled by ParseSps / ParseSpsFull; the caller zero-fills it first (SpsInfo info{}). A field
// whose syntax element is absent keeps that zero.
struct SpsInfo {
    uint8_t profile_idc;
    uint32_t chroma_format_idc;  // only written by the profiles that carry it (see ChromaArrayType)
    uint8_t separate_colour_plane_flag;
    uint32_t bit_depth_luma_minus8;
    uint32_t bit_depth_chroma_minus8;
    uint8_t qpprime_y_zero_transform_bypass_flag;
    uint8_t seq_scaling_matrix_present_flag;
    uint32_t log2_max_frame_num_minus4;
    uint32_t log2_max_pic_order_cnt_lsb_minus4;
    uint32_t pic_order_cnt_type;
    uint8_t frame_mbs_only_flag;
    uint8_t delta_pic_order_always_zero_flag;
    uint8_t nal_ref_idc;
    uint8_t nal_unit_type;
    uint32_t
        width;  // displayed size in luma samples (cropping applied); 0 until the parse succeeds
    uint32_t height;

    uint8_t constraint_flags;  // the byte after profile_idc: constraint_set0_flag is bit 7
    uint8_t level_idc;
    uint32_t seq_parameter_set_id;
    int32_t offset_for_non_ref_pic;
    int32_t offset_for_top_to_bottom_field;
    uint32_t num_ref_frames_in_pic_order_cnt_cycle;
    int32_t offset_for_ref_frame[256];  // the first 256 when a stream claims more
    uint32_t max_num_ref_frames;
    uint8_t gaps_in_frame_num_value_allowed_flag;
    uint32_t pic_width_in_mbs_minus1;
    uint32_t pic_height_in_map_units_minus1;
    uint8_t mb_adaptive_frame_field_flag;
    uint8_t direct_8x8_inference_flag;
    uint8_t frame_cropping_flag;
    uint32_t frame_crop_left_offset;
    uint32_t frame_crop_right_offset;
    uint32_t frame_crop_top_offset;
    uint32_t frame_crop_bottom_offset;
    uint32_t coded_width;  // the macroblock area, before cropping
    uint32_t coded_height;

    // VUI (ParseSpsFull only; all zero when the VUI is absent, cut or malformed).
    uint8_t vui_parameters_present_flag;
    uint8_t aspect_ratio_info_present_flag;
    uint8_t aspect_ratio_idc;
    uint32_t sar_width;  // from Table E-1, or the explicit values for aspect_ratio_idc 255
    uint32_t sar_height;
    uint8_t video_signal_type_present_flag;
    uint8_t video_format;
    uint8_t video_full_range_flag;
    uint8_t colour_description_present_flag;
    uint8_t colour_primaries;
    uint8_t transfer_characteristics;
    uint8_t matrix_coefficients;
    uint8_t timing_info_present_flag;
    uint32_t num_units_in_tick;
    uint32_t time_scale;
    uint8_t fixed_frame_rate_flag;
    uint8_t nal_hrd_parameters_present_flag;
    uint8_t vcl_hrd_parameters_present_flag;
    uint32_t initial_cpb_removal_delay_length_minus1;  // of the last hrd_parameters read
    uint32_t cpb_removal_delay_length_minus1;
    uint32_t dpb_output_delay_length_minus1;
    uint32_t time_offset_length;
    uint8_t low_delay_hrd_flag;
    uint8_t pic_struct_present_flag;
    uint8_t bitstream_restriction_flag;
    uint32_t max_num_reorder_frames;
    uint32_t max_dec_frame_buffering;
};

// aspect_ratio_info_present_flag and what follows it (H.264 E.1.1, H.265 E.2.1: the same
// syntax and Table E-1 in both): the sample aspect ratio from the table or coded explicitly.
void ReadAspectRatioInfo(Bitstream& s, uint8_t* present, uint8_t* idc, uint32_t* sarWidth,
                         uint32_t* sarHeight);
// Reads one scaling_list of size (16 or 64) entries and discards it.
void SkipScalingList(Bitstream& s, uint32_t size);

// Parses the SPS NAL unit data[0, length) (data points at the NAL header byte) up to the frame
// cropping fields and derives the picture size. False when a read runs out of data or the size
// is 0, wider or taller than 65535, or cropped away. Never throws.
bool ParseSps(const uint8_t* data, uint32_t length, SpsInfo* info);
// ParseSps and then the VUI. A VUI that is cut or breaks its value ranges is dropped (its fields
// stay 0) without failing the parse.
bool ParseSpsFull(const uint8_t* data, uint32_t length, SpsInfo* info);

// Whether profile_idc carries chroma_format_idc, bit depths and the scaling matrix.
bool ProfileHasChromaFormat(uint32_t profile_idc);
// ChromaArrayType: 0 for separate colour planes (or monochrome), else chroma_format_idc, which
// is 1 (4:2:0) for the profiles that do not code it.
uint32_t ChromaArrayType(const SpsInfo& sps);
// The DPB size in frames that the level allows for this picture size (at most 16); 16 when the
// level is unknown or too small for the picture.
uint32_t MaxDpbFrames(const SpsInfo& sps);
