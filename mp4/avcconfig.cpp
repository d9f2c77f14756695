#include "mp4/avcconfig.h"

#include <algorithm>

#include "h264/sps.h"
#include "syntax/bitstream.h"

namespace {

// seq_parameter_set_id of an SPS, pic_parameter_set_id of a PPS: the first ue(v) after the
// fixed header bytes, which no emulation-prevention byte can come before.
bool ParameterSetId(const uint8_t* nal, uint16_t len, uint32_t skipBytes, uint32_t* id) {
    if (len <= skipBytes) return false;
    try {
        Bitstream bs(nal + skipBytes, uint32_t(len - skipBytes) * 8);
        *id = ReadUE(bs);
        return *id <= 255;
    } catch (...) {
        return false;
    }
}

}  // namespace

bool AvcParameterSets::Add(bool sps, const uint8_t* nal, uint16_t len, bool samplesStarted,
                           Bytes* inband) {
    uint32_t id = 0;
    if (!nal || !ParameterSetId(nal, len, sps ? 4 : 1, &id)) return false;
    if (sps) maxLevel = std::max(maxLevel, nal[3]);
    sets.Add(sps ? kSps : kPps, id, nal, len, samplesStarted, inband);
    return true;
}

AvcParameterSets::Bytes AvcParameterSets::ConfigurationRecord(uint8_t profile, uint8_t compat,
                                                              uint8_t level,
                                                              uint8_t lengthSizeMinusOne) const {
    Bytes out = {1, profile, compat, std::max(level, maxLevel),
                 uint8_t(0xFC | (lengthSizeMinusOne & 3))};
    const auto& configSps = sets.Record(kSps);
    out.push_back(uint8_t(0xE0 | configSps.size()));
    AppendRecordSets(out, configSps);
    out.push_back(uint8_t(sets.Record(kPps).size()));
    AppendRecordSets(out, sets.Record(kPps));
    // The high profiles carry chroma format and bit depths behind the parameter sets.
    if ((profile == 100 || profile == 110 || profile == 122 || profile == 144 || profile == 244) &&
        !configSps.empty()) {
        const Bytes& first = configSps.begin()->second;
        SpsInfo info{};
        uint32_t chroma = 1, depthLuma = 0, depthChroma = 0;
        if (ParseSps(first.data(), uint32_t(first.size()), &info)) {
            chroma = info.chroma_format_idc;
            depthLuma = info.bit_depth_luma_minus8;
            depthChroma = info.bit_depth_chroma_minus8;
        }
        out.push_back(uint8_t(0xFC | (chroma & 3)));
        out.push_back(uint8_t(0xF8 | (depthLuma & 7)));
        out.push_back(uint8_t(0xF8 | (depthChroma & 7)));
        out.push_back(0);  // no SPS extensions
    }
    return out;
}
