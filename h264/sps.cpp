#include "h264/sps.h"

#include <algorithm>
#include <cstring>

namespace {

// Leading zero bits of a byte.
constexpr uint8_t kLeadingZeros[256] = {
    8, 7, 6, 6, 5, 5, 5, 5, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};

// An SPS is parsed from at most this many bytes after unescaping; longer ones from their start.
constexpr uint32_t kMaxSpsBytes = 4096;

// The profiles whose SPS carries chroma_format_idc and the fields after it.
bool HasChromaFields(uint8_t profile) {
    switch (profile) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86:
        case 118: case 128: case 138: case 139: case 134: case 135: case 144:
            return true;
        default:
            return false;
    }
}

void SkipHrdParameters(Bitstream& bs, SpsInfo* info) {
    const uint32_t cpbCount = ReadUE(bs) + 1;
    if (cpbCount > 32) throw BitstreamErrEndOfData;  // cpb_cnt_minus1 is at most 31
    SkipBits(bs, 8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < cpbCount; ++i) {
        ReadUE(bs);  // bit_rate_value_minus1
        ReadUE(bs);  // cpb_size_value_minus1
        SkipBits(bs, 1);  // cbr_flag
    }
    SkipBits(bs, 5);  // initial_cpb_removal_delay_length_minus1
    info->cpb_removal_delay_length_minus1 = bs.ReadBits(5);
    info->dpb_output_delay_length_minus1 = bs.ReadBits(5);
    SkipBits(bs, 5);  // time_offset_length
}

// E.1.1, into a copy so that a cut VUI leaves the caller's fields untouched.
void ParseVui(Bitstream& bs, SpsInfo* info) {
    SpsInfo v = *info;
    try {
        if (bs.ReadBits(1)) {  // aspect_ratio_info_present_flag
            if (bs.ReadBits(8) == 255) SkipBits(bs, 32);  // Extended_SAR: sar width, height
        }
        if (bs.ReadBits(1)) SkipBits(bs, 1);  // overscan_info_present_flag, overscan_appropriate
        if (bs.ReadBits(1)) {                 // video_signal_type_present_flag
            SkipBits(bs, 4);                  // video_format, video_full_range_flag
            if (bs.ReadBits(1)) SkipBits(bs, 24);  // colour description
        }
        if (bs.ReadBits(1)) {  // chroma_loc_info_present_flag
            ReadUE(bs);
            ReadUE(bs);
        }
        v.timing_info_present_flag = uint8_t(bs.ReadBits(1));
        if (v.timing_info_present_flag) {
            v.num_units_in_tick = bs.ReadBits(32);
            v.time_scale = bs.ReadBits(32);
            v.fixed_frame_rate_flag = uint8_t(bs.ReadBits(1));
        }
        v.nal_hrd_parameters_present_flag = uint8_t(bs.ReadBits(1));
        if (v.nal_hrd_parameters_present_flag) SkipHrdParameters(bs, &v);
        v.vcl_hrd_parameters_present_flag = uint8_t(bs.ReadBits(1));
        if (v.vcl_hrd_parameters_present_flag) SkipHrdParameters(bs, &v);
        if (v.nal_hrd_parameters_present_flag || v.vcl_hrd_parameters_present_flag)
            SkipBits(bs, 1);  // low_delay_hrd_flag
        v.pic_struct_present_flag = uint8_t(bs.ReadBits(1));
        v.bitstream_restriction_flag = uint8_t(bs.ReadBits(1));
        if (v.bitstream_restriction_flag) {
            SkipBits(bs, 1);  // motion_vectors_over_pic_boundaries_flag
            ReadUE(bs);       // max_bytes_per_pic_denom
            ReadUE(bs);       // max_bits_per_mb_denom
            ReadUE(bs);       // log2_max_mv_length_horizontal
            ReadUE(bs);       // log2_max_mv_length_vertical
            v.max_num_reorder_frames = ReadUE(bs);
            v.max_dec_frame_buffering = ReadUE(bs);
        }
        v.vui_parameters_present_flag = 1;
        *info = v;
    } catch (...) {
        // A cut or malformed VUI gives no timing; the picture size stands.
    }
}

