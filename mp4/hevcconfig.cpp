#include "mp4/hevcconfig.h"

#include <algorithm>

#include "mp4/rbspreader.h"

namespace {

constexpr uint32_t kNalHeaderBytes = 2;
// nal_unit_type of the parameter sets (ITU-T H.265 Table 7-1), by kind.
constexpr uint8_t kNalType[] = {32, 33, 34};

}  // namespace

// 7.3.2.2.1 up to sps_seq_parameter_set_id, with profile_tier_level(1, max_sub_layers_minus1)
// of 7.3.3 in between.
bool ReadHevcSpsHeader(const uint8_t* nal, uint32_t length, HevcSpsHeader* out) {
    RbspReader r(nal, length, kNalHeaderBytes);
    r.Skip(4);  // sps_video_parameter_set_id
    out->maxSubLayersMinus1 = uint8_t(r.Bits(3));
    out->temporalIdNesting = r.Bits(1) != 0;
    for (uint32_t i = 0; i < 12; ++i) out->generalProfileTierLevel[i] = r.Byte(1 + i);
    r.Skip(12 * 8);
    const uint32_t subLayers = out->maxSubLayersMinus1;
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (uint32_t i = 0; i < subLayers; ++i) {
        profilePresent[i] = r.Bits(1) != 0;
        levelPresent[i] = r.Bits(1) != 0;
    }
    if (subLayers > 0) r.Skip(2 * (8 - subLayers));  // reserved_zero_2bits
    for (uint32_t i = 0; i < subLayers; ++i) {
        if (profilePresent[i]) r.Skip(88);  // sub_layer_profile_space .. reserved bits
        if (levelPresent[i]) r.Skip(8);     // sub_layer_level_idc
    }
    out->id = r.Ue();
    return !r.Failed() && out->id <= 15;
}

bool HevcParameterSets::Add(Kind kind, const uint8_t* nal, uint16_t len, bool samplesStarted,
                            Bytes* inband) {
    if (!nal || len <= kNalHeaderBytes) return false;
    uint32_t id = 0;
    if (kind == kVps) {
        id = nal[kNalHeaderBytes] >> 4;  // vps_video_parameter_set_id, 7.3.2.1
    } else if (kind == kSps) {
        HevcSpsHeader sps;
        if (!ReadHevcSpsHeader(nal, len, &sps)) return false;
        id = sps.id;
        maxLevel = std::max(maxLevel, sps.generalProfileTierLevel[11]);
        if (!haveSps) firstSpsId = id;
        haveSps = true;
    } else {
        RbspReader r(nal, len, kNalHeaderBytes);
        id = r.Ue();  // pps_pic_parameter_set_id, 7.3.2.3.1
        if (r.Failed() || id > 63) return false;
    }
    sets.Add(kind, id, nal, len, samplesStarted, inband);
    return true;
}

HevcParameterSets::Bytes HevcParameterSets::ConfigurationRecord(const Mp4HevcFields& fields,
                                                                bool complete,
                                                                uint8_t lengthSizeMinusOne) const {
    Bytes out = {1};  // configurationVersion
    HevcSpsHeader first;
    const auto& spss = sets.Record(kSps);
    const auto firstSps = spss.find(firstSpsId);
    if (haveSps && firstSps != spss.end())
        ReadHevcSpsHeader(firstSps->second.data(), uint32_t(firstSps->second.size()), &first);
    // general_profile_space, tier, profile_idc, the 32 compatibility flags, the 48 constraint
    // indicator flags, then general_level_idc: the highest of all.
    out.insert(out.end(), first.generalProfileTierLevel, first.generalProfileTierLevel + 11);
    out.push_back(std::max(maxLevel, first.generalProfileTierLevel[11]));
    const uint16_t segmentation = fields.minSpatialSegmentationIdc & 0x0FFF;
    out.push_back(uint8_t(0xF0 | (segmentation >> 8)));
    out.push_back(uint8_t(segmentation));
    out.push_back(uint8_t(0xFC | (fields.parallelismType & 3)));
    out.push_back(uint8_t(0xFC | (fields.chromaFormatIdc & 3)));
    out.push_back(uint8_t(0xF8 | (fields.bitDepthLumaMinus8 & 7)));
    out.push_back(uint8_t(0xF8 | (fields.bitDepthChromaMinus8 & 7)));
    out.push_back(0);  // avgFrameRate: unspecified
    out.push_back(0);
    // constantFrameRate 0 (unspecified), numTemporalLayers, temporalIdNested, lengthSizeMinusOne
    out.push_back(uint8_t(((fields.numTemporalLayers & 7) << 3) |
                          (fields.temporalIdNested ? 4 : 0) | (lengthSizeMinusOne & 3)));
    uint8_t arrays = 0;
    for (size_t kind : {kVps, kSps, kPps}) arrays += sets.Record(kind).empty() ? 0 : 1;
    out.push_back(arrays);
    for (size_t kind : {kVps, kSps, kPps}) {
        const auto& record = sets.Record(kind);
        if (record.empty()) continue;
        out.push_back(uint8_t((complete ? 0x80 : 0) | kNalType[kind]));
        out.push_back(uint8_t(record.size() >> 8));
        out.push_back(uint8_t(record.size()));
        AppendRecordSets(out, record);
    }
    return out;
}
