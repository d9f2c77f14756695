#include "demux/hxvs.h"

#include <cstring>

namespace {

enum class Tag { None, Video, Sound, Index };

Tag TagAt(const uint8_t* p) {
    if (p[0] != 'H' || p[1] != 'X') return Tag::None;
    if (p[2] == 'V' && p[3] == 'F') return Tag::Video;
    if (p[2] == 'A' && p[3] == 'F') return Tag::Sound;
    if (p[2] == 'F' && p[3] == 'I') return Tag::Index;
    return Tag::None;
}

// Whether the 16 bytes at `p` can be a record's header: a tag and a length its kind can have.
bool Plausible(const uint8_t* p) {
    const uint32_t length = ReadLe32(p + 4);
    switch (TagAt(p)) {
        case Tag::Video:
            return length >= 1 && length <= HxvsReader::kMaxVideoBytes;
        case Tag::Sound:
            return length >= 4 && length <= HxvsReader::kMaxSoundBytes;
        case Tag::Index:
            return length <= HxvsReader::kMaxIndexBytes;
        case Tag::None:
            break;
    }
    return false;
}

constexpr size_t kNone = size_t(-1);

// The first place in [from, to) where a plausible header lies whole within the `size` bytes.
size_t FindRecord(const uint8_t* data, size_t size, size_t from, size_t to) {
    if (size < HxvsReader::kHeaderBytes) return kNone;
    const size_t last = size - HxvsReader::kHeaderBytes;  // the last place with a whole header
    if (to > last + 1) to = last + 1;
    for (size_t q = from; q < to;) {
        const void* h = memchr(data + q, 'H', to - q);
        if (!h) break;
        q = size_t(static_cast<const uint8_t*>(h) - data);
        if (Plausible(data + q)) return q;
        ++q;
    }
    return kNone;
}

}  // namespace

HxvsReader::HxvsReader(VideoCoding coding) {
    SetCoding(coding);
}

const char* HxvsReader::Name() const {
    return Coding() == VideoCoding::H265 ? "an HXVT file" : "an HXVS file";
}

int64_t HxvsReader::Unwrap(uint32_t ms) {
    // One clock for pictures and sound; the step from the record before, taken as the shorter
    // way round the 32-bit counter, allows sound written behind the pictures.
    if (!clockStarted) {
        clockStarted = true;
        clock = ms;
    } else {
        clock += int32_t(ms - lastMs);
    }
    lastMs = ms;
    return clock;
}

Demuxer::Step HxvsReader::Read(const uint8_t* data, size_t size, bool end,
                               std::vector<RecordPacket>* packets) {
    if (!headerRead) {
        if (size < kHeaderBytes && !end) return {Step::More, 0};
        if (size < kHeaderBytes) return {Step::Pass, size};
        width = ReadLe32(data + 4);
        height = ReadLe32(data + 8);
        headerRead = true;
        return {Step::Pass, kHeaderBytes};
    }
    if (size < kHeaderBytes) return end ? Step{Step::Skip, size} : Step{Step::More, 0};

    if (!Plausible(data)) {
        // Look for the next record; without one, keep the bytes where a header may begin.
        const size_t q = FindRecord(data, size, 1, size);
        if (q != kNone) return {Step::Skip, q};
        if (end) return {Step::Skip, size};
        return {Step::Skip, size - (kHeaderBytes - 1)};
    }

    const Tag tag = TagAt(data);
    const size_t total = kHeaderBytes + ReadLe32(data + 4);
    if (total > size) {
        if (!end) return {Step::More, 0};
        // Cut short by the end of the file, or by a record that begins inside it.
        const size_t q = FindRecord(data, size, 1, size);
        if (q != kNone) return {Step::Skip, q};
        return tag == Tag::Index ? Step{Step::Pass, size} : Step{Step::Skip, size};
    }
    // What follows: the next record's header whole, or the end of the file.
    if (!end && size < total + kHeaderBytes) return {Step::More, 0};
    const bool followed = size == total || (size - total >= 4 && TagAt(data + total) != Tag::None);
    if (!followed) {
        const size_t q = FindRecord(data, size, 1, total);
        if (q != kNone) return {Step::Skip, q};
    }

    // The index's time and flags are not the clock's.
    const int64_t ms = tag == Tag::Index ? 0 : Unwrap(ReadLe32(data + 8));
    switch (tag) {
        case Tag::Video:
            packets->push_back({DemuxPacket::Kind::Video, kHeaderBytes, total - kHeaderBytes, ms,
                                ReadLe32(data + 12) == 1});
            break;
        case Tag::Sound: {
            AudioSampleEntry alaw;
            alaw.kind = AudioSampleEntry::Kind::kALaw;
            alaw.sampleRate = 8000;
            alaw.channels = 1;
            alaw.bitsPerSample = 8;
            SetSound(alaw);
            if (total > kHeaderBytes + 4)
                packets->push_back({DemuxPacket::Kind::Sound, kHeaderBytes + 4,
                                    total - kHeaderBytes - 4, ms, false});
            break;
        }
        case Tag::Index:
        case Tag::None:
            break;
    }
    return {Step::Record, total};
}
