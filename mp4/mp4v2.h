// The MP4 writing calls the converter uses, with the names, types and constants of libmp4v2 2.x.
// By default they are implemented over libavformat's "mp4" muxer (mp4_avformat.cpp); built with
// TOVANMUXER_WITH_LIBMP4V2 they are libmp4v2's own.
#pragma once

#ifdef TOVANMUXER_WITH_LIBMP4V2
#include <mp4v2/mp4v2.h>
#else

#include <cstdint>

typedef void* MP4FileHandle;
typedef uint32_t MP4TrackId;
typedef uint64_t MP4Duration;

#define MP4_INVALID_FILE_HANDLE ((MP4FileHandle) nullptr)
#define MP4_INVALID_TRACK_ID ((MP4TrackId)0)
#define MP4_INVALID_DURATION ((MP4Duration)-1)

// Creates (truncates) the file; 0 on failure.
MP4FileHandle MP4Create(const char* fileName, uint32_t flags = 0);
// Movie time scale: ticks per second of the movie header.
bool MP4SetTimeScale(MP4FileHandle hFile, uint32_t value);
// Adds the H.264 track; MP4_INVALID_TRACK_ID on failure. Only one video track per file.
MP4TrackId MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height, uint8_t AVCProfileIndication,
                                uint8_t profile_compat, uint8_t AVCLevelIndication,
                                uint8_t sampleLenFieldSizeMinusOne);
// Visual profile level of the initial object descriptor.
void MP4SetVideoProfileLevel(MP4FileHandle hFile, uint8_t value);
// Parameter sets, each a whole NAL unit (header byte included, no start code).
void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId,
                                    const uint8_t* pSequence, uint16_t sequenceLen);
void MP4AddH264PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pPict,
                                   uint16_t pictLen);
// Appends one sample. A duration of MP4_INVALID_DURATION takes the track's fixed one.
bool MP4WriteSample(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                    uint32_t numBytes, MP4Duration duration = MP4_INVALID_DURATION,
                    MP4Duration renderingOffset = 0, bool isSyncSample = true);
void MP4Close(MP4FileHandle hFile, uint32_t flags = 0);

#endif
