// The timestamp file reader on any bytes, and the pictures' times a file it accepts gives.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "convert/timeline.h"
#include "convert/timestamps.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TimestampFile file;
    const bool ok = file.Parse(reinterpret_cast<const char*>(data), size, QStringLiteral("f"));
    CHECK(ok == file.Error().isEmpty());
    if (!ok) {
        // A reason that names the file, and nothing kept.
        CHECK(file.Error().startsWith(QStringLiteral("f:")));
        CHECK(file.Times().empty());
        return 0;
    }
    Timeline timeline;
    if (file.Version() == 2) {
        const std::vector<uint64_t>& t = file.Times();
        // Ascending without two equal, from 0.
        CHECK(!t.empty() && t.front() == 0);
        CHECK(std::adjacent_find(t.begin(), t.end(),
                                 [](uint64_t a, uint64_t b) { return a >= b; }) == t.end());
        timeline.StartWithTimes(1000000, file.TakeTimes(), 33333);
    } else {
        CHECK(file.Version() == 1);
        CHECK(file.AssumedNum() > 0 && file.AssumedDen() > 0);
        timeline.StartAtRate(1000000, file.AssumedNum(), file.AssumedDen(), true);
        uint64_t next = 0;
        for (const TimestampFile::Range& r : file.Ranges()) {
            CHECK(r.first >= next && r.last >= r.first && r.fpsNum > 0 && r.fpsDen > 0);
            next = r.last + 1;
            timeline.PlanRate(r.first, r.fpsNum, r.fpsDen);
            if (next != 0) timeline.PlanRate(next, file.AssumedNum(), file.AssumedDen());
        }
    }
    // The times the pictures get: each where the one before ended.
    for (int i = 0; i < 300; ++i) {
        const uint64_t start = timeline.End();
        CHECK(timeline.TimeAt(timeline.Places()) == start);
        const uint64_t duration = timeline.Next(30, 1);
        CHECK(timeline.End() == start + duration);
    }
    return 0;
}
