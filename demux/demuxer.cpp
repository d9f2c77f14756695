#include "demux/demuxer.h"

#include <algorithm>
#include <cstring>

#include "demux/dhav.h"
#include "demux/hxvs.h"

ContainerKind DetectContainer(const uint8_t* data, size_t size) {
    if (size >= 4 && memcmp(data, "HXVS", 4) == 0) return ContainerKind::Hxvs;
    if (size >= 4 && memcmp(data, "HXVT", 4) == 0) return ContainerKind::Hxvt;
    if (size >= 4 && memcmp(data, "DHAV", 4) == 0) return ContainerKind::Dhav;
    if (size >= 5 && memcmp(data, "DAHUA", 5) == 0) return ContainerKind::Dhav;
    return ContainerKind::None;
}

const char* ContainerName(ContainerKind kind) {
    switch (kind) {
        case ContainerKind::Hxvs:
            return "HXVS";
        case ContainerKind::Hxvt:
            return "HXVT";
        case ContainerKind::Dhav:
            return "DHAV";
        case ContainerKind::None:
            break;
    }
    return "";
}

std::unique_ptr<Demuxer> MakeDemuxer(ContainerKind kind) {
    switch (kind) {
        case ContainerKind::Hxvs:
            return std::make_unique<HxvsReader>(VideoCoding::H264);
        case ContainerKind::Hxvt:
            return std::make_unique<HxvsReader>(VideoCoding::H265);
        case ContainerKind::Dhav:
            return std::make_unique<DhavReader>();
        case ContainerKind::None:
            break;
    }
    return nullptr;
}

uint8_t* Demuxer::Space(size_t size) {
    if (buffer.size() - end >= size) return buffer.data() + end;
    // The bytes kept are moved to the front only once they are no more than those passed, so
    // that each byte is moved about once however the reads fall; the packets read are places in
    // the file, which the move keeps.
    if (begin > 0 && begin >= end - begin) {
        memmove(buffer.data(), buffer.data() + begin, end - begin);
        base += begin;
        scan -= begin;
        end -= begin;
        begin = 0;
    }
    if (buffer.size() - end < size) buffer.resize(std::max(end + size, buffer.size() * 2));
    return buffer.data() + end;
}

void Demuxer::Commit(size_t size) {
    end += size;
}

void Demuxer::Feed(const uint8_t* data, size_t size) {
    if (size == 0) return;
    memcpy(Space(size), data, size);
    Commit(size);
}

void Demuxer::Finish() {
    ended = true;
}

void Demuxer::LookAhead(size_t pictures, size_t bytes) {
    aheadPictures = pictures;
    aheadBytes = bytes;
}

void Demuxer::TakePictureTimes(std::vector<int64_t>* ms) {
    const std::vector<int64_t>& t = times.Times();
    if (t.empty()) return;
    ms->insert(ms->end(), t.begin(), t.end());
    times.Clear();
}

// Whether records are still to be read ahead before the next packet goes out.
bool Demuxer::LookingAhead() const {
    return queue.empty() ||
           (picturesRead - picturesOut < aheadPictures && end - begin < aheadBytes);
}

// Reads the record at `scan`, its packets into the queue; false when the bytes at hand do not
// hold one whole (or, after Finish, none is left).
bool Demuxer::ReadRecord() {
    if (scan == end) return false;
    record.clear();
    const Step step = Read(buffer.data() + scan, end - scan, ended, &record);
    switch (step.kind) {
        case Step::More:
            if (!ended) return false;
            Skip(end - scan);  // a reader that asks for more at the end: what is left is damage
            return true;
        case Step::Record:
            for (const RecordPacket& p : record) {
                Queued q{p, base + scan + p.offset, base + scan, false};
                if (p.kind == DemuxPacket::Kind::Video) {
                    if (!originKnown) {
                        // The times' origin: the sound held back comes out first.
                        originKnown = true;
                        origin = p.ms;
                    }
                    q.picture =
                        times.Take(coding, buffer.data() + scan + p.offset, p.size, p.ms - origin);
                    picturesRead += q.picture;
                }
                queue.push_back(q);
            }
            inDamage = false;
            anyRecord = true;
            scan += step.bytes;
            return true;
        case Step::Pass:
            scan += step.bytes;
            return true;
        case Step::Skip:
            Skip(step.bytes);
            return true;
    }
    return false;
}

bool Demuxer::Next(DemuxPacket* out) {
    for (;;) {
        if (originKnown && !held.empty()) {
            given = std::move(held.front());
            held.pop_front();
            heldBytes -= given.bytes.size();
            out->kind = DemuxPacket::Kind::Sound;
            out->data = given.bytes.data();
            out->size = given.bytes.size();
            out->ms = given.ms - origin;
            out->key = false;
            return true;
        }
        // The bytes of the packets handed out go.
        begin = queue.empty() ? scan : size_t(queue.front().recordAt - base);
        if (queue.empty() && scan == end) {
            base += end;
            begin = scan = end = 0;
        }
        bool more = true;
        while (LookingAhead() && (more = ReadRecord())) {
        }
        // Short of what it looks ahead, the reader waits for more bytes, unless they ended.
        if (queue.empty() || (!more && !ended && LookingAhead())) return false;
        const Queued q = queue.front();
        queue.pop_front();
        const RecordPacket& p = q.packet;
        const uint8_t* data = buffer.data() + (q.at - base);
        if (p.kind == DemuxPacket::Kind::Sound && !originKnown) {
            Hold(data, p.size, p.ms);
            continue;
        }
        if (p.kind == DemuxPacket::Kind::Video) ++videoPackets;
        picturesOut += q.picture;
        out->kind = p.kind;
        out->data = data;
        out->size = p.size;
        out->ms = p.ms - origin;
        out->key = p.key;
        return true;
    }
}

void Demuxer::Skip(size_t bytes) {
    if (!inDamage) ++damagedRecords;
    inDamage = true;
    skippedBytes += bytes;
    scan += bytes;
}

void Demuxer::Hold(const uint8_t* data, size_t size, int64_t ms) {
    if (size > kHeldSoundBytes) {
        ++soundLeftOut;
        return;
    }
    while (!held.empty() && heldBytes + size > kHeldSoundBytes) {
        heldBytes -= held.front().bytes.size();
        held.pop_front();
        ++soundLeftOut;
    }
    held.push_back(HeldSound{std::vector<uint8_t>(data, data + size), ms});
    heldBytes += size;
}

bool Demuxer::SetSound(const AudioSampleEntry& entry) {
    if (!soundKnown) {
        sound = entry;
        soundKnown = true;
        return true;
    }
    return entry.SameFormat(sound);
}

void Demuxer::SetRecordedAt(const CivilTime& when) {
    if (dateKnown || !IsValidCivilTime(when)) return;
    recordedAt = when;
    dateKnown = true;
}

bool Demuxer::RecordedAt(CivilTime* when) const {
    if (dateKnown) *when = recordedAt;
    return dateKnown;
}

std::string Demuxer::FailureReason() const {
    if (videoPackets > 0) return {};
    const std::string name = Name();
    if (!anyRecord && damagedRecords == 0) return name + " with nothing after its header";
    if (!anyRecord) return name + " without one whole record";
    return name + " without a picture";
}
