#include "h264/slice.h"

namespace {

// Slice headers and PPS fields fit in the first bytes of their NAL unit; only these are
// unescaped. (A slice header with weights for 32 references per list and 4:4:4 chroma is the
// longest, well under this.)
constexpr uint32_t kHeaderBytes = 1024;

enum SliceType : uint32_t { kP = 0, kB = 1, kI = 2, kSP = 3, kSI = 4 };

uint32_t CeilLog2(uint32_t v) {
    uint32_t n = 0;
    while ((uint64_t(1) << n) < v) ++n;
    return n;
}

void SkipRefPicListModification(Bitstream& bs, uint32_t sliceType) {
    const uint32_t lists = sliceType == kB ? 2 : (sliceType == kI || sliceType == kSI) ? 0 : 1;
    for (uint32_t list = 0; list < lists; ++list) {
        if (!bs.ReadBits(1)) continue;  // ref_pic_list_modification_flag_lX
        for (uint32_t guard = 0;; ++guard) {
            const uint32_t op = ReadUE(bs);  // modification_of_pic_nums_idc
            if (op == 3) break;
            if (op > 5 || guard > 64) throw BitstreamErrEndOfData;
            ReadUE(bs);  // abs_diff_pic_num_minus1, long_term_pic_num or abs_diff_view_idx
        }
    }
}

void SkipPredWeightTable(Bitstream& bs, uint32_t sliceType, uint32_t chromaArrayType,
                         uint32_t refsL0, uint32_t refsL1) {
    ReadUE(bs);  // luma_log2_weight_denom
    if (chromaArrayType != 0) ReadUE(bs);  // chroma_log2_weight_denom
    for (uint32_t list = 0; list < (sliceType == kB ? 2u : 1u); ++list) {
        const uint32_t refs = list == 0 ? refsL0 : refsL1;
        for (uint32_t i = 0; i < refs; ++i) {
            if (bs.ReadBits(1)) {  // luma_weight_flag
                ReadSE(bs);
                ReadSE(bs);
            }
            if (chromaArrayType != 0 && bs.ReadBits(1)) {  // chroma_weight_flag
                for (int j = 0; j < 4; ++j) ReadSE(bs);
            }
        }
    }
}

// dec_ref_pic_marking; true when it holds memory_management_control_operation 5.
bool ReadDecRefPicMarking(Bitstream& bs, bool idr) {
    if (idr) {
        SkipBits(bs, 2);  // no_output_of_prior_pics_flag, long_term_reference_flag
        return false;
    }
    if (!bs.ReadBits(1)) return false;  // adaptive_ref_pic_marking_mode_flag
    bool mmco5 = false;
    for (uint32_t guard = 0;; ++guard) {
        const uint32_t op = ReadUE(bs);
        if (op == 0) break;
        if (op > 6 || guard > 128) throw BitstreamErrEndOfData;
        if (op == 1 || op == 3) ReadUE(bs);  // difference_of_pic_nums_minus1
        if (op == 2) ReadUE(bs);             // long_term_pic_num
        if (op == 3 || op == 6) ReadUE(bs);  // long_term_frame_idx
        if (op == 4) ReadUE(bs);             // max_long_term_frame_idx_plus1
        if (op == 5) mmco5 = true;
    }
    return mmco5;
}

}  // namespace

bool ParsePps(const uint8_t* data, uint32_t length, PpsInfo* pps) {
    if (!data || !pps) return false;
    uint8_t rbsp[kHeaderBytes];
    const uint32_t bytes = UnescapeRbsp(data, length, rbsp, kHeaderBytes);
    PpsInfo p{};
    try {
        Bitstream bs(rbsp, bytes * 8);
        SkipBits(bs, 8);  // NAL header
        p.pic_parameter_set_id = ReadUE(bs);
        p.seq_parameter_set_id = ReadUE(bs);
        if (p.pic_parameter_set_id > 255 || p.seq_parameter_set_id > 31) return false;
        p.entropy_coding_mode_flag = uint8_t(bs.ReadBits(1));
        p.bottom_field_pic_order_in_frame_present_flag = uint8_t(bs.ReadBits(1));
        p.num_slice_groups_minus1 = ReadUE(bs);
        if (p.num_slice_groups_minus1 > 7) return false;
        if (p.num_slice_groups_minus1 > 0) {
            p.slice_group_map_type = ReadUE(bs);
            if (p.slice_group_map_type == 0) {
                for (uint32_t i = 0; i <= p.num_slice_groups_minus1; ++i) ReadUE(bs);
            } else if (p.slice_group_map_type == 2) {
                for (uint32_t i = 0; i < p.num_slice_groups_minus1; ++i) {
                    ReadUE(bs);  // top_left
                    ReadUE(bs);  // bottom_right
                }
            } else if (p.slice_group_map_type >= 3 && p.slice_group_map_type <= 5) {
                SkipBits(bs, 1);  // slice_group_change_direction_flag
                p.slice_group_change_rate_minus1 = ReadUE(bs);
            } else if (p.slice_group_map_type == 6) {
                p.pic_size_in_map_units_minus1 = ReadUE(bs);
                const uint32_t bits = CeilLog2(p.num_slice_groups_minus1 + 1);
                if (uint64_t(p.pic_size_in_map_units_minus1) + 1 > uint64_t(bs.BitsLeft()))
                    return false;
                for (uint32_t i = 0; i <= p.pic_size_in_map_units_minus1; ++i) SkipBits(bs, bits);
            } else if (p.slice_group_map_type > 6) {
                return false;
            }
        }
        p.num_ref_idx_l0_default_active_minus1 = ReadUE(bs);
        p.num_ref_idx_l1_default_active_minus1 = ReadUE(bs);
        if (p.num_ref_idx_l0_default_active_minus1 > 31 || p.num_ref_idx_l1_default_active_minus1 > 31)
            return false;
        p.weighted_pred_flag = uint8_t(bs.ReadBits(1));
        p.weighted_bipred_idc = bs.ReadBits(2);
        ReadSE(bs);  // pic_init_qp_minus26
        ReadSE(bs);  // pic_init_qs_minus26
        ReadSE(bs);  // chroma_qp_index_offset
        p.deblocking_filter_control_present_flag = uint8_t(bs.ReadBits(1));
        p.constrained_intra_pred_flag = uint8_t(bs.ReadBits(1));
        p.redundant_pic_cnt_present_flag = uint8_t(bs.ReadBits(1));
    } catch (...) {
        return false;
    }
    *pps = p;
    return true;
}

