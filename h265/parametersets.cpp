#include "h265/parametersets.h"

#include <cstddef>

namespace {

template <typename Info, size_t N>
bool Store(bool parsed, const Info& info, uint32_t id, Info (&slots)[N], bool (&has)[N]) {
    if (!parsed || id >= N) return false;
    slots[id] = info;
    has[id] = true;
    return true;
}

}  // namespace

bool H265ParameterSets::AddVps(const uint8_t* data, uint32_t length) {
    H265VpsInfo v{};
    const bool ok = ParseH265Vps(data, length, &v);
    return Store(ok, v, v.vps_video_parameter_set_id, vps, hasVps);
}

bool H265ParameterSets::AddSps(const uint8_t* data, uint32_t length, uint32_t* id) {
    H265SpsInfo s{};
    const bool ok = ParseH265Sps(data, length, &s);
    if (id) *id = s.sps_seq_parameter_set_id;
    return Store(ok, s, s.sps_seq_parameter_set_id, sps, hasSps);
}

bool H265ParameterSets::AddPps(const uint8_t* data, uint32_t length) {
    H265PpsInfo p{};
    const bool ok = ParseH265Pps(data, length, &p);
    return Store(ok, p, p.pps_pic_parameter_set_id, pps, hasPps);
}

const H265VpsInfo* H265ParameterSets::Vps(uint32_t id) const {
    return id < 16 && hasVps[id] ? &vps[id] : nullptr;
}

const H265SpsInfo* H265ParameterSets::Sps(uint32_t id) const {
    return id < 16 && hasSps[id] ? &sps[id] : nullptr;
}

const H265PpsInfo* H265ParameterSets::Pps(uint32_t id) const {
    return id < 64 && hasPps[id] ? &pps[id] : nullptr;
}
