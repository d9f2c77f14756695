#include "mp4/soundentry.h"

#include <algorithm>
#include <cstring>

#include "mp4/esds.h"

const char* SoundEntryType(const AudioSampleEntry& e) {
    switch (e.kind) {
        case AudioSampleEntry::Kind::kAac:
        case AudioSampleEntry::Kind::kMp3:
            return "mp4a";
        case AudioSampleEntry::Kind::kALaw:
            return "alaw";
        case AudioSampleEntry::Kind::kULaw:
            return "ulaw";
        case AudioSampleEntry::Kind::kPcm:
            break;
    }
    // A rate beyond the 16 bits of the version 0 entry's field needs the version 2 one.
    if (e.floatingPoint || e.bitsPerSample > 16 || e.sampleRate > 0xFFFF) return "lpcm";
    if (e.bitsPerSample == 8) return e.unsignedSamples ? "raw " : "twos";
    return e.bigEndian ? "twos" : "sowt";
}

namespace {

// QuickTime's sound sample description version 2: the rate as a double, the channels and bits
// in 32-bit fields, and for linear PCM (lpcm) flags that say float or integer, signed or not,
// byte order and packing. FFmpeg and GStreamer read it, which they do not in24, in32, fl32 and
// fl64 with enda; it also carries rates beyond the 16 bits of version 0's field, which
// GStreamer takes from no other place for PCM and G.711.
void WriteVersion2Entry(BoxWriter& w, const AudioSampleEntry& e) {
    w.U16(2);  // version
    w.U16(0);  // revision
    w.U32(0);  // vendor
    w.U16(3);  // always 3
    w.U16(16);
    w.U16(0xFFFE);  // always -2
    w.U16(0);
    w.U32(0x00010000);
    w.U32(72);  // sizeOfStructOnly
    double rate = e.sampleRate;
    uint64_t bits;
    static_assert(sizeof bits == sizeof rate, "a double is 64 bits");
    memcpy(&bits, &rate, sizeof bits);
    w.U64(bits);
    w.U32(e.channels);
    w.U32(0x7F000000);
    w.U32(e.bitsPerSample);
    const bool linear = e.kind == AudioSampleEntry::Kind::kPcm;
    const bool isSigned = !e.floatingPoint && !(e.bitsPerSample == 8 && e.unsignedSamples);
    const uint32_t flags =
        linear ? (e.floatingPoint ? 1 : 0) | (e.bigEndian ? 2 : 0) | (isSigned ? 4 : 0) | 8 : 0;
    w.U32(flags);
    w.U32(uint32_t(e.bitsPerSample / 8) * e.channels);  // bytes a packet: one sample time
    w.U32(1);                                           // sample times a packet
}

}  // namespace

bool SoundSamplesUniform(const AudioSampleEntry& e) {
    return e.kind != AudioSampleEntry::Kind::kAac && e.kind != AudioSampleEntry::Kind::kMp3;
}

namespace {

void WriteBitRate(BoxWriter& w, const BitRate& rate) {
    w.StartBox("btrt");
    w.U32(rate.bufferSizeDB);
    w.U32(rate.maxBitrate);
    w.U32(rate.avgBitrate);
    w.EndBox();
}

}  // namespace

void WriteSoundMediaHeader(BoxWriter& w) {
    w.StartFullBox("smhd", 0, 0);
    w.U16(0);  // balance: centre
    w.U16(0);  // reserved
    w.EndBox();
}

void WriteSoundSampleEntry(BoxWriter& w, const AudioSampleEntry& e, const BitRate* rate) {
    const bool pcm = e.kind == AudioSampleEntry::Kind::kPcm;
    w.StartBox(SoundEntryType(e));
    w.Zeros(6);  // reserved
    w.U16(1);    // data_reference_index
    const bool g711 =
        e.kind == AudioSampleEntry::Kind::kALaw || e.kind == AudioSampleEntry::Kind::kULaw;
    if (strcmp(SoundEntryType(e), "lpcm") == 0 || (g711 && e.sampleRate > 0xFFFF)) {
        WriteVersion2Entry(w, e);
        if (rate) WriteBitRate(w, *rate);
        w.EndBox();
        return;
    }
    w.Zeros(8);  // reserved
    w.U16(e.channels);
    // samplesize: the stored bits of PCM; 16 for the other codings, as QuickTime has it.
    w.U16(pcm ? e.bitsPerSample : 16);
    w.U16(0);  // pre_defined
    w.U16(0);  // reserved
    // samplerate in 16.16; a rate beyond 16 bits is the media time scale's alone.
    w.U32(e.sampleRate <= 0xFFFF ? e.sampleRate << 16 : 0);
    const BitRate none;
    const BitRate& r = rate ? *rate : none;
    if (e.kind == AudioSampleEntry::Kind::kAac)
        WriteEsds(w, kObjectTypeAac, r, e.decoderSpecificInfo);
    else if (e.kind == AudioSampleEntry::Kind::kMp3)
        WriteEsds(w, kObjectTypeMp3, r, {});
    if (rate) WriteBitRate(w, *rate);
    w.EndBox();
}

void WriteRollGroup(BoxWriter& w, uint32_t samples) {
    if (samples == 0) return;
    w.StartFullBox("sgpd", 1, 0);
    w.Fourcc("roll");
    w.U32(2);             // default_length
    w.U32(1);             // entry_count
    w.U16(uint16_t(-1));  // roll_distance
    w.EndBox();
    w.StartFullBox("sbgp", 0, 0);
    w.Fourcc("roll");
    w.U32(1);
    w.U32(samples);
    w.U32(1);
    w.EndBox();
}
