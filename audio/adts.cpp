#include "audio/adts.h"

// 14496-3 1.A.2.2.1 adts_fixed_header and adts_variable_header: 56 bits read from their bytes,
// as every frame's header is read two or three times.
bool ParseAdtsHeader(const uint8_t* p, AdtsHeader* h) {
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;  // syncword, layer 0
    h->id = (p[1] >> 3) & 1;
    h->protectionAbsent = (p[1] & 1) != 0;
    h->profile = p[2] >> 6;
    h->samplingFrequencyIndex = (p[2] >> 2) & 15;
    // private_bit, then channel_configuration across the byte boundary
    h->channelConfiguration = uint8_t((p[2] & 1) << 2 | p[3] >> 6);
    // original_copy, home, copyright_identification_bit and _start, then frame_length
    h->frameLength = uint16_t((p[3] & 3) << 11 | p[4] << 3 | p[5] >> 5);
    h->rawDataBlocks = p[6] & 3;  // behind adts_buffer_fullness
    return h->samplingFrequencyIndex < 13 && h->frameLength > h->HeaderSize();
}

uint32_t AacSampleRate(uint8_t index) {
    static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    return index < 13 ? kRates[index] : 0;
}

std::vector<uint8_t> AudioSpecificConfig(const AdtsHeader& h) {
    const uint32_t objectType = h.profile + 1u;
    const uint32_t bits = objectType << 11 | uint32_t(h.samplingFrequencyIndex) << 7 |
                          uint32_t(h.channelConfiguration) << 3;
    return {uint8_t(bits >> 8), uint8_t(bits)};
}

namespace {

uint16_t Channels(uint8_t channelConfiguration) {
    return channelConfiguration == 7 ? 8 : channelConfiguration;  // 14496-3 Table 1.19
}

}  // namespace

Probe AdtsReader::Detect(const uint8_t* p, size_t n, bool finished) {
    if ((n >= 1 && p[0] != 0xFF) || (n >= 2 && (p[1] & 0xF6) != 0xF0)) return Probe::kNo;
    if (n < 7) return finished ? Probe::kNo : Probe::kMore;
    AdtsHeader a, b;
    if (!ParseAdtsHeader(p, &a)) return Probe::kNo;
    const size_t len = a.frameLength;
    if (n < len + 7) {
        if (!finished) return Probe::kMore;
        return n == len ? Probe::kYes : Probe::kNo;
    }
    if (!ParseAdtsHeader(p + len, &b)) return Probe::kNo;
    return b.samplingFrequencyIndex == a.samplingFrequencyIndex &&
                   b.channelConfiguration == a.channelConfiguration
               ? Probe::kYes
               : Probe::kNo;
}

size_t AdtsReader::FrameLength(const uint8_t* p) const {
    AdtsHeader h;
    return ParseAdtsHeader(p, &h) ? h.frameLength : 0;
}

uint32_t AdtsReader::StreamKey(const uint8_t* p) const {
    AdtsHeader h;
    ParseAdtsHeader(p, &h);
    return uint32_t(h.id) << 16 | uint32_t(h.profile) << 12 |
           uint32_t(h.samplingFrequencyIndex) << 4 | h.channelConfiguration;
}

std::string AdtsReader::Describe(const uint8_t* p) const {
    AdtsHeader h;
    ParseAdtsHeader(p, &h);
    return std::to_string(AacSampleRate(h.samplingFrequencyIndex)) + " Hz " +
           std::to_string(Channels(h.channelConfiguration)) + " ch (object type " +
           std::to_string(h.profile + 1) + ")";
}

bool AdtsReader::MakeFrame(const uint8_t* p, size_t length, AudioFrame& frame) {
    AdtsHeader h;
    ParseAdtsHeader(p, &h);
    if (h.channelConfiguration == 0) {
        // The channels would be in a program config element inside the raw data, which the
        // AudioSpecificConfig would have to carry instead.
        Fail(
            "AAC with channel configuration 0 (channels given by a program config element) is "
            "not supported");
        return false;
    }
    if (h.rawDataBlocks != 0) {
        // Several raw data blocks in one frame would be several samples, which only their
        // decoding can tell apart.
        Fail("AAC frames of " + std::to_string(h.rawDataBlocks + 1) +
             " raw data blocks are not supported (one block a frame is)");
        return false;
    }
    if (!HasFormat()) {
        AudioSampleEntry f;
        f.kind = AudioSampleEntry::Kind::kAac;
        f.sampleRate = AacSampleRate(h.samplingFrequencyIndex);
        f.channels = Channels(h.channelConfiguration);
        f.bitsPerSample = 16;
        f.decoderSpecificInfo = AudioSpecificConfig(h);
        SetFormat(f);
    }
    frame.data.assign(p + h.HeaderSize(), p + length);
    frame.sampleTimes = 1024;
    return true;
}
