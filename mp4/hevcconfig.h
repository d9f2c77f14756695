// The parameter sets of an H.265 track: which go into the decoder configuration record and which
// must travel in band, in front of the sample they precede.
#pragma once

#include <cstdint>
#include <vector>

#include "mp4/mp4check.h"
#include "mp4/paramsets.h"

// What the record takes from an SPS's own bytes (ITU-T H.265 7.3.2.2.1, 7.3.3): its id and the
// general profile, tier and level.
struct HevcSpsHeader {
    uint32_t id = 0;
    uint8_t maxSubLayersMinus1 = 0;
    bool temporalIdNesting = false;
    // general_profile_space .. general_level_idc: 12 bytes, as they stand in the SPS.
    uint8_t generalProfileTierLevel[12] = {};
};
// False when the SPS (a whole NAL unit, its 2-byte header included) is too short or its id out
// of range.
bool ReadHevcSpsHeader(const uint8_t* nal, uint32_t length, HevcSpsHeader* out);

class HevcParameterSets {
public:
    using Bytes = std::vector<uint8_t>;
    // In the order the sets refer to one another, and the order of the record's arrays.
    enum Kind : size_t { kVps, kSps, kPps };

    // Takes a parameter set (a whole NAL unit, 2-byte header included) as
    // ParameterSetStore::Add says. False when the set's id cannot be read.
    bool Add(Kind kind, const uint8_t* nal, uint16_t length, bool samplesStarted, Bytes* inband);

    // HEVCDecoderConfigurationRecord (ISO/IEC 14496-15 8.3.3.1): the profile, tier and
    // constraint flags of the first SPS handed over, the highest general_level_idc of all SPSs,
    // `fields`, and the arrays of VPSs, SPSs and PPSs, each set by id. `complete`: the arrays hold
    // every set the samples use (array_completeness, hvc1), none travels in band.
    Bytes ConfigurationRecord(const Mp4HevcFields& fields, bool complete,
                              uint8_t lengthSizeMinusOne) const;

    // Whether any set had to travel in band.
    bool AnyInBand() const { return sets.AnyInBand(); }
    // Every set that comes from now on and is not in the record travels in band.
    void Freeze() { sets.Freeze(); }

private:
    // The ids allow 16 VPSs, 16 SPSs and 64 PPSs (7.4.3.1, 7.4.3.2.1, 7.4.3.3.1).
    ParameterSetStore sets{{16, 16, 64}};
    bool haveSps = false;
    uint32_t firstSpsId = 0;
    uint8_t maxLevel = 0;
};
