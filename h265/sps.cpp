#include "h265/sps.h"

#include "h264/sps.h"
#include "h265/syntax.h"
#include "syntax/rbsp.h"

using h265detail::Invalid;
using h265detail::ReadUEAtMost;

namespace {

// Long scaling lists, 64 short-term reference picture sets and an HRD per sub-layer stay well
// inside this; longer units are parsed from their first bytes.
constexpr uint32_t kSpsBufferSize = 8192;
// Picture width and height limit: the largest that level 6.2 allows, Sqrt(MaxLumaPs * 8).
constexpr uint32_t kMaxPictureSide = 16888;
// Entries one short-term reference picture set may hold (MaxDpbSize - 1 at most is coded).
constexpr uint32_t kMaxRpsPictures = 16;

// scaling_list_data (7.3.4), values dropped.
void SkipScalingListData(Bitstream& s) {
    for (uint32_t sizeId = 0; sizeId < 4; ++sizeId) {
        for (uint32_t matrixId = 0; matrixId < 6; matrixId += sizeId == 3 ? 3 : 1) {
            if (!s.ReadBits(1)) {  // scaling_list_pred_mode_flag
                // scaling_list_pred_matrix_id_delta: an earlier list of the same size
                ReadUEAtMost(s, sizeId == 3 ? matrixId / 3 : matrixId);
                continue;
            }
            const uint32_t coefNum = sizeId == 0 ? 16 : 64;
            if (sizeId > 1) h265detail::ReadSEWithin(s, -7, 247);  // scaling_list_dc_coef_minus8
            for (uint32_t i = 0; i < coefNum; ++i)
                h265detail::ReadSEWithin(s, -128, 127);  // scaling_list_delta_coef
        }
    }
}

// A short-term reference picture set as far as the following sets need it (7.4.8).
struct ShortTermRps {
    uint32_t numNegative;
    uint32_t numPositive;
    int32_t deltaPocS0[kMaxRpsPictures];
    int32_t deltaPocS1[kMaxRpsPictures];
};

// st_ref_pic_set(idx) (7.3.7) of the SPS, where idx < num_short_term_ref_pic_sets, so that a set
// predicted from another names the one right before it (delta_idx_minus1 is not coded).
void ReadShortTermRps(Bitstream& s, uint32_t idx, ShortTermRps* sets) {
    ShortTermRps& rps = sets[idx];
    rps = ShortTermRps{};
    const bool predicted = idx != 0 && s.ReadBits(1);  // inter_ref_pic_set_prediction_flag
    if (!predicted) {
        rps.numNegative = ReadUEAtMost(s, kMaxRpsPictures - 1);
        rps.numPositive = ReadUEAtMost(s, kMaxRpsPictures - 1 - rps.numNegative);
        int32_t poc = 0;
        for (uint32_t i = 0; i < rps.numNegative; ++i) {
            poc -= int32_t(ReadUEAtMost(s, 32767)) + 1;  // delta_poc_s0_minus1
            rps.deltaPocS0[i] = poc;
            SkipBits(s, 1);  // used_by_curr_pic_s0_flag
        }
        poc = 0;
        for (uint32_t i = 0; i < rps.numPositive; ++i) {
            poc += int32_t(ReadUEAtMost(s, 32767)) + 1;  // delta_poc_s1_minus1
            rps.deltaPocS1[i] = poc;
            SkipBits(s, 1);  // used_by_curr_pic_s1_flag
        }
        return;
    }

    const ShortTermRps& ref = sets[idx - 1];
    const int32_t sign = int32_t(s.ReadBits(1));              // delta_rps_sign
    const int32_t abs = int32_t(ReadUEAtMost(s, 32767)) + 1;  // abs_delta_rps_minus1
    const int32_t deltaRps = sign ? -abs : abs;
    const uint32_t refCount = ref.numNegative + ref.numPositive;
    bool use[kMaxRpsPictures + 1];
    for (uint32_t j = 0; j <= refCount; ++j) {
        const bool used = s.ReadBits(1);      // used_by_curr_pic_flag
        use[j] = used || s.ReadBits(1) != 0;  // use_delta_flag, 1 when absent
    }
    // 7-61 and 7-62: the reference set's pictures moved by deltaRps, and the reference picture
    // itself, sorted into the two lists.
    uint32_t i = 0;
    auto add0 = [&](int32_t d) {
        if (i >= kMaxRpsPictures) throw Invalid();
        rps.deltaPocS0[i++] = d;
    };
    for (uint32_t j = ref.numPositive; j-- > 0;) {
        const int32_t d = ref.deltaPocS1[j] + deltaRps;
        if (d < 0 && use[ref.numNegative + j]) add0(d);
    }
    if (deltaRps < 0 && use[refCount]) add0(deltaRps);
    for (uint32_t j = 0; j < ref.numNegative; ++j) {
        const int32_t d = ref.deltaPocS0[j] + deltaRps;
        if (d < 0 && use[j]) add0(d);
    }
    rps.numNegative = i;
    i = 0;
    auto add1 = [&](int32_t d) {
        if (rps.numNegative + i >= kMaxRpsPictures) throw Invalid();
        rps.deltaPocS1[i++] = d;
    };
    for (uint32_t j = ref.numNegative; j-- > 0;) {
        const int32_t d = ref.deltaPocS0[j] + deltaRps;
        if (d > 0 && use[j]) add1(d);
    }
    if (deltaRps > 0 && use[refCount]) add1(deltaRps);
    for (uint32_t j = 0; j < ref.numPositive; ++j) {
        const int32_t d = ref.deltaPocS1[j] + deltaRps;
        if (d > 0 && use[ref.numNegative + j]) add1(d);
    }
    rps.numPositive = i;
}

// seq_parameter_set_rbsp from the NAL unit header through vui_parameters_present_flag.
void ReadSpsFields(Bitstream& s, H265SpsInfo* p) {
    h265detail::ReadParameterSetHeader(s, kH265Sps);
    p->sps_video_parameter_set_id = s.ReadBits(4);
    p->sps_max_sub_layers_minus1 = s.ReadBits(3);
    if (p->sps_max_sub_layers_minus1 > 6) throw Invalid();
    p->sps_temporal_id_nesting_flag = uint8_t(s.ReadBits(1));
    ReadH265ProfileTierLevel(s, p->sps_max_sub_layers_minus1, &p->ptl);
    p->sps_seq_parameter_set_id = ReadUEAtMost(s, 15);
    p->chroma_format_idc = ReadUEAtMost(s, 3);
    if (p->chroma_format_idc == 3) p->separate_colour_plane_flag = uint8_t(s.ReadBits(1));
    p->pic_width_in_luma_samples = ReadUE(s);
    p->pic_height_in_luma_samples = ReadUE(s);
    p->conformance_window_flag = uint8_t(s.ReadBits(1));
    if (p->conformance_window_flag) {
        p->conf_win_left_offset = ReadUE(s);
        p->conf_win_right_offset = ReadUE(s);
        p->conf_win_top_offset = ReadUE(s);
        p->conf_win_bottom_offset = ReadUE(s);
    }
    const uint64_t w = p->pic_width_in_luma_samples, h = p->pic_height_in_luma_samples;
    if (w == 0 || h == 0 || w > kMaxPictureSide || h > kMaxPictureSide) throw Invalid();
    // 64-bit sums: four offsets near 2^32 cannot wrap.
    const uint64_t cropX =
        H265SubWidthC(*p) * (uint64_t(p->conf_win_left_offset) + p->conf_win_right_offset);
    const uint64_t cropY =
        H265SubHeightC(*p) * (uint64_t(p->conf_win_top_offset) + p->conf_win_bottom_offset);
    if (cropX >= w || cropY >= h) throw Invalid();
    p->width = uint32_t(w - cropX);
    p->height = uint32_t(h - cropY);

    p->bit_depth_luma_minus8 = ReadUEAtMost(s, 8);
    p->bit_depth_chroma_minus8 = ReadUEAtMost(s, 8);
    p->log2_max_pic_order_cnt_lsb_minus4 = ReadUEAtMost(s, 12);
    p->sps_sub_layer_ordering_info_present_flag = uint8_t(s.ReadBits(1));
    const uint32_t top = p->sps_max_sub_layers_minus1;
    for (uint32_t i = p->sps_sub_layer_ordering_info_present_flag ? 0 : top; i <= top; ++i) {
        p->sps_max_dec_pic_buffering_minus1[i] = ReadUEAtMost(s, 15);
        p->sps_max_num_reorder_pics[i] = ReadUEAtMost(s, p->sps_max_dec_pic_buffering_minus1[i]);
        p->sps_max_latency_increase_plus1[i] = ReadUE(s);
    }
    if (!p->sps_sub_layer_ordering_info_present_flag) {
        for (uint32_t i = 0; i < top; ++i) {
            p->sps_max_dec_pic_buffering_minus1[i] = p->sps_max_dec_pic_buffering_minus1[top];
            p->sps_max_num_reorder_pics[i] = p->sps_max_num_reorder_pics[top];
            p->sps_max_latency_increase_plus1[i] = p->sps_max_latency_increase_plus1[top];
        }
    }

    // MinCbLog2SizeY 3 to 6 and CtbLog2SizeY at most 6 (4 to 6 in every profile).
    p->log2_min_luma_coding_block_size_minus3 = ReadUEAtMost(s, 3);
    p->log2_diff_max_min_luma_coding_block_size =
        ReadUEAtMost(s, 3 - p->log2_min_luma_coding_block_size_minus3);
    p->ctb_log2_size_y =
        p->log2_min_luma_coding_block_size_minus3 + 3 + p->log2_diff_max_min_luma_coding_block_size;
    const uint32_t ctb = 1u << p->ctb_log2_size_y;
    p->pic_width_in_ctbs_y = (p->pic_width_in_luma_samples + ctb - 1) / ctb;
    p->pic_height_in_ctbs_y = (p->pic_height_in_luma_samples + ctb - 1) / ctb;
    p->pic_size_in_ctbs_y = p->pic_width_in_ctbs_y * p->pic_height_in_ctbs_y;
    p->log2_min_luma_transform_block_size_minus2 = ReadUEAtMost(s, 3);
    p->log2_diff_max_min_luma_transform_block_size = ReadUEAtMost(s, 3);
    ReadUEAtMost(s, 4);  // max_transform_hierarchy_depth_inter
    ReadUEAtMost(s, 4);  // max_transform_hierarchy_depth_intra
    p->scaling_list_enabled_flag = uint8_t(s.ReadBits(1));
    if (p->scaling_list_enabled_flag && s.ReadBits(1))  // sps_scaling_list_data_present_flag
        SkipScalingListData(s);
    p->amp_enabled_flag = uint8_t(s.ReadBits(1));
    p->sample_adaptive_offset_enabled_flag = uint8_t(s.ReadBits(1));
    p->pcm_enabled_flag = uint8_t(s.ReadBits(1));
    if (p->pcm_enabled_flag) {
        SkipBits(s, 8);      // pcm_sample_bit_depth_luma_minus1, pcm_sample_bit_depth_chroma_minus1
        ReadUEAtMost(s, 2);  // log2_min_pcm_luma_coding_block_size_minus3
        ReadUEAtMost(s, 3);  // log2_diff_max_min_pcm_luma_coding_block_size
        SkipBits(s, 1);      // pcm_loop_filter_disabled_flag
    }
    p->num_short_term_ref_pic_sets = ReadUEAtMost(s, 64);
    ShortTermRps sets[64];
    for (uint32_t i = 0; i < p->num_short_term_ref_pic_sets; ++i) ReadShortTermRps(s, i, sets);
    p->long_term_ref_pics_present_flag = uint8_t(s.ReadBits(1));
    if (p->long_term_ref_pics_present_flag) {
        p->num_long_term_ref_pics_sps = ReadUEAtMost(s, 32);
        for (uint32_t i = 0; i < p->num_long_term_ref_pics_sps; ++i)
            // lt_ref_pic_poc_lsb_sps and used_by_curr_pic_lt_sps_flag
            SkipBits(s, p->log2_max_pic_order_cnt_lsb_minus4 + 4 + 1);
    }
    p->sps_temporal_mvp_enabled_flag = uint8_t(s.ReadBits(1));
    p->strong_intra_smoothing_enabled_flag = uint8_t(s.ReadBits(1));
    p->vui_parameters_present_flag = uint8_t(s.ReadBits(1));
}

// sub_layer_hrd_parameters (E.2.3), values dropped.
void SkipSubLayerHrd(Bitstream& s, uint32_t cpbCount, bool subPic) {
    for (uint32_t i = 0; i < cpbCount; ++i) {
        ReadUE(s);  // bit_rate_value_minus1
        ReadUE(s);  // cpb_size_value_minus1
        if (subPic) {
            ReadUE(s);  // cpb_size_du_value_minus1
            ReadUE(s);  // bit_rate_du_value_minus1
        }
        SkipBits(s, 1);  // cbr_flag
    }
}

// hrd_parameters(1, maxNumSubLayersMinus1) (E.2.2), values dropped.
void SkipHrd(Bitstream& s, uint32_t maxNumSubLayersMinus1) {
    const bool nal = s.ReadBits(1);  // nal_hrd_parameters_present_flag
    const bool vcl = s.ReadBits(1);  // vcl_hrd_parameters_present_flag
    bool subPic = false;
    if (nal || vcl) {
        subPic = s.ReadBits(1);  // sub_pic_hrd_params_present_flag
        // tick_divisor_minus2, du_cpb_removal_delay_increment_length_minus1,
        // sub_pic_cpb_params_in_pic_timing_sei_flag, dpb_output_delay_du_length_minus1
        if (subPic) SkipBits(s, 8 + 5 + 1 + 5);
        SkipBits(s, 8);              // bit_rate_scale, cpb_size_scale
        if (subPic) SkipBits(s, 4);  // cpb_size_du_scale
        SkipBits(s, 15);  // initial_cpb_removal_delay, au_cpb_removal_delay, dpb_output_delay
                          // lengths
    }
    for (uint32_t i = 0; i <= maxNumSubLayersMinus1; ++i) {
        bool fixedWithinCvs = true;  // inferred when fixed_pic_rate_general_flag is 1
        if (!s.ReadBits(1)) fixedWithinCvs = s.ReadBits(1);  // fixed_pic_rate_general_flag
        bool lowDelay = false;
        if (fixedWithinCvs)
            ReadUEAtMost(s, 2047);  // elemental_duration_in_tc_minus1
        else
            lowDelay = s.ReadBits(1);  // low_delay_hrd_flag
        uint32_t cpbCount = 1;
        if (!lowDelay) cpbCount = ReadUEAtMost(s, 31) + 1;  // cpb_cnt_minus1
        if (nal) SkipSubLayerHrd(s, cpbCount, subPic);
        if (vcl) SkipSubLayerHrd(s, cpbCount, subPic);
    }
}

// vui_parameters (E.2.1) after vui_parameters_present_flag, into v, whose VUI fields are 0.
// Throws on a read past the end and on values outside E.3.1's ranges.
void ReadVui(Bitstream& s, H265SpsInfo* v) {
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
            v->matrix_coeffs = uint8_t(s.ReadBits(8));
        }
    }
    if (s.ReadBits(1)) {     // chroma_loc_info_present_flag
        ReadUEAtMost(s, 5);  // chroma_sample_loc_type_top_field
        ReadUEAtMost(s, 5);  // chroma_sample_loc_type_bottom_field
    }
    SkipBits(s, 1);  // neutral_chroma_indication_flag
    v->field_seq_flag = uint8_t(s.ReadBits(1));
    v->frame_field_info_present_flag = uint8_t(s.ReadBits(1));
    if (s.ReadBits(1)) {  // default_display_window_flag: four offsets, not applied here
        for (int i = 0; i < 4; ++i) ReadUE(s);
    }
    v->vui_timing_info_present_flag = uint8_t(s.ReadBits(1));
    if (v->vui_timing_info_present_flag) {
        v->vui_num_units_in_tick = s.ReadBits(32);
        v->vui_time_scale = s.ReadBits(32);
        if (v->vui_num_units_in_tick == 0 || v->vui_time_scale == 0) throw Invalid();
        if (s.ReadBits(1))
            ReadUE(s);  // vui_poc_proportional_to_timing_flag,
                        // vui_num_ticks_poc_diff_one_minus1
        v->vui_hrd_parameters_present_flag = uint8_t(s.ReadBits(1));
        if (v->vui_hrd_parameters_present_flag) SkipHrd(s, v->sps_max_sub_layers_minus1);
    }
    v->bitstream_restriction_flag = uint8_t(s.ReadBits(1));
    if (v->bitstream_restriction_flag) {
        // tiles_fixed_structure_flag, motion_vectors_over_pic_boundaries_flag,
        // restricted_ref_pic_lists_flag
        SkipBits(s, 3);
        v->min_spatial_segmentation_idc = ReadUEAtMost(s, 4095);
        ReadUEAtMost(s, 16);  // max_bytes_per_pic_denom
        ReadUEAtMost(s, 16);  // max_bits_per_min_cu_denom
        ReadUEAtMost(s, 15);  // log2_max_mv_length_horizontal
        ReadUEAtMost(s, 15);  // log2_max_mv_length_vertical
    }
}

}  // namespace

