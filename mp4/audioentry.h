// What the sample entry of a sound track says (ISO/IEC 14496-12 12.2.3): the coding, its rate and
// channels, and for AAC the AudioSpecificConfig (ISO/IEC 14496-3 1.6.2.1) that goes into the esds.
#pragma once

#include <cstdint>
#include <vector>

struct AudioSampleEntry {
    enum class Kind {
        kAac,   // mp4a, esds object type 0x40; one sample = one raw AAC frame (1024 ticks)
        kMp3,   // mp4a, esds object type 0x6B; one sample = one MPEG audio frame
        kALaw,  // alaw: G.711 A-law, 8 bits, one sample = one sample time of every channel
        kULaw,  // ulaw: G.711 mu-law, as kALaw
        kPcm,   // linear PCM of `bitsPerSample` (8/16/24/32), integer or floating point
    };
    Kind kind = Kind::kAac;
    uint32_t sampleRate = 0;  // Hz; also the media time scale
    uint16_t channels = 0;
    uint16_t bitsPerSample = 16;   // of PCM and G.711 (8); 16 for the compressed kinds
    bool floatingPoint = false;    // PCM: IEEE float (32 or 64 bits)
    bool bigEndian = false;        // PCM: byte order of the samples as they are stored
    bool unsignedSamples = false;  // PCM: 8-bit samples as WAV stores them (offset binary)
    std::vector<uint8_t> decoderSpecificInfo;  // AAC: the AudioSpecificConfig

    // Whether frames of `o` can go into a track of this entry.
    bool SameFormat(const AudioSampleEntry& o) const {
        return kind == o.kind && sampleRate == o.sampleRate && channels == o.channels &&
               bitsPerSample == o.bitsPerSample && floatingPoint == o.floatingPoint &&
               bigEndian == o.bigEndian && unsignedSamples == o.unsignedSamples &&
               decoderSpecificInfo == o.decoderSpecificInfo;
    }
};
