// What the boxes of the file hold, apart from the code that writes them (moovwriter.*).
#pragma once

#include <cstdint>
#include <vector>

#include "mp4/audioentry.h"
#include "mp4/sampletable.h"

// One edit list entry (elst, ISO/IEC 14496-12 8.6.6): `duration` movie ticks of the media
// from media time `mediaTime` on.
struct EditEntry {
    uint64_t duration = 0;
    int64_t mediaTime = 0;
};

enum class VideoCodec { kH264, kH265 };

// The colour description of the pictures (colr of type nclx, ISO/IEC 14496-12 12.1.5): the code
// points of ISO/IEC 23091-2, as the VUI gives them.
struct ColourDescription {
    uint16_t primaries = 2;  // 2: unspecified
    uint16_t transfer = 2;
    uint16_t matrix = 2;
    bool fullRange = false;
};

// The bit rate box (btrt, 14496-12 8.5.2.2): the largest sample in bytes, the largest rate over
// any one-second window and the whole track's, in bits per second.
struct BitRate {
    uint32_t bufferSizeDB = 0;
    uint32_t maxBitrate = 0;
    uint32_t avgBitrate = 0;
};

// One track of the movie: track header (8.3.2), media header (8.4.2), edit list, its sample
// entry (for video, ISO/IEC 14496-15 5.4.2 for AVC, 8.4.1 for HEVC, with its configuration record
// and pixel aspect ratio; for sound, 12.2.3 and soundentry.h) and its sample tables.
struct Track {
    bool sound = false;  // a sound track, which `audio` describes
    AudioSampleEntry audio;
    uint32_t trackId = 1;
    uint32_t timeScale = 0;      // media ticks per second
    uint64_t mediaDuration = 0;  // media ticks (mdhd)
    uint64_t movieDuration = 0;  // movie ticks (tkhd)
    uint32_t displayWidth = 0;   // tkhd, 16.16 fixed point
    uint32_t displayHeight = 0;
    uint16_t width = 0;  // sample entry: the decoded picture size
    uint16_t height = 0;
    uint32_t paspH = 0, paspV = 0;  // pasp (12 8.5.2.1), written when not 0
    bool hasColour = false;         // colr
    ColourDescription colour;
    // mdcv (mastering display colour volume, 24 bytes) and clli (content light level, 4 bytes):
    // the payloads of the SEI messages, whose syntax the boxes share; written when not empty.
    std::vector<uint8_t> masteringDisplay;
    std::vector<uint8_t> contentLightLevel;
    bool hasBitRate = false;  // btrt
    BitRate bitRate;
    VideoCodec codec = VideoCodec::kH264;
    const char* sampleEntry = "avc1";  // avc1, hvc1 or hev1
    const char* configBox = "avcC";    // avcC or hvcC
    std::vector<uint8_t> config;       // the decoder configuration record
    std::vector<EditEntry> edits;
    // Added to every chunk offset the sample table holds: the media data moved by this much.
    uint64_t chunkShift = 0;
    const SampleTable* samples = nullptr;
};

// A fragmented file's movie extends box (8.8.1): its samples are in movie fragments. With
// `withDuration`, a movie extends header (8.8.2) whose 64-bit fragment_duration, written as 0,
// is at `durationPos` once written, to be filled in at the end.
struct MovieExtends {
    bool withDuration = false;
    uint64_t durationPos = 0;
};

struct Movie {
    uint32_t timeScale = 90000;
    uint64_t creationTime = 0;         // seconds since 1904 (UTC); 0 unknown
    uint64_t duration = 0;             // movie ticks
    int visualProfileLevel = -1;       // iods, when 0..255
    std::vector<const Track*> tracks;  // in the order of their ids
    MovieExtends* extends = nullptr;   // for a fragmented file
};
