#include "demux/dhav.h"

#include <cstring>

namespace {

constexpr uint8_t kKeyPicture = 0xFD;
constexpr uint8_t kPicture = 0xFC;
constexpr uint8_t kSound = 0xF0;
constexpr uint8_t kOther = 0xF1;

// The sound's rate by the index the extension gives; 8000 beyond the table.
uint32_t SoundRate(uint8_t index) {
    static const uint32_t rates[] = {8000,  4000,  8000,  11025, 16000,  20000, 22050,
                                     32000, 44100, 48000, 96000, 192000, 64000};
    return index < sizeof rates / sizeof rates[0] ? rates[index] : 8000;
}

// Whether the header at `p` (kHeaderBytes) can begin a frame.
bool Plausible(const uint8_t* p) {
    if (memcmp(p, "DHAV", 4) != 0) return false;
    const uint32_t length = ReadLe32(p + 12);
    const size_t least = DhavReader::kHeaderBytes + DhavReader::kTrailerBytes +
                         (p[4] == kOther ? 0 : p[22]);  // other data has no extension
    return length >= least && length <= DhavReader::kMaxFrameBytes;
}

// Whether the frame of `length` bytes at `p` ends with its trailer.
bool Whole(const uint8_t* p, size_t length) {
    const uint8_t* t = p + length - DhavReader::kTrailerBytes;
    return memcmp(t, "dhav", 4) == 0 && ReadLe32(t + 4) == length;
}

// ADTS sampling frequencies (ISO/IEC 14496-3 1.6.3.4).
const uint32_t kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

}  // namespace

CivilTime DhavReader::DecodeDate(uint32_t date) {
    CivilTime t;
    t.second = int(date & 0x3F);
    t.minute = int(date >> 6 & 0x3F);
    t.hour = int(date >> 12 & 0x1F);
    t.day = int(date >> 17 & 0x1F);
    t.month = int(date >> 22 & 0x0F);
    t.year = int(date >> 26 & 0x3F) + 2000;
    return t;
}

int64_t DhavReader::Unwrap(uint16_t ms, uint32_t date) {
    // The counter's step from the frame before is known only modulo 65536 ms: the dates, to the
    // second, tell how many times it went round (when they move by less than half an hour: a
    // recorder's clock set anew is no gap); without them the shorter way round is taken, which
    // allows sound written behind the pictures.
    // Frames of the same second carry the same date: it is worked out once.
    if (!secondKnown || date != lastDate) {
        const CivilTime t = DecodeDate(date);
        dateSecond = IsValidCivilTime(t) ? CivilSeconds(t) : -1;
        lastDate = date;
        secondKnown = true;
    }
    const int64_t second = dateSecond;
    if (!clockStarted) {
        clockStarted = true;
        clock = ms;
    } else {
        const int64_t step = uint16_t(ms - lastMs);
        int64_t expected = 0;
        if (second >= 0 && lastSecond >= 0) {
            const int64_t e = (second - lastSecond) * 1000;
            if (e > -1800000 && e < 1800000) expected = e;
        }
        clock += step + 65536 * FloorDiv(expected - step + 32768, 65536);
    }
    lastMs = ms;
    lastSecond = second;
    return clock;
}

Demuxer::Step DhavReader::Read(const uint8_t* data, size_t size, bool end,
                               std::vector<RecordPacket>* packets) {
    if (!started) {
        if (size < 5 && !end) return {Step::More, 0};
        started = true;
        if (size >= 5 && memcmp(data, "DAHUA", 5) == 0) headerLeft = kFileHeaderBytes;
    }
    if (headerLeft > 0) {
        const size_t n = size < headerLeft ? size : headerLeft;
        headerLeft -= n;
        return {Step::Pass, n};
    }
    if (size < kHeaderBytes) return end ? Step{Step::Skip, size} : Step{Step::More, 0};

    if (Plausible(data)) {
        const size_t length = ReadLe32(data + 12);
        if (length > size && !end) return {Step::More, 0};
        if (length <= size && Whole(data, length)) {
            TakeFrame(data, length, packets);
            return {Step::Record, length};
        }
    }
    // Damage: on to the next whole frame. One whose end has not come yet is waited for.
    for (size_t q = 1; q + kHeaderBytes <= size; ++q) {
        const void* d = memchr(data + q, 'D', size - kHeaderBytes + 1 - q);
        if (!d) break;
        q = size_t(static_cast<const uint8_t*>(d) - data);
        if (!Plausible(data + q)) continue;
        const size_t length = ReadLe32(data + q + 12);
        if (q + length > size) {
            if (!end) return {Step::Skip, q};
            continue;
        }
        if (Whole(data + q, length)) return {Step::Skip, q};
    }
    if (end) return {Step::Skip, size};
    return {Step::Skip, size - (kHeaderBytes - 1)};
}

