// The H.265 syntax library fed the NAL units of any Annex B bytes in stream order: NAL unit
// headers, parameter sets (parsed alone and kept by id), slice segment headers with the sets
// kept so far, and picture order counts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "convert/nalunit.h"
#include "fuzz/fuzz_check.h"
#include "h265/nal.h"
#include "h265/poc.h"
#include "h265/slice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const std::vector<uint8_t> copy(data, data + size);
    auto sets = std::make_unique<H265ParameterSets>();
    H265PocCalculator poc;
    bool startsSequence = true;  // the first picture, and the first after an end of sequence

    uint32_t pos = 0;
    NalUnit nal;
    while (int32_t r = FindNextNalUnit(copy.data(), uint32_t(size), pos, &nal)) {
        pos += uint32_t(r);
        // Each unit in a buffer of its own size, so that reads past its end are seen.
        const std::vector<uint8_t> unit(nal.data, nal.data + nal.length);
        const uint8_t* u = unit.data();
        const uint32_t len = uint32_t(unit.size());
        H265NalHeader h{};
        if (!ParseH265NalHeader(u, len, &h)) {
            H265SliceHeader sh{};
            CHECK(!ParseH265SliceHeader(u, len, *sets, &sh));
            continue;
        }
        CHECK(h.nal_unit_type < 64 && h.nuh_layer_id < 64 && h.nuh_temporal_id_plus1 >= 1);
        switch (h.nal_unit_type) {
            case kH265Vps: {
                H265VpsInfo v{};
                const bool ok = ParseH265Vps(u, len, &v);
                CHECK(sets->AddVps(u, len) == ok);
                if (ok) {
                    CHECK(v.vps_max_sub_layers_minus1 <= 6 &&
                          sets->Vps(v.vps_video_parameter_set_id));
                    if (v.vps_timing_info_present_flag)
                        CHECK(v.vps_num_units_in_tick && v.vps_time_scale);
                }
                break;
            }
            case kH265Sps: {
                H265SpsInfo s{};
                const bool ok = ParseH265Sps(u, len, &s);
                CHECK(sets->AddSps(u, len) == ok);
                if (ok) {
                    CHECK(s.width >= 1 && s.width <= s.pic_width_in_luma_samples &&
                          s.pic_width_in_luma_samples <= 16888);
                    CHECK(s.height >= 1 && s.height <= s.pic_height_in_luma_samples &&
                          s.pic_height_in_luma_samples <= 16888);
                    CHECK(s.pic_size_in_ctbs_y == s.pic_width_in_ctbs_y * s.pic_height_in_ctbs_y);
                    CHECK(s.ctb_log2_size_y >= 3 && s.ctb_log2_size_y <= 6);
                    CHECK(s.log2_max_pic_order_cnt_lsb_minus4 <= 12 && s.chroma_format_idc <= 3);
                    for (int i = 0; i < 7; ++i)
                        CHECK(s.sps_max_num_reorder_pics[i] <=
                              s.sps_max_dec_pic_buffering_minus1[i]);
                    if (s.vui_timing_info_present_flag)
                        CHECK(s.vui_num_units_in_tick && s.vui_time_scale);
                    if (!s.vui_parameters_present_flag)
                        CHECK(!s.sar_width && !s.vui_time_scale && !s.field_seq_flag);
                    const H265SpsInfo* kept = sets->Sps(s.sps_seq_parameter_set_id);
                    CHECK(kept && kept->width == s.width && kept->height == s.height);
                }
                break;
            }
            case kH265Pps: {
                H265PpsInfo p{};
                const bool ok = ParseH265Pps(u, len, &p);
                CHECK(sets->AddPps(u, len) == ok);
                if (ok)
                    CHECK(p.pps_seq_parameter_set_id <= 15 &&
                          sets->Pps(p.pps_pic_parameter_set_id));
                break;
            }
            case kH265Eos:
                startsSequence = true;
                break;
            default:
                break;
        }

        H265SliceHeader sh{};
        if (!ParseH265SliceHeader(u, len, *sets, &sh)) continue;
        CHECK(H265IsVcl(h.nal_unit_type) && h.nuh_layer_id == 0);
        CHECK(sh.nal_unit_type == h.nal_unit_type && sh.temporal_id + 1 == h.nuh_temporal_id_plus1);
        const H265PpsInfo* pps = sets->Pps(sh.slice_pic_parameter_set_id);
        CHECK(pps && pps->pps_seq_parameter_set_id == sh.seq_parameter_set_id);
        const H265SpsInfo* sps = sets->Sps(sh.seq_parameter_set_id);
        CHECK(sps);
        CHECK(sh.slice_segment_address < sps->pic_size_in_ctbs_y);
        CHECK(!sh.first_slice_segment_in_pic_flag || sh.slice_segment_address == 0);
        if (sh.dependent_slice_segment_flag) {
            CHECK(!sh.first_slice_segment_in_pic_flag && sh.slice_type == 0 && !sh.pic_output_flag);
            continue;
        }
        CHECK(sh.slice_type <= 2 && sh.colour_plane_id <= 2);
        CHECK(sh.slice_pic_order_cnt_lsb < (1u << (sps->log2_max_pic_order_cnt_lsb_minus4 + 4)));
        if (H265IsIdr(sh.nal_unit_type)) CHECK(sh.slice_pic_order_cnt_lsb == 0);
        if (!sh.first_slice_segment_in_pic_flag) continue;
        const bool irap = H265IsIrap(sh.nal_unit_type);
        const bool noRasl =
            irap && (startsSequence || H265IsIdr(sh.nal_unit_type) || H265IsBla(sh.nal_unit_type));
        const int32_t value = poc.Compute(sh, *sps, noRasl);
        // A picture that starts a coded video sequence counts from its own lsb.
        if (noRasl) CHECK(value == int32_t(sh.slice_pic_order_cnt_lsb));
        if (irap) startsSequence = false;
    }
    return 0;
}
