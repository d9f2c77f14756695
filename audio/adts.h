// AAC in ADTS, the Audio Data Transport Stream (ISO/IEC 13818-7 6.2 and 8.1, ISO/IEC 14496-3
// 1.A.2 and 1.A.3): each raw AAC frame behind a 7-byte header, or a 9-byte one with a CRC. The
// track stores the raw frames, without header and CRC, and the AudioSpecificConfig (14496-3
// 1.6.2.1) made from the first header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/framedreader.h"

struct AdtsHeader {
    uint8_t id = 0;  // 1: MPEG-2 AAC, 0: MPEG-4
    bool protectionAbsent = true;
    uint8_t profile = 0;  // profile_ObjectType: the audio object type less 1 (1: AAC LC)
    uint8_t samplingFrequencyIndex = 0;
    uint8_t channelConfiguration = 0;  // 0: a program config element in the frame says
    uint16_t frameLength = 0;          // aac_frame_length: header, CRC and raw data
    uint8_t rawDataBlocks = 0;         // number_of_raw_data_blocks_in_frame: blocks less 1
    size_t HeaderSize() const { return protectionAbsent ? 7 : 9; }
};

// Reads the fixed and variable header (7 bytes at p); false where they cannot be one: no
// syncword, a layer other than 0, a reserved sampling frequency index, a frame length that does
// not go past the header.
bool ParseAdtsHeader(const uint8_t* p, AdtsHeader* h);
// Table 1.18 of 14496-3: the rate of a sampling frequency index (0 for 13 to 15).
uint32_t AacSampleRate(uint8_t samplingFrequencyIndex);
// AudioSpecificConfig of a header: audioObjectType, samplingFrequencyIndex, channelConfiguration,
// then GASpecificConfig with frameLengthFlag, dependsOnCoreCoder and extensionFlag all 0.
std::vector<uint8_t> AudioSpecificConfig(const AdtsHeader& h);

class AdtsReader : public FramedReader {
public:
    AdtsReader() : FramedReader(7) {}
    // An ADTS header at p whose frame is followed by another header, or by the end of the input.
    static Probe Detect(const uint8_t* p, size_t n, bool finished);
    const char* ContainerName() const override { return "AAC"; }

protected:
    size_t FrameLength(const uint8_t* p) const override;
    uint32_t StreamKey(const uint8_t* p) const override;
    std::string Describe(const uint8_t* p) const override;
    bool MakeFrame(const uint8_t* p, size_t length, AudioFrame& frame) override;
};
