#include "convert/trackformat.h"

#include "convert/timing.h"
#include "h264/sps.h"
#include "h265/nal.h"
#include "h265/slice.h"
#include "h265/sps.h"
#include "h265/vps.h"

namespace {

bool H265Header(const NalUnit& nal, H265NalHeader* h) {
    return ParseH265NalHeader(nal.data, uint32_t(nal.length), h) && h->nuh_layer_id == 0;
}

// video_signal_type_present_flag and what follows it (H.264 E.1.1, H.265 E.2.1).
SignalType MakeSignalType(uint8_t present, uint8_t fullRange, uint8_t described, uint8_t primaries,
                          uint8_t transfer, uint8_t matrix) {
    SignalType t;
    if (!present) return t;
    t.present = true;
    t.fullRange = fullRange != 0;
    if (described) {
        t.colourPrimaries = primaries;
        t.transferCharacteristics = transfer;
        t.matrixCoefficients = matrix;
    }
    return t;
}

}  // namespace

Codec CodecOfUnit(const NalUnit& nal) {
    H265NalHeader h{};
    if (H265Header(nal, &h)) {
        if (h.nal_unit_type == kH265Vps) {
            H265VpsInfo vps{};
            if (ParseH265Vps(nal.data, uint32_t(nal.length), &vps)) return Codec::H265;
        } else if (h.nal_unit_type == kH265Sps) {
            H265SpsInfo sps{};
            if (ParseH265Sps(nal.data, uint32_t(nal.length), &sps)) return Codec::H265;
        }
    }
    return nal.type == 7 && nal.length >= 4 ? Codec::H264 : Codec::Unknown;
}

bool IsParameterSetUnit(Codec codec, const NalUnit& nal) {
    if (codec != Codec::H265) return nal.type == 7 || nal.type == 8;
    const uint8_t t = uint8_t((nal.data[0] >> 1) & 0x3F);
    return t == kH265Vps || t == kH265Sps || t == kH265Pps;
}

bool IsSpsUnit(Codec codec, const NalUnit& nal) {
    H265NalHeader h{};
    return codec == Codec::H264 ? nal.type == 7
                                : codec == Codec::H265 && H265Header(nal, &h) &&
                                      h.nal_unit_type == kH265Sps && h.nuh_layer_id == 0;
}

bool IsTrackSps(Codec codec, const NalUnit& nal) {
    if (codec == Codec::H264) return nal.type == 7 && nal.length >= 4;
    H265NalHeader h{};
    H265SpsInfo sps{};
    return codec == Codec::H265 && H265Header(nal, &h) && h.nal_unit_type == kH265Sps &&
           ParseH265Sps(nal.data, uint32_t(nal.length), &sps);
}

void StreamProbe::Take(const NalUnit& nal) {
    if (codec == Codec::Unknown) codec = CodecOfUnit(nal);
    H265VpsInfo info{};
    H265NalHeader h{};
    if (codec == Codec::H265 && H265Header(nal, &h) && h.nal_unit_type == kH265Vps &&
        ParseH265Vps(nal.data, uint32_t(nal.length), &info) &&
        info.vps_video_parameter_set_id < 16) {
        vps[info.vps_video_parameter_set_id] = info;
        hasVps[info.vps_video_parameter_set_id] = true;
    }
}

TrackFormat StreamProbe::FormatOf(const NalUnit& nal) const {
    TrackFormat f;
    uint32_t unitsInTick = 0, tickScale = 0, ticksPerFrame = 2;
    if (codec == Codec::H265) {
        H265SpsInfo sps{};
        f.parsed = ParseH265Sps(nal.data, uint32_t(nal.length), &sps);
        if (!f.parsed) return f;
        f.width = sps.width;
        f.height = sps.height;
        f.sarWidth = sps.sar_width;
        f.sarHeight = sps.sar_height;
        f.signal = MakeSignalType(sps.video_signal_type_present_flag, sps.video_full_range_flag,
                                  sps.colour_description_present_flag, sps.colour_primaries,
                                  sps.transfer_characteristics, sps.matrix_coeffs);
        const uint32_t id = sps.sps_video_parameter_set_id;
        ticksPerFrame = 1;
        if (sps.vui_timing_info_present_flag) {
            unitsInTick = sps.vui_num_units_in_tick;
            tickScale = sps.vui_time_scale;
        } else if (id < 16 && hasVps[id] && vps[id].vps_timing_info_present_flag) {
            unitsInTick = vps[id].vps_num_units_in_tick;
            tickScale = vps[id].vps_time_scale;
        }
    } else {
        SpsInfo sps{};
        f.parsed = ParseSpsFull(nal.data, uint32_t(nal.length), &sps);
        if (!f.parsed) return f;
        f.width = sps.width;
        f.height = sps.height;
        f.sarWidth = sps.sar_width;
        f.sarHeight = sps.sar_height;
        f.signal = MakeSignalType(sps.video_signal_type_present_flag, sps.video_full_range_flag,
                                  sps.colour_description_present_flag, sps.colour_primaries,
                                  sps.transfer_characteristics, sps.matrix_coefficients);
        if (sps.timing_info_present_flag) {
            unitsInTick = sps.num_units_in_tick;
            tickScale = sps.time_scale;
        }
    }
    if (unitsInTick)
        FrameRateFromTiming(unitsInTick, tickScale, &f.fpsNum, &f.fpsDen, ticksPerFrame);
    return f;
}
