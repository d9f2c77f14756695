#include "audio/pcm.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Extension(const std::string& name) {
    const size_t slash = name.find_last_of('/');
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string e = name.substr(dot + 1);
    for (char& c : e) c = char(std::tolower(static_cast<unsigned char>(c)));
    return e;
}

}  // namespace

bool RawAudioFormat(const std::string& fileName, const AudioOptions& options, AudioSampleEntry* f) {
    const std::string e = Extension(fileName);
    AudioSampleEntry r;
    if (e == "alaw" || e == "al" || e == "g711a") {
        r.kind = AudioSampleEntry::Kind::kALaw;
    } else if (e == "ulaw" || e == "ul" || e == "mulaw" || e == "g711u") {
        r.kind = AudioSampleEntry::Kind::kULaw;
    } else if (e == "pcm" || e == "raw" || e == "s16le") {
        r.kind = AudioSampleEntry::Kind::kPcm;
    } else {
        return false;
    }
    const bool g711 = r.kind != AudioSampleEntry::Kind::kPcm;
    r.sampleRate = options.sampleRate ? options.sampleRate : g711 ? 8000 : 48000;
    r.channels = options.channels ? options.channels : g711 ? 1 : 2;
    r.bitsPerSample = g711 ? 8 : 16;
    *f = r;
    return true;
}

bool IsRawAudioName(const std::string& fileName) {
    AudioSampleEntry f;
    return RawAudioFormat(fileName, AudioOptions(), &f);
}

PcmReader::PcmReader(const AudioSampleEntry& format) : pending_(format) {}

bool PcmReader::StartSamples(const AudioSampleEntry& format, uint64_t dataBytes) {
    if (format.sampleRate == 0 || format.sampleRate > 1000000) {
        Fail("a sample rate of " + std::to_string(format.sampleRate) +
             " Hz is not supported (1 to 1000000 Hz is)");
        return false;
    }
    if (format.channels == 0 || format.channels > 255) {
        Fail(std::to_string(format.channels) + " channels are not supported (1 to 255 are)");
        return false;
    }
    bytesPerSampleTime_ = uint32_t(format.channels) * (format.bitsPerSample / 8u);
    // A tenth of a second, no more than 256 KiB, at least one sample time.
    maxFrame_ =
        std::max<uint32_t>(1, std::min<uint32_t>(std::max<uint32_t>(format.sampleRate / 10, 1),
                                                 (256u * 1024u) / bytesPerSampleTime_));
    dataLeft_ = declared_ = dataBytes;
    SetFormat(format);
    return true;
}

bool PcmReader::Parse(AudioFrame& frame) {
    if (!HasFormat() && !StartSamples(pending_, kToTheEnd)) return false;
    return TakeSamples(frame);
}

bool PcmReader::TakeSamples(AudioFrame& frame) {
    const size_t n = Available();
    if (dataLeft_ == 0) {  // past the data: nothing after it is sound
        Consume(n);
        return false;
    }
    const uint64_t want = std::min<uint64_t>(uint64_t(maxFrame_) * bytesPerSampleTime_, dataLeft_);
    if (n < want && !Finished()) return false;
    const uint64_t have = std::min<uint64_t>(n, want);
    const size_t bytes = size_t(have - have % bytesPerSampleTime_);
    if (bytes > 0) {
        frame.data.assign(Peek(), Peek() + bytes);
        frame.sampleTimes = uint32_t(bytes / bytesPerSampleTime_);
        Consume(bytes);
        if (dataLeft_ != kToTheEnd) dataLeft_ -= bytes;
        return true;
    }
    // Less than one sample time is left, of the data or of the input.
    if (have > 0) {
        Warn(std::to_string(have) + " bytes at the end make no whole sample time of " +
             std::to_string(Format().channels) + " channels: left out");
        Consume(size_t(have));
    }
    if (declared_ != kToTheEnd && n < want)
        Warn("the sound data ends " + std::to_string(dataLeft_ - have) +
             " bytes before the size its header gives");
    dataLeft_ = 0;
    Consume(Available());
    return false;
}
