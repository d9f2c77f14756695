// The parameter sets of an H.264 track: which go into the decoder configuration record and which
// must travel in band, in front of the sample they precede.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

class AvcParameterSets {
public:
    using Bytes = std::vector<uint8_t>;

    // Takes a parameter set (a whole NAL unit, header byte included). A set with an id not seen
    // before goes into the configuration record, however late it comes; before the first sample
    // (`samplesStarted` false) the latest set of an id replaces the earlier one there. After it,
    // a set that differs from the record's set of its id, or from what the decoder holds, is
    // appended to `inband` as a 4-byte length and the unit; a plain repeat is dropped. False
    // when the set's id cannot be read.
    bool Add(bool sps, const uint8_t* nal, uint16_t length, bool samplesStarted, Bytes* inband);

    // AVCDecoderConfigurationRecord (ISO/IEC 14496-15 5.3.3.1): every SPS and PPS by id, the
    // given profile and compatibility bytes, and the highest level_idc of all SPSs handed over
    // (`level` at least).
    Bytes ConfigurationRecord(uint8_t profile, uint8_t compat, uint8_t level,
                              uint8_t lengthSizeMinusOne) const;

private:
    std::map<uint32_t, Bytes> configSps, configPps;  // the first of each id
    std::map<uint32_t, Bytes> activeSps, activePps;  // what the decoder holds now
    uint8_t maxLevel = 0;
};
