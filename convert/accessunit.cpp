#include "convert/accessunit.h"

#include <QDebug>
#include <algorithm>
#include <limits>

#include "mp4/mp4check.h"

namespace {

// Units other than slices held for the next picture, at most: what comes beyond it is not a
// video stream anyone could play, and keeping it would let memory grow without bound.
constexpr size_t kMaxPendingBytes = 64u << 20;
// Leading pictures of the first random access point that are looked at for the edit.
constexpr size_t kMaxShownLeading = 1024;
// A fragment that has lasted this many times its length without a sync picture ends at a picture
// output after every one before it, so that a stream without further sync pictures still reaches
// the disk and memory stays bounded.
constexpr uint64_t kForcedFragmentEnd = 10;
constexpr int64_t kLeftOut = std::numeric_limits<int64_t>::min();

void LengthPrefix(uint32_t n, uint8_t prefix[4]) {
    prefix[0] = uint8_t(n >> 24);
    prefix[1] = uint8_t(n >> 16);
    prefix[2] = uint8_t(n >> 8);
    prefix[3] = uint8_t(n);
}

int32_t ClampToInt32(int64_t v) {
    return int32_t(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                       std::numeric_limits<int32_t>::max()));
}

}  // namespace

AccessUnitWriter::AccessUnitWriter(MP4FileHandle file, std::unique_ptr<PictureReader> reader)
    : file(file), reader(std::move(reader)) {}

void AccessUnitWriter::SetTrack(MP4TrackId t, Timeline times) {
    track = t;
    timeline = std::move(times);
}

void AccessUnitWriter::SetFragments(MP4Duration ticks) {
    fragmentTicks = ticks;
}

bool AccessUnitWriter::Add(const NalUnit& in) {
    // The zero bytes behind a unit belong to the byte stream (a NAL unit never ends in 00).
    NalUnit nal = in;
    nal.length = int32_t(PayloadLength(in));
    const UnitPlan plan = reader->Plan(nal);
    if (plan.endsPicture && pictureOpen) closed = true;
    switch (plan.place) {
        case UnitPlan::Slice:
            ++slices;
            return AddSlice(nal);
        case UnitPlan::ParameterSet:
            pending.parameterSets[plan.setKey].assign(nal.data, nal.data + nal.length);
            return true;
        case UnitPlan::Behind:
            if (pictureOpen && !closed) return !written || WriteUnit(nal);
            [[fallthrough]];
        case UnitPlan::Ahead: {
            if (pending.bytes.size() + 4 + size_t(nal.length) > kMaxPendingBytes) {
                failure = "more than 64 MiB of units other than slices in front of one picture";
                return false;
            }
            uint8_t prefix[4];
            LengthPrefix(uint32_t(nal.length), prefix);
            pending.bytes.insert(pending.bytes.end(), prefix, prefix + 4);
            pending.bytes.insert(pending.bytes.end(), nal.data, nal.data + nal.length);
            return true;
        }
        case UnitPlan::Drop:
            break;
    }
    return true;
}

bool AccessUnitWriter::AddSlice(const NalUnit& nal) {
    // A picture begun before the track existed is not continued into it: its first slices are
    // not in the file, and what follows goes into a sample of its own.
    const bool continuable = pictureOpen && (written || track == MP4_INVALID_TRACK_ID);
    if (reader->BeginsPicture(nal, continuable, closed)) {
        if (pictureOpen && !FinishPicture()) return false;
        pictureOpen = true;
        written = track != MP4_INVALID_TRACK_ID;
        sampleBytes = 0;
        reader->StartPicture(nal);
    } else {
        reader->ContinuePicture(nal);
    }
    closed = false;
    return TakePending() && WriteUnit(nal);
}

// Hands the units waiting in front of the current picture's next slice to its sample: the
// parameter sets to the track, the others into the sample. Without a track, the parameter sets
// wait for the next picture and the rest is dropped with the picture.
bool AccessUnitWriter::TakePending() {
    if (!written) {
        pending.bytes.clear();
        return true;
    }
    for (const auto& [key, set] : pending.parameterSets)
        reader->AddToTrack(file, track, key, set.data(), uint16_t(set.size()));
    pending.parameterSets.clear();
    if (pending.bytes.empty()) return true;
    const bool ok = Append(pending.bytes.data(), uint32_t(pending.bytes.size()));
    pending.bytes.clear();
    return ok;
}

