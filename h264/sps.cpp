#include "h264/sps.h"

#include "syntax/rbsp.h"

namespace {

// An SPS is a few dozen bytes; one with scaling lists and a long picture order cycle stays far
// below this. Longer ones are parsed from their first bytes.
constexpr uint32_t kSpsBufferSize = 4096;

// Reads seq_parameter_set_rbsp up to the frame cropping fields and derives the picture size.
// Throws on a read past the end; false for a size that cannot be a picture.
bool ReadSpsFields(Bitstream& s, SpsInfo* info) {
    SkipBits(s, 1);  // forbidden_zero_bit
    info->nal_ref_idc = uint8_t(s.ReadBits(2));
    info->nal_unit_type = uint8_t(s.ReadBits(5));
    info->profile_idc = uint8_t(s.ReadBits(8));
    info->constraint_flags = uint8_t(s.ReadBits(8));
    info->level_idc = uint8_t(s.ReadBits(8));
    info->seq_parameter_set_id = ReadUE(s);

    if (ProfileHasChromaFormat(info->profile_idc)) {
        info->chroma_format_idc = ReadUE(s);
        if (info->chroma_format_idc == 3) info->separate_colour_plane_flag = uint8_t(s.ReadBits(1));
        info->bit_depth_luma_minus8 = ReadUE(s);
        info->bit_depth_chroma_minus8 = ReadUE(s);
        info->qpprime_y_zero_transform_bypass_flag = uint8_t(s.ReadBits(1));
        info->seq_scaling_matrix_present_flag = uint8_t(s.ReadBits(1));
        if (info->seq_scaling_matrix_present_flag) {
            const uint32_t lists = info->chroma_format_idc == 3 ? 12 : 8;
            for (uint32_t i = 0; i < lists; ++i)
                if (s.ReadBits(1)) SkipScalingList(s, i < 6 ? 16 : 64);
        }
    }

    info->log2_max_frame_num_minus4 = ReadUE(s);
    info->pic_order_cnt_type = ReadUE(s);
    if (info->pic_order_cnt_type == 0) {
        info->log2_max_pic_order_cnt_lsb_minus4 = ReadUE(s);
    } else if (info->pic_order_cnt_type == 1) {
        info->delta_pic_order_always_zero_flag = uint8_t(s.ReadBits(1));
        info->offset_for_non_ref_pic = ReadSE(s);
        info->offset_for_top_to_bottom_field = ReadSE(s);
        info->num_ref_frames_in_pic_order_cnt_cycle = ReadUE(s);
        for (uint32_t i = 0; i < info->num_ref_frames_in_pic_order_cnt_cycle; ++i) {
            const int32_t offset = ReadSE(s);
            if (i < 256) info->offset_for_ref_frame[i] = offset;
        }
    }

    info->max_num_ref_frames = ReadUE(s);
    info->gaps_in_frame_num_value_allowed_flag = uint8_t(s.ReadBits(1));
    info->pic_width_in_mbs_minus1 = ReadUE(s);
    info->pic_height_in_map_units_minus1 = ReadUE(s);
    info->frame_mbs_only_flag = uint8_t(s.ReadBits(1));
    if (!info->frame_mbs_only_flag) info->mb_adaptive_frame_field_flag = uint8_t(s.ReadBits(1));
    info->direct_8x8_inference_flag = uint8_t(s.ReadBits(1));
    info->frame_cropping_flag = uint8_t(s.ReadBits(1));
    if (info->frame_cropping_flag) {
        info->frame_crop_left_offset = ReadUE(s);
        info->frame_crop_right_offset = ReadUE(s);
        info->frame_crop_top_offset = ReadUE(s);
        info->frame_crop_bottom_offset = ReadUE(s);
    }

    // 64-bit arithmetic: none of these products or sums can wrap.
    const uint64_t fieldFactor = 2 - info->frame_mbs_only_flag;
    const uint64_t codedWidth = (uint64_t(info->pic_width_in_mbs_minus1) + 1) * 16;
    const uint64_t codedHeight =
        fieldFactor * (uint64_t(info->pic_height_in_map_units_minus1) + 1) * 16;
    uint64_t cropUnitX = 1;
    uint64_t cropUnitY = fieldFactor;
    switch (ChromaArrayType(*info)) {
        case 1:  // 4:2:0
            cropUnitX = 2;
            cropUnitY = 2 * fieldFactor;
            break;
        case 2:  // 4:2:2
            cropUnitX = 2;
            break;
        default:  // monochrome, 4:4:4 and separate planes count in luma samples
            break;
    }
    const uint64_t cropX =
        cropUnitX * (uint64_t(info->frame_crop_left_offset) + info->frame_crop_right_offset);
    const uint64_t cropY =
        cropUnitY * (uint64_t(info->frame_crop_top_offset) + info->frame_crop_bottom_offset);
    if (codedWidth > 0xFFFF || codedHeight > 0xFFFF || cropX >= codedWidth || cropY >= codedHeight)
        return false;

    info->coded_width = uint32_t(codedWidth);
    info->coded_height = uint32_t(codedHeight);
    info->width = uint32_t(codedWidth - cropX);
    info->height = uint32_t(codedHeight - cropY);
    return true;
}

// hrd_parameters (E.1.2); false when cpb_cnt_minus1 is out of range.
bool ReadHrd(Bitstream& s, SpsInfo* v) {
    const uint32_t cpbCount = ReadUE(s) + 1;
    if (cpbCount == 0 || cpbCount > 32) return false;
    SkipBits(s, 8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < cpbCount; ++i) {
        ReadUE(s);       // bit_rate_value_minus1
        ReadUE(s);       // cpb_size_value_minus1
        SkipBits(s, 1);  // cbr_flag
    }
    v->initial_cpb_removal_delay_length_minus1 = s.ReadBits(5);
    v->cpb_removal_delay_length_minus1 = s.ReadBits(5);
    v->dpb_output_delay_length_minus1 = s.ReadBits(5);
    v->time_offset_length = s.ReadBits(5);
    return true;
}

}  // namespace

