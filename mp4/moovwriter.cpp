#include "mp4/moovwriter.h"

#include "mp4/soundentry.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {

constexpr uint32_t kFixedOne = 0x00010000;  // 1.0 in 16.16

bool NeedsVersion1(uint64_t duration) {
    return duration > UINT32_MAX;
}

// The unity transformation matrix of mvhd and tkhd (ISO/IEC 14496-12 8.2.2.3).
void Matrix(BoxWriter& w) {
    const uint32_t m[9] = {kFixedOne, 0, 0, 0, kFixedOne, 0, 0, 0, 0x40000000};
    for (uint32_t v : m) w.U32(v);
}

// Creation and modification times (the recording's start, 0 when unknown), then the time scale and
// duration fields common to mvhd and mdhd, in the width the version asks for.
void Times(BoxWriter& w, bool v1, uint64_t created, uint32_t timeScale, uint64_t duration) {
    if (v1) {
        w.U64(created);
        w.U64(created);
        w.U32(timeScale);
        w.U64(duration);
    } else {
        w.U32(uint32_t(created));
        w.U32(uint32_t(created));
        w.U32(timeScale);
        w.U32(uint32_t(duration));
    }
}

// 8.2.2 Movie header.
void WriteMovieHeader(BoxWriter& w, const Movie& m) {
    const bool v1 = NeedsVersion1(m.duration) || m.creationTime > UINT32_MAX;
    w.StartFullBox("mvhd", v1 ? 1 : 0, 0);
    Times(w, v1, m.creationTime, m.timeScale, m.duration);
    w.U32(kFixedOne);  // rate
    w.U16(0x0100);     // volume
    w.Zeros(2 + 8);    // reserved
    Matrix(w);
    w.Zeros(6 * 4);  // pre_defined
    uint32_t next = 1;
    for (const Track* t : m.tracks) next = std::max(next, t->trackId + 1);
    w.U32(next);  // next_track_ID
    w.EndBox();
}

// ISO/IEC 14496-14 5.1 Object descriptor box: an InitialObjectDescriptor (14496-1 7.2.6.4)
// that names the visual profile level and the tracks.
void WriteObjectDescriptor(BoxWriter& w, const Movie& m) {
    w.StartFullBox("iods", 0, 0);
    w.U8(0x10);  // MP4_IOD_Tag
    w.U8(uint8_t(7 + 6 * m.tracks.size()));
    w.U16((1 << 6) | 0x0F);  // ObjectDescriptorID 1, no URL, no inline profiles, reserved 1s
    w.U8(0xFF);              // OD profile level: none required
    w.U8(0xFF);              // scene
    w.U8(0xFF);              // audio
    w.U8(uint8_t(m.visualProfileLevel));
    w.U8(0xFF);  // graphics
    for (const Track* t : m.tracks) {
        w.U8(0x0E);  // ES_ID_IncTag
        w.U8(4);
        w.U32(t->trackId);
    }
    w.EndBox();
}

// 8.3.2 Track header: enabled, in the movie.
void WriteTrackHeader(BoxWriter& w, const Track& t, uint64_t created) {
    const bool v1 = NeedsVersion1(t.movieDuration) || created > UINT32_MAX;
    w.StartFullBox("tkhd", v1 ? 1 : 0, 0x000003);
    if (v1) {
        w.U64(created);
        w.U64(created);
        w.U32(t.trackId);
        w.U32(0);
        w.U64(t.movieDuration);
    } else {
        w.U32(uint32_t(created));
        w.U32(uint32_t(created));
        w.U32(t.trackId);
        w.U32(0);
        w.U32(uint32_t(t.movieDuration));
    }
    w.Zeros(8);                   // reserved
    w.U16(0);                     // layer
    w.U16(0);                     // alternate_group
    w.U16(t.sound ? 0x0100 : 0);  // volume: full for sound
    w.U16(0);                     // reserved
    Matrix(w);
    w.U32(t.displayWidth);
    w.U32(t.displayHeight);
    w.EndBox();
}

