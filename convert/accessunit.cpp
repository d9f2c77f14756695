#include "convert/accessunit.h"

#include <QDebug>
#include <algorithm>
#include <limits>

#include "h264/poc.h"
#include "h264/sei.h"
#include "h264/sps.h"
#include "mp4/mp4check.h"

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

// Parameter sets held for the next picture, at most.
constexpr size_t kMaxPendingBytes = 16u << 20;
constexpr size_t kMaxPendingSets = 1024;

bool IsSliceStart(int32_t type) {
    return type == kNalSlice || type == kNalIdr || type == kNalPartitionA;
}

// Units that end the picture before them when they follow its slices (H.264 7.4.1.2.3).
bool EndsPicture(int32_t type) {
    return type == kNalAud || type == kNalSps || type == kNalPps || type == kNalSei ||
           (type >= 14 && type <= 18);
}

bool IsIntraSlice(uint32_t sliceType) {
    return sliceType % 5 == 2 || sliceType % 5 == 4;
}

// The unit's bytes without the zero bytes behind it, which belong to the byte stream (a NAL
// unit never ends in 00), and its 4-byte length.
uint32_t UnitLength(const NalUnit& nal, uint8_t prefix[4]) {
    uint32_t n = uint32_t(nal.length);
    while (n > 1 && nal.data[n - 1] == 0) --n;
    prefix[0] = uint8_t(n >> 24);
    prefix[1] = uint8_t(n >> 16);
    prefix[2] = uint8_t(n >> 8);
    prefix[3] = uint8_t(n);
    return n;
}

void AppendUnit(std::vector<uint8_t>& to, const NalUnit& nal) {
    uint8_t prefix[4];
    const uint32_t n = UnitLength(nal, prefix);
    to.insert(to.end(), prefix, prefix + 4);
    to.insert(to.end(), nal.data, nal.data + n);
}

int32_t ClampToInt32(int64_t v) {
    return int32_t(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                       std::numeric_limits<int32_t>::max()));
}

}  // namespace

AccessUnitWriter::AccessUnitWriter(MP4FileHandle file) : file(file) {}

void AccessUnitWriter::SetTrack(MP4TrackId t, MP4Duration duration) {
    track = t;
    frameDuration = duration;
}

bool AccessUnitWriter::Add(const NalUnit& nal) {
    const int32_t t = nal.type;
    if (t == kNalSps || t == kNalPps) {
        if (t == kNalSps)
            parameterSets.AddSps(nal.data, uint32_t(nal.length));
        else
            parameterSets.AddPps(nal.data, uint32_t(nal.length));
        QueueParameterSet(t == kNalSps, nal);
    }
    if (EndsPicture(t) && current.hasSlice) closed = true;
    if (IsSliceStart(t)) return AddSlice(nal);
    if (t == kNalSei) {
        uint32_t frames = 0;
        if (FindRecoveryPoint(nal.data, uint32_t(nal.length), &frames) && frames == 0)
            pending.recoveryPoint = true;
        AppendUnit(pending.bytes, nal);
    } else if (t == kNalPartitionB || t == kNalPartitionC) {
        // Partitions B and C follow the partition A of their slice.
        if (closed) {
            AppendUnit(pending.bytes, nal);
        } else if (current.written) {
            return WriteUnit(nal);
        }
    }
    return true;
}

void AccessUnitWriter::QueueParameterSet(bool sps, const NalUnit& nal) {
    std::vector<ParameterSet>& q = pending.parameterSets;
    q.push_back({sps, std::vector<uint8_t>(nal.data, nal.data + nal.length)});
    // Parameter sets without any picture after them (a broken stream) are not kept without
    // bound: the oldest go first.
    if (q.size() > kMaxPendingSets) q.erase(q.begin());
    size_t total = 0;
    for (const ParameterSet& p : q) total += p.bytes.size();
    while (total > kMaxPendingBytes && q.size() > 1) {
        total -= q.front().bytes.size();
        q.erase(q.begin());
    }
}

bool AccessUnitWriter::AddSlice(const NalUnit& nal) {
    SliceHeader sh{};
    const bool known = ParseSliceHeader(nal.data, uint32_t(nal.length), parameterSets, &sh);
    if (current.hasSlice) {
        bool newPicture = closed;
        if (!newPicture) {
            if (known && current.headerKnown)
                newPicture = IsFirstVclOfNewPicture(current.last, sh);
            else
                newPicture = !known || sh.first_mb_in_slice == 0;
        }
        if (newPicture && known && current.headerKnown && SecondFieldOfCurrent(sh)) {
            // The second field of a frame goes into the first one's sample.
            const PocResult r = poc.Compute(sh, *parameterSets.Sps(sh.seq_parameter_set_id));
            current.order = std::min<int64_t>(current.order, r.poc);
            current.paired = true;
            current.last = sh;
            current.intraOnly = current.intraOnly && IsIntraSlice(sh.slice_type);
            if (sh.has_mmco5) current.resetsOrder = true;
            closed = false;
            return TakePending() && WriteUnit(nal);
        }
        if (newPicture && !FinishPicture()) return false;
    }
    if (!current.hasSlice) StartPicture(nal, sh, known);
    current.last = sh;
    current.headerKnown = current.headerKnown && known;
    current.intraOnly = current.intraOnly && known && IsIntraSlice(sh.slice_type);
    if (nal.type == kNalIdr) current.idr = true;
    closed = false;
    return TakePending() && WriteUnit(nal);
}