void DhavReader::TakeFrame(const uint8_t* frame, size_t length,
                           std::vector<RecordPacket>* packets) {
    const uint8_t type = frame[4];
    if (type != kKeyPicture && type != kPicture && type != kSound) return;
    // A recorder's file holds one channel; frames of another are passed over.
    if (!channelKnown) {
        channelKnown = true;
        channel = frame[6];
    }
    if (frame[6] != channel) return;

    const uint32_t date = ReadLe32(frame + 16);
    const int64_t ms = Unwrap(ReadLe16(frame + 20), date);
    const size_t payload = kHeaderBytes + frame[22];
    const size_t payloadEnd = length - kTrailerBytes;

    int soundChannelsHere = soundChannels;
    int soundCodingHere = soundCoding;
    uint32_t soundRateHere = soundRate;
    for (size_t f = kHeaderBytes; f < payload;) {
        const uint8_t* x = frame + f;
        size_t fieldBytes = 0;
        switch (x[0]) {
            case 0x81:  // video coding, frame rate
                if (f + 4 <= payload) {
                    if (x[2] == 2 || x[2] == 4 || x[2] == 8) SetCoding(VideoCoding::H264);
                    if (x[2] == 0x0C) SetCoding(VideoCoding::H265);
                }
                fieldBytes = 4;
                break;
            case 0x83:  // sound channels, coding, rate
                if (f + 4 <= payload) {
                    soundChannelsHere = x[1];
                    soundCodingHere = x[2];
                    soundRateHere = SoundRate(x[3]);
                }
                fieldBytes = 4;
                break;
            case 0x8C:
                if (f + 8 <= payload) {
                    soundChannelsHere = x[2];
                    soundCodingHere = x[3];
                    soundRateHere = SoundRate(x[4]);
                }
                fieldBytes = 8;
                break;
            case 0x80:
            case 0x84:
            case 0x85:
            case 0x8B:
            case 0x94:
            case 0x96:
            case 0xA0:
            case 0xB2:
            case 0xB4:
                fieldBytes = 4;
                break;
            case 0x82:
            case 0x88:
            case 0x91:
            case 0x92:
            case 0x93:
            case 0x95:
            case 0x9A:
            case 0x9B:
            case 0xB3:
                fieldBytes = 8;
                break;
            default:  // a field of unknown size ends what can be read of the extension
                fieldBytes = payload - f;
                break;
        }
        f += fieldBytes;
    }

    if (type == kSound) {
        soundChannels = soundChannelsHere > 0 ? soundChannelsHere : 1;
        soundCoding = soundCodingHere;
        soundRate = soundRateHere;
        TakeSound(frame, payload, payloadEnd, ms, soundCoding, soundChannels, soundRate, packets);
        return;
    }
    // The first picture with a date gives the recording's.
    if (!dated && dateSecond >= 0) {
        dated = true;
        SetRecordedAt(DecodeDate(date));
    }
    if (payloadEnd > payload)
        packets->push_back(
            {DemuxPacket::Kind::Video, payload, payloadEnd - payload, ms, type == kKeyPicture});
}

void DhavReader::TakeSound(const uint8_t* frame, size_t from, size_t to, int64_t ms, int codec,
                           int channels, uint32_t rate, std::vector<RecordPacket>* packets) {
    if (to <= from) return;
    AudioSampleEntry e;
    e.sampleRate = rate;
    e.channels = uint16_t(channels);
    switch (codec) {
        case 0x0E:
            e.kind = AudioSampleEntry::Kind::kALaw;
            e.bitsPerSample = 8;
            break;
        case 0x0A:
        case 0x16:
            e.kind = AudioSampleEntry::Kind::kULaw;
            e.bitsPerSample = 8;
            break;
        case 0x07:
            e.kind = AudioSampleEntry::Kind::kPcm;
            e.bitsPerSample = 8;
            break;
        case 0x0C:
        case 0x10:
            e.kind = AudioSampleEntry::Kind::kPcm;
            e.bitsPerSample = 16;
            break;
        case 0x1A: {
            // ADTS frames (ISO/IEC 14496-3 1.A.3.2): each raw frame is a sample.
            int frames = 0;
            size_t off = from;
            while (to - off >= 7) {
                const uint8_t* p = frame + off;
                if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) break;
                const size_t headerBytes = (p[1] & 1) ? 7 : 9;
                const int objectType = (p[2] >> 6) + 1;
                const int rateIndex = p[2] >> 2 & 0x0F;
                const int configuration = (p[2] & 1) << 2 | p[3] >> 6;
                const size_t frameBytes = size_t(p[3] & 3) << 11 | size_t(p[4]) << 3 | p[5] >> 5;
                if (frameBytes <= headerBytes || frameBytes > to - off || rateIndex > 12 ||
                    configuration == 0 || (p[6] & 3) != 0)
                    break;
                AudioSampleEntry aac;
                aac.kind = AudioSampleEntry::Kind::kAac;
                aac.sampleRate = kAacRates[rateIndex];
                aac.channels = uint16_t(configuration == 7 ? 8 : configuration);
                aac.decoderSpecificInfo = {uint8_t(objectType << 3 | rateIndex >> 1),
                                           uint8_t((rateIndex & 1) << 7 | configuration << 3)};
                if (SetSound(aac)) {
                    const int64_t at =
                        ms + (int64_t(frames) * 1024 * 1000 + aac.sampleRate / 2) / aac.sampleRate;
                    packets->push_back({DemuxPacket::Kind::Sound, off + headerBytes,
                                        frameBytes - headerBytes, at, false});
                } else {
                    LeaveOutSound(1);
                }
                ++frames;
                off += frameBytes;
            }
            if (off < to) LeaveOutSound(1);  // what follows is no whole frame
            return;
        }
        default:  // MPEG audio, ADPCM and the rest: no sample entry of ours
            LeaveOutSound(1);
            return;
    }
    if (SetSound(e))
        packets->push_back({DemuxPacket::Kind::Sound, from, to - from, ms, false});
    else
        LeaveOutSound(1);
}
