#include "audio/audioreader.h"

#include <algorithm>
#include <cstring>

#include "audio/adts.h"
#include "audio/mp3.h"
#include "audio/pcm.h"
#include "audio/tags.h"
#include "audio/wav.h"

void AudioReader::Feed(const uint8_t* data, size_t size) {
    if (finished_ || Failed()) return;
    const uint64_t drop = std::min<uint64_t>(skip_, size);
    skip_ -= drop;
    data += drop;
    size -= size_t(drop);
    if (size == 0) return;
    // Moves the bytes not yet taken to the front once the taken ones are the larger part.
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 0 && start_ >= buffer_.size() - start_) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + ptrdiff_t(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

void AudioReader::Finish() {
    finished_ = true;
}

bool AudioReader::Next(AudioFrame& frame) {
    if (Failed() || atEnd_) return false;
    if (Parse(frame)) {
        ++frames_;
        return true;
    }
    if (finished_ && !Failed()) {
        if (frames_ == 0) Fail(consumed_ == 0 ? "the sound file is empty" : "no sound in the file");
        atEnd_ = true;
        if (warned_ > kMaxWarnings)
            warnings_.push_back("and " + std::to_string(warned_ - kMaxWarnings) +
                                " more warnings like these");
    }
    return false;
}

bool AudioReader::AtEnd() const {
    return atEnd_ || Failed();
}

std::vector<std::string> AudioReader::TakeWarnings() {
    std::vector<std::string> w;
    w.swap(warnings_);
    return w;
}

void AudioReader::Consume(size_t n) {
    start_ += n;
    consumed_ += n;
}

void AudioReader::Skip(uint64_t n) {
    const size_t here = size_t(std::min<uint64_t>(n, Available()));
    Consume(here);
    skip_ += n - here;
    consumed_ += n - here;
}

void AudioReader::Fail(const std::string& reason) {
    if (error_.empty()) error_ = reason.empty() ? "unreadable sound" : reason;
    buffer_.clear();
    buffer_.shrink_to_fit();
    start_ = 0;
}

void AudioReader::Warn(const std::string& warning) {
    warnings_.push_back(warning);
}

void AudioReader::SetFormat(const AudioSampleEntry& format) {
    format_ = format;
    hasFormat_ = true;
}

void AudioReader::TakeInput(std::vector<uint8_t>&& bytes, size_t start, uint64_t position,
                            uint64_t skip, bool finished) {
    buffer_ = std::move(bytes);
    start_ = start;
    consumed_ = position;
    skip_ = skip;
    finished_ = finished;
}

// Tells the format from the first bytes, then hands them and everything after to the reader of
// that format.
class AudioDetector : public AudioReader {
public:
    AudioDetector(const std::string& fileName, const AudioOptions& options)
        : name_(fileName), options_(options) {}

    void Feed(const uint8_t* data, size_t size) override {
        if (inner_)
            inner_->Feed(data, size);
        else
            AudioReader::Feed(data, size);
    }
    void Finish() override {
        if (inner_)
            inner_->Finish();
        else
            AudioReader::Finish();
    }
    bool Next(AudioFrame& frame) override {
        if (!inner_ && (AudioReader::Failed() || !Parse(frame))) return false;
        if (!inner_->Next(frame)) return false;
        if (!toldOptions_ && (options_.sampleRate || options_.channels) &&
            strcmp(inner_->ContainerName(), "raw") != 0) {
            Warn(std::string("the rate and channels given are left aside: the ") +
                 inner_->ContainerName() + " file says " + DescribeAudio(inner_->Format()));
        }
        toldOptions_ = true;
        return true;
    }
    bool HasFormat() const override { return inner_ ? inner_->HasFormat() : false; }
    const AudioSampleEntry& Format() const override {
        return inner_ ? inner_->Format() : AudioReader::Format();
    }
    const char* ContainerName() const override { return inner_ ? inner_->ContainerName() : ""; }
    bool Failed() const override { return inner_ ? inner_->Failed() : AudioReader::Failed(); }
    const std::string& Error() const override {
        return inner_ ? inner_->Error() : AudioReader::Error();
    }
    bool AtEnd() const override { return inner_ ? inner_->AtEnd() : AudioReader::AtEnd(); }
    std::vector<std::string> TakeWarnings() override {
        std::vector<std::string> w = AudioReader::TakeWarnings();
        if (inner_) {
            std::vector<std::string> more = inner_->TakeWarnings();
            w.insert(w.end(), more.begin(), more.end());
        }
        return w;
    }
    uint32_t LeadingSampleTimes() const override {
        return inner_ ? inner_->LeadingSampleTimes() : 0;
    }
    uint32_t TrailingSampleTimes() const override {
        return inner_ ? inner_->TrailingSampleTimes() : 0;
    }
    uint64_t Position() const override {
        return inner_ ? inner_->Position() : AudioReader::Position();
    }

protected:
    // Decides, or waits for more bytes; true once the reader of the format has the input.
    bool Parse(AudioFrame&) override {
        for (;;) {
            if (SkipPending() > 0) {
                if (!Finished()) return false;
                return Refuse();
            }
            const uint8_t* p = Peek();
            const size_t n = Available();
            if (n == 0 && Finished()) return Refuse();
            const TagProbe tag = ProbeId3v2(p, n);
            if (tag.state == Probe::kMore && !Finished()) return false;
            if (tag.state == Probe::kYes) {
                Skip(tag.size);
                continue;
            }
            break;
        }
        const uint8_t* p = Peek();
        const size_t n = Available();
        const bool finished = Finished();
        const Probe wav = WavReader::Detect(p, n, finished);
        const Probe adts = AdtsReader::Detect(p, n, finished);
        const Probe mp3 = Mp3Reader::Detect(p, n, finished, !IsRawAudioName(name_));
        if (wav == Probe::kYes) return Hand(std::make_unique<WavReader>());
        if (adts == Probe::kYes) return Hand(std::make_unique<AdtsReader>());
        if (mp3 == Probe::kYes) return Hand(std::make_unique<Mp3Reader>());
        if (wav == Probe::kMore || adts == Probe::kMore || mp3 == Probe::kMore) return false;
        AudioSampleEntry raw;
        if (RawAudioFormat(name_, options_, &raw)) return Hand(std::make_unique<PcmReader>(raw));
        // ADTS or MP3 taken up midway: three headers in a row within the first bytes. The
        // reader passes over what comes before them as damage, with a warning.
        if (n < kScan && !finished) return false;
        for (size_t i = 1; i + 4 <= n && i < kScan; ++i) {
            if (p[i] != 0xFF) continue;
            AdtsHeader a;
            Mp3Header m;
            if (AdtsReader::Detect(p + i, n - i, true) == Probe::kYes &&
                ParseAdtsHeader(p + i, &a) &&
                AdtsReader::Detect(p + i + a.frameLength, n - i - a.frameLength, true) ==
                    Probe::kYes)
                return Hand(std::make_unique<AdtsReader>());
            if (Mp3Reader::Detect(p + i, n - i, true, false) == Probe::kYes &&
                ParseMp3Header(p + i, &m) && i + m.FrameLength() < n &&
                Mp3Reader::Detect(p + i + m.FrameLength(), n - i - m.FrameLength(), true, false) ==
                    Probe::kYes)
                return Hand(std::make_unique<Mp3Reader>());
        }
        return Refuse();
    }

private:
    bool Refuse() {
        if (Position() == 0 && Available() == 0)
            Fail("the sound file is empty");
        else if (Available() == 0)
            Fail("no sound after the ID3 tag");
        else
            Fail(
                "not a sound format that can be read: no AAC (ADTS), MP3 or WAV header, and the "
                "name does not end in .alaw, .ulaw, .pcm or another extension of raw sound");
        return false;
    }

    bool Hand(std::unique_ptr<AudioReader> reader) {
        TakeBytes(*reader);
        inner_ = std::move(reader);
        return true;
    }

    static constexpr size_t kScan = 64 * 1024;

    std::string name_;
    AudioOptions options_;
    bool toldOptions_ = false;
    std::unique_ptr<AudioReader> inner_;
};

void AudioReader::TakeBytes(AudioReader& to) {
    to.TakeInput(std::move(buffer_), start_, consumed_, skip_, finished_);
    buffer_.clear();
    start_ = 0;
    skip_ = 0;
}

std::unique_ptr<AudioReader> OpenAudioReader(const std::string& fileName,
                                             const AudioOptions& options) {
    return std::make_unique<AudioDetector>(fileName, options);
}

std::string DescribeAudio(const AudioSampleEntry& f) {
    std::string s;
    switch (f.kind) {
        case AudioSampleEntry::Kind::kAac:
            s = "AAC";
            break;
        case AudioSampleEntry::Kind::kMp3:
            s = "MP3";
            break;
        case AudioSampleEntry::Kind::kALaw:
            s = "G.711 A-law";
            break;
        case AudioSampleEntry::Kind::kULaw:
            s = "G.711 mu-law";
            break;
        case AudioSampleEntry::Kind::kPcm:
            s = "PCM " + std::to_string(f.bitsPerSample) + "-bit" +
                (f.floatingPoint ? " float" : "");
            break;
    }
    return s + " " + std::to_string(f.sampleRate) + " Hz " + std::to_string(f.channels) + " ch";
}