ParameterSets::ParameterSets() = default;
ParameterSets::~ParameterSets() = default;

bool ParameterSets::AddSps(const uint8_t* data, uint32_t length) {
    auto info = std::make_unique<SpsInfo>();
    *info = SpsInfo{};
    if (!ParseSpsFull(data, length, info.get()) || info->seq_parameter_set_id > 31) return false;
    sps[info->seq_parameter_set_id] = std::move(info);
    return true;
}

bool ParameterSets::AddPps(const uint8_t* data, uint32_t length) {
    PpsInfo p{};
    if (!ParsePps(data, length, &p)) return false;
    if (!pps[p.pic_parameter_set_id]) pps[p.pic_parameter_set_id] = std::make_unique<PpsInfo>();
    *pps[p.pic_parameter_set_id] = p;
    return true;
}

const SpsInfo* ParameterSets::Sps(uint32_t id) const { return id < 32 ? sps[id].get() : nullptr; }

const PpsInfo* ParameterSets::Pps(uint32_t id) const { return id < 256 ? pps[id].get() : nullptr; }

bool ParseSliceHeader(const uint8_t* data, uint32_t length, const ParameterSets& ps,
                      SliceHeader* out) {
    if (!data || !out || length < 2) return false;
    uint8_t rbsp[kHeaderBytes];
    const uint32_t bytes = UnescapeRbsp(data, length, rbsp, kHeaderBytes);
    SliceHeader sh{};
    try {
        Bitstream bs(rbsp, bytes * 8);
        SkipBits(bs, 1);
        sh.nal_ref_idc = uint8_t(bs.ReadBits(2));
        sh.nal_unit_type = uint8_t(bs.ReadBits(5));
        if (sh.nal_unit_type != 1 && sh.nal_unit_type != 5) return false;
        const bool idr = sh.nal_unit_type == 5;
        sh.first_mb_in_slice = ReadUE(bs);
        sh.slice_type = ReadUE(bs);
        if (sh.slice_type > 9) return false;
        const uint32_t type = sh.slice_type % 5;
        sh.pic_parameter_set_id = ReadUE(bs);
        const PpsInfo* pps = ps.Pps(sh.pic_parameter_set_id);
        if (!pps) return false;
        const SpsInfo* sps = ps.Sps(pps->seq_parameter_set_id);
        if (!sps) return false;
        sh.seq_parameter_set_id = pps->seq_parameter_set_id;
        if (sps->separate_colour_plane_flag) sh.colour_plane_id = bs.ReadBits(2);
        sh.frame_num = bs.ReadBits(sps->log2_max_frame_num_minus4 + 4);
        if (!sps->frame_mbs_only_flag) {
            sh.field_pic_flag = uint8_t(bs.ReadBits(1));
            if (sh.field_pic_flag) sh.bottom_field_flag = uint8_t(bs.ReadBits(1));
        }
        if (idr) sh.idr_pic_id = ReadUE(bs);
        if (sps->pic_order_cnt_type == 0) {
            sh.pic_order_cnt_lsb = bs.ReadBits(sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
            if (pps->bottom_field_pic_order_in_frame_present_flag && !sh.field_pic_flag)
                sh.delta_pic_order_cnt_bottom = ReadSE(bs);
        }
        if (sps->pic_order_cnt_type == 1 && !sps->delta_pic_order_always_zero_flag) {
            sh.delta_pic_order_cnt[0] = ReadSE(bs);
            if (pps->bottom_field_pic_order_in_frame_present_flag && !sh.field_pic_flag)
                sh.delta_pic_order_cnt[1] = ReadSE(bs);
        }
        if (sh.nal_ref_idc != 0) {
            // The rest only matters for memory_management_control_operation 5.
            if (pps->redundant_pic_cnt_present_flag) ReadUE(bs);  // redundant_pic_cnt
            if (type == kB) SkipBits(bs, 1);  // direct_spatial_mv_pred_flag
            uint32_t refsL0 = pps->num_ref_idx_l0_default_active_minus1 + 1;
            uint32_t refsL1 = pps->num_ref_idx_l1_default_active_minus1 + 1;
            if (type == kP || type == kSP || type == kB) {
                if (bs.ReadBits(1)) {  // num_ref_idx_active_override_flag
                    refsL0 = ReadUE(bs) + 1;
                    if (type == kB) refsL1 = ReadUE(bs) + 1;
                }
            }
            if (refsL0 > 32 || refsL1 > 32) return false;
            SkipRefPicListModification(bs, type);
            if ((pps->weighted_pred_flag && (type == kP || type == kSP)) ||
                (pps->weighted_bipred_idc == 1 && type == kB))
                SkipPredWeightTable(bs, type, ChromaArrayType(*sps), refsL0, refsL1);
            sh.has_mmco5 = ReadDecRefPicMarking(bs, idr);
        }
    } catch (...) {
        return false;
    }
    *out = sh;
    return true;
}
