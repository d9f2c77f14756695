#include "convert/accessunit.h"

#include <QDebug>

#include "h264/bitstream.h"
#include "h264/sps.h"

namespace {

enum : int32_t {
    kNalSlice = 1,
    kNalPartitionA = 2,
    kNalPartitionC = 4,
    kNalIdr = 5,
    kNalSei = 6,
    kNalSps = 7,
    kNalPps = 8,
    kNalAud = 9,
};

bool IsSlice(int32_t type) { return type == kNalSlice || type == kNalIdr || type == kNalPartitionA; }

// NAL units that go into samples: coded slices and their partitions, and SEI.
bool IsSampleData(int32_t type) { return type >= kNalSlice && type <= kNalSei; }

// first_mb_in_slice, the first field of a slice header (no emulation-prevention byte can come
// before it). Unreadable counts as 0, which starts a new picture.
uint32_t FirstMbInSlice(const NalUnit& nal) {
    if (nal.length < 2) return 0;
    try {
        Bitstream bs(nal.data + 1, uint32_t(nal.length - 1) * 8);
        return ReadUE(bs);
    } catch (...) {
        return 0;
    }
}

}  // namespace

AccessUnitWriter::AccessUnitWriter(MP4FileHandle file) : file(file) {}

void AccessUnitWriter::SetTrack(MP4TrackId t, MP4Duration duration) {
    track = t;
    frameDuration = duration;
}

bool AccessUnitWriter::StartsNewAccessUnit(const NalUnit& nal) const {
    if (!current.hasSlice) return false;
    const int32_t t = nal.type;
    if (t == kNalAud || t == kNalSps || t == kNalPps || t == kNalSei || (t >= 14 && t <= 18))
        return true;
    return IsSlice(t) && FirstMbInSlice(nal) == 0;
}

bool AccessUnitWriter::Add(const NalUnit& nal) {
    if (StartsNewAccessUnit(nal) && !Flush()) return false;
    if (nal.type == kNalSps || nal.type == kNalPps) {
        current.parameterSets.push_back(
            {nal.type == kNalSps, std::vector<uint8_t>(nal.data, nal.data + nal.length)});
        return true;
    }
    if (!IsSampleData(nal.type)) return true;
    // Zero bytes behind a unit belong to the byte stream (a NAL unit never ends in 00).
    uint32_t n = uint32_t(nal.length);
    while (n > 1 && nal.data[n - 1] == 0) --n;
    std::vector<uint8_t>& s = current.sample;
    const uint8_t prefix[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    s.insert(s.end(), prefix, prefix + 4);
    s.insert(s.end(), nal.data, nal.data + n);
    if (IsSlice(nal.type)) current.hasSlice = true;
    if (nal.type == kNalIdr) current.idr = true;
    return true;
}

bool AccessUnitWriter::Flush() {
    bool ok = true;
    // Pictures in front of the first SPS cannot be decoded and have no track to go into; their
    // parameter sets wait for the next picture.
    if (current.hasSlice && track != MP4_INVALID_TRACK_ID) {
        ok = WriteAccessUnit(current);
        current.parameterSets.clear();
    } else if (current.hasSlice) {
        ++dropped;
    }
    // Units gathered without a picture (SEI at the very end) have no sample to go into.
    current.sample.clear();
    current.hasSlice = false;
    current.idr = false;
    return ok;
}

bool AccessUnitWriter::Finish() { return Flush(); }

bool AccessUnitWriter::WriteAccessUnit(AccessUnit& au) {
    for (const ParameterSet& ps : au.parameterSets) {
        if (ps.sps)
            MP4AddH264SequenceParameterSet(file, track, ps.bytes.data(), uint16_t(ps.bytes.size()));
        else
            MP4AddH264PictureParameterSet(file, track, ps.bytes.data(), uint16_t(ps.bytes.size()));
    }
    if (!MP4WriteSample(file, track, au.sample.data(), uint32_t(au.sample.size()),
                        MP4_INVALID_DURATION, 0, au.idr)) {
        qDebug("## write faile!!!!");
        return false;
    }
    ++pictures;
    if (au.idr) ++syncPictures;
    return true;
}