bool AccessUnitWriter::Append(const uint8_t* bytes, uint32_t count) {
    // A sample's size is stored in 32 bits.
    if (sampleBytes + count > std::numeric_limits<uint32_t>::max()) {
        failure = "an access unit is larger than 4 GiB";
        return false;
    }
    sampleBytes += count;
    return MP4AppendSampleBytes(file, track, bytes, count);
}

// One unit of the current picture, straight into its sample.
bool AccessUnitWriter::WriteUnit(const NalUnit& nal) {
    if (!written) return true;
    uint8_t prefix[4];
    LengthPrefix(uint32_t(nal.length), prefix);
    return Append(prefix, 4) && Append(nal.data, uint32_t(nal.length));
}

bool AccessUnitWriter::FinishPicture() {
    const PictureFacts p = reader->FinishPicture();
    pictureOpen = false;
    if (!written) return true;
    written = false;
    if (fragmentTicks && firstDecodable < 0 && !p.startsDecoding) {
        // Nothing a decoder can show: not in a fragmented file.
        ++droppedPictures;
        return MP4DiscardSample(file, track);
    }
    const uint64_t duration = timeline.Next(p.fpsNum, p.fpsDen);
    if (duration > std::numeric_limits<uint32_t>::max()) {
        failure = "a picture lasts longer than an MP4 sample can (2^32 ticks of the track)";
        return false;
    }
    if (!MP4FinishSample(file, track, duration, 0, p.sync)) {
        qDebug("## write faile!!!!");
        return false;
    }
    // A picture that resets the order is output after everything decoded before it; one whose
    // header could not be read keeps its decoding place.
    const uint32_t index = uint32_t(pictures);
    if (p.resetsOrder || !p.headerKnown || lastHeaderUnknown) orderStarts.push_back(index);
    lastHeaderUnknown = !p.headerKnown;
    orders.push_back(ClampToInt32(p.order));  // orders[index - orderBase]
    if (firstDecodable >= 0 && !trailingSeen) {
        if (p.leading == PictureFacts::NotLeading)
            trailingSeen = true;
        else if (p.leading == PictureFacts::Decodable && shownLeading.size() < kMaxShownLeading)
            shownLeading.push_back(index);
    }
    if (firstDecodable < 0 && p.startsDecoding) firstDecodable = index;
    SettleRandomAccess(p);
    if (p.syncWithoutSkipped) {
        unsettled = index;
        skippedLeading = 0;
    }
    ++pictures;
    if (p.sync) ++syncPictures;
    return !fragmentTicks || EndFragment(p, index);
}

// Ends the fragment being gathered in front of picture `index` when it has lasted long enough
// and every picture before it is output before it: it is a sync picture or a random access point
// (whose leading pictures follow it), or, long past the length, one output after all pictures
// before it.
bool AccessUnitWriter::EndFragment(const PictureFacts& p, uint32_t index) {
    const bool runStarts = !orderStarts.empty() && orderStarts.back() == index;
    const bool outputLast = runStarts || (p.headerKnown && p.order > runMaxOrder);
    runMaxOrder = runStarts ? p.order : std::max(runMaxOrder, p.order);
    if (index == fragmentStart) return true;
    const uint64_t lasted = timeline.TimeAt(index) - timeline.TimeAt(fragmentStart);
    const bool end = ((p.sync || p.syncWithoutSkipped) && lasted >= fragmentTicks) ||
                     (outputLast && lasted >= kForcedFragmentEnd * fragmentTicks);
    if (!end) return true;
    PlaceFragment(index);
    fragmentStart = index;
    ++fragments;
    if (beforeFragment) beforeFragment(double(timeline.TimeAt(index)) / timeline.TimeScale());
    return MP4WriteFragment(file, track, MP4SampleId(index + 1));
}

