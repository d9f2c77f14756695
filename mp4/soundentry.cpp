#include "mp4/soundentry.h"

#include <algorithm>

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
    if (e.floatingPoint) return e.bitsPerSample == 64 ? "fl64" : "fl32";
    switch (e.bitsPerSample) {
        case 8:
            return e.unsignedSamples ? "raw " : "twos";
        case 24:
            return "in24";
        case 32:
            return "in32";
        default:
            return e.bigEndian ? "twos" : "sowt";
    }
}

bool SoundSamplesUniform(const AudioSampleEntry& e) {
    return e.kind != AudioSampleEntry::Kind::kAac && e.kind != AudioSampleEntry::Kind::kMp3;
}

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
    if (pcm && e.bitsPerSample > 16 && !e.bigEndian) {
        w.StartBox("enda");  // QuickTime: the samples are little-endian
        w.U16(1);
        w.EndBox();
    }
    if (rate) {
        w.StartBox("btrt");
        w.U32(rate->bufferSizeDB);
        w.U32(rate->maxBitrate);
        w.U32(rate->avgBitrate);
        w.EndBox();
    }
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
