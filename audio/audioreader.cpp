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
    memcpy(FeedSpace(size), data, size);
    fill_ += size;
}

uint8_t* AudioReader::FeedSpace(size_t n) {
    // Moves the bytes not yet taken to the front once the taken ones are the larger part.
    if (start_ == fill_) {
        start_ = fill_ = 0;
    } else if (start_ > 0 && start_ >= fill_ - start_) {
        memmove(buffer_.data(), buffer_.data() + start_, fill_ - start_);
        fill_ -= start_;
        start_ = 0;
    }
    if (buffer_.size() - fill_ < n) buffer_.resize(fill_ + n);
    return buffer_.data() + fill_;
}

void AudioReader::Fed(size_t n) {
    if (finished_ || Failed() || n == 0) return;
    uint8_t* p = buffer_.data() + fill_;
    const size_t drop = size_t(std::min<uint64_t>(skip_, n));
    skip_ -= drop;
    if (drop > 0) memmove(p, p + drop, n - drop);
    fill_ += n - drop;
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
    start_ = fill_ = 0;
}

void AudioReader::Warn(const std::string& warning) {
    warnings_.push_back(warning);
}

void AudioReader::SetFormat(const AudioSampleEntry& format) {
    format_ = format;
    hasFormat_ = true;
}

void AudioReader::TakeInput(std::vector<uint8_t>&& bytes, size_t start, size_t fill,
                            uint64_t position, uint64_t skip, bool finished) {
    buffer_ = std::move(bytes);
    start_ = start;
    fill_ = fill;
    consumed_ = position;
    skip_ = skip;
    finished_ = finished;
}

namespace {

// "Layer I" or "Layer II" where the bytes begin with such an MPEG audio frame header, for the
// reason of a refusal (11172-3 2.4.2.3); null otherwise.
const char* OtherMpegLayer(const uint8_t* p, size_t n) {
    if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0 || (p[1] & 0x18) == 0x08) return nullptr;
    const int layer = (p[1] >> 1) & 3;  // 3: Layer I, 2: Layer II
    if (layer < 2 || (p[2] >> 4) == 15 || ((p[2] >> 2) & 3) == 3) return nullptr;
    return layer == 3 ? "Layer I" : "Layer II";
}

}  // namespace

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
    uint8_t* FeedSpace(size_t n) override {
        return inner_ ? inner_->FeedSpace(n) : AudioReader::FeedSpace(n);
    }
    void Fed(size_t n) override {
        if (inner_)
            inner_->Fed(n);
        else
            AudioReader::Fed(n);
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
        // reader passes over what comes before them as damage, with a warning. A place once
        // ruled out stays so whatever follows.
        for (scanFrom_ = std::max<size_t>(scanFrom_, 1); scanFrom_ < n && scanFrom_ < kScan;
             ++scanFrom_) {
            if (p[scanFrom_] != 0xFF) continue;
            std::unique_ptr<AudioReader> reader;
            const Probe c = ChainAt(p + scanFrom_, n - scanFrom_, finished, &reader);
            if (c == Probe::kMore) return false;
            if (c == Probe::kYes) return Hand(std::move(reader));
        }
        if (n < kScan && !finished) return false;
        return Refuse();
    }

private:
    // Three ADTS or three MP3 headers in a row at p, each where the frame before it ends.
    static Probe ChainAt(const uint8_t* p, size_t n, bool finished,
                         std::unique_ptr<AudioReader>* reader) {
        const Probe adts = AdtsReader::Detect(p, n, finished);
        if (adts == Probe::kMore) return adts;
        AdtsHeader a;
        if (adts == Probe::kYes && ParseAdtsHeader(p, &a) && a.frameLength < n) {
            const Probe next = AdtsReader::Detect(p + a.frameLength, n - a.frameLength, finished);
            if (next == Probe::kYes) *reader = std::make_unique<AdtsReader>();
            return next;
        }
        const Probe mp3 = Mp3Reader::Detect(p, n, finished, false);
        if (mp3 == Probe::kMore) return mp3;
        Mp3Header m;
        if (mp3 == Probe::kYes && ParseMp3Header(p, &m) && m.FrameLength() < n) {
            const size_t len = m.FrameLength();
            const Probe next = Mp3Reader::Detect(p + len, n - len, finished, false);
            if (next == Probe::kYes) *reader = std::make_unique<Mp3Reader>();
            return next;
        }
        return Probe::kNo;
    }

    bool Refuse() {
        if (Position() == 0 && Available() == 0)
            Fail("the sound file is empty");
        else if (Available() == 0)
            Fail("no sound after the ID3 tag");
        else if (const char* layer = OtherMpegLayer(Peek(), Available()))
            Fail(std::string("MPEG audio ") + layer + " is not supported (Layer III, MP3, is)");
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
    size_t scanFrom_ = 0;  // where the look for frames taken up midway goes on
    std::unique_ptr<AudioReader> inner_;
};

void AudioReader::TakeBytes(AudioReader& to) {
    to.TakeInput(std::move(buffer_), start_, fill_, consumed_, skip_, finished_);
    buffer_.clear();
    start_ = fill_ = 0;
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