// Gives the pictures of the fragment, [fragmentStart, end), their composition offsets: within
// each run between order resets they come out by picture order count (ties in decoding order),
// and no picture behind `end` comes out before them. The first fragment decides where the
// presentation starts, as the edit list of an unfragmented file would; what comes out before
// that is left out of the file. Its offsets also decide the shift that keeps them at or above
// zero, as readers of fragments expect (an edit list then starts the presentation at the first
// picture, written with the movie box in front of that fragment); a later picture decoded
// further ahead of its output gets a negative offset.
void AccessUnitWriter::PlaceFragment(uint32_t end) {
    const uint32_t begin = fragmentStart;
    std::vector<int64_t> place(end - begin);
    std::vector<uint32_t> byOrder;
    auto starts = orderStarts.begin();
    for (uint32_t a = begin; a < end;) {
        while (starts != orderStarts.end() && *starts <= a) ++starts;
        const uint32_t b = starts != orderStarts.end() ? std::min(*starts, end) : end;
        byOrder.resize(b - a);
        for (uint32_t i = a; i < b; ++i) byOrder[i - a] = i;
        std::sort(byOrder.begin(), byOrder.end(), [this](uint32_t x, uint32_t y) {
            const int32_t ox = orders[x - orderBase], oy = orders[y - orderBase];
            return ox != oy ? ox < oy : x < y;
        });
        for (uint32_t r = 0; r < byOrder.size(); ++r) place[byOrder[r] - begin] = a + r;
        a = b;
    }
    if (startPlace < 0) {
        startPlace = place[0];  // the first picture a decoder can start from, and its shown
        for (uint32_t i : shownLeading)  // leading pictures
            if (i < end) startPlace = std::min(startPlace, place[i - begin]);
    }
    // Each kept picture's presentation time less its decoding time, both counted without the
    // pictures left out; then the offsets in the first fragment decide the shift that keeps
    // them at or above zero, and the edit that starts the presentation there.
    const uint64_t start = timeline.TimeAt(uint64_t(startPlace));
    uint64_t hidden = hiddenPictures;
    int64_t firstShift = 0;
    for (uint32_t i = begin; i < end; ++i) {
        const int64_t at = place[i - begin];
        if (at < startPlace) {
            place[i - begin] = kLeftOut;
            ++hidden;
            hiddenTicks += timeline.TimeAt(i + 1) - timeline.TimeAt(i);
            MP4HideSample(file, track, i + 1);
            continue;
        }
        place[i - begin] = int64_t(timeline.TimeAt(uint64_t(at)) - start) -
                           int64_t(timeline.TimeAt(i) - hiddenTicks);
        if (fragmentShift < 0) firstShift = std::max(firstShift, -place[i - begin]);
    }
    if (fragmentShift < 0) {
        fragmentShift = firstShift;
        if (fragmentShift > 0)
            MP4AddTrackEdit(file, track, MP4_INVALID_EDIT_ID, MP4Duration(fragmentShift), 0);
    }
    for (uint32_t i = begin; i < end; ++i)
        if (place[i - begin] != kLeftOut)
            MP4SetSampleCompositionOffset(file, track, i + 1,
                                          ClampToInt32(place[i - begin] + fragmentShift));
    hiddenPictures = hidden;
    orders.erase(orders.begin(), orders.begin() + (end - orderBase));
    orderBase = end;
    orderStarts.erase(orderStarts.begin(),
                      std::lower_bound(orderStarts.begin(), orderStarts.end(), end));
}

// A random access point with leading pictures is a sync sample when none of them is skipped
// from it; otherwise it is listed as a random access point with their number. Its leading
// pictures come right after it: the first picture that is not one settles it.
void AccessUnitWriter::SettleRandomAccess(const PictureFacts& next) {
    if (unsettled < 0) return;
    if (next.leading == PictureFacts::Skipped) {
        ++skippedLeading;
        return;
    }
    if (next.leading == PictureFacts::Decodable) return;
    const MP4SampleId sample = MP4SampleId(unsettled + 1);
    // A fragment has no random access group: there, such a point is a sync sample, from which a
    // decoder drops the skipped leading pictures as it does at the start of a stream.
    if (skippedLeading == 0 || fragmentTicks) {
        MP4SetSampleSync(file, track, sample, true);
        ++syncPictures;
    } else {
        // num_leading_samples has 7 bits: more are written as not known.
        MP4AddRandomAccessSample(file, track, sample,
                                 skippedLeading > 127 ? -1 : int(skippedLeading));
    }
    unsettled = -1;
}

