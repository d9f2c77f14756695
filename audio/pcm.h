// Linear PCM and G.711 (ITU-T G.711: A-law and mu-law, 8 bits a sample) as they come, without a
// header: runs of whole sample times of every channel, interleaved, a tenth of a second a frame.
// The WAV reader hands its data chunk to the same framing.
#pragma once

#include <cstdint>
#include <string>

#include "audio/audioreader.h"

// The format of headerless sound by the file's extension (.alaw .al .g711a, .ulaw .ul .mulaw
// .g711u: 8000 Hz mono; .pcm .raw .s16le: 16-bit little-endian, 48000 Hz stereo), the options'
// rate and channels where they are given; false for any other name.
bool RawAudioFormat(const std::string& fileName, const AudioOptions& options, AudioSampleEntry* f);

class PcmReader : public AudioReader {
public:
    explicit PcmReader(const AudioSampleEntry& format);
    const char* ContainerName() const override { return "raw"; }

protected:
    PcmReader() = default;
    bool Parse(AudioFrame& frame) override;
    // Sets the format and the framing; false (and failed) for a format no track can hold.
    bool StartSamples(const AudioSampleEntry& format, uint64_t dataBytes);
    // The next frame of the data: maxFrame_ sample times, fewer at the end of the data.
    bool TakeSamples(AudioFrame& frame);
    static constexpr uint64_t kToTheEnd = UINT64_MAX;
    uint64_t DataLeft() const { return dataLeft_; }

private:
    AudioSampleEntry pending_;
    uint32_t bytesPerSampleTime_ = 0;
    uint32_t maxFrame_ = 0;  // sample times
    uint64_t dataLeft_ = kToTheEnd;
    uint64_t declared_ = kToTheEnd;
};