void AccessUnitWriter::StartPicture(const NalUnit& nal, const SliceHeader& sh, bool known) {
    current.hasSlice = true;
    current.written = track != MP4_INVALID_TRACK_ID;
    current.headerKnown = known;
    current.idr = nal.type == kNalIdr;
    current.field = known && sh.field_pic_flag;
    current.paired = false;
    current.intraOnly = true;
    current.resetsOrder = current.idr || (known && sh.has_mmco5);
    current.order = 0;
    if (const SpsInfo* sps = known ? parameterSets.Sps(sh.seq_parameter_set_id) : nullptr)
        current.order = poc.Compute(sh, *sps).poc;
}

bool AccessUnitWriter::SecondFieldOfCurrent(const SliceHeader& sh) const {
    return current.field && !current.paired && IsSecondFieldOfPair(current.last, sh);
}

// Hands the units waiting in front of the current picture's next slice to its sample: the
// parameter sets to the track, the others into the sample. Without a track, the parameter sets
// wait for the next picture and the rest is dropped with the picture.
bool AccessUnitWriter::TakePending() {
    if (!current.written) {
        pending.bytes.clear();
        pending.recoveryPoint = false;
        return true;
    }
    for (const ParameterSet& ps : pending.parameterSets) {
        if (ps.sps)
            MP4AddH264SequenceParameterSet(file, track, ps.bytes.data(), uint16_t(ps.bytes.size()));
        else
            MP4AddH264PictureParameterSet(file, track, ps.bytes.data(), uint16_t(ps.bytes.size()));
    }
    pending.parameterSets.clear();
    current.recoveryPoint = current.recoveryPoint || pending.recoveryPoint;
    pending.recoveryPoint = false;
    if (pending.bytes.empty()) return true;
    const bool ok =
        MP4AppendSampleBytes(file, track, pending.bytes.data(), uint32_t(pending.bytes.size()));
    pending.bytes.clear();
    return ok;
}

// One unit of the current picture, straight into its sample.
bool AccessUnitWriter::WriteUnit(const NalUnit& nal) {
    if (!current.written) return true;
    uint8_t prefix[4];
    const uint32_t n = UnitLength(nal, prefix);
    return MP4AppendSampleBytes(file, track, prefix, 4) &&
           MP4AppendSampleBytes(file, track, nal.data, n);
}

bool AccessUnitWriter::FinishPicture() {
    const Picture p = current;
    current = Picture();
    if (!p.written) return true;
    const bool sync = p.idr || (p.recoveryPoint && p.intraOnly && p.headerKnown);
    if (!MP4FinishSample(file, track, MP4_INVALID_DURATION, 0, sync)) {
        qDebug("## write faile!!!!");
        return false;
    }
    // A picture that resets the order is output after everything decoded before it; one whose
    // header could not be read keeps its decoding place.
    const uint32_t index = uint32_t(pictures);
    if (p.resetsOrder || !p.headerKnown || lastHeaderUnknown) orderStarts.push_back(index);
    lastHeaderUnknown = !p.headerKnown;
    orders.push_back(ClampToInt32(p.order));
    if (firstDecodable < 0 && (p.idr || (p.headerKnown && (p.intraOnly || p.recoveryPoint))))
        firstDecodable = index;
    ++pictures;
    if (sync) ++syncPictures;
    return true;
}

bool AccessUnitWriter::Finish() {
    if (current.hasSlice && !FinishPicture()) return false;
    if (pictures > 0) PresentInOutputOrder();
    return true;
}

// Output order: within each run between order resets, pictures come out by picture order
// count (ties in decoding order), which is exact for a conforming stream. Each sample is then
// presented at its output place plus the smallest shift that keeps every composition offset at
// or above zero; a stream without reordering needs no offsets at all. The presentation begins
// at the first picture a decoder can start from: what comes before it is kept but not shown.
void AccessUnitWriter::PresentInOutputOrder() {
    const uint32_t n = uint32_t(pictures);
    std::vector<uint32_t> byOrder;
    int64_t shift = 0;
    size_t k = 0;
    for (uint32_t begin = 0; begin < n;) {
        while (k < orderStarts.size() && orderStarts[k] <= begin) ++k;
        const uint32_t end = k < orderStarts.size() ? orderStarts[k] : n;
        byOrder.resize(end - begin);
        for (uint32_t i = begin; i < end; ++i) byOrder[i - begin] = i;
        std::sort(byOrder.begin(), byOrder.end(), [this](uint32_t a, uint32_t b) {
            return orders[a] != orders[b] ? orders[a] < orders[b] : a < b;
        });
        // The counts are no longer needed: each becomes its picture's output place less its
        // decoding place.
        for (uint32_t r = 0; r < byOrder.size(); ++r) {
            const uint32_t i = byOrder[r];
            orders[i] = int32_t(int64_t(begin + r) - int64_t(i));
            shift = std::max<int64_t>(shift, -int64_t(orders[i]));
        }
        begin = end;
    }
    std::vector<uint32_t>().swap(byOrder);
    for (uint32_t i = 0; i < n; ++i) {
        const int64_t frames = orders[i] + shift;
        if (frames != 0)
            MP4SetSampleRenderingOffset(file, track, i + 1, MP4Duration(frames) * frameDuration);
    }
    const uint32_t start = firstDecodable < 0 ? 0 : uint32_t(firstDecodable);
    const int64_t startPlace = int64_t(start) + orders[start];  // its output place
    hiddenPictures = uint64_t(startPlace);
    std::deque<int32_t>().swap(orders);
    const MP4Duration startTime = MP4Duration(startPlace + shift) * frameDuration;
    if (startTime > 0) MP4AddTrackEdit(file, track, MP4_INVALID_EDIT_ID, startTime, 0);
}
