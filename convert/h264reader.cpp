#include "convert/h264reader.h"

#include <algorithm>

#include "convert/timing.h"
#include "h264/sei.h"
#include "h264/sps.h"
#include "syntax/bitstream.h"

namespace {

enum : int32_t {
    kNalSlice = 1,
    kNalPartitionA = 2,
    kNalPartitionB = 3,
    kNalPartitionC = 4,
    kNalIdr = 5,
    kNalSei = 6,
    kNalSps = 7,
    kNalPps = 8,
    kNalAud = 9,
};

enum : uint32_t { kKeySps = 0, kKeyPps = 1 << 16 };

// Units that end the picture before them when they follow its slices (7.4.1.2.3).
bool EndsPicture(int32_t type) {
    return type == kNalAud || type == kNalSps || type == kNalPps || type == kNalSei ||
           (type >= 14 && type <= 18);
}

bool IsIntraSlice(uint32_t sliceType) {
    return sliceType % 5 == 2 || sliceType % 5 == 4;
}

// seq_parameter_set_id of an SPS, pic_parameter_set_id of a PPS: the first ue(v) after the
// fixed header bytes, which no emulation-prevention byte can come before.
bool ParameterSetId(const NalUnit& nal, uint32_t skipBytes, uint32_t* id) {
    if (uint32_t(nal.length) <= skipBytes) return false;
    try {
        Bitstream bs(nal.data + skipBytes, (uint32_t(nal.length) - skipBytes) * 8);
        *id = ReadUE(bs);
        return *id <= 255;
    } catch (...) {
        return false;
    }
}

}  // namespace

UnitPlan H264PictureReader::Plan(const NalUnit& nal) {
    UnitPlan plan;
    const int32_t t = nal.type;
    // forbidden_zero_bit set: no NAL unit, whatever follows (7.4.1); decoders pass over it.
    if (nal.data[0] & 0x80) {
        plan.unusable = true;
        return plan;
    }
    plan.endsPicture = EndsPicture(t);
    switch (t) {
        case kNalSlice:
        case kNalIdr:
        case kNalPartitionA:
            plan.place = UnitPlan::Slice;
            slice = SliceHeader{};
            sliceKnown = ParseSliceHeader(nal.data, uint32_t(nal.length), parameterSets, &slice);
            plan.unusable = !sliceKnown;
            afterPartitionA = sliceKnown && t == kNalPartitionA;
            break;
        case kNalPartitionB:
        case kNalPartitionC:
            // Partitions B and C follow the partition A of their slice; without one they are
            // of no use.
            plan.place = UnitPlan::Behind;
            plan.unusable = !afterPartitionA;
            break;
        case kNalSei: {
            uint32_t frames = 0;
            if (FindRecoveryPoint(nal.data, uint32_t(nal.length), &frames) && frames == 0)
                pendingRecovery = true;
            plan.place = UnitPlan::Ahead;
            break;
        }
        case kNalSps:
        case kNalPps: {
            const bool sps = t == kNalSps;
            // A set that does not parse would take the place of a good one of its id.
            const bool parsed = sps ? parameterSets.AddSps(nal.data, uint32_t(nal.length))
                                    : parameterSets.AddPps(nal.data, uint32_t(nal.length));
            uint32_t id = 0;
            if (!parsed) {
                plan.unusable = true;
            } else if (ParameterSetId(nal, sps ? 4 : 1, &id)) {
                plan.place = UnitPlan::ParameterSet;
                plan.setKey = (sps ? kKeySps : kKeyPps) | id;
            }
            break;
        }
        case 17:
        case 18:
        case 22:
        case 23:
            plan.unusable = true;  // reserved types (Table 7-1)
            break;
        default:
            break;
    }
    return plan;
}

bool H264PictureReader::BeginsPicture(const NalUnit& /*nal*/, bool pictureOpen, bool closed) {
    secondField = false;
    if (!pictureOpen) return true;
    bool newPicture = closed;
    if (!newPicture) {
        if (sliceKnown && current.headerKnown)
            newPicture = IsFirstVclOfNewPicture(current.last, slice);
        else
            newPicture = !sliceKnown || slice.first_mb_in_slice == 0;
    }
    // The second field of a frame goes into the first one's sample.
    if (newPicture && sliceKnown && current.headerKnown && current.field && !current.paired &&
        IsSecondFieldOfPair(current.last, slice)) {
        secondField = true;
        return false;
    }
    return newPicture;
}

void H264PictureReader::StartPicture(const NalUnit& nal) {
    current = Picture();
    current.headerKnown = sliceKnown;
    current.idr = nal.type == kNalIdr;
    current.field = sliceKnown && slice.field_pic_flag;
    current.resetsOrder = current.idr || (sliceKnown && slice.has_mmco5);
    if (const SpsInfo* sps = sliceKnown ? parameterSets.Sps(slice.seq_parameter_set_id) : nullptr) {
        current.order = poc.Compute(slice, *sps).poc;
        if (sps->timing_info_present_flag)
            FrameRateFromTiming(sps->num_units_in_tick, sps->time_scale, &current.fpsNum,
                                &current.fpsDen);
        // E.2.1: picture order count type 2 outputs in decoding order, as the intra profiles
        // with constraint_set3_flag do; otherwise only the VUI's bitstream restriction says.
        const bool intraProfile =
            (sps->constraint_flags & 0x10) &&
            (sps->profile_idc == 44 || sps->profile_idc == 86 || sps->profile_idc == 100 ||
             sps->profile_idc == 110 || sps->profile_idc == 122 || sps->profile_idc == 244);
        if (sps->pic_order_cnt_type == 2 || intraProfile)
            current.maxReorder = 0;
        else if (sps->bitstream_restriction_flag)
            current.maxReorder = sps->max_num_reorder_frames;
    }
    ContinuePicture(nal);
}

void H264PictureReader::ContinuePicture(const NalUnit& nal) {
    current.recoveryPoint = current.recoveryPoint || pendingRecovery;
    pendingRecovery = false;
    if (secondField) {
        const PocResult r = poc.Compute(slice, *parameterSets.Sps(slice.seq_parameter_set_id));
        current.order = std::min<int64_t>(current.order, r.poc);
        current.paired = true;
        current.last = slice;
        current.intraOnly = current.intraOnly && IsIntraSlice(slice.slice_type);
        if (slice.has_mmco5) current.resetsOrder = true;
        secondField = false;
        return;
    }
    current.last = slice;
    current.headerKnown = current.headerKnown && sliceKnown;
    current.intraOnly = current.intraOnly && sliceKnown && IsIntraSlice(slice.slice_type);
    if (nal.type == kNalIdr) current.idr = true;
}

PictureFacts H264PictureReader::FinishPicture() {
    const Picture& p = current;
    PictureFacts f;
    f.headerKnown = p.headerKnown;
    f.order = p.order;
    f.resetsOrder = p.resetsOrder;
    f.sync = p.idr || (p.recoveryPoint && p.intraOnly && p.headerKnown);
    f.startsDecoding = p.idr || (p.headerKnown && (p.intraOnly || p.recoveryPoint));
    f.fpsNum = p.fpsNum;
    f.fpsDen = p.fpsDen;
    f.maxReorder = p.maxReorder;
    return f;  // StartPicture clears the state for the next one
}

void H264PictureReader::AddToTrack(MP4FileHandle file, MP4TrackId track, uint32_t key,
                                   const uint8_t* nal, uint16_t length) {
    if (key < kKeyPps)
        MP4AddH264SequenceParameterSet(file, track, nal, length);
    else
        MP4AddH264PictureParameterSet(file, track, nal, length);
}
