#include "h265/pps.h"

#include "h265/syntax.h"
#include "syntax/rbsp.h"

using h265detail::ReadSEWithin;
using h265detail::ReadUEAtMost;

namespace {

// Everything read lies in the first few dozen bytes.
constexpr uint32_t kPpsBufferSize = 256;

void ReadPps(Bitstream& s, H265PpsInfo* p) {
    h265detail::ReadParameterSetHeader(s, kH265Pps);
    p->pps_pic_parameter_set_id = ReadUEAtMost(s, 63);
    p->pps_seq_parameter_set_id = ReadUEAtMost(s, 15);
    p->dependent_slice_segments_enabled_flag = uint8_t(s.ReadBits(1));
    p->output_flag_present_flag = uint8_t(s.ReadBits(1));
    p->num_extra_slice_header_bits = s.ReadBits(3);
    p->sign_data_hiding_enabled_flag = uint8_t(s.ReadBits(1));
    p->cabac_init_present_flag = uint8_t(s.ReadBits(1));
    p->num_ref_idx_l0_default_active_minus1 = ReadUEAtMost(s, 14);
    p->num_ref_idx_l1_default_active_minus1 = ReadUEAtMost(s, 14);
    // -(26 + QpBdOffsetY) to 25, with the largest bit depth's offset (16 bits: 48).
    p->init_qp_minus26 = ReadSEWithin(s, -(26 + 48), 25);
    p->constrained_intra_pred_flag = uint8_t(s.ReadBits(1));
    p->transform_skip_enabled_flag = uint8_t(s.ReadBits(1));
    p->cu_qp_delta_enabled_flag = uint8_t(s.ReadBits(1));
    if (p->cu_qp_delta_enabled_flag) p->diff_cu_qp_delta_depth = ReadUEAtMost(s, 3);
    p->pps_cb_qp_offset = ReadSEWithin(s, -12, 12);
    p->pps_cr_qp_offset = ReadSEWithin(s, -12, 12);
    p->pps_slice_chroma_qp_offsets_present_flag = uint8_t(s.ReadBits(1));
    p->weighted_pred_flag = uint8_t(s.ReadBits(1));
    p->weighted_bipred_flag = uint8_t(s.ReadBits(1));
    p->transquant_bypass_enabled_flag = uint8_t(s.ReadBits(1));
    p->tiles_enabled_flag = uint8_t(s.ReadBits(1));
    p->entropy_coding_sync_enabled_flag = uint8_t(s.ReadBits(1));
}

}  // namespace

bool ParseH265Pps(const uint8_t* data, uint32_t length, H265PpsInfo* pps) {
    uint8_t rbsp[kPpsBufferSize];
    const uint32_t size = UnescapeRbsp(data, length, rbsp, kPpsBufferSize);
    H265PpsInfo parsed{};
    try {
        Bitstream s(rbsp, size * 8);
        ReadPps(s, &parsed);
    } catch (...) {
        return false;
    }
    *pps = parsed;
    return true;
}
