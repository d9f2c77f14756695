// Parameter sets, slice headers, picture order counts, picture boundaries and SEI messages, fed
// the NAL units of any Annex B bytes in stream order, as the converter feeds them.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "convert/nalunit.h"
#include "fuzz/fuzz_check.h"
#include "h264/poc.h"
#include "h264/sei.h"
#include "h264/slice.h"
#include "h264/sps.h"

namespace {}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const std::vector<uint8_t> copy(data, data + size);
    const uint8_t* buf = copy.data();
    auto sets = std::make_unique<ParameterSets>();
    PocCalculator poc;
    SliceHeader prev{};
    bool havePrev = false;

    uint32_t pos = 0;
    NalUnit nal;
    while (int32_t r = FindNextNalUnit(buf, uint32_t(size), pos, &nal)) {
        pos += uint32_t(r);
        // Each unit in a buffer of its own size, so that reads past its end are seen.
        const std::vector<uint8_t> unit(nal.data, nal.data + nal.length);
        const uint32_t len = uint32_t(unit.size());
        switch (nal.type) {
            case 7:
                if (sets->AddSps(unit.data(), len)) {
                    SpsInfo info{};
                    CHECK(ParseSpsFull(unit.data(), len, &info));
                    CHECK(sets->Sps(info.seq_parameter_set_id) != nullptr);
                }
                break;
            case 8: {
                PpsInfo pps{};
                const bool parsed = ParsePps(unit.data(), len, &pps);
                if (sets->AddPps(unit.data(), len)) {
                    CHECK(parsed);
                    CHECK(sets->Pps(pps.pic_parameter_set_id) != nullptr);
                }
                break;
            }
            case 6: {
                uint32_t frames = 0;
                (void)FindRecoveryPoint(unit.data(), len, &frames);
                break;
            }
            case 1:
            case 2:
            case 5: {
                SliceHeader sh{};
                if (!ParseSliceHeader(unit.data(), len, *sets, &sh)) break;
                const SpsInfo* sps = sets->Sps(sh.seq_parameter_set_id);
                CHECK(sps != nullptr);
                CHECK(sets->Pps(sh.pic_parameter_set_id) != nullptr);
                CHECK(sh.slice_type <= 9);
                const PocResult p = poc.Compute(sh, *sps);
                CHECK(p.poc == (sh.field_pic_flag ? (sh.bottom_field_flag ? p.bottom : p.top)
                                                  : (p.top < p.bottom ? p.top : p.bottom)));
                if (havePrev) {
                    (void)IsFirstVclOfNewPicture(prev, sh, *sps);
                    (void)IsFirstVclOfNewPicture(prev, sh);
                    (void)IsSecondFieldOfPair(prev, sh);
                }
                prev = sh;
                havePrev = true;
                break;
            }
            default:
                break;
        }
    }
    return 0;
}
