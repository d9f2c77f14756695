#include "audio/wav.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) {
    return Le32(p) | uint64_t(Le32(p + 4)) << 32;
}

// The wFormatTag values read here.
constexpr uint16_t kWavePcm = 1, kWaveFloat = 3, kWaveALaw = 6, kWaveMuLaw = 7,
                   kWaveExtensible = 0xFFFE;
// The GUID of a subformat is its format tag in the first two bytes, then always these.
const uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                               0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// Larger "fmt " or "ds64" chunks are not headers of any coding read here.
constexpr uint32_t kMaxHeaderChunk = 4096;

bool IsRiff(const uint8_t* p) {
    return memcmp(p, "RIFF", 4) == 0 || memcmp(p, "RF64", 4) == 0 || memcmp(p, "BW64", 4) == 0;
}

}  // namespace

Probe WavReader::Detect(const uint8_t* p, size_t n, bool finished) {
    static const char* const kForms[3] = {"RIFF", "RF64", "BW64"};
    bool prefix = false;
    for (const char* form : kForms) prefix = prefix || memcmp(p, form, std::min<size_t>(n, 4)) == 0;
    if (!prefix) return Probe::kNo;
    if (n < 12) return finished ? (n >= 4 ? Probe::kYes : Probe::kNo) : Probe::kMore;
    return memcmp(p + 8, "WAVE", 4) == 0 ? Probe::kYes : Probe::kNo;
}

bool WavReader::ReadFormat(const uint8_t* p, size_t size) {
    uint16_t tag = Le16(p);
    const uint16_t channels = Le16(p + 2);
    const uint32_t rate = Le32(p + 4);
    const uint16_t blockAlign = Le16(p + 12);
    uint16_t bits = Le16(p + 14);
    if (tag == kWaveExtensible) {
        if (size < 40 || Le16(p + 16) < 22) {
            Fail("the WAV format chunk is too short for WAVE_FORMAT_EXTENSIBLE");
            return false;
        }
        if (memcmp(p + 26, kGuidTail, sizeof kGuidTail) != 0) {
            Fail("the WAV subformat GUID is not one of PCM, IEEE float, A-law or mu-law");
            return false;
        }
        tag = Le16(p + 24);
    }
    if (channels == 0 || blockAlign == 0 || blockAlign % channels != 0) {
        Fail("the WAV format chunk gives " + std::to_string(channels) + " channels in blocks of " +
             std::to_string(blockAlign) + " bytes");
        return false;
    }
    // The bytes each sample is stored in; the bits it has may be fewer (20 bits in 3 bytes).
    const uint32_t container = blockAlign / channels;
    AudioSampleEntry f;
    f.sampleRate = rate;
    f.channels = channels;
    f.bitsPerSample = uint16_t(container * 8);
    bool ok;
    switch (tag) {
        case kWavePcm:
            f.kind = AudioSampleEntry::Kind::kPcm;
            f.unsignedSamples = container == 1;
            ok = container <= 4 && bits <= container * 8 && bits + 8u > container * 8;
            break;
        case kWaveFloat:
            f.kind = AudioSampleEntry::Kind::kPcm;
            f.floatingPoint = true;
            ok = (container == 4 || container == 8) && bits == container * 8;
            break;
        case kWaveALaw:
        case kWaveMuLaw:
            f.kind =
                tag == kWaveALaw ? AudioSampleEntry::Kind::kALaw : AudioSampleEntry::Kind::kULaw;
            ok = container == 1 && bits == 8;
            break;
        default: {
            char hex[8];
            snprintf(hex, sizeof hex, "0x%04X", tag);
            Fail(std::string("WAV sound of format ") + hex +
                 " is not supported (PCM, IEEE float, A-law and mu-law are)");
            return false;
        }
    }
    if (!ok) {
        Fail("WAV sound of " + std::to_string(bits) + " bits in " + std::to_string(container) +
             "-byte samples is not supported for its format");
        return false;
    }
    fmt_ = f;
    haveFormat_ = true;
    return true;
}

bool WavReader::Parse(AudioFrame& frame) {
    while (state_ != State::kData) {
        if (SkipPending() > 0) {
            if (!Finished()) return false;
            Fail("the WAV header is cut short: the file ends inside a chunk before the data");
            return false;
        }
        const uint8_t* p = Peek();
        const size_t n = Available();
        if (state_ == State::kRiff) {
            if (n < 12) {
                if (!Finished()) return false;
                Fail("the WAV header is cut short: " + std::to_string(n) + " bytes");
                return false;
            }
            if (!IsRiff(p) || memcmp(p + 8, "WAVE", 4) != 0) {
                Fail("not a WAV file: no RIFF WAVE header");
                return false;
            }
            rf64_ = memcmp(p, "RIFF", 4) != 0;
            Consume(12);
            state_ = State::kChunk;
            continue;
        }
        if (n < 8) {
            if (!Finished()) return false;
            Fail(haveFormat_ ? "the WAV file has no data chunk"
                             : "the WAV header is cut short: no format chunk");
            return false;
        }
        const uint32_t size = Le32(p + 4);
        const uint64_t padded = uint64_t(size) + (size & 1);
        if (memcmp(p, "data", 4) == 0) {
            if (!haveFormat_) {
                Fail("the WAV data comes before its format chunk");
                return false;
            }
            uint64_t dataSize = size;
            if (size == 0xFFFFFFFFu) dataSize = rf64_ && haveDs64_ ? ds64DataSize_ : kToTheEnd;
            if (dataSize == 0) dataSize = kToTheEnd;  // written into a pipe: never filled in
            Consume(8);
            state_ = State::kData;
            if (!StartSamples(fmt_, dataSize)) return false;
            break;
        }
        const bool fmt = memcmp(p, "fmt ", 4) == 0;
        const bool ds64 = memcmp(p, "ds64", 4) == 0;
        if (fmt || ds64) {
            if (size < (fmt ? 16u : 24u) || size > kMaxHeaderChunk) {
                Fail(std::string("the WAV ") + (fmt ? "format" : "ds64") + " chunk of " +
                     std::to_string(size) + " bytes is malformed");
                return false;
            }
            if (n < 8 + size) {
                if (!Finished()) return false;
                Fail(std::string("the WAV header is cut short: the file ends inside its ") +
                     (fmt ? "format" : "ds64") + " chunk");
                return false;
            }
            if (fmt && !ReadFormat(p + 8, size)) return false;
            if (ds64) {
                // riffSize, dataSize, sampleCount, then a table of other chunks' sizes.
                ds64DataSize_ = Le64(p + 8 + 8);
                haveDs64_ = true;
            }
        }
        Skip(8 + padded);  // this chunk (LIST, fact, JUNK, ...) with its pad byte
    }
    return TakeSamples(frame);
}
