// Tags that sound files carry beside their frames and that are no sound: ID3v2 (id3.org, ID3
// tag version 2.4.0 - Main structure, 3.1 and 3.4) in front of or between the frames, and at the
// end ID3v1 ("TAG", 128 bytes) and APE tags (APEv1/APEv2, a 32-byte footer "APETAGEX" and an
// optional header alike).
#pragma once

#include <cstddef>
#include <cstdint>

// What a look at the first bytes says: not this, too few bytes to tell yet, or this.
enum class Probe { kNo, kMore, kYes };

struct TagProbe {
    Probe state = Probe::kNo;
    uint64_t size = 0;  // kYes: the whole tag (header, frames, padding, footer)
};

// An ID3v2 tag at p: "ID3", version and revision below 0xFF, four size bytes below 0x80; its size
// with the 10-byte header and, when its flags say so, the 10-byte footer.
TagProbe ProbeId3v2(const uint8_t* p, size_t n);

// Keeps the first and the last bytes of a run of bytes that are no frames, so that at the end
// of the input the run can be told apart from damage: tags alone are no damage.
class SkippedRun {
public:
    void Add(const uint8_t* p, size_t n, uint64_t position);
    bool Empty() const { return length_ == 0; }
    uint64_t Length() const { return length_; }
    uint64_t Start() const { return start_; }
    // Whether the run is nothing but trailing tags (APE, then ID3v1, either or both).
    bool IsTrailingTags() const;
    void Clear() { length_ = 0; }

private:
    static constexpr size_t kKept = 32 + 128;
    uint64_t start_ = 0;
    uint64_t length_ = 0;
    uint8_t head_[kKept] = {};
    uint8_t tail_[kKept] = {};  // the last min(length_, kKept) bytes, as a ring from tailPos_
    size_t tailPos_ = 0;
    // The byte of the run at offset i, when it is among the kept ones.
    bool At(uint64_t i, uint8_t* b) const;
    bool Matches(uint64_t at, const char* text, size_t n) const;
    bool Le32(uint64_t at, uint32_t* v) const;
};
