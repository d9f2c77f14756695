// The elementary stream descriptor box (esds, ISO/IEC 14496-14 5.6) of an MPEG-4 audio sample
// entry: an ES_Descriptor (ISO/IEC 14496-1 7.2.6.5) with its DecoderConfigDescriptor (7.2.6.6),
// the decoder specific information and the SLConfigDescriptor (7.3.2.3) that files use.
#pragma once

#include <cstdint>
#include <vector>

#include "mp4/boxes.h"
#include "mp4/boxwriter.h"

// objectTypeIndication values (14496-1 Table 5).
constexpr uint8_t kObjectTypeAac = 0x40;  // ISO/IEC 14496-3 audio
constexpr uint8_t kObjectTypeMp3 = 0x6B;  // ISO/IEC 11172-3 audio (MPEG-1/2 Layer III)

// Writes the esds box: stream type audio, the buffer size and bit rates (0 when not known yet,
// in a fragmented file's movie box), and `specificInfo` as the DecoderSpecificInfo when not empty
// (AAC: the AudioSpecificConfig).
void WriteEsds(BoxWriter& w, uint8_t objectType, const BitRate& rate,
               const std::vector<uint8_t>& specificInfo);
