#include "mp4/avcconfig.h"

#include <algorithm>

#include "h264/bitstream.h"
#include "h264/sps.h"

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

void AppendLengthPrefixed(AvcParameterSets::Bytes& out, const AvcParameterSets::Bytes& nal) {
    const size_t n = nal.size();
    const uint8_t prefix[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    out.insert(out.end(), prefix, prefix + 4);
    out.insert(out.end(), nal.begin(), nal.end());
}

void AppendSets(AvcParameterSets::Bytes& out,
                const std::map<uint32_t, AvcParameterSets::Bytes>& sets) {
    for (const auto& [id, nal] : sets) {
        out.push_back(uint8_t(nal.size() >> 8));
        out.push_back(uint8_t(nal.size()));
        out.insert(out.end(), nal.begin(), nal.end());
    }
}

}  // namespace

bool AvcParameterSets::Add(bool sps, const uint8_t* nal, uint16_t len, bool samplesStarted,
                           Bytes* inband) {
    uint32_t id = 0;
    if (!nal || !ParameterSetId(nal, len, sps ? 4 : 1, &id)) return false;
    std::map<uint32_t, Bytes>& config = sps ? configSps : configPps;
    std::map<uint32_t, Bytes>& active = sps ? activeSps : activePps;
    Bytes bytes(nal, nal + len);
    if (sps) maxLevel = std::max(maxLevel, nal[3]);
    auto known = config.find(id);
    // The record counts SPSs in five bits and PPSs in eight; a set beyond that can only travel
    // in band.
    const size_t room = sps ? 31 : 255;
    if (known == config.end() && config.size() < room) {
        config[id] = bytes;
        active[id] = std::move(bytes);
        return true;
    }
    if (!samplesStarted && known != config.end()) {
        known->second = bytes;  // the decoder has not begun: the latest one configures it
        active[id] = std::move(bytes);
        return true;
    }
    // A set the decoder holds already, and that the configuration holds too, is dropped. One
    // that differs from the configuration travels in band each time the stream repeats it, so
    // that a player that seeks past its first appearance still gets it.
    auto held = active.find(id);
    const bool decoderHasIt = held != active.end() && held->second == bytes;
    if (decoderHasIt && known != config.end() && known->second == bytes) return true;
    AppendLengthPrefixed(*inband, bytes);
    active[id] = std::move(bytes);
    // A decoder drops the picture parameter sets of a sequence parameter set that changes (and
    // one that seeks here meets this SPS as a change): the PPSs that follow are sent too, even
    // when they repeat.
    if (sps) activePps.clear();
    return true;
}

AvcParameterSets::Bytes AvcParameterSets::ConfigurationRecord(uint8_t profile, uint8_t compat,
                                                              uint8_t level,
                                                              uint8_t lengthSizeMinusOne) const {
    Bytes out = {1, profile, compat, std::max(level, maxLevel),
                 uint8_t(0xFC | (lengthSizeMinusOne & 3))};
    out.push_back(uint8_t(0xE0 | configSps.size()));
    AppendSets(out, configSps);
    out.push_back(uint8_t(configPps.size()));
    AppendSets(out, configPps);
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
