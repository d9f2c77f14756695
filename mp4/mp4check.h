// What the libmp4v2 calls cannot tell: whether the file really reached the disk.
#pragma once

#include "mp4/mp4v2.h"

// Closes the file like MP4Close and returns true only when everything written reached it. On
// false, *error (when given) holds the errno value of the failure.
bool MP4CloseChecked(MP4FileHandle hFile, uint32_t flags, int* error);

// Makes the presentation of the track begin at media time `start` (track ticks), through the
// file's edit list: the pictures before it are not shown. Call before the first sample; with
// reordered pictures, `start` is the first sample's rendering offset, so that the first
// picture shown is at time 0.
bool MP4SetPresentationStart(MP4FileHandle hFile, MP4TrackId trackId, MP4Duration start);

// The errno value of the first failed write on the file, or 0.
int MP4WriteError(MP4FileHandle hFile);