void ReadAspectRatioInfo(Bitstream& s, uint8_t* present, uint8_t* idc, uint32_t* sarWidth,
                         uint32_t* sarHeight) {
    // Table E-1.
    static constexpr uint8_t kSar[17][2] = {
        {0, 0},   {1, 1},   {12, 11}, {10, 11}, {16, 11},  {40, 33}, {24, 11}, {20, 11}, {32, 11},
        {80, 33}, {18, 11}, {15, 11}, {64, 33}, {160, 99}, {4, 3},   {3, 2},   {2, 1},
    };
    *present = uint8_t(s.ReadBits(1));
    if (!*present) return;
    *idc = uint8_t(s.ReadBits(8));
    if (*idc == 255) {
        *sarWidth = s.ReadBits(16);
        *sarHeight = s.ReadBits(16);
    } else if (*idc <= 16) {
        *sarWidth = kSar[*idc][0];
        *sarHeight = kSar[*idc][1];
    }
}

namespace {

// vui_parameters (E.1.1) into v, which holds zeros in every VUI field. Throws on a read past
// the end; false for values outside the ranges E.2.1 gives.
bool ReadVui(Bitstream& s, SpsInfo* v) {
    v->vui_parameters_present_flag = uint8_t(s.ReadBits(1));
    if (!v->vui_parameters_present_flag) return true;

    ReadAspectRatioInfo(s, &v->aspect_ratio_info_present_flag, &v->aspect_ratio_idc, &v->sar_width,
                        &v->sar_height);
    if (s.ReadBits(1)) SkipBits(s, 1);  // overscan_info_present_flag, overscan_appropriate_flag
    v->video_signal_type_present_flag = uint8_t(s.ReadBits(1));
    if (v->video_signal_type_present_flag) {
        v->video_format = uint8_t(s.ReadBits(3));
        v->video_full_range_flag = uint8_t(s.ReadBits(1));
        v->colour_description_present_flag = uint8_t(s.ReadBits(1));
        if (v->colour_description_present_flag) {
            v->colour_primaries = uint8_t(s.ReadBits(8));
            v->transfer_characteristics = uint8_t(s.ReadBits(8));
            v->matrix_coefficients = uint8_t(s.ReadBits(8));
        }
    }
    if (s.ReadBits(1)) {  // chroma_loc_info_present_flag
        ReadUE(s);
        ReadUE(s);
    }
    v->timing_info_present_flag = uint8_t(s.ReadBits(1));
    if (v->timing_info_present_flag) {
        v->num_units_in_tick = s.ReadBits(32);
        v->time_scale = s.ReadBits(32);
        v->fixed_frame_rate_flag = uint8_t(s.ReadBits(1));
        if (v->num_units_in_tick == 0 || v->time_scale == 0) return false;
    }
    v->nal_hrd_parameters_present_flag = uint8_t(s.ReadBits(1));
    if (v->nal_hrd_parameters_present_flag && !ReadHrd(s, v)) return false;
    v->vcl_hrd_parameters_present_flag = uint8_t(s.ReadBits(1));
    if (v->vcl_hrd_parameters_present_flag && !ReadHrd(s, v)) return false;
    if (v->nal_hrd_parameters_present_flag || v->vcl_hrd_parameters_present_flag)
        v->low_delay_hrd_flag = uint8_t(s.ReadBits(1));
    v->pic_struct_present_flag = uint8_t(s.ReadBits(1));
    v->bitstream_restriction_flag = uint8_t(s.ReadBits(1));
    if (v->bitstream_restriction_flag) {
        SkipBits(s, 1);  // motion_vectors_over_pic_boundaries_flag
        ReadUE(s);       // max_bytes_per_pic_denom
        ReadUE(s);       // max_bits_per_mb_denom
        ReadUE(s);       // log2_max_mv_length_horizontal
        ReadUE(s);       // log2_max_mv_length_vertical
        v->max_num_reorder_frames = ReadUE(s);
        v->max_dec_frame_buffering = ReadUE(s);
        if (v->max_dec_frame_buffering > 16 ||
            v->max_num_reorder_frames > v->max_dec_frame_buffering)
            return false;
    }
    return true;
}

bool Parse(const uint8_t* data, uint32_t length, SpsInfo* info, bool withVui) {
    uint8_t rbsp[kSpsBufferSize];
    const uint32_t size = UnescapeRbsp(data, length, rbsp, kSpsBufferSize);
    try {
        Bitstream s(rbsp, size * 8);
        if (!ReadSpsFields(s, info)) return false;
        if (!withVui) return true;
        // The VUI is read into a copy so that a broken one leaves every VUI field at zero.
        SpsInfo vui = *info;
        try {
            if (ReadVui(s, &vui)) *info = vui;
        } catch (...) {
        }
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

void SkipScalingList(Bitstream& s, uint32_t size) {
    uint32_t lastScale = 8;
    uint32_t nextScale = 8;
    for (uint32_t j = 0; j < size; ++j) {
        if (nextScale != 0) {
            const uint32_t delta = uint32_t(ReadSE(s));
            nextScale = (lastScale + delta + 256) % 256;
        }
        if (nextScale != 0) lastScale = nextScale;
    }
}

bool ParseSps(const uint8_t* data, uint32_t length, SpsInfo* info) {
    return Parse(data, length, info, false);
}

bool ParseSpsFull(const uint8_t* data, uint32_t length, SpsInfo* info) {
    return Parse(data, length, info, true);
}

bool ProfileHasChromaFormat(uint32_t profile_idc) {
    static constexpr uint8_t kProfiles[] = {100, 110, 122, 244, 44,  83,  86,
                                            118, 128, 138, 139, 134, 135, 144};
    for (const uint8_t p : kProfiles)
        if (p == profile_idc) return true;
    return false;
}

uint32_t ChromaArrayType(const SpsInfo& sps) {
    if (!ProfileHasChromaFormat(sps.profile_idc)) return 1;
    return sps.separate_colour_plane_flag ? 0 : sps.chroma_format_idc;
}

uint32_t MaxDpbFrames(const SpsInfo& sps) {
    // Table A-1: level_idc and MaxDpbMbs. Level 1b is level_idc 9, or 11 with constraint_set3_flag
    // in the Baseline, Main and Extended profiles.
    static constexpr uint32_t kLevels[][2] = {
        {9, 396},     {10, 396},    {11, 900},    {12, 2376},   {13, 2376},
        {20, 2376},   {21, 4752},   {22, 8100},   {30, 8100},   {31, 18000},
        {32, 20480},  {40, 32768},  {41, 32768},  {42, 34816},  {50, 110400},
        {51, 184320}, {52, 184320}, {60, 696320}, {61, 696320}, {62, 696320},
    };
    uint32_t level = sps.level_idc;
    if (level == 11 && (sps.constraint_flags & 0x10) &&
        (sps.profile_idc == 66 || sps.profile_idc == 77 || sps.profile_idc == 88))
        level = 9;
    uint64_t maxDpbMbs = 0;
    for (const auto& entry : kLevels)
        if (entry[0] == level) maxDpbMbs = entry[1];
    const uint64_t frameMbs = (uint64_t(sps.pic_width_in_mbs_minus1) + 1) *
                              (2 - (sps.frame_mbs_only_flag ? 1 : 0)) *
                              (uint64_t(sps.pic_height_in_map_units_minus1) + 1);
    const uint64_t frames = maxDpbMbs / frameMbs;
    if (frames == 0 || frames > 16) return 16;
    return uint32_t(frames);
}
