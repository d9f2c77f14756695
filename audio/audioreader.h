// Readers of sound files that are put beside the pictures without re-encoding: ADTS AAC, MP3,
// WAV (RIFF and RF64) and headerless PCM or G.711. Each reader is pushed the input's bytes as they
// come (a file, a pipe or a FIFO alike) and hands back whole frames, as the MP4 track stores them:
//
//     std::unique_ptr<AudioReader> r = OpenAudioReader(path, options);
//     while (bytes come) {
//         r->Feed(buf, n);
//         while (r->Next(frame)) write frame;        // Format() is known from the first frame on
//         if (r->Failed()) stop: r->Error();
//     }
//     r->Finish();
//     while (r->Next(frame)) write frame;
//     if (r->Failed()) refuse: r->Error();
//
// Memory stays bounded: a reader keeps the bytes fed and not yet taken as frames, at most one
// frame and the next header (0.1 s of PCM, 8 KiB of AAC) more than the caller feeds at once, and
// while it tells the format at most 64 KiB. Tags and chunks that are no sound (ID3, a WAV's LIST)
// are passed over without being kept, and of the warnings only the first 100 are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mp4/audioentry.h"

// One sample of the sound track: its bytes as the MP4 stores them (an AAC frame without its ADTS
// header, an MPEG audio frame with its header, or a run of whole PCM/G.711 sample times of every
// channel, interleaved) and how many sample times it lasts (ticks at the sample rate: AAC 1024,
// MP3 1152 or 576, PCM and G.711 up to a tenth of a second, never a part of one sample time).
struct AudioFrame {
    std::vector<uint8_t> data;
    uint32_t sampleTimes = 0;
};

// What the caller says of a headerless input; a file with a header says it itself.
struct AudioOptions {
    uint32_t sampleRate = 0;  // Hz; 0: the default of the file's extension
    uint16_t channels = 0;    // 0: the default of the file's extension
};

class AudioReader {
public:
    virtual ~AudioReader() = default;
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    // The next bytes of the input. Nothing is parsed until Next is called.
    virtual void Feed(const uint8_t* data, size_t size);
    // Feed without a copy: room for n more bytes behind those kept, for the caller to read the
    // input into; Fed(k) then takes the first k of them as Feed would. Until then nothing else
    // is called on the reader (a read that brings nothing need not call Fed).
    virtual uint8_t* FeedSpace(size_t n);
    virtual void Fed(size_t n);
    // The input has ended: what is left is parsed as the last frames (or refused) by Next.
    virtual void Finish();
    // The next whole frame; false when more input is needed, the input is done (AtEnd) or the
    // reader has failed (Failed). A failure is final: Next returns false from then on.
    virtual bool Next(AudioFrame& frame);

    // The sound's coding, rate and channels; known (HasFormat) once Next has returned a frame,
    // for a WAV once its header is read.
    virtual bool HasFormat() const { return hasFormat_; }
    virtual const AudioSampleEntry& Format() const { return format_; }
    // The container as a user names it: "AAC", "MP3", "WAV", "raw".
    virtual const char* ContainerName() const = 0;

    virtual bool Failed() const { return !error_.empty(); }
    // Why the input was refused, one line without the file's name; empty while it was not.
    virtual const std::string& Error() const { return error_; }
    // Finish was called and every frame has been taken (or the reader failed).
    virtual bool AtEnd() const;
    // What was passed over or mended since the last call, one line each ("skipped 412 bytes of
    // damaged AAC data at byte 30871"); the reader goes on after each of them.
    virtual std::vector<std::string> TakeWarnings();

    // Sample times at the start and at the end of the frames that the stream itself says are no
    // sound (an MP3 encoder's delay and padding, from the LAME tag of its Xing/Info frame, moved
    // by the decoder's delay of 529; the Xing/Info frame itself is not handed out): a player
    // leaves them out, so an edit list should too. Known with the first frame; 0 where the stream
    // says nothing (AAC in ADTS, WAV, raw).
    virtual uint32_t LeadingSampleTimes() const { return leading_; }
    virtual uint32_t TrailingSampleTimes() const { return trailing_; }

    // Byte offset in the input of the next byte not yet taken.
    virtual uint64_t Position() const { return consumed_; }

protected:
    AudioReader() = default;

    // Makes the next frame from the buffered bytes: true with a frame; false when more input is
    // needed, at the end or on failure (Fail). Called only while not failed.
    virtual bool Parse(AudioFrame& frame) = 0;

    size_t Available() const { return fill_ - start_; }
    const uint8_t* Peek() const { return buffer_.data() + start_; }
    // Takes n of the buffered bytes (n <= Available()).
    void Consume(size_t n);
    // Takes n bytes, whether they are buffered yet or not: those still to come are dropped as
    // they are fed.
    void Skip(uint64_t n);
    // Bytes still to be dropped by Skip.
    uint64_t SkipPending() const { return skip_; }
    bool Finished() const { return finished_; }

    void Fail(const std::string& reason);
    void Warn(const std::string& warning);
    void SetFormat(const AudioSampleEntry& format);
    void SetTrim(uint32_t leading, uint32_t trailing) {
        leading_ = leading;
        trailing_ = trailing;
    }
    // Hands the bytes not yet taken (and what is still to be skipped) to the reader that goes
    // on from here, as the one that told the format does.
    void TakeBytes(AudioReader& to);

private:
    static constexpr uint64_t kMaxWarnings = 100;

    std::vector<uint8_t> buffer_;  // the input kept is [start_, fill_), room for more behind
    size_t start_ = 0;             // first byte not yet consumed
    size_t fill_ = 0;
    uint64_t skip_ = 0;
    uint64_t consumed_ = 0;
    bool finished_ = false;
    bool hasFormat_ = false;
    bool atEnd_ = false;
    AudioSampleEntry format_;
    std::string error_;
    std::vector<std::string> warnings_;
    uint64_t warned_ = 0;  // every warning, those beyond the first kMaxWarnings only counted
    uint32_t leading_ = 0, trailing_ = 0;
    uint64_t frames_ = 0;

    void TakeInput(std::vector<uint8_t>&& bytes, size_t start, size_t fill, uint64_t position,
                   uint64_t skip, bool finished);
};

// A reader that tells the format from the first bytes: an ADTS header, an MPEG audio Layer III
// header (behind an ID3v2 tag or not), "RIFF"/"RF64" with "WAVE"; failing those, the file's
// extension for headerless sound: .alaw .al .g711a (G.711 A-law) and .ulaw .ul .mulaw .g711u
// (mu-law), 8000 Hz mono, and .pcm .raw .s16le (16-bit little-endian PCM), 48000 Hz stereo, the
// rate and channels of which the options override (given for a file with a header, they are
// left aside with a warning). ADTS or MP3 that begins midway (three headers in a row within the
// first 64 KiB) is read from its first whole frame, what comes before it passed over with a
// warning. Anything else fails with a reason.
std::unique_ptr<AudioReader> OpenAudioReader(const std::string& fileName,
                                             const AudioOptions& options = {});

// The sound as the summary names it: "AAC 48000 Hz 2 ch", "PCM 16-bit 48000 Hz 2 ch".
std::string DescribeAudio(const AudioSampleEntry& format);

// Whether a file of this name would be taken as headerless sound (by its extension alone).
bool IsRawAudioName(const std::string& fileName);