// 8.6.5 Edit box and 8.6.6 edit list.
void WriteEdits(BoxWriter& w, const Track& t) {
    if (t.edits.empty()) return;
    bool v1 = false;
    for (const EditEntry& e : t.edits)
        v1 = v1 || NeedsVersion1(e.duration) || e.mediaTime > INT32_MAX || e.mediaTime < INT32_MIN;
    w.StartBox("edts");
    w.StartFullBox("elst", v1 ? 1 : 0, 0);
    w.U32(uint32_t(t.edits.size()));
    for (const EditEntry& e : t.edits) {
        if (v1) {
            w.U64(e.duration);
            w.U64(uint64_t(e.mediaTime));
        } else {
            w.U32(uint32_t(e.duration));
            w.U32(uint32_t(int32_t(e.mediaTime)));
        }
        w.U16(1);  // media_rate_integer
        w.U16(0);  // media_rate_fraction
    }
    w.EndBox();
    w.EndBox();
}

// 8.4.2 Media header, 8.4.3 handler reference.
void WriteMediaHeaders(BoxWriter& w, const Track& t, uint64_t created) {
    const bool v1 = NeedsVersion1(t.mediaDuration) || created > UINT32_MAX;
    w.StartFullBox("mdhd", v1 ? 1 : 0, 0);
    Times(w, v1, created, t.timeScale, t.mediaDuration);
    w.U16(0x55C4);  // language "und" (ISO 639-2/T, packed 5 bits a letter)
    w.U16(0);       // pre_defined
    w.EndBox();

    static const char kVideo[] = "VideoHandler";
    static const char kSound[] = "SoundHandler";
    w.StartFullBox("hdlr", 0, 0);
    w.U32(0);  // pre_defined
    w.Fourcc(t.sound ? "soun" : "vide");
    w.Zeros(12);
    if (t.sound)
        w.Bytes(kSound, sizeof kSound);  // with its terminating zero
    else
        w.Bytes(kVideo, sizeof kVideo);
    w.EndBox();
}

// 12.1.2 Video media header (or 12.2.2 sound's), 8.7.1 data information: the media is in this
// file.
void WriteMediaInformationHeaders(BoxWriter& w, const Track& t) {
    if (t.sound) {
        WriteSoundMediaHeader(w);
    } else {
        w.StartFullBox("vmhd", 0, 1);
        w.U16(0);  // graphicsmode: copy
        w.Zeros(6);
        w.EndBox();
    }
    w.StartBox("dinf");
    w.StartFullBox("dref", 0, 0);
    w.U32(1);
    w.StartFullBox("url ", 0, 1);  // flag 1: self-contained
    w.EndBox();
    w.EndBox();
    w.EndBox();
}

// 12.1.5 Colour information (nclx), then the mastering display colour volume and the content
// light level, each with the fields of its SEI message in their order.
void WriteColourBoxes(BoxWriter& w, const Track& t) {
    if (t.hasColour) {
        w.StartBox("colr");
        w.Fourcc("nclx");
        w.U16(t.colour.primaries);
        w.U16(t.colour.transfer);
        w.U16(t.colour.matrix);
        w.U8(t.colour.fullRange ? 0x80 : 0);  // full_range_flag, 7 reserved bits
        w.EndBox();
    }
    if (!t.masteringDisplay.empty()) {
        w.StartBox("mdcv");
        w.Bytes(t.masteringDisplay);
        w.EndBox();
    }
    if (!t.contentLightLevel.empty()) {
        w.StartBox("clli");
        w.Bytes(t.contentLightLevel);
        w.EndBox();
    }
}

