// H.265 parameter sets by identifier.
#pragma once

#include <cstdint>

#include "h265/pps.h"
#include "h265/sps.h"
#include "h265/vps.h"

// The active parameter sets of a stream, by their identifiers (VPS and SPS 0 to 15, PPS 0 to 63).
class H265ParameterSets {
public:
    // Each parses its NAL unit (data at the 2-byte header) and stores it, replacing the set with
    // the same id. False, and nothing changed, when it does not parse. AddSps gives the set's
    // id in `id` when asked.
    bool AddVps(const uint8_t* data, uint32_t length);
    bool AddSps(const uint8_t* data, uint32_t length, uint32_t* id = nullptr);
    bool AddPps(const uint8_t* data, uint32_t length);
    const H265VpsInfo* Vps(uint32_t id) const;
    const H265SpsInfo* Sps(uint32_t id) const;
    const H265PpsInfo* Pps(uint32_t id) const;

private:
    H265VpsInfo vps[16] = {};
    H265SpsInfo sps[16] = {};
    H265PpsInfo pps[64] = {};
    bool hasVps[16] = {};
    bool hasSps[16] = {};
    bool hasPps[64] = {};
};
