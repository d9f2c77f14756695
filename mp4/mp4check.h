// What the libmp4v2 calls cannot tell: whether the file really reached the disk, a way to hand
// a sample over in pieces, what the H.265 configuration takes from the parsed parameter sets,
// and random access points decided after their sample was written.
#pragma once

#include <vector>

#include "mp4/audioentry.h"
#include "mp4/mp4v2.h"

// MP4Create on a file already open for writing (and for reading, for fast start) at its start: the
// handle takes `fd` over and closes it with the file.
MP4FileHandle MP4CreateFd(int fd);
// The media data written so far starts for the disk now, while the caller completes the file
// (the last samples, the movie box), so that the fsync at the end finds less to wait for.
void MP4WriteBackNow(MP4FileHandle hFile);

// Closes the file and frees the handle without writing anything more: for a file that is
// being thrown away.
void MP4Discard(MP4FileHandle hFile);

// Closes the file like MP4Close and returns true only when everything written reached it. On
// false, *error (when given) holds the errno value of the failure.
bool MP4CloseChecked(MP4FileHandle hFile, uint32_t flags, int* error);

// The errno value of the first failed write on the file, or 0.
int MP4WriteError(MP4FileHandle hFile);

// A sample handed over in pieces: MP4AppendSampleBytes adds bytes to the end of the sample
// being written (the first call begins it), straight into the file's buffer without a copy of
// their own; MP4FinishSample ends it as MP4WriteSample would. MP4WriteSample is the two in one.
bool MP4AppendSampleBytes(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* pBytes,
                          uint32_t numBytes);
bool MP4FinishSample(MP4FileHandle hFile, MP4TrackId trackId,
                     MP4Duration duration = MP4_INVALID_DURATION, MP4Duration renderingOffset = 0,
                     bool isSyncSample = true);

// Changes the duration of the last sample written.
bool MP4SetLastSampleDuration(MP4FileHandle hFile, MP4TrackId trackId, MP4Duration duration);

// What the HEVCDecoderConfigurationRecord takes from the parsed SPS/VPS rather than from bytes
// (ISO/IEC 14496-15 8.3.3.1.2). avgFrameRate and constantFrameRate are written as 0, unspecified.
struct Mp4HevcFields {
    uint8_t chromaFormatIdc = 1, bitDepthLumaMinus8 = 0, bitDepthChromaMinus8 = 0;
    uint16_t minSpatialSegmentationIdc = 0;  // 12 bits
    uint8_t parallelismType = 0;
    uint8_t numTemporalLayers = 1;  // sps_max_sub_layers_minus1 + 1
    bool temporalIdNested = false;  // sps_temporal_id_nesting_flag
};
void MP4SetH265Fields(MP4FileHandle hFile, MP4TrackId trackId, const Mp4HevcFields& fields);

// The colour description of the track's pictures (colr, nclx): colour primaries, transfer
// characteristics and matrix coefficients as ISO/IEC 23091-2 numbers them, and the range.
bool MP4SetColour(MP4FileHandle hFile, MP4TrackId trackId, uint16_t primaries, uint16_t transfer,
                  uint16_t matrix, bool fullRange);
// The mastering display colour volume (mdcv, 24 bytes) and content light level (clli, 4 bytes)
// of the track: the payloads of the SEI messages of those names, written as they are. False
// for another size.
bool MP4SetMasteringDisplay(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* payload,
                            uint32_t size);
bool MP4SetContentLightLevel(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* payload,
                             uint32_t size);

// Whether the movie box goes in front of the media data ("fast start": a player can begin
// before the whole file is there). At close the media data moves up by the movie box's size in
// the file itself; the chunk offsets say so. Off by default.
bool MP4SetFastStart(MP4FileHandle hFile, bool on);

