// The first mastering display colour volume (payloadType 137) and content light level
// (payloadType 144) SEI messages of a stream: H.265 D.2.28 and D.2.35, with the same syntax in
// H.264's Annex D. Their payloads are what the sample entry's mdcv and clli boxes hold.
#pragma once

#include <cstdint>
#include <vector>

#include "convert/nalunit.h"
#include "convert/picturereader.h"

class HdrMetadata {
public:
    // Looks into an SEI unit of `codec` (H.264 type 6, H.265 prefix SEI) for the messages not
    // found yet; any other unit is passed over. A message shorter than its syntax is ignored.
    void Take(Codec codec, const NalUnit& nal);
    bool Complete() const { return !masteringDisplay.empty() && !contentLightLevel.empty(); }
    // 24 bytes: display_primaries_x and _y of three primaries, white_point_x and _y, the largest
    // and the smallest luminance; empty until found.
    const std::vector<uint8_t>& MasteringDisplay() const { return masteringDisplay; }
    // 4 bytes: max_content_light_level, max_pic_average_light_level; empty until found.
    const std::vector<uint8_t>& ContentLightLevel() const { return contentLightLevel; }

private:
    std::vector<uint8_t> masteringDisplay;
    std::vector<uint8_t> contentLightLevel;
};