// 8.5.2 Sample description: one visual sample entry (12.1.3) of AVC (ISO/IEC 14496-15 5.4.2.1)
// or HEVC (8.4.1.1), with its configuration box.
void WriteSampleDescription(BoxWriter& w, const Track& t) {
    w.StartFullBox("stsd", 0, 0);
    w.U32(1);
    if (t.sound) {
        WriteSoundSampleEntry(w, t.audio, t.hasBitRate ? &t.bitRate : nullptr);
        w.EndBox();
        return;
    }
    w.StartBox(t.sampleEntry);
    w.Zeros(6);   // reserved
    w.U16(1);     // data_reference_index
    w.Zeros(16);  // pre_defined, reserved
    w.U16(t.width);
    w.U16(t.height);
    w.U32(0x00480000);  // 72 dpi
    w.U32(0x00480000);
    w.U32(0);       // reserved
    w.U16(1);       // frame_count
    w.Zeros(32);    // compressorname: empty
    w.U16(0x0018);  // depth: colour, no alpha
    w.U16(0xFFFF);  // pre_defined -1
    w.StartBox(t.configBox);
    w.Bytes(t.config);
    w.EndBox();
    if (t.hasBitRate) {
        w.StartBox("btrt");  // 8.5.2.2, after the configuration as 14496-15 places it
        w.U32(t.bitRate.bufferSizeDB);
        w.U32(t.bitRate.maxBitrate);
        w.U32(t.bitRate.avgBitrate);
        w.EndBox();
    }
    if (t.paspH && t.paspV) {
        w.StartBox("pasp");  // 12.1.4.2
        w.U32(t.paspH);
        w.U32(t.paspV);
        w.EndBox();
    }
    WriteColourBoxes(w, t);
    w.EndBox();
    w.EndBox();
}

// 8.6.1.2 decoding time to sample, 8.6.2 sync samples, 8.6.1.3 composition offsets.
void WriteTiming(BoxWriter& w, const SampleTable& s) {
    w.StartFullBox("stts", 0, 0);
    w.U32(uint32_t(s.Durations().size()));
    for (const SampleTable::Run& r : s.Durations()) {
        w.U32(r.count);
        w.U32(r.value);
    }
    w.EndBox();

    if (!s.AllSync()) {
        w.StartFullBox("stss", 0, 0);
        w.U32(uint32_t(s.SyncSamples().size()));
        for (uint32_t n : s.SyncSamples()) w.U32(n);
        w.EndBox();
    }

    if (s.HasCompositionOffsets()) {
        // Every offset is at or above zero: version 0, unsigned.
        w.StartFullBox("ctts", 0, 0);
        w.U32(s.ForEachCompositionOffsetRun([](const SampleTable::Run&) {}));
        s.ForEachCompositionOffsetRun([&](const SampleTable::Run& r) {
            w.U32(r.count);
            w.U32(r.value);
        });
        w.EndBox();
    }
}

// 8.7.4 sample to chunk, 8.7.3 sample sizes, 8.7.5 chunk offsets: the chunks as the sample table
// lists them, moved by the track's shift. Runs of chunks with the same number of samples share
// an entry of stsc.
void WriteLayout(BoxWriter& w, const Track& t) {
    const SampleTable& s = *t.samples;
    const uint32_t n = s.Count();
    const std::vector<SampleTable::Chunk>& chunks = s.Chunks();
    const auto samplesIn = [&](size_t c) {
        return (c + 1 < chunks.size() ? chunks[c + 1].firstSample : n) - chunks[c].firstSample;
    };
    std::vector<SampleTable::Run> runs;  // (first chunk, samples per chunk)
    for (size_t c = 0; c < chunks.size(); ++c)
        if (runs.empty() || runs.back().value != samplesIn(c))
            runs.push_back({uint32_t(c + 1), samplesIn(c)});
    w.StartFullBox("stsc", 0, 0);
    w.U32(uint32_t(runs.size()));
    for (const SampleTable::Run& r : runs) {
        w.U32(r.count);
        w.U32(r.value);
        w.U32(1);  // sample_description_index
    }
    w.EndBox();

    w.StartFullBox("stsz", 0, 0);
    if (t.sound && s.SameSizes() && n > 0) {
        w.U32(s.UniformSize());  // every sample this size: no table
        w.U32(n);
    } else {
        w.U32(0);  // sizes differ: one entry a sample
        w.U32(n);
        for (uint32_t i = 0; i < n; ++i) w.U32(s.Size(i));
    }
    w.EndBox();

    const bool wide = t.chunkShift + s.ChunksEnd() > UINT32_MAX;
    w.StartFullBox(wide ? "co64" : "stco", 0, 0);
    w.U32(uint32_t(chunks.size()));
    for (const SampleTable::Chunk& c : chunks) {
        if (wide)
            w.U64(c.offset + t.chunkShift);
        else
            w.U32(uint32_t(c.offset + t.chunkShift));
    }
    w.EndBox();
}

