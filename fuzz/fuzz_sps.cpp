// The bit reader against a bit-at-a-time reader, and the SPS parser on any NAL unit.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "h264/sps.h"
#include "syntax/bitstream.h"
#include "syntax/rbsp.h"

namespace {

// Reads n bits one at a time; false where the buffer ends first.
struct SlowReader {
    const uint8_t* data;
    uint32_t bits;
    uint32_t pos = 0;
    bool Read(uint32_t n, uint32_t* v) {
        if (n > bits - pos) return false;
        uint32_t r = 0;
        for (uint32_t i = 0; i < n; ++i, ++pos)
            r = (r << 1) | ((data[pos / 8] >> (7 - pos % 8)) & 1u);
        *v = r;
        return true;
    }
};

// The first bytes choose read widths (0 to 33), the rest is read.
void BitReader(const uint8_t* data, size_t size) {
    if (size < 2) return;
    const size_t widths = data[0] % 16 + 1;
    if (size <= widths + 1) return;
    const uint8_t* w = data + 1;
    const std::vector<uint8_t> body(data + 1 + widths, data + size);
    const uint32_t bitCount = uint32_t(body.size()) * 8;
    Bitstream bs(body.data(), bitCount);
    SlowReader slow{body.data(), bitCount};
    for (size_t i = 0; i < 64; ++i) {
        const uint32_t n = w[i % widths] % 34;
        const uint32_t left = bs.BitsLeft();
        CHECK(left == bitCount - slow.pos);
        uint32_t expected = 0;
        const bool peek = (w[i % widths] & 0x40) != 0;
        try {
            const uint32_t got = peek ? bs.PeekBits(n) : bs.ReadBits(n);
            CHECK(n <= 32);
            CHECK(slow.Read(n, &expected));
            CHECK(got == expected);
            if (peek) {
                CHECK(bs.BitsLeft() == left);
                slow.pos -= n;
            } else {
                CHECK(bs.BitsLeft() == left - n);
            }
        } catch (BitstreamErr_t e) {
            CHECK(e == (n > 32 ? BitstreamErrTooManyBits : BitstreamErrEndOfData));
            CHECK(n > 32 || n > left);
            return;  // the position is unspecified after a failed read
        }
    }
}

void Sps(const uint8_t* data, size_t size) {
    if (size > 70000) return;
    const std::vector<uint8_t> nal(data, data + size);
    const uint32_t len = uint32_t(size);
    SpsInfo a{}, b{};
    const bool ok = ParseSps(nal.data(), len, &a);
    const bool full = ParseSpsFull(nal.data(), len, &b);
    // The VUI never decides whether the SPS parses, nor its size.
    CHECK(ok == full);
    if (ok) {
        CHECK(a.width == b.width && a.height == b.height);
        CHECK(a.width >= 1 && a.width <= 65535 && a.height >= 1 && a.height <= 65535);
        CHECK(a.width <= b.coded_width && a.height <= b.coded_height);
        (void)ChromaArrayType(b);
        const uint32_t dpb = MaxDpbFrames(b);
        CHECK(dpb >= 1 && dpb <= 16);
        if (b.timing_info_present_flag) CHECK(b.num_units_in_tick != 0 && b.time_scale != 0);
    } else {
        CHECK(a.width == 0 && a.height == 0);
    }
    // The same bytes without their emulation-prevention bytes.
    std::vector<uint8_t> rbsp(size ? size : 1);
    const uint32_t n = UnescapeRbsp(nal.data(), len, rbsp.data(), uint32_t(rbsp.size()));
    CHECK(n <= len);
    rbsp.resize(n);
    SpsInfo c{};
    (void)ParseSpsFull(rbsp.data(), n, &c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Sps(data, size);
    BitReader(data, size);
    return 0;
}