void ReadH265ProfileTierLevel(Bitstream& s, uint32_t maxNumSubLayersMinus1,
                              H265ProfileTierLevel* ptl) {
    ptl->general_profile_space = uint8_t(s.ReadBits(2));
    ptl->general_tier_flag = uint8_t(s.ReadBits(1));
    ptl->general_profile_idc = uint8_t(s.ReadBits(5));
    ptl->general_profile_compatibility_flags = s.ReadBits(32);
    ptl->general_constraint_indicator_flags = uint64_t(s.ReadBits(16)) << 32;
    ptl->general_constraint_indicator_flags |= s.ReadBits(32);
    ptl->general_level_idc = uint8_t(s.ReadBits(8));
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (uint32_t i = 0; i < maxNumSubLayersMinus1; ++i) {
        profilePresent[i] = s.ReadBits(1);  // sub_layer_profile_present_flag
        levelPresent[i] = s.ReadBits(1);    // sub_layer_level_present_flag
    }
    if (maxNumSubLayersMinus1 > 0) SkipBits(s, 2 * (8 - maxNumSubLayersMinus1));  // reserved
    for (uint32_t i = 0; i < maxNumSubLayersMinus1; ++i) {
        // The sub-layer's profile space to its inbld flag: 88 bits, as in the general part.
        if (profilePresent[i]) {
            SkipBits(s, 24);
            SkipBits(s, 32);
            SkipBits(s, 32);
        }
        if (levelPresent[i]) SkipBits(s, 8);  // sub_layer_level_idc
    }
}

bool ParseH265Sps(const uint8_t* data, uint32_t length, H265SpsInfo* sps) {
    uint8_t rbsp[kSpsBufferSize];
    const uint32_t size = UnescapeRbsp(data, length, rbsp, kSpsBufferSize);
    H265SpsInfo parsed{};
    try {
        Bitstream s(rbsp, size * 8);
        ReadSpsFields(s, &parsed);
        if (parsed.vui_parameters_present_flag) {
            // Read into a copy so that a broken VUI leaves every VUI field at zero.
            H265SpsInfo withVui = parsed;
            try {
                ReadVui(s, &withVui);
                parsed = withVui;
            } catch (...) {
                parsed.vui_parameters_present_flag = 0;
            }
        }
    } catch (...) {
        return false;
    }
    *sps = parsed;
    return true;
}

uint32_t H265SubWidthC(const H265SpsInfo& sps) {
    return !sps.separate_colour_plane_flag &&
                   (sps.chroma_format_idc == 1 || sps.chroma_format_idc == 2)
               ? 2
               : 1;
}

uint32_t H265SubHeightC(const H265SpsInfo& sps) {
    return !sps.separate_colour_plane_flag && sps.chroma_format_idc == 1 ? 2 : 1;
}