bool AccessUnitWriter::Finish() {
    if (pictureOpen && !FinishPicture()) return false;
    SettleRandomAccess(PictureFacts());
    if (pictures == 0) return true;
    if (const uint64_t last = timeline.SettleLast())
        if (!MP4SetLastSampleDuration(file, track, last)) return false;
    if (fragmentTicks) {
        if (pictures > fragmentStart) {
            PlaceFragment(uint32_t(pictures));
            ++fragments;
        }
        presentedTicks =
            timeline.End() - timeline.TimeAt(uint64_t(std::max<int64_t>(startPlace, 0)));
        return true;
    }
    PresentInOutputOrder();
    return true;
}

// Output order: within each run between order resets, pictures come out by picture order
// count (ties in decoding order), which is exact for a conforming stream. Each sample is then
// presented at the time of its output place plus the smallest shift that keeps every
// composition offset at or above zero; a stream without reordering needs no offsets at all. The
// presentation begins at the first picture a decoder can start from, or at a leading picture of it
// that such a decoder shows: what comes before is kept but not shown.
void AccessUnitWriter::PresentInOutputOrder() {
    const uint32_t n = uint32_t(pictures);
    // Per picture of a run, its count (biased to sort unsigned) over its place in the run: in
    // ascending order, the run's output order with ties in decoding order.
    std::vector<uint64_t> byOrder;
    int64_t shift = 0;
    size_t k = 0;
    auto counts = orders.begin();
    for (uint32_t begin = 0; begin < n;) {
        while (k < orderStarts.size() && orderStarts[k] <= begin) ++k;
        const uint32_t end = k < orderStarts.size() ? orderStarts[k] : n;
        byOrder.resize(end - begin);
        for (uint32_t i = begin; i < end; ++i, ++counts)
            byOrder[i - begin] = uint64_t(uint32_t(*counts) ^ 0x80000000u) << 32 | (i - begin);
        std::sort(byOrder.begin(), byOrder.end());
        // The counts are no longer needed: each becomes its picture's output place less its
        // decoding place.
        for (uint32_t r = 0; r < byOrder.size(); ++r) {
            const uint32_t i = begin + uint32_t(byOrder[r]);
            orders[i] = int32_t(int64_t(begin + r) - int64_t(i));
            if (orders[i] < 0)
                shift = std::max<int64_t>(shift,
                                          int64_t(timeline.TimeAt(i) - timeline.TimeAt(begin + r)));
        }
        begin = end;
    }
    std::vector<uint64_t>().swap(byOrder);
    // Decoded at T[i], presented at T[output place] + shift.
    uint32_t i = 0;
    for (const int32_t moved : orders) {
        const uint64_t offset =
            moved == 0 ? uint64_t(shift)
                       : timeline.TimeAt(int64_t(i) + moved) + uint64_t(shift) - timeline.TimeAt(i);
        ++i;
        if (offset != 0) MP4SetSampleRenderingOffset(file, track, i, offset);
    }
    const uint32_t start = firstDecodable < 0 ? 0 : uint32_t(firstDecodable);
    int64_t startPlace = int64_t(start) + orders[start];  // its output place
    for (uint32_t i : shownLeading) startPlace = std::min<int64_t>(startPlace, i + orders[i]);
    hiddenPictures = uint64_t(startPlace);
    std::deque<int32_t>().swap(orders);
    const uint64_t startTime = timeline.TimeAt(uint64_t(startPlace));
    presentedTicks = timeline.End() - startTime;
    if (startTime + uint64_t(shift) > 0)
        MP4AddTrackEdit(file, track, MP4_INVALID_EDIT_ID, startTime + uint64_t(shift), 0);
}
