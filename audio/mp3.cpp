#include "audio/mp3.h"

#include <cstring>

#include "syntax/bitstream.h"

namespace {

// 11172-3 2.4.2.3 and 13818-3 2.4.2.3: bitrate_index of Layer III in kbit/s.
const uint16_t kBitrates[2][16] = {
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},  // MPEG-1
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},      // MPEG-2 and 2.5
};
const uint32_t kRates[4][3] = {
    {11025, 12000, 8000},  // MPEG 2.5
    {0, 0, 0},
    {22050, 24000, 16000},  // MPEG-2
    {44100, 48000, 32000},  // MPEG-1
};

uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

size_t Mp3Header::FrameLength() const {
    if (bitrate == 0 || sampleRate == 0) return 0;
    const uint32_t slots = version == 3 ? 144 : 72;  // bytes of 1152 or 576 samples per bit/s
    return size_t(slots * bitrate / sampleRate + (padding ? 1 : 0));
}

size_t Mp3Header::SideInfoEnd() const {
    const size_t side = version == 3 ? (mode == 3 ? 17 : 32) : (mode == 3 ? 9 : 17);
    return 4 + (protection ? 2 : 0) + side;
}

bool ParseMp3Header(const uint8_t* p, Mp3Header* h) {
    Bitstream bs(p, 32);
    if (bs.ReadBits(11) != 0x7FF) return false;
    h->version = uint8_t(bs.ReadBits(2));
    if (h->version == 1 || bs.ReadBits(2) != 1) return false;  // reserved; not Layer III
    h->protection = bs.ReadBits(1) == 0;
    const uint32_t bitrateIndex = bs.ReadBits(4);
    const uint32_t rateIndex = bs.ReadBits(2);
    if (bitrateIndex == 15 || rateIndex == 3) return false;
    h->bitrate = kBitrates[h->version == 3 ? 0 : 1][bitrateIndex] * 1000u;
    h->sampleRate = kRates[h->version][rateIndex];
    h->padding = bs.ReadBits(1) != 0;
    SkipBits(bs, 1);  // private_bit
    h->mode = uint8_t(bs.ReadBits(2));
    SkipBits(bs, 4);             // mode_extension, copyright, original/home
    return bs.ReadBits(2) != 2;  // emphasis 2 is reserved
}

Probe Mp3Reader::Detect(const uint8_t* p, size_t n, bool finished, bool takeFreeFormat) {
    if ((n >= 1 && p[0] != 0xFF) || (n >= 2 && (p[1] & 0xE6) != 0xE2)) return Probe::kNo;
    if (n < 4) return finished ? Probe::kNo : Probe::kMore;
    Mp3Header a, b;
    if (!ParseMp3Header(p, &a)) return Probe::kNo;
    if (a.bitrate == 0) return takeFreeFormat ? Probe::kYes : Probe::kNo;
    const size_t len = a.FrameLength();
    if (n < len + 4) {
        if (!finished) return Probe::kMore;
        return n == len || (n >= len + 3 && memcmp(p + len, "TAG", 3) == 0) ? Probe::kYes
                                                                            : Probe::kNo;
    }
    if (!ParseMp3Header(p + len, &b)) return Probe::kNo;
    return b.version == a.version && b.sampleRate == a.sampleRate && b.Channels() == a.Channels()
               ? Probe::kYes
               : Probe::kNo;
}

bool Mp3Reader::Parse(AudioFrame& frame) {
    // The frames' lengths cannot be told in free format: the first header says so (and only
    // the first, as the detection took it).
    if (!startSeen_) {
        if (Available() < 4 && !Finished()) return false;
        startSeen_ = true;
        Mp3Header h;
        if (Available() >= 4 && ParseMp3Header(Peek(), &h) && h.bitrate == 0) {
            Fail("free-format MP3 (frames without a bitrate in their header) is not supported");
            return false;
        }
    }
    return FramedReader::Parse(frame);
}

size_t Mp3Reader::FrameLength(const uint8_t* p) const {
    Mp3Header h;
    return ParseMp3Header(p, &h) ? h.FrameLength() : 0;
}

uint32_t Mp3Reader::StreamKey(const uint8_t* p) const {
    Mp3Header h;
    ParseMp3Header(p, &h);
    return h.sampleRate << 2 | (h.mode == 3 ? 1u : 0u);
}

std::string Mp3Reader::Describe(const uint8_t* p) const {
    Mp3Header h;
    ParseMp3Header(p, &h);
    return std::to_string(h.sampleRate) + " Hz " + std::to_string(h.Channels()) + " ch";
}

bool Mp3Reader::MakeFrame(const uint8_t* p, size_t length, AudioFrame& frame) {
    Mp3Header h;
    ParseMp3Header(p, &h);
    if (!HasFormat()) {
        AudioSampleEntry f;
        f.kind = AudioSampleEntry::Kind::kMp3;
        f.sampleRate = h.sampleRate;
        f.channels = h.Channels();
        f.bitsPerSample = 16;
        SetFormat(f);
    }
    const bool first = first_;
    first_ = false;
    if (first) {
        const size_t at = h.SideInfoEnd();
        if (at + 8 <= length &&
            (memcmp(p + at, "Xing", 4) == 0 || memcmp(p + at, "Info", 4) == 0)) {
            // Xing header: flags, then the frame count, byte count, table of contents and quality
            // that the flags announce; the LAME tag after them gives the encoder's delay and
            // padding in 12 bits each, 21 bytes into it.
            const uint32_t flags = Be32(p + at + 4);
            size_t q = at + 8;
            const bool hasFrames = flags & 1;
            q += (flags & 1 ? 4 : 0) + (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) +
                 (flags & 8 ? 4 : 0);
            if (q + 24 <= length &&
                (memcmp(p + q, "LAME", 4) == 0 || memcmp(p + q, "Lavf", 4) == 0 ||
                 memcmp(p + q, "Lavc", 4) == 0)) {
                const uint32_t v = uint32_t(p[q + 21]) << 16 | uint32_t(p[q + 22]) << 8 | p[q + 23];
                const uint32_t delay = v >> 12, padding = v & 0xFFF;
                // The decoder's own delay of 529 sample times moves both ends.
                // The padding is known to be at the end only where the frames are counted.
                SetTrim(delay + 529, hasFrames && padding > 529 ? padding - 529 : 0);
            }
            return false;
        }
        if (36 + 4 <= length && memcmp(p + 36, "VBRI", 4) == 0) return false;
    }
    frame.data.assign(p, p + length);
    frame.sampleTimes = h.SamplesPerFrame();
    return true;
}
