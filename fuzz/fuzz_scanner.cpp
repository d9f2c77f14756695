// The NAL unit scanner against the plain byte-by-byte walk it replaced, on any bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "convert/nalunit.h"
#include "fuzz/fuzz_check.h"
#include "support/reference_scan.h"

namespace {

bool SameUnit(const NalUnit& a, const NalUnit& b) {
    return a.type == b.type && a.length == b.length && a.startCodeLength == b.startCodeLength &&
           a.data == b.data;
}

// The last start code by walking back one byte at a time.
int64_t ReferenceLastStartCode(const uint8_t* b, uint32_t count) {
    for (int64_t p = int64_t(count) - 3; p >= 0; --p) {
        if (b[p] == 0 && b[p + 1] == 0 && b[p + 2] == 1)
            return (p > 0 && b[p - 1] == 0) ? p - 1 : p;
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 24)) return 0;
    // A copy of exactly the input's size, so that ASan sees every read past its end.
    std::vector<uint8_t> copy(data, data + size);
    const uint8_t* buf = copy.data();
    const uint32_t end = uint32_t(size);

    // Every unit of the region, from every start position the first byte chooses, the same as
    // the reference gives.
    const uint32_t firstStart = size ? uint32_t(data[0]) % (end + 1) : 0;
    for (uint32_t start : {0u, firstStart}) {
        uint32_t pos = start;
        for (;;) {
            NalUnit fast{-1, -1, -1, nullptr}, ref{-1, -1, -1, nullptr};
            const int32_t r = FindNextNalUnit(buf, end, pos, &fast);
            const int32_t q = reference::FindNextNalUnit(buf, end, pos, &ref);
            CHECK(r == q);
            if (r == 0) {
                CHECK(fast.data == nullptr);  // left as it was
                break;
            }
            CHECK(SameUnit(fast, ref));
            // A start code right behind a start code makes a unit of no bytes, whose "header"
            // is the next code's first zero: the only case below 4 bytes, and always type 0.
            CHECK(r >= 3);
            CHECK(fast.length > 0 ? r >= 4 : fast.type == 0);
            CHECK(fast.data >= buf + pos && fast.data + fast.length <= buf + end);
            CHECK(uint32_t(fast.data - buf) + uint32_t(fast.length) == pos + uint32_t(r));
            pos += uint32_t(r);
            CHECK(pos <= end);
        }
    }

    // The chunk boundary search, over every prefix length the input's tail suggests.
    for (uint32_t count : {end, end / 2, end > 3 ? end - 3 : 0u}) {
        CHECK(FindLastStartCode(buf, count) == ReferenceLastStartCode(buf, count));
    }

    for (uint32_t i = 0; i < end; ++i)
        CHECK(StartCodeLength(buf + i, buf + end) ==
              reference::StartCodeLength(buf + i, buf + end));
    return 0;
}
