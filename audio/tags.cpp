#include "audio/tags.h"

#include <cstring>

TagProbe ProbeId3v2(const uint8_t* p, size_t n) {
    TagProbe r;
    const char id[3] = {'I', 'D', '3'};
    for (size_t i = 0; i < 3; ++i) {
        if (i >= n) {
            r.state = Probe::kMore;
            return r;
        }
        if (p[i] != uint8_t(id[i])) return r;
    }
    if (n < 10) {
        r.state = Probe::kMore;
        return r;
    }
    if (p[3] == 0xFF || p[4] == 0xFF) return r;
    uint64_t size = 0;
    for (size_t i = 6; i < 10; ++i) {
        if (p[i] & 0x80) return r;
        size = size << 7 | p[i];
    }
    r.state = Probe::kYes;
    r.size = 10 + size + (p[3] == 4 && (p[5] & 0x10) ? 10 : 0);  // version 4's footer flag
    return r;
}

void SkippedRun::Add(const uint8_t* p, size_t n, uint64_t position) {
    if (length_ == 0) start_ = position;
    for (size_t i = 0; i < n; ++i, ++length_) {
        if (length_ < kKept) head_[length_] = p[i];
        tail_[tailPos_] = p[i];
        tailPos_ = (tailPos_ + 1) % kKept;
    }
}

bool SkippedRun::At(uint64_t i, uint8_t* b) const {
    if (i >= length_) return false;
    if (i < kKept) {
        *b = head_[i];
        return true;
    }
    const uint64_t fromEnd = length_ - i;  // 1 for the last byte
    if (fromEnd > kKept) return false;
    *b = tail_[(tailPos_ + kKept - size_t(fromEnd)) % kKept];
    return true;
}

bool SkippedRun::Matches(uint64_t at, const char* text, size_t n) const {
    for (size_t i = 0; i < n; ++i) {
        uint8_t b;
        if (!At(at + i, &b) || b != uint8_t(text[i])) return false;
    }
    return true;
}

bool SkippedRun::Le32(uint64_t at, uint32_t* v) const {
    uint32_t r = 0;
    for (size_t i = 0; i < 4; ++i) {
        uint8_t b;
        if (!At(at + i, &b)) return false;
        r |= uint32_t(b) << (8 * i);
    }
    *v = r;
    return true;
}

bool SkippedRun::IsTrailingTags() const {
    uint64_t end = length_;
    if (end >= 128 && Matches(end - 128, "TAG", 3)) end -= 128;
    if (end >= 32 && Matches(end - 32, "APETAGEX", 8)) {
        // The footer's size counts the items and the footer; a header, when flagged, comes first.
        uint32_t size = 0, flags = 0;
        if (Le32(end - 32 + 12, &size) && Le32(end - 32 + 20, &flags)) {
            const uint64_t whole = uint64_t(size) + ((flags & 0x80000000u) ? 32 : 0);
            if (whole == end) end = 0;
        }
    }
    return end == 0;
}
