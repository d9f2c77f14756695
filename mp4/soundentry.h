// The boxes of a sound track's media (ISO/IEC 14496-12 12.2): the sound media header, the audio
// sample entry of its coding, and for AAC the roll recovery group that tells a decoder to start
// one frame early.
#pragma once

#include <cstdint>

#include "mp4/audioentry.h"
#include "mp4/boxes.h"
#include "mp4/boxwriter.h"

// The sample entry's four-character code: mp4a for AAC and MP3; alaw and ulaw for G.711; for
// linear PCM the QuickTime codes most readers take: sowt (16-bit little-endian), twos (16-bit
// big-endian or signed 8-bit), raw (unsigned 8-bit), and lpcm (version 2) for 24 and 32 bits,
// floating point and rates above 65535 Hz. G.711 at such a rate keeps its code in a version 2
// entry; AAC keeps version 0 with a rate of 0 there, its own in the esds, where FFmpeg and
// GStreamer take it from.
const char* SoundEntryType(const AudioSampleEntry& e);

// Whether every sample of the track is one sample time of every channel, all of the same size
// (PCM and G.711): one stsz size, runs of samples.
bool SoundSamplesUniform(const AudioSampleEntry& e);

// 12.2.2 Sound media header.
void WriteSoundMediaHeader(BoxWriter& w);

// 12.2.3 AudioSampleEntry with its coding's boxes (esds, enda) and, when `rate` is given, the bit
// rate box (8.5.2.2). A fragmented file's movie box is written before the rates are known: they
// are 0 in its esds.
void WriteSoundSampleEntry(BoxWriter& w, const AudioSampleEntry& e, const BitRate* rate);

// 8.9.3 and 8.9.2: every one of `samples` AAC samples in the roll group (10.1) with a
// roll_distance of -1: a decoder that starts at a sample decodes the one before it first.
void WriteRollGroup(BoxWriter& w, uint32_t samples);
