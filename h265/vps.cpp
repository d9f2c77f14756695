#include "h265/vps.h"

#include "h265/syntax.h"
#include "syntax/rbsp.h"

using h265detail::Invalid;
using h265detail::ReadUEAtMost;

namespace {

// The layer id flags of 1024 layer sets of 64 layers take 8 KB; a VPS that codes that many is
// read from its first bytes and fails if its timing lies beyond them.
constexpr uint32_t kVpsBufferSize = 4096;

void ReadVps(Bitstream& s, H265VpsInfo* v) {
    h265detail::ReadParameterSetHeader(s, kH265Vps);
    v->vps_video_parameter_set_id = s.ReadBits(4);
    v->vps_base_layer_internal_flag = uint8_t(s.ReadBits(1));
    v->vps_base_layer_available_flag = uint8_t(s.ReadBits(1));
    v->vps_max_layers_minus1 = s.ReadBits(6);
    v->vps_max_sub_layers_minus1 = s.ReadBits(3);
    if (v->vps_max_sub_layers_minus1 > 6) throw Invalid();
    v->vps_temporal_id_nesting_flag = uint8_t(s.ReadBits(1));
    SkipBits(s, 16);  // vps_reserved_0xffff_16bits
    ReadH265ProfileTierLevel(s, v->vps_max_sub_layers_minus1, &v->ptl);
    v->vps_sub_layer_ordering_info_present_flag = uint8_t(s.ReadBits(1));
    const uint32_t top = v->vps_max_sub_layers_minus1;
    for (uint32_t i = v->vps_sub_layer_ordering_info_present_flag ? 0 : top; i <= top; ++i) {
        v->vps_max_dec_pic_buffering_minus1[i] = ReadUEAtMost(s, 15);
        v->vps_max_num_reorder_pics[i] = ReadUEAtMost(s, v->vps_max_dec_pic_buffering_minus1[i]);
        v->vps_max_latency_increase_plus1[i] = ReadUE(s);
    }
    for (uint32_t i = 0; !v->vps_sub_layer_ordering_info_present_flag && i < top; ++i) {
        v->vps_max_dec_pic_buffering_minus1[i] = v->vps_max_dec_pic_buffering_minus1[top];
        v->vps_max_num_reorder_pics[i] = v->vps_max_num_reorder_pics[top];
        v->vps_max_latency_increase_plus1[i] = v->vps_max_latency_increase_plus1[top];
    }
    v->vps_max_layer_id = s.ReadBits(6);
    v->vps_num_layer_sets_minus1 = ReadUEAtMost(s, 1023);
    for (uint32_t i = 1; i <= v->vps_num_layer_sets_minus1; ++i)
        SkipBits(s, v->vps_max_layer_id + 1);  // layer_id_included_flag[i][0..vps_max_layer_id]
    v->vps_timing_info_present_flag = uint8_t(s.ReadBits(1));
    if (v->vps_timing_info_present_flag) {
        v->vps_num_units_in_tick = s.ReadBits(32);
        v->vps_time_scale = s.ReadBits(32);
        if (v->vps_num_units_in_tick == 0 || v->vps_time_scale == 0) throw Invalid();
        v->vps_poc_proportional_to_timing_flag = uint8_t(s.ReadBits(1));
        if (v->vps_poc_proportional_to_timing_flag)
            v->vps_num_ticks_poc_diff_one_minus1 = ReadUE(s);
    }
}

}  // namespace

bool ParseH265Vps(const uint8_t* data, uint32_t length, H265VpsInfo* vps) {
    uint8_t rbsp[kVpsBufferSize];
    const uint32_t size = UnescapeRbsp(data, length, rbsp, kVpsBufferSize);
    H265VpsInfo parsed{};
    try {
        Bitstream s(rbsp, size * 8);
        ReadVps(s, &parsed);
    } catch (...) {
        return false;
    }
    *vps = parsed;
    return true;
}