// 8.9.3 Sample group description and 8.9.2 sample to group of the random access points that are
// not sync samples (10.4): one VisualRandomAccessEntry per distinct description, and every
// sample's index into them (0: not in the group), in runs. Nothing when the group is empty.
void WriteRandomAccessGroup(BoxWriter& w, const SampleTable& s) {
    const std::map<uint32_t, uint8_t>& members = s.RandomAccessSamples();
    if (members.empty()) return;
    std::vector<uint8_t> entries;  // in order of first use
    std::vector<SampleTable::Run> runs;
    uint32_t next = 1;  // the first sample not in a run yet
    auto append = [&](uint32_t count, uint32_t index) {
        if (count == 0) return;
        if (!runs.empty() && runs.back().value == index)
            runs.back().count += count;
        else
            runs.push_back({count, index});
    };
    for (const auto& [number, entry] : members) {
        auto it = std::find(entries.begin(), entries.end(), entry);
        if (it == entries.end()) it = entries.insert(entries.end(), entry);
        append(number - next, 0);
        append(1, uint32_t(it - entries.begin()) + 1);
        next = number + 1;
    }
    append(s.Count() + 1 - next, 0);

    w.StartFullBox("sgpd", 1, 0);
    w.Fourcc("rap ");
    w.U32(1);  // default_length: one byte an entry
    w.U32(uint32_t(entries.size()));
    w.Bytes(entries);
    w.EndBox();

    w.StartFullBox("sbgp", 0, 0);
    w.Fourcc("rap ");
    w.U32(uint32_t(runs.size()));
    for (const SampleTable::Run& r : runs) {
        w.U32(r.count);
        w.U32(r.value);
    }
    w.EndBox();
}

void WriteTrack(BoxWriter& w, const Track& t, uint64_t created) {
    w.StartBox("trak");
    WriteTrackHeader(w, t, created);
    WriteEdits(w, t);
    w.StartBox("mdia");
    WriteMediaHeaders(w, t, created);
    w.StartBox("minf");
    WriteMediaInformationHeaders(w, t);
    w.StartBox("stbl");
    WriteSampleDescription(w, t);
    WriteTiming(w, *t.samples);
    WriteLayout(w, t);
    WriteRandomAccessGroup(w, *t.samples);
    if (t.sound && t.audio.kind == AudioSampleEntry::Kind::kAac)
        WriteRollGroup(w, t.samples->Count());
    w.EndBox();  // stbl
    w.EndBox();  // minf
    w.EndBox();  // mdia
    w.EndBox();  // trak
}

// 8.8.1 Movie extends: 8.8.2 its header when the length is to be filled in, and 8.8.3 each track's
// defaults, which every fragment overrides.
void WriteMovieExtends(BoxWriter& w, const std::vector<const Track*>& tracks, MovieExtends& x) {
    w.StartBox("mvex");
    if (x.withDuration) {
        w.StartFullBox("mehd", 1, 0);
        x.durationPos = w.Position();
        w.U64(0);
        w.EndBox();
    }
    for (const Track* t : tracks) {
        w.StartFullBox("trex", 0, 0);
        w.U32(t->trackId);
        w.U32(1);  // default_sample_description_index
        w.U32(0);  // default_sample_duration
        w.U32(0);  // default_sample_size
        w.U32(0);  // default_sample_flags
        w.EndBox();
    }
    w.EndBox();
}

}  // namespace

std::vector<uint8_t> FileTypeBox(VideoCodec codec) {
    std::vector<uint8_t> out = {0, 0, 0, 0, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm',  // major
                                0, 0, 2, 0};  // minor version
    for (const char* brand : {"isom", "iso2", "avc1", "mp41"})
        if (codec == VideoCodec::kH264 || strcmp(brand, "avc1") != 0)
            out.insert(out.end(), brand, brand + 4);
    out[3] = uint8_t(out.size());
    return out;
}

void WriteMovie(BoxWriter& w, const Movie& m) {
    w.StartBox("moov");
    WriteMovieHeader(w, m);
    if (m.visualProfileLevel >= 0 && m.visualProfileLevel <= 255) WriteObjectDescriptor(w, m);
    for (const Track* t : m.tracks) WriteTrack(w, *t, m.creationTime);
    if (!m.tracks.empty() && m.extends) WriteMovieExtends(w, m.tracks, *m.extends);
    w.EndBox();
}
