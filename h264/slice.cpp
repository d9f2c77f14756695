#include "h264/slice.h"

#include <initializer_list>

#include "syntax/rbsp.h"

namespace {

// The slice header with the longest reference list modifications and prediction weight
// tables of 32 references in both lists stays well inside this.
constexpr uint32_t kSliceHeaderBufferSize = 2048;
constexpr uint32_t kSliceHeaderFirstTry = 128;
// Parameter sets: a slice group map of type 6 is the only long part.
constexpr uint32_t kPpsBufferSize = 4096;

// Raised for values out of range; caught together with the Bitstream's errors.
struct Invalid {};

uint32_t ReadUEAtMost(Bitstream& s, uint32_t max) {
    const uint32_t v = ReadUE(s);
    if (v > max) throw Invalid();
    return v;
}

void ReadPps(Bitstream& s, PpsInfo* p) {
    SkipBits(s, 1);  // forbidden_zero_bit
    SkipBits(s, 2);  // nal_ref_idc
    if (s.ReadBits(5) != 8) throw Invalid();
    p->pic_parameter_set_id = ReadUEAtMost(s, 255);
    p->seq_parameter_set_id = ReadUEAtMost(s, 31);
    p->entropy_coding_mode_flag = uint8_t(s.ReadBits(1));
    p->bottom_field_pic_order_in_frame_present_flag = uint8_t(s.ReadBits(1));
    p->num_slice_groups_minus1 = ReadUEAtMost(s, 7);
    if (p->num_slice_groups_minus1 > 0) {
        p->slice_group_map_type = ReadUEAtMost(s, 6);
        switch (p->slice_group_map_type) {
            case 0:
                for (uint32_t i = 0; i <= p->num_slice_groups_minus1; ++i)
                    ReadUE(s);  // run_length_minus1
                break;
            case 2:
                for (uint32_t i = 0; i < p->num_slice_groups_minus1; ++i) {
                    ReadUE(s);  // top_left
                    ReadUE(s);  // bottom_right
                }
                break;
            case 3:
            case 4:
            case 5:
                p->slice_group_change_direction_flag = uint8_t(s.ReadBits(1));
                p->slice_group_change_rate_minus1 = ReadUE(s);
                break;
            case 6: {
                p->pic_size_in_map_units_minus1 = ReadUE(s);
                uint32_t bits = 0;  // Ceil(Log2(num_slice_groups_minus1 + 1))
                while ((1u << bits) < p->num_slice_groups_minus1 + 1) ++bits;
                for (uint64_t i = 0; i <= p->pic_size_in_map_units_minus1; ++i)
                    SkipBits(s, bits);  // slice_group_id
                break;
            }
            default:
                break;
        }
    }
    p->num_ref_idx_l0_default_active_minus1 = ReadUEAtMost(s, 31);
    p->num_ref_idx_l1_default_active_minus1 = ReadUEAtMost(s, 31);
    p->weighted_pred_flag = uint8_t(s.ReadBits(1));
    p->weighted_bipred_idc = uint8_t(s.ReadBits(2));
    if (p->weighted_bipred_idc > 2) throw Invalid();
    p->pic_init_qp_minus26 = ReadSE(s);
    p->pic_init_qs_minus26 = ReadSE(s);
    p->chroma_qp_index_offset = ReadSE(s);
    p->deblocking_filter_control_present_flag = uint8_t(s.ReadBits(1));
    p->constrained_intra_pred_flag = uint8_t(s.ReadBits(1));
    p->redundant_pic_cnt_present_flag = uint8_t(s.ReadBits(1));
}

// ref_pic_list_modification for one list, values dropped.
void SkipRefPicListModification(Bitstream& s) {
    if (!s.ReadBits(1)) return;  // ref_pic_list_modification_flag_lX
    for (;;) {
        const uint32_t idc = ReadUEAtMost(s, 3);  // modification_of_pic_nums_idc
        if (idc == 3) return;
        ReadUE(s);  // abs_diff_pic_num_minus1 or long_term_pic_num
    }
}

// The weights and offsets of one list of pred_weight_table, values dropped.
void SkipWeights(Bitstream& s, uint32_t activeMinus1, bool chroma) {
    for (uint32_t i = 0; i <= activeMinus1; ++i) {
        if (s.ReadBits(1)) {  // luma_weight_lX_flag
            ReadSE(s);
            ReadSE(s);
        }
        if (chroma && s.ReadBits(1)) {  // chroma_weight_lX_flag
            for (int j = 0; j < 4; ++j) ReadSE(s);
        }
    }
}

// Returns false for a missing parameter set and for a slice that cannot be in a picture of its
// parameter sets; throws for reads past the end and bad values.
bool ReadSliceHeader(Bitstream& s, const ParameterSets& ps, SliceHeader* sh) {
    SkipBits(s, 1);  // forbidden_zero_bit
    sh->nal_ref_idc = uint8_t(s.ReadBits(2));
    sh->nal_unit_type = uint8_t(s.ReadBits(5));
    if (sh->nal_unit_type != 1 && sh->nal_unit_type != 2 && sh->nal_unit_type != 5) return false;
    const bool idr = sh->nal_unit_type == 5;

    sh->first_mb_in_slice = ReadUE(s);
    sh->slice_type = ReadUEAtMost(s, 9);
    sh->pic_parameter_set_id = ReadUEAtMost(s, 255);
    const PpsInfo* pps = ps.Pps(sh->pic_parameter_set_id);
    if (!pps) return false;
    sh->seq_parameter_set_id = pps->seq_parameter_set_id;
    const SpsInfo* sps = ps.Sps(pps->seq_parameter_set_id);
    if (!sps) return false;

    if (sps->separate_colour_plane_flag) sh->colour_plane_id = uint8_t(s.ReadBits(2));
    sh->frame_num = s.ReadBits(sps->log2_max_frame_num_minus4 + 4);
    if (!sps->frame_mbs_only_flag) {
        sh->field_pic_flag = uint8_t(s.ReadBits(1));
        if (sh->field_pic_flag) sh->bottom_field_flag = uint8_t(s.ReadBits(1));
    }
    // 7.4.3: the first macroblock lies in the picture; an IDR picture is a reference picture
    // of I or SI slices (7.4.1).
    const uint64_t mbaff = sps->mb_adaptive_frame_field_flag && !sh->field_pic_flag ? 2 : 1;
    const uint64_t picSizeInMbs =
        (uint64_t(sps->pic_width_in_mbs_minus1) + 1) * (2 - sps->frame_mbs_only_flag) *
        (uint64_t(sps->pic_height_in_map_units_minus1) + 1) / (1 + sh->field_pic_flag);
    if (uint64_t(sh->first_mb_in_slice) * mbaff >= picSizeInMbs) return false;
    if (idr && (sh->nal_ref_idc == 0 ||
                (sh->slice_type % 5 != SliceTypeI && sh->slice_type % 5 != SliceTypeSI)))
        return false;
    if (idr) sh->idr_pic_id = ReadUEAtMost(s, 65535);
    const bool bottomPresent =
        pps->bottom_field_pic_order_in_frame_present_flag && !sh->field_pic_flag;
    if (sps->pic_order_cnt_type == 0) {
        sh->pic_order_cnt_lsb = s.ReadBits(sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
        if (bottomPresent) sh->delta_pic_order_cnt_bottom = ReadSE(s);
    }
    if (sps->pic_order_cnt_type == 1 && !sps->delta_pic_order_always_zero_flag) {
        sh->delta_pic_order_cnt[0] = ReadSE(s);
        if (bottomPresent) sh->delta_pic_order_cnt[1] = ReadSE(s);
    }
    if (pps->redundant_pic_cnt_present_flag) sh->redundant_pic_cnt = ReadUEAtMost(s, 127);

    const uint32_t type = sh->slice_type % 5;
    const bool b = type == SliceTypeB;
    const bool p = type == SliceTypeP || type == SliceTypeSP;
    if (b) sh->direct_spatial_mv_pred_flag = uint8_t(s.ReadBits(1));
    sh->num_ref_idx_l0_active_minus1 = pps->num_ref_idx_l0_default_active_minus1;
    sh->num_ref_idx_l1_active_minus1 = pps->num_ref_idx_l1_default_active_minus1;
    if (p || b) {
        if (s.ReadBits(1)) {  // num_ref_idx_active_override_flag
            sh->num_ref_idx_l0_active_minus1 = ReadUEAtMost(s, 31);
            if (b) sh->num_ref_idx_l1_active_minus1 = ReadUEAtMost(s, 31);
        }
    }
    if (type != SliceTypeI && type != SliceTypeSI) {
        SkipRefPicListModification(s);
        if (b) SkipRefPicListModification(s);
    }
    if ((pps->weighted_pred_flag && p) || (pps->weighted_bipred_idc == 1 && b)) {
        const bool chroma = ChromaArrayType(*sps) != 0;
        ReadUE(s);              // luma_log2_weight_denom
        if (chroma) ReadUE(s);  // chroma_log2_weight_denom
        SkipWeights(s, sh->num_ref_idx_l0_active_minus1, chroma);
        if (b) SkipWeights(s, sh->num_ref_idx_l1_active_minus1, chroma);
    }
    if (sh->nal_ref_idc != 0) {
        if (idr) {
            sh->no_output_of_prior_pics_flag = uint8_t(s.ReadBits(1));
            sh->long_term_reference_flag = uint8_t(s.ReadBits(1));
        } else {
            sh->adaptive_ref_pic_marking_mode_flag = uint8_t(s.ReadBits(1));
            if (sh->adaptive_ref_pic_marking_mode_flag) {
                for (;;) {
                    const uint32_t op = ReadUEAtMost(s, 6);  // memory_management_control_operation
                    if (op == 0) break;
                    if (op == 5) sh->has_mmco5 = 1;
                    if (op == 1 || op == 3) ReadUE(s);  // difference_of_pic_nums_minus1
                    if (op == 2) ReadUE(s);             // long_term_pic_num
                    if (op == 3 || op == 6) ReadUE(s);  // long_term_frame_idx
                    if (op == 4) ReadUE(s);             // max_long_term_frame_idx_plus1
                }
            }
        }
    }
    return true;
}

}  // namespace

bool ParsePps(const uint8_t* data, uint32_t length, PpsInfo* pps) {
    uint8_t rbsp[kPpsBufferSize];
    const uint32_t size = UnescapeRbsp(data, length, rbsp, kPpsBufferSize);
    PpsInfo parsed{};
    try {
        Bitstream s(rbsp, size * 8);
        ReadPps(s, &parsed);
    } catch (...) {
        return false;
    }
    *pps = parsed;
    return true;
}

bool ParameterSets::AddSps(const uint8_t* data, uint32_t length) {
    SpsInfo parsed{};
    if (!ParseSpsFull(data, length, &parsed)) return false;
    // The ranges 7.4.2.1.1 gives for what slice headers and picture order counts depend on.
    if (parsed.seq_parameter_set_id > 31 || parsed.log2_max_frame_num_minus4 > 12 ||
        parsed.pic_order_cnt_type > 2 || parsed.log2_max_pic_order_cnt_lsb_minus4 > 12 ||
        parsed.num_ref_frames_in_pic_order_cnt_cycle > 255 || parsed.chroma_format_idc > 3)
        return false;
    sps[parsed.seq_parameter_set_id] = parsed;
    hasSps[parsed.seq_parameter_set_id] = true;
    return true;
}

bool ParameterSets::AddPps(const uint8_t* data, uint32_t length) {
    PpsInfo parsed{};
    if (!ParsePps(data, length, &parsed)) return false;
    pps[parsed.pic_parameter_set_id] = parsed;
    hasPps[parsed.pic_parameter_set_id] = true;
    return true;
}

const SpsInfo* ParameterSets::Sps(uint32_t seq_parameter_set_id) const {
    return seq_parameter_set_id < 32 && hasSps[seq_parameter_set_id] ? &sps[seq_parameter_set_id]
                                                                     : nullptr;
}

const PpsInfo* ParameterSets::Pps(uint32_t pic_parameter_set_id) const {
    return pic_parameter_set_id < 256 && hasPps[pic_parameter_set_id] ? &pps[pic_parameter_set_id]
                                                                      : nullptr;
}

bool ParseSliceHeader(const uint8_t* data, uint32_t length, const ParameterSets& ps,
                      SliceHeader* sh) {
    // Most headers take a few dozen bytes: the first try unescapes only the front of the slice,
    // and a header that runs past it is read again from a longer piece.
    uint8_t rbsp[kSliceHeaderBufferSize];
    for (uint32_t piece : {kSliceHeaderFirstTry, kSliceHeaderBufferSize}) {
        const uint32_t size = UnescapeRbsp(data, length, rbsp, piece);
        SliceHeader parsed{};
        try {
            Bitstream s(rbsp, size * 8);
            if (!ReadSliceHeader(s, ps, &parsed)) return false;
        } catch (...) {
            if (size < piece) return false;  // the whole slice was there: it is cut
            continue;
        }
        *sh = parsed;
        return true;
    }
    return false;
}
