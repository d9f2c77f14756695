// The MP4 writing calls the converter uses, with the names, types and constants of libmp4v2 2.x,
// implemented by our own writer of a file of several tracks (mp4file.cpp). Samples go to the
// media data as they come, in chunks of each track that alternate; the movie box, with every
// table, is written at close, behind the media data (or, with fast start, in front of it).
#pragma once

#include <cstdint>

typedef void* MP4FileHandle;
typedef uint32_t MP4TrackId;
typedef uint32_t MP4SampleId;
typedef uint32_t MP4EditId;
typedef uint64_t MP4Timestamp;
typedef uint64_t MP4Duration;

#define MP4_INVALID_FILE_HANDLE ((MP4FileHandle) nullptr)
#define MP4_INVALID_TRACK_ID ((MP4TrackId)0)
#define MP4_INVALID_EDIT_ID ((MP4EditId)0)
#define MP4_INVALID_DURATION ((MP4Duration)-1)
#define MP4_INVALID_TIMESTAMP ((MP4Timestamp)-1)

// objectTypeIndication of the sound codings MP4AddAudioTrack takes.
#define MP4_MPEG4_AUDIO_TYPE 0x40  // AAC
#define MP4_MPEG2_AUDIO_TYPE 0x69  // MPEG-2 audio (Layer III)
#define MP4_MPEG1_AUDIO_TYPE 0x6B  // MPEG-1 audio (Layer III)

// Creates (truncates) the file; 0 on failure, with errno set.
MP4FileHandle MP4Create(const char* fileName, uint32_t flags = 0);
// Movie time scale: ticks per second of the movie header and of the edit list durations.
bool MP4SetTimeScale(MP4FileHandle hFile, uint32_t value);
// Adds the H.264 track; MP4_INVALID_TRACK_ID on failure. Only one video track per file, and
// only 4-byte sample lengths (sampleLenFieldSizeMinusOne 3). Tracks are numbered from 1 in the
// order they are added, all of them before the first sample of any.
MP4TrackId MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height, uint8_t AVCProfileIndication,
                                uint8_t profile_compat, uint8_t AVCLevelIndication,
                                uint8_t sampleLenFieldSizeMinusOne);
// Adds the H.265 track (ISO/IEC 14496-15 clause 8); MP4_INVALID_TRACK_ID on failure. Same rules
// as MP4AddH264VideoTrack: one video track, 4-byte lengths. Its sample entry is hvc1 when every
// parameter set is in the decoder configuration, hev1 when one had to travel in band.
MP4TrackId MP4AddH265VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height,
                                uint8_t sampleLenFieldSizeMinusOne);
// Adds a sound track of AAC (MP4_MPEG4_AUDIO_TYPE; its AudioSpecificConfig comes with
// MP4SetTrackESConfiguration) or MP3 (MP4_MPEG1_AUDIO_TYPE, MP4_MPEG2_AUDIO_TYPE) whose media time
// scale is the sample rate; sampleDuration is the fixed one of its samples (1024 for AAC).
// MP4_INVALID_TRACK_ID on failure. A sound track described in full: MP4AddSoundTrack (mp4check.h).
MP4TrackId MP4AddAudioTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                            uint8_t audioType = MP4_MPEG4_AUDIO_TYPE);
// Adds a G.711 sound track (mono, 8 bits a sample) at `timeScale` samples a second.
MP4TrackId MP4AddALawAudioTrack(MP4FileHandle hFile, uint32_t timeScale);
MP4TrackId MP4AddULawAudioTrack(MP4FileHandle hFile, uint32_t timeScale);
// The decoder specific information of an MPEG-4 sound track (AAC: the AudioSpecificConfig),
// which its esds carries; the channel count of the sample entry follows it.
bool MP4SetTrackESConfiguration(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pConfig,
                                uint32_t configSize);
// Visual profile level of the initial object descriptor (iods).
void MP4SetVideoProfileLevel(MP4FileHandle hFile, uint8_t value);
// Parameter sets, each a whole NAL unit (header byte included, no start code). Every id goes
// into the decoder configuration, written at close; a set that replaces one of its id with other
// content once samples have been written travels in band, in front of the next sample's data.
void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId,
                                    const uint8_t* pSequence, uint16_t sequenceLen);
void MP4AddH264PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pPict,
                                   uint16_t pictLen);
// The H.265 track's parameter sets, each a whole NAL unit (2-byte header included, no start
// code), taken as the H.264 ones are.
void MP4AddH265VideoParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal,
                                 uint16_t len);
void MP4AddH265SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal,
                                    uint16_t len);
void MP4AddH265PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* nal,
                                   uint16_t len);
// Appends one sample. A duration of MP4_INVALID_DURATION takes the track's fixed one.
bool MP4WriteSample(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                    uint32_t numBytes, MP4Duration duration = MP4_INVALID_DURATION,
                    MP4Duration renderingOffset = 0, bool isSyncSample = true);
// Changes the rendering (composition) offset of sample `sampleId` (1-based) written earlier.
bool MP4SetSampleRenderingOffset(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                                 MP4Duration renderingOffset);
// Appends an edit list entry: `duration` movie ticks of the media from media time `startTime`
// (track ticks) on. A duration of 0 lasts to the end of the media's presentation. A startTime of
// MP4_INVALID_TIMESTAMP makes an empty edit: `duration` (not 0) of nothing, which delays what
// follows. editId must
// be MP4_INVALID_EDIT_ID (append); returns the new entry's id, MP4_INVALID_EDIT_ID on failure.
MP4EditId MP4AddTrackEdit(MP4FileHandle hFile, MP4TrackId trackId,
                          MP4EditId editId = MP4_INVALID_EDIT_ID, MP4Timestamp startTime = 0,
                          MP4Duration duration = 0, bool dwell = false);
// The pixel aspect ratio (pasp) of the track's pictures; the track header then gives the
// displayed width, the picture width scaled by hSpacing / vSpacing.
bool MP4AddPixelAspectRatio(MP4FileHandle hFile, MP4TrackId trackId, uint32_t hSpacing,
                            uint32_t vSpacing);
void MP4Close(MP4FileHandle hFile, uint32_t flags = 0);
// The recording's start, in seconds since 1970 (UTC), as the creation and modification time of
// the movie and of every track and media header; 0 (the default) for unknown, which leaves them
// 0. Given before the movie box is written.
bool MP4SetCreationTime(MP4FileHandle hFile, int64_t unixSeconds);
