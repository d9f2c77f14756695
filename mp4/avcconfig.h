// The parameter sets of an H.264 track: which go into the decoder configuration record and which
// must travel in band, in front of the sample they precede.
#pragma once

#include <cstdint>
#include <vector>

#include "mp4/paramsets.h"

class AvcParameterSets {
public:
    using Bytes = std::vector<uint8_t>;

    // Takes a parameter set (a whole NAL unit, header byte included) as ParameterSetStore::Add
    // says. False when the set's id cannot be read.
    bool Add(bool sps, const uint8_t* nal, uint16_t length, bool samplesStarted, Bytes* inband);

    // AVCDecoderConfigurationRecord (ISO/IEC 14496-15 5.3.3.1): every SPS and PPS by id, the
    // given profile and compatibility bytes, and the highest level_idc of all SPSs handed over
    // (`level` at least).
    Bytes ConfigurationRecord(uint8_t profile, uint8_t compat, uint8_t level,
                              uint8_t lengthSizeMinusOne) const;

    // Whether any set had to travel in band.
    bool AnyInBand() const { return sets.AnyInBand(); }
    // Every set that comes from now on and is not in the record travels in band.
    void Freeze() { sets.Freeze(); }

private:
    enum Kind : size_t { kSps, kPps };
    // The record counts SPSs in five bits and PPSs in eight.
    ParameterSetStore sets{{31, 255}};
    uint8_t maxLevel = 0;
};
