// Exp-Golomb codes and the sequence parameter set: the picture size, and for the timing of
// the pictures, the fields picture order and the VUI timing need.
#pragma once

#include <cstdint>

#include "h264/bitstream.h"

struct SpsInfo {
    uint8_t profile_idc;
    uint32_t chroma_format_idc;
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
    uint32_t width;   // displayed: cropped
    uint32_t height;

    // Further fields, as far as the parse got.
    uint32_t coded_width;  // the macroblock area
    uint32_t coded_height;
    uint8_t constraint_flags;  // constraint_set0_flag .. reserved_zero_2bits
    uint8_t level_idc;
    uint32_t seq_parameter_set_id;
    int32_t offset_for_non_ref_pic;
    int32_t offset_for_top_to_bottom_field;
    uint32_t num_ref_frames_in_pic_order_cnt_cycle;
    int32_t offset_for_ref_frame[256];
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

    // VUI (ParseSpsFull only); all 0 when absent or unreadable.
    uint8_t vui_parameters_present_flag;
    uint8_t timing_info_present_flag;
    uint32_t num_units_in_tick;
    uint32_t time_scale;
    uint8_t fixed_frame_rate_flag;
    uint8_t nal_hrd_parameters_present_flag;
    uint8_t vcl_hrd_parameters_present_flag;
    uint32_t cpb_removal_delay_length_minus1;
    uint32_t dpb_output_delay_length_minus1;
    uint8_t pic_struct_present_flag;
    uint8_t bitstream_restriction_flag;
    uint32_t max_num_reorder_frames;
    uint32_t max_dec_frame_buffering;
};

uint32_t ReadUE(Bitstream& stream);
int32_t ReadSE(Bitstream& stream);
void SkipScalingList(Bitstream& stream, uint32_t size);

// Parses an SPS NAL unit (`data` at its header byte) up to the frame cropping fields into the
// caller's zero-filled `info`. False when a read runs out or the size is unusable. Never throws.
bool ParseSps(const uint8_t* data, uint32_t length, SpsInfo* info);
// The same, then the VUI. A missing or unreadable VUI leaves its fields 0; the size still counts.
bool ParseSpsFull(const uint8_t* data, uint32_t length, SpsInfo* info);

// Copies a NAL unit's bytes without its emulation-prevention bytes (the 03 of 00 00 03) into
// dst, at most `capacity` bytes; returns the number written.
uint32_t UnescapeRbsp(const uint8_t* src, uint32_t length, uint8_t* dst, uint32_t capacity);

// ChromaArrayType: 0 for monochrome or separately coded colour planes, else chroma_format_idc.
uint32_t ChromaArrayType(const SpsInfo& sps);

// The size of the decoded picture buffer in frames that the SPS's level allows (at most 16).
uint32_t MaxDpbFrames(const SpsInfo& sps);
