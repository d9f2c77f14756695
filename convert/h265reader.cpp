#include "convert/h265reader.h"

#include "convert/timing.h"
#include "syntax/bitstream.h"
#include "syntax/expgolomb.h"

namespace {

enum : uint32_t { kKeyVps = 0, kKeySps = 1 << 16, kKeyPps = 2 << 16 };

// pps_pic_parameter_set_id: the first ue(v) after the two header bytes.
bool PpsId(const NalUnit& nal, uint32_t* id) {
    if (nal.length <= 2) return false;
    try {
        Bitstream bs(nal.data + 2, (uint32_t(nal.length) - 2) * 8);
        *id = ReadUE(bs);
        return *id <= 63;
    } catch (...) {
        return false;
    }
}

// Coded slice segments of the types this version of the standard defines.
bool IsPictureSlice(uint8_t type) {
    return type <= kH265RaslR || (type >= kH265BlaWLp && type <= kH265Cra);
}

// Units that begin the next access unit when they follow a picture's last slice segment.
bool EndsPicture(uint8_t type) {
    return type == kH265Aud || type == kH265Vps || type == kH265Sps || type == kH265Pps ||
           type == kH265PrefixSei || (type >= 41 && type <= 44) || (type >= 48 && type <= 55);
}

}  // namespace

UnitPlan H265PictureReader::Plan(const NalUnit& nal) {
    UnitPlan plan;
    H265NalHeader h{};
    // Bytes without a NAL unit header (forbidden_zero_bit set, no temporal id, or too short)
    // are no unit: a decoder passes over them.
    if (!ParseH265NalHeader(nal.data, uint32_t(nal.length), &h)) {
        plan.unusable = true;
        return plan;
    }
    // A unit of another layer stays in the access unit it comes in.
    plan.place = UnitPlan::Behind;
    if (h.nuh_layer_id > 0) return plan;
    const uint8_t t = h.nal_unit_type;
    plan.endsPicture = EndsPicture(t);
    if (IsPictureSlice(t)) {
        plan.place = UnitPlan::Slice;
        slice = H265SliceHeader{};
        sliceKnown = ParseH265SliceHeader(nal.data, uint32_t(nal.length), parameterSets, &slice);
        // An IRAP picture has no temporal sub-layer above 0 (7.4.2.2).
        plan.unusable = !sliceKnown || (H265IsIrap(t) && slice.temporal_id != 0);
    } else if (H265IsVcl(t)) {
        // A reserved VCL type: no decoder of this version can use it (7.4.2.2).
        plan.place = UnitPlan::Drop;
        plan.unusable = true;
    } else if (t == kH265Vps || t == kH265Sps || t == kH265Pps) {
        uint32_t id = 0;
        bool known = false;
        if (t == kH265Vps) {
            parameterSets.AddVps(nal.data, uint32_t(nal.length));
            known = nal.length > 2;  // vps_video_parameter_set_id: the first 4 bits
            plan.setKey = kKeyVps | (known ? nal.data[2] >> 4 : 0);
        } else if (t == kH265Sps) {
            known = parameterSets.AddSps(nal.data, uint32_t(nal.length), &id);
            plan.setKey = kKeySps | id;
        } else {
            parameterSets.AddPps(nal.data, uint32_t(nal.length));
            known = PpsId(nal, &id);
            plan.setKey = kKeyPps | id;
        }
        // A set whose id cannot be read is of no use to a decoder.
        plan.place = known ? UnitPlan::ParameterSet : UnitPlan::Drop;
    } else if (plan.endsPicture) {
        plan.place = UnitPlan::Ahead;  // delimiter, prefix SEI and the like
    } else if (t == kH265Eos) {
        afterEos = true;  // the next picture starts a coded video sequence
    }
    return plan;
}

bool H265PictureReader::BeginsPicture(const NalUnit& nal, bool pictureOpen, bool /*closed*/) {
    // first_slice_segment_in_pic_flag is the first bit behind the header.
    return !pictureOpen || (nal.length > 2 && (nal.data[2] & 0x80));
}

void H265PictureReader::StartPicture(const NalUnit& nal) {
    const uint8_t t = uint8_t((nal.data[0] >> 1) & 0x3F);
    const bool irap = H265IsIrap(t);
    // NoRaslOutputFlag: IDR and BLA pictures, the first IRAP picture, the first after an end of
    // sequence.
    const bool noRaslOutput = irap && (H265IsIdr(t) || H265IsBla(t) || !irapSeen || afterEos);
    current = PictureFacts();
    current.headerKnown = sliceKnown;
    if (sliceKnown) {
        if (const H265PpsInfo* pps = parameterSets.Pps(slice.slice_pic_parameter_set_id))
            if (const H265SpsInfo* sps = parameterSets.Sps(pps->pps_seq_parameter_set_id)) {
                current.order = poc.Compute(slice, *sps, noRaslOutput);
                FrameRateOf(*sps, &current.fpsNum, &current.fpsDen);
                current.maxReorder = sps->sps_max_num_reorder_pics[sps->sps_max_sub_layers_minus1];
            }
    }
    current.resetsOrder = noRaslOutput;
    current.startsDecoding = irap;
    // A decoder that starts at a CRA picture drops its RASL pictures; one that starts at an IDR
    // or BLA picture has none to drop (a BLA picture's are dropped even in sequence).
    current.sync = irap && (!H265IsCra(t) || noRaslOutput);
    current.syncWithoutSkipped = H265IsCra(t) && !noRaslOutput;
    current.leading = H265IsRasl(t)   ? PictureFacts::Skipped
                      : H265IsRadl(t) ? PictureFacts::Decodable
                                      : PictureFacts::NotLeading;
    if (irap) irapSeen = true;
    afterEos = false;
}

// One picture a tick: from the SPS's VUI, else from the video parameter set it refers to.
void H265PictureReader::FrameRateOf(const H265SpsInfo& sps, uint32_t* num, uint32_t* den) const {
    const H265VpsInfo* vps = parameterSets.Vps(sps.sps_video_parameter_set_id);
    if (sps.vui_timing_info_present_flag)
        FrameRateFromTiming(sps.vui_num_units_in_tick, sps.vui_time_scale, num, den, 1);
    else if (vps && vps->vps_timing_info_present_flag)
        FrameRateFromTiming(vps->vps_num_units_in_tick, vps->vps_time_scale, num, den, 1);
}

void H265PictureReader::ContinuePicture(const NalUnit& /*nal*/) {
    current.headerKnown = current.headerKnown && sliceKnown;
}

PictureFacts H265PictureReader::FinishPicture() {
    const PictureFacts f = current;
    current = PictureFacts();
    return f;
}

void H265PictureReader::AddToTrack(MP4FileHandle file, MP4TrackId track, uint32_t key,
                                   const uint8_t* nal, uint16_t length) {
    if (key >= kKeyPps)
        MP4AddH265PictureParameterSet(file, track, nal, length);
    else if (key >= kKeySps)
        MP4AddH265SequenceParameterSet(file, track, nal, length);
    else
        MP4AddH265VideoParameterSet(file, track, nal, length);
}
