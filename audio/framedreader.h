// The part that ADTS and MP3 readers share: frames that each begin with a header telling their
// length, found one after the other. A header is trusted where the previous frame ended; after
// damage, and at the start, a header counts only when another one follows its frame (or the
// input ends there), so that bytes that merely look like a header are not taken for one.
#pragma once

#include <string>
#include <vector>

#include "audio/audioreader.h"
#include "audio/tags.h"

class FramedReader : public AudioReader {
protected:
    explicit FramedReader(size_t headerSize) : headerSize_(headerSize) {}

    // The frame's whole length when p (headerSize_ bytes at least) begins with a valid header;
    // 0 otherwise.
    virtual size_t FrameLength(const uint8_t* p) const = 0;
    // What a header says that stays the same from frame to frame (the rate, the channels).
    virtual uint32_t StreamKey(const uint8_t* p) const = 0;
    // "48000 Hz 2 ch": the sound of the header at p, for messages.
    virtual std::string Describe(const uint8_t* p) const = 0;
    // Makes the sample of a whole frame; the first frame sets the format. false: the frame is no
    // sound (or the reader failed), nothing to hand out.
    virtual bool MakeFrame(const uint8_t* p, size_t length, AudioFrame& frame) = 0;

    bool Parse(AudioFrame& frame) override;

private:
    // The length of the frame at p when it is one of this stream and the next header confirms it
    // (or the input ends after it); 0 when it is none; SIZE_MAX when more bytes are needed to
    // tell.
    size_t ConfirmedFrame(const uint8_t* p, size_t n, uint32_t key) const;
    // Reports the bytes passed over since the last frame, unless they were tags only.
    void EndRun(bool atEnd);

    size_t headerSize_;
    bool inSync_ = false;
    bool keyKnown_ = false;
    uint32_t key_ = 0;
    std::vector<uint8_t> keyHeader_;  // the first frame's header
    SkippedRun run_;
};
