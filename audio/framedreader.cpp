#include "audio/framedreader.h"

#include <cstdint>
#include <cstring>

size_t FramedReader::ConfirmedFrame(const uint8_t* p, size_t n, uint32_t key) const {
    const size_t len = FrameLength(p);
    if (len == 0 || StreamKey(p) != key) return 0;
    if (n < len + headerSize_) {
        if (!Finished()) return SIZE_MAX;
        if (n <= len) return n == len ? len : 0;  // a frame cut short confirms nothing
        // The rest may be a tag: "TAG", "APETAGEX" or "ID3".
        const size_t rest = n - len;
        const uint8_t* q = p + len;
        if ((rest >= 3 && (memcmp(q, "TAG", 3) == 0 || memcmp(q, "ID3", 3) == 0)) ||
            (rest >= 8 && memcmp(q, "APETAGEX", 8) == 0))
            return len;
        return 0;
    }
    const uint8_t* q = p + len;
    if (FrameLength(q) != 0 && StreamKey(q) == key) return len;
    const TagProbe tag = ProbeId3v2(q, n - len);
    if (tag.state == Probe::kYes) return len;
    if (tag.state == Probe::kMore) return Finished() ? len : SIZE_MAX;
    if (memcmp(q, "TAG", 3) == 0) return len;
    return 0;
}

void FramedReader::EndRun(bool atEnd) {
    if (run_.Empty()) return;
    if (!(atEnd && run_.IsTrailingTags())) {
        Warn("skipped " + std::to_string(run_.Length()) + " bytes of damaged " + ContainerName() +
             " data at byte " + std::to_string(run_.Start()) + (atEnd ? " (to the end)" : ""));
    }
    run_.Clear();
}

bool FramedReader::Parse(AudioFrame& frame) {
    for (;;) {
        if (SkipPending() > 0) return false;  // a tag still to come, or cut short at the end
        const uint8_t* p = Peek();
        const size_t n = Available();
        if (n == 0) {
            if (Finished()) EndRun(true);
            return false;
        }
        if (p[0] == 'I') {
            const TagProbe tag = ProbeId3v2(p, n);
            if (tag.state == Probe::kMore && !Finished()) return false;
            if (tag.state == Probe::kYes) {
                EndRun(false);
                Skip(tag.size);
                continue;
            }
        }
        if (n < headerSize_ && !Finished()) return false;
        if (n >= headerSize_) {
            const size_t len = FrameLength(p);
            size_t take = 0;
            if (len != 0 && inSync_ && StreamKey(p) == key_) {
                take = len;  // where the last frame ended: no need to look further
            } else if (len != 0) {
                const uint32_t key = keyKnown_ ? key_ : StreamKey(p);
                take = ConfirmedFrame(p, n, key);
                if (take == SIZE_MAX) return false;
                // Where the last frame ended, a header of another sound that the next one
                // confirms: the sound changes, which is no damage to pass over.
                const size_t other =
                    take == 0 && keyKnown_ && inSync_ ? ConfirmedFrame(p, n, StreamKey(p)) : 0;
                if (other == SIZE_MAX) return false;
                if (other != 0) {
                    Fail(std::string("the ") + ContainerName() + " sound changes from " +
                         Describe(keyHeader_.data()) + " to " + Describe(p) + " at byte " +
                         std::to_string(Position()) + ", which one track cannot hold");
                    return false;
                }
            }
            if (take != 0) {
                if (n < take) {
                    if (!Finished()) return false;
                    // The input ends inside the frame.
                    EndRun(false);
                    Warn("the last " + std::string(ContainerName()) +
                         " frame is cut short: " + std::to_string(n) + " bytes at byte " +
                         std::to_string(Position()) + " left out");
                    Consume(n);
                    return false;
                }
                EndRun(false);
                if (!keyKnown_) {
                    keyKnown_ = true;
                    key_ = StreamKey(p);
                    keyHeader_.assign(p, p + headerSize_);
                }
                inSync_ = true;
                const bool made = MakeFrame(p, take, frame);
                Consume(take);
                if (Failed()) return false;
                if (made) return true;
                continue;
            }
        }
        // No frame here: passes over the bytes up to the next one that may begin a header or
        // an ID3 tag.
        inSync_ = false;
        size_t skip = 1;
        while (skip < n && p[skip] != 0xFF && p[skip] != 'I') ++skip;
        run_.Add(p, skip, Position());
        Consume(skip);
    }
}
