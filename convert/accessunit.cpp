#include "convert/accessunit.h"

#include <QDebug>
#include <algorithm>

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

// Pictures that may wait for their output place before the writer gives up on the order: a
// stream that needs more is broken, and its pictures are then written in decoding order.
constexpr size_t kMaxQueued = 64;
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

}  // namespace

void AccessUnitWriter::Units::Clear() {
    sample.clear();
    parameterSets.clear();
    recoveryPoint = false;
}

void AccessUnitWriter::Units::Append(const Units& other) {
    sample.insert(sample.end(), other.sample.begin(), other.sample.end());
    parameterSets.insert(parameterSets.end(), other.parameterSets.begin(),
                         other.parameterSets.end());
    recoveryPoint = recoveryPoint || other.recoveryPoint;
}

AccessUnitWriter::AccessUnitWriter(MP4FileHandle file) : file(file) {}

void AccessUnitWriter::SetTrack(MP4TrackId t, MP4Duration duration) {
    track = t;
    frameDuration = duration;
}

void AccessUnitWriter::AppendUnit(Units& to, const NalUnit& nal) {
    // Zero bytes behind a unit belong to the byte stream (a NAL unit never ends in 00).
    uint32_t n = uint32_t(nal.length);
    while (n > 1 && nal.data[n - 1] == 0) --n;
    const uint8_t prefix[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    to.sample.insert(to.sample.end(), prefix, prefix + 4);
    to.sample.insert(to.sample.end(), nal.data, nal.data + n);
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
        AppendUnit(pending, nal);
    } else if (t == kNalPartitionB || t == kNalPartitionC) {
        // Partitions B and C follow the partition A of their slice.
        AppendUnit(closed ? static_cast<Units&>(pending) : current, nal);
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
            current.Append(pending);
            pending.Clear();
            AppendUnit(current, nal);
            const PocResult r = poc.Compute(sh, *parameterSets.Sps(sh.seq_parameter_set_id));
            current.order = std::min<int64_t>(current.order, r.poc);
            current.paired = true;
            current.last = sh;
            current.intraOnly = current.intraOnly && IsIntraSlice(sh.slice_type);
            if (sh.has_mmco5) current.resetsOrder = true;
            closed = false;
            return true;
        }
        if (newPicture && !FinishPicture()) return false;
    }
    if (!current.hasSlice) StartPicture(nal, sh, known);
    current.Append(pending);
    pending.Clear();
    AppendUnit(current, nal);
    current.last = sh;
    current.headerKnown = current.headerKnown && known;
    current.intraOnly = current.intraOnly && known && IsIntraSlice(sh.slice_type);
    if (nal.type == kNalIdr) current.idr = true;
    closed = false;
    return true;
}

void AccessUnitWriter::StartPicture(const NalUnit& nal, const SliceHeader& sh, bool known) {
    current.hasSlice = true;
    current.headerKnown = known;
    current.idr = nal.type == kNalIdr;
    current.field = known && sh.field_pic_flag;
    current.paired = false;
    current.intraOnly = true;
    current.resetsOrder = current.idr || (known && sh.has_mmco5);
    current.order = 0;
    const SpsInfo* sps = known ? parameterSets.Sps(sh.seq_parameter_set_id) : nullptr;
    if (sps) current.order = poc.Compute(sh, *sps).poc;
    // The first picture's sequence parameter set fixes how far pictures may be reordered: its
    // own word for it, else the size of the decoded picture buffer.
    if (!depthKnown) {
        if (sps)
            reorderDepth = std::min<uint32_t>(
                sps->bitstream_restriction_flag ? sps->max_num_reorder_frames : MaxDpbFrames(*sps),
                16);
        depthKnown = true;
    }
}

bool AccessUnitWriter::SecondFieldOfCurrent(const SliceHeader& sh) const {
    return current.field && !current.paired && IsSecondFieldOfPair(current.last, sh);
}

bool AccessUnitWriter::FinishPicture() {
    Picture& p = current;
    const bool keep = p.hasSlice && track != MP4_INVALID_TRACK_ID;
    if (keep) {
        p.decodeIndex = decoded++;
        // A picture that resets the order is output after everything decoded before it.
        if (p.resetsOrder || !p.headerKnown) OutputAll();
        queue.push_back(std::move(p));
        Picture* q = &queue.back();
        if (p.headerKnown) {
            waiting.push_back(q);
            while (waiting.size() > reorderDepth) {
                auto first = std::min_element(
                    waiting.begin(), waiting.end(),
                    [](const Picture* a, const Picture* b) { return a->order < b->order; });
                Output(*first);
            }
        } else {
            Output(q);  // without a readable header its place is where it was decoded
        }
        if (queue.size() > kMaxQueued && queue.front().outputIndex < 0) Output(&queue.front());
    } else {
        // Parameter sets of a picture that is passed over wait for the next one.
        pending.parameterSets.insert(pending.parameterSets.begin(), p.parameterSets.begin(),
                                     p.parameterSets.end());
    }
    current = Picture();
    return keep ? WriteOutputPictures() : true;
}

void AccessUnitWriter::Output(Picture* p) {
    p->outputIndex = output++;
    waiting.erase(std::remove(waiting.begin(), waiting.end(), p), waiting.end());
}

void AccessUnitWriter::OutputAll() {
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const Picture* a, const Picture* b) { return a->order < b->order; });
    for (Picture* p : waiting) p->outputIndex = output++;
    waiting.clear();
}

bool AccessUnitWriter::WriteOutputPictures() {
    while (!queue.empty() && queue.front().outputIndex >= 0) {
        if (!WritePicture(queue.front())) return false;
        queue.pop_front();
    }
    return true;
}

bool AccessUnitWriter::Finish() {
    if (current.hasSlice && !FinishPicture()) return false;
    OutputAll();
    return WriteOutputPictures();
}

bool AccessUnitWriter::WritePicture(Picture& p) {
    for (const ParameterSet& ps : p.parameterSets) {
        if (ps.sps)
            MP4AddH264SequenceParameterSet(file, track, ps.bytes.data(), uint16_t(ps.bytes.size()));
        else
            MP4AddH264PictureParameterSet(file, track, ps.bytes.data(), uint16_t(ps.bytes.size()));
    }
    // Presented at (output index + depth) frames, decoded at its decode index: the depth keeps
    // every offset at 0 or above, and the file's edit list starts the presentation at 0.
    const int64_t frames = p.outputIndex + int64_t(reorderDepth) - int64_t(p.decodeIndex);
    const MP4Duration offset = MP4Duration(std::max<int64_t>(frames, 0)) * frameDuration;
    const bool sync = p.idr || (p.recoveryPoint && p.intraOnly && p.headerKnown);
    if (pictures == 0) MP4SetPresentationStart(file, track, offset);
    if (!MP4WriteSample(file, track, p.sample.data(), uint32_t(p.sample.size()),
                        MP4_INVALID_DURATION, offset, sync)) {
        qDebug("## write faile!!!!");
        return false;
    }
    ++pictures;
    if (sync) ++syncPictures;
    return true;
}
