// MPEG audio Layer III (ISO/IEC 11172-3 2.4.1.3 and 2.4.2.3, ISO/IEC 13818-3 for the lower rates
// of MPEG-2, and their extension to 8-12 kHz known as MPEG 2.5). The track stores the frames
// whole, header included. A first frame that holds a Xing/Info (or VBRI) header is the encoder's
// table of contents, no sound: it is left out as players do, and the LAME tag in it tells the
// encoder's delay and padding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/framedreader.h"

struct Mp3Header {
    uint8_t version = 0;      // 3: MPEG-1, 2: MPEG-2, 0: MPEG 2.5
    bool protection = false;  // a 16-bit CRC follows the header
    uint32_t bitrate = 0;     // bits per second; 0: free format
    uint32_t sampleRate = 0;
    bool padding = false;
    uint8_t mode = 0;  // 3: single channel
    uint32_t SamplesPerFrame() const { return version == 3 ? 1152 : 576; }
    uint16_t Channels() const { return mode == 3 ? 1 : 2; }
    // Header, side information and main data; 0 in free format.
    size_t FrameLength() const;
    // Header and CRC, then the side information, after which a Xing/Info header stands.
    size_t SideInfoEnd() const;
};

// A Layer III header in the 4 bytes at p (free format included); false where they cannot be one.
bool ParseMp3Header(const uint8_t* p, Mp3Header* h);

class Mp3Reader : public FramedReader {
public:
    Mp3Reader() : FramedReader(4) {}
    // A Layer III header whose frame is followed by another header or the end of the input; a
    // free-format header only with `takeFreeFormat`, as the frame's end cannot be checked then.
    static Probe Detect(const uint8_t* p, size_t n, bool finished, bool takeFreeFormat);
    const char* ContainerName() const override { return "MP3"; }

protected:
    bool Parse(AudioFrame& frame) override;
    size_t FrameLength(const uint8_t* p) const override;
    uint32_t StreamKey(const uint8_t* p) const override;
    std::string Describe(const uint8_t* p) const override;
    bool MakeFrame(const uint8_t* p, size_t length, AudioFrame& frame) override;

private:
    bool first_ = true;
    bool startSeen_ = false;
};