bool Parse(const uint8_t* data, uint32_t length, SpsInfo* info, bool withVui) {
    if (!data || !info) return false;
    uint8_t rbsp[kMaxSpsBytes];
    const uint32_t bytes = UnescapeRbsp(data, length, rbsp, kMaxSpsBytes);
    try {
        Bitstream bs(rbsp, bytes * 8);
        SkipBits(bs, 1);  // forbidden_zero_bit
        info->nal_ref_idc = uint8_t(bs.ReadBits(2));
        info->nal_unit_type = uint8_t(bs.ReadBits(5));
        info->profile_idc = uint8_t(bs.ReadBits(8));
        uint32_t flags = 0;
        for (int i = 0; i < 4; ++i) flags = (flags << 1) | bs.ReadBits(1);
        flags = (flags << 4) | bs.ReadBits(4);
        info->constraint_flags = uint8_t(flags);
        info->level_idc = uint8_t(bs.ReadBits(8));
        info->seq_parameter_set_id = ReadUE(bs);
        if (HasChromaFields(info->profile_idc)) {
            info->chroma_format_idc = ReadUE(bs);
            if (info->chroma_format_idc == 3) info->separate_colour_plane_flag = uint8_t(bs.ReadBits(1));
            info->bit_depth_luma_minus8 = ReadUE(bs);
            info->bit_depth_chroma_minus8 = ReadUE(bs);
            info->qpprime_y_zero_transform_bypass_flag = uint8_t(bs.ReadBits(1));
            info->seq_scaling_matrix_present_flag = uint8_t(bs.ReadBits(1));
            if (info->seq_scaling_matrix_present_flag) {
                const int lists = info->chroma_format_idc == 3 ? 12 : 8;
                for (int i = 0; i < lists; ++i)
                    if (bs.ReadBits(1)) SkipScalingList(bs, i < 6 ? 16 : 64);
            }
        }
        info->log2_max_frame_num_minus4 = ReadUE(bs);
        info->pic_order_cnt_type = ReadUE(bs);
        if (info->pic_order_cnt_type == 0) {
            info->log2_max_pic_order_cnt_lsb_minus4 = ReadUE(bs);
        } else if (info->pic_order_cnt_type == 1) {
            info->delta_pic_order_always_zero_flag = uint8_t(bs.ReadBits(1));
            info->offset_for_non_ref_pic = ReadSE(bs);
            info->offset_for_top_to_bottom_field = ReadSE(bs);
            info->num_ref_frames_in_pic_order_cnt_cycle = ReadUE(bs);
            for (uint32_t i = 0; i < info->num_ref_frames_in_pic_order_cnt_cycle; ++i) {
                const int32_t offset = ReadSE(bs);
                if (i < 256) info->offset_for_ref_frame[i] = offset;
            }
        }
        info->max_num_ref_frames = ReadUE(bs);
        info->gaps_in_frame_num_value_allowed_flag = uint8_t(bs.ReadBits(1));
        info->pic_width_in_mbs_minus1 = ReadUE(bs);
        info->pic_height_in_map_units_minus1 = ReadUE(bs);
        info->frame_mbs_only_flag = uint8_t(bs.ReadBits(1));
        if (!info->frame_mbs_only_flag) info->mb_adaptive_frame_field_flag = uint8_t(bs.ReadBits(1));
        info->direct_8x8_inference_flag = uint8_t(bs.ReadBits(1));
        info->frame_cropping_flag = uint8_t(bs.ReadBits(1));
        if (info->frame_cropping_flag) {
            info->frame_crop_left_offset = ReadUE(bs);
            info->frame_crop_right_offset = ReadUE(bs);
            info->frame_crop_top_offset = ReadUE(bs);
            info->frame_crop_bottom_offset = ReadUE(bs);
        }

        // Sizes in 64 bits, so that nothing wraps: coded area, then the cropping of 7.4.2.1.1.
        const uint64_t codedWidth = (uint64_t(info->pic_width_in_mbs_minus1) + 1) * 16;
        const uint64_t codedHeight = (2 - uint64_t(info->frame_mbs_only_flag)) *
                                     (uint64_t(info->pic_height_in_map_units_minus1) + 1) * 16;
        const uint32_t chromaArrayType = ChromaArrayType(*info);
        const uint64_t subWidthC = chromaArrayType == 1 || chromaArrayType == 2 ? 2 : 1;
        const uint64_t subHeightC = chromaArrayType == 1 ? 2 : 1;
        const uint64_t cropUnitX = chromaArrayType == 0 ? 1 : subWidthC;
        const uint64_t cropUnitY = (chromaArrayType == 0 ? 1 : subHeightC) *
                                   (2 - uint64_t(info->frame_mbs_only_flag));
        const uint64_t cropX = cropUnitX * (uint64_t(info->frame_crop_left_offset) +
                                            info->frame_crop_right_offset);
        const uint64_t cropY = cropUnitY * (uint64_t(info->frame_crop_top_offset) +
                                            info->frame_crop_bottom_offset);
        if (codedWidth > 0xFFFF || codedHeight > 0xFFFF || cropX >= codedWidth ||
            cropY >= codedHeight)
            return false;
        if (withVui) {
            try {
                if (bs.ReadBits(1)) ParseVui(bs, info);  // vui_parameters_present_flag
            } catch (...) {
            }
        }
        info->coded_width = uint32_t(codedWidth);
        info->coded_height = uint32_t(codedHeight);
        info->width = uint32_t(codedWidth - cropX);
        info->height = uint32_t(codedHeight - cropY);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

uint32_t ReadUE(Bitstream& stream) {
    uint32_t zeros = 0;
    uint32_t b;
    for (;;) {
        const uint32_t left = stream.BitsLeft();
        if (left >= 8) {
            b = stream.PeekBits(8);
            if (b != 0) break;
            stream.ReadBits(8);
            zeros += 8;
        } else {
            b = left == 0 ? 0 : stream.PeekBits(left) << (8 - left);
            break;
        }
    }
    const uint32_t z = kLeadingZeros[b];
    stream.ReadBits(z);
    zeros += z;
    return stream.ReadBits(zeros + 1) - 1;
}

int32_t ReadSE(Bitstream& stream) {
    const uint32_t k = ReadUE(stream);
    return (k & 1) ? int32_t((k + 1) / 2) : int32_t(0u - k / 2);
}

void SkipScalingList(Bitstream& stream, uint32_t size) {
    uint32_t lastScale = 8, nextScale = 8;
    for (uint32_t j = 0; j < size; ++j) {
        if (nextScale != 0) {
            const int32_t delta = ReadSE(stream);
            nextScale = (lastScale + uint32_t(delta) + 256) % 256;
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

uint32_t UnescapeRbsp(const uint8_t* src, uint32_t length, uint8_t* dst, uint32_t capacity) {
    // Copies the runs between 03 bytes whole; a 03 right behind two zeros of the source is an
    // emulation-prevention byte (the 03 before such zeros is one already, so cannot be a zero).
    uint32_t in = 0, out = 0;
    while (in < length && out < capacity) {
        const void* hit = memchr(src + in, 3, length - in);
        const uint32_t at = hit ? uint32_t(static_cast<const uint8_t*>(hit) - src) : length;
        const uint32_t n = std::min(at - in, capacity - out);
        memcpy(dst + out, src + in, n);
        out += n;
        in += n;
        if (in < at || at == length) break;
        if (!(at >= 2 && src[at - 1] == 0 && src[at - 2] == 0)) dst[out++] = 3;
        in = at + 1;
    }
    return out;
}

uint32_t ChromaArrayType(const SpsInfo& sps) {
    if (!HasChromaFields(sps.profile_idc)) return 1;  // 4:2:0 when the SPS does not say
    return sps.separate_colour_plane_flag ? 0 : sps.chroma_format_idc;
}

uint32_t MaxDpbFrames(const SpsInfo& sps) {
    // Table A-1: MaxDpbMbs by level_idc; level 1b is level_idc 11 with constraint_set3_flag
    // in the Baseline, Main and Extended profiles.
    uint32_t maxDpbMbs;
    const bool level1b = sps.level_idc == 11 && (sps.constraint_flags & 0x10) &&
                         (sps.profile_idc == 66 || sps.profile_idc == 77 || sps.profile_idc == 88);
    switch (level1b ? 9 : sps.level_idc) {
        case 9: case 10: maxDpbMbs = 396; break;
        case 11: maxDpbMbs = 900; break;
        case 12: case 13: case 20: maxDpbMbs = 2376; break;
        case 21: maxDpbMbs = 4752; break;
        case 22: case 30: maxDpbMbs = 8100; break;
        case 31: maxDpbMbs = 18000; break;
        case 32: maxDpbMbs = 20480; break;
        case 40: case 41: maxDpbMbs = 32768; break;
        case 42: maxDpbMbs = 34816; break;
        case 50: maxDpbMbs = 110400; break;
        case 51: case 52: maxDpbMbs = 184320; break;
        default: maxDpbMbs = 696320; break;  // levels 6 to 6.2, and unknown ones
    }
    const uint64_t frameMbs = (uint64_t(sps.pic_width_in_mbs_minus1) + 1) *
                              (uint64_t(sps.pic_height_in_map_units_minus1) + 1) *
                              (2 - uint64_t(sps.frame_mbs_only_flag));
    if (frameMbs == 0) return 16;
    const uint64_t frames = maxDpbMbs / frameMbs;
    return frames > 16 ? 16 : frames < 1 ? 1 : uint32_t(frames);
}
