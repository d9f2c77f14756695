// WAV files: RIFF/WAVE (Microsoft's Multimedia Programming Interface and Data Specifications
// 1.0, "WAVE form"; WAVEFORMATEXTENSIBLE of the Windows multichannel audio paper) and RF64/BW64
// (EBU Tech 3306, ITU-R BS.2088), whose ds64 chunk gives the 64-bit sizes. The "fmt " chunk says
// the coding: PCM of 8 to 32 bits, IEEE float of 32 or 64, A-law, mu-law, directly or as the
// subformat of WAVE_FORMAT_EXTENSIBLE. Every other chunk before "data" is passed over with its pad
// byte; the data goes to the end of its size, or to the end of the input when the size is 0 or
// 0xFFFFFFFF, as recorders that write into a pipe leave it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/pcm.h"
#include "audio/tags.h"

class WavReader : public PcmReader {
public:
    // "RIFF", "RF64" or "BW64", then "WAVE" 8 bytes in.
    static Probe Detect(const uint8_t* p, size_t n, bool finished);
    const char* ContainerName() const override { return "WAV"; }

protected:
    bool Parse(AudioFrame& frame) override;

private:
    // Reads the "fmt " chunk's body into fmt_; false (and failed) when no track can hold it.
    bool ReadFormat(const uint8_t* p, size_t size);

    enum class State { kRiff, kChunk, kData } state_ = State::kRiff;
    bool rf64_ = false;
    bool haveFormat_ = false;
    uint64_t ds64DataSize_ = 0;
    bool haveDs64_ = false;
    AudioSampleEntry fmt_;
};
