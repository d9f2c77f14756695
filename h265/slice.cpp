#include "h265/slice.h"

#include "h265/syntax.h"
#include "syntax/rbsp.h"

using h265detail::Invalid;
using h265detail::ReadUEAtMost;

namespace {

// The header fields read here fit in 24 bytes whatever their values (the longest Exp-Golomb
// codes are rejected as out of range before they could run further).
constexpr uint32_t kSliceHeaderBufferSize = 64;

// Returns false for a unit that is not read and a missing parameter set; throws for reads past
// the end and bad values.
bool ReadSliceHeader(Bitstream& s, const H265ParameterSets& ps, H265SliceHeader* sh) {
    if (s.ReadBits(1) != 0) return false;  // forbidden_zero_bit
    sh->nal_unit_type = uint8_t(s.ReadBits(6));
    sh->nuh_layer_id = uint8_t(s.ReadBits(6));
    const uint32_t temporalIdPlus1 = s.ReadBits(3);
    // Other layers' slices refer to parameter sets that are not kept (F.7.3.6.1).
    if (!H265IsVcl(sh->nal_unit_type) || sh->nuh_layer_id != 0 || temporalIdPlus1 == 0)
        return false;
    sh->temporal_id = uint8_t(temporalIdPlus1 - 1);

    sh->first_slice_segment_in_pic_flag = uint8_t(s.ReadBits(1));
    if (H265IsIrap(sh->nal_unit_type)) sh->no_output_of_prior_pics_flag = uint8_t(s.ReadBits(1));
    sh->slice_pic_parameter_set_id = ReadUEAtMost(s, 63);
    const H265PpsInfo* pps = ps.Pps(sh->slice_pic_parameter_set_id);
    if (!pps) return false;
    sh->seq_parameter_set_id = pps->pps_seq_parameter_set_id;
    const H265SpsInfo* sps = ps.Sps(pps->pps_seq_parameter_set_id);
    if (!sps) return false;

    if (!sh->first_slice_segment_in_pic_flag) {
        if (pps->dependent_slice_segments_enabled_flag)
            sh->dependent_slice_segment_flag = uint8_t(s.ReadBits(1));
        uint32_t bits = 0;  // Ceil(Log2(PicSizeInCtbsY))
        while ((uint64_t(1) << bits) < sps->pic_size_in_ctbs_y) ++bits;
        sh->slice_segment_address = s.ReadBits(bits);
        if (sh->slice_segment_address >= sps->pic_size_in_ctbs_y) throw Invalid();
    }
    if (sh->dependent_slice_segment_flag) return true;

    SkipBits(s, pps->num_extra_slice_header_bits);  // slice_reserved_flag
    sh->slice_type = ReadUEAtMost(s, 2);
    sh->pic_output_flag = 1;
    if (pps->output_flag_present_flag) sh->pic_output_flag = uint8_t(s.ReadBits(1));
    if (sps->separate_colour_plane_flag) {
        sh->colour_plane_id = uint8_t(s.ReadBits(2));
        if (sh->colour_plane_id > 2) throw Invalid();
    }
    if (!H265IsIdr(sh->nal_unit_type))
        sh->slice_pic_order_cnt_lsb = s.ReadBits(sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
    return true;
}

}  // namespace

bool ParseH265SliceHeader(const uint8_t* data, uint32_t length, const H265ParameterSets& ps,
                          H265SliceHeader* sh) {
    uint8_t rbsp[kSliceHeaderBufferSize];
    const uint32_t size = UnescapeRbsp(data, length, rbsp, kSliceHeaderBufferSize);
    H265SliceHeader parsed{};
    try {
        Bitstream s(rbsp, size * 8);
        if (!ReadSliceHeader(s, ps, &parsed)) return false;
    } catch (...) {
        return false;
    }
    *sh = parsed;
    return true;
}
