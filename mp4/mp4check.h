// What the libmp4v2 calls cannot tell: whether the file really reached the disk, and a way to
// hand a sample over in pieces.
#pragma once

#include "mp4/mp4v2.h"

// MP4Create on a file already open for writing at its start: the handle takes `fd` over and
// closes it with the file.
MP4FileHandle MP4CreateFd(int fd);

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
