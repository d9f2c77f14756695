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
    // The bytes read are moved to the front only once they are no more than those passed, so
    // that each byte is moved about once however the reads fall; the packets of the current
    // record are places relative to `begin`, which the move keeps.
    if (begin > 0 && begin >= end - begin) {
        memmove(buffer.data(), buffer.data() + begin, end - begin);
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
        if (next < packets.size()) {
            const RecordPacket& p = packets[next];
            const uint8_t* data = buffer.data() + begin + p.offset;
            if (p.kind == DemuxPacket::Kind::Video && !originKnown) {
                // The times' origin: the sound held back comes out first.
                originKnown = true;
                origin = p.ms;
                continue;
            }
            ++next;
            if (p.kind == DemuxPacket::Kind::Sound && !originKnown) {
                Hold(data, p.size, p.ms);
                continue;
            }
            if (p.kind == DemuxPacket::Kind::Video) ++videoPackets;
            out->kind = p.kind;
            out->data = data;
            out->size = p.size;
            out->ms = p.ms - origin;
            out->key = p.key;
            return true;
        }
        // Every packet of the current record is out: its bytes go.
        begin += recordBytes;
        recordBytes = 0;
        packets.clear();
        next = 0;
        if (begin == end && !ended) {
            begin = end = 0;
            return false;
        }
        if (begin == end) return false;
        const Step step = Read(buffer.data() + begin, end - begin, ended, &packets);
        switch (step.kind) {
            case Step::More:
                if (ended) {  // a reader that asks for more at the end: what is left is damage
                    Skip(end - begin);
                    continue;
                }
                packets.clear();
                return false;
            case Step::Record:
                recordBytes = step.bytes;
                inDamage = false;
                anyRecord = true;
                break;
            case Step::Pass:
                begin += step.bytes;
                break;
            case Step::Skip:
                Skip(step.bytes);
                break;
        }
    }
}

void Demuxer::Skip(size_t bytes) {
    if (!inDamage) ++damagedRecords;
    inDamage = true;
    skippedBytes += bytes;
    begin += bytes;
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
    return entry.kind == sound.kind && entry.sampleRate == sound.sampleRate &&
           entry.channels == sound.channels && entry.bitsPerSample == sound.bitsPerSample &&
           entry.floatingPoint == sound.floatingPoint && entry.bigEndian == sound.bigEndian &&
           entry.unsignedSamples == sound.unsignedSamples &&
           entry.decoderSpecificInfo == sound.decoderSpecificInfo;
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