// Sync sample status of a sample written earlier (1-based id): whether the sample is known to be
// sync is sometimes decided pictures later (a CRA picture is sync only without RASL pictures).
bool MP4SetSampleSync(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId, bool isSync);
// Puts a sample into the 'rap ' sample group (ISO/IEC 14496-12 10.4, VisualRandomAccessEntry):
// a random access point that is not a sync sample (a CRA with RASL pictures). numLeading: the
// number of leading samples not decodable from it (RASL), or -1 when unknown
// (num_leading_samples_known 0); above 127 it is written as unknown. Again for the same sample
// replaces its entry. False for a sample not written yet.
bool MP4AddRandomAccessSample(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                              int numLeading);

// A fragmented file (ISO/IEC 14496-12 8.8) on a descriptor open for writing at its start: the
// handle takes `fd` over. The samples of a fragment are gathered in memory; MP4WriteFragment
// writes them as moof and mdat, the file type and movie boxes in front of the first one, whose
// parameter sets make the decoder configuration (every later set not in it travels in band).
// `seekable`: the file can be rewritten at the end (the movie extends header's duration) and
// gets a movie fragment random access index (mfra); else nothing is ever written twice, for a
// pipe. `durable`: every fragment reaches the disk (fdatasync) before the call returns, a
// recording under its final name. `live`: every fragment goes to the descriptor as soon as it
// is complete. Neither: the file goes out in large writes and is written back behind the work,
// as MP4CreateFd's is, for its owner to make durable once it is whole.
MP4FileHandle MP4CreateFragmentedFd(int fd, bool seekable, bool durable, bool live = true);
// Writes the samples before `next` (1-based) that are not written yet as one fragment, whole.
// False when the write failed (MP4WriteError tells why). MP4CloseChecked writes the rest.
bool MP4WriteFragment(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId next);
// Signed composition offset of a sample of the fragment not yet written; false otherwise.
bool MP4SetSampleCompositionOffset(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId,
                                   int32_t offset);
// Leaves a sample of the fragment not yet written out of the file (a picture kept out of the
// presentation); the ids of the others stay. False when it is not there.
bool MP4HideSample(MP4FileHandle hFile, MP4TrackId trackId, MP4SampleId sampleId);
// Throws the open sample away, as if it had never been begun (a fragmented file's only). Parameter
// sets it carried in band go with the next sample.
bool MP4DiscardSample(MP4FileHandle hFile, MP4TrackId trackId);
// The fragments written whole so far (and on the disk, for a durable file). A durable file that
// is discarded, or whose close fails, is cut back to the end of its last whole fragment.
uint64_t MP4FragmentsWritten(MP4FileHandle hFile);

// Adds a sound track that `entry` describes (audioentry.h): its media time scale is the sample
// rate. AAC and MP3 samples are frames of the coding, written as video samples are; PCM and G.711
// samples are one sample time of every channel, written in runs by MP4WriteSampleRun, and their
// table holds one size, not one a sample. MP4_INVALID_TRACK_ID on failure.
MP4TrackId MP4AddSoundTrack(MP4FileHandle hFile, const AudioSampleEntry& entry);
// Appends `count` samples of `sampleSize` bytes and `duration` ticks each, which lie one after
// the other at `bytes`: a run costs the tables nothing per sample. All are sync samples.
bool MP4WriteSampleRun(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t* bytes,
                       uint32_t sampleSize, uint32_t count, MP4Duration duration = 1);
// `count` samples of bytes.size() / count bytes and `duration` ticks each (one sample: the
// duration it lasts; a run: as MP4WriteSampleRun), all sync samples, whose bytes are handed
// over: a chunk that waits in memory for the other tracks keeps them as they are, not a copy.
bool MP4WriteSamplesTaken(MP4FileHandle hFile, MP4TrackId trackId, std::vector<uint8_t>&& bytes,
                          uint32_t count, MP4Duration duration);
// No more samples come for the track: its last chunk goes out, and the other tracks' chunks no
// longer wait for it to reach their time.
bool MP4EndTrack(MP4FileHandle hFile, MP4TrackId trackId);

// What the whole fragments hold: kept up to date in `report`, which the caller owns and which
// outlives the handle, its close included.
struct Mp4FragmentReport {
    uint64_t fragments = 0;
    double seconds = 0;  // the video track's duration in them
};
void MP4ReportFragments(MP4FileHandle hFile, Mp4FragmentReport* report);
