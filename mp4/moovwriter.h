// Writes the file type box and the movie box from what boxes.h describes.
#pragma once

#include "mp4/boxes.h"
#include "mp4/boxwriter.h"

#include <vector>

// ftyp (ISO/IEC 14496-12 4.3): isom, with the brands common players look for; 'avc1' only for
// H.264 (ISO/IEC 14496-15 names no brand for plain H.265 files).
std::vector<uint8_t> FileTypeBox(VideoCodec codec);
// moov (8.2.1): mvhd, iods, and the video track with its sample tables; for a fragmented file,
// with empty tables, then mvex.
void WriteMovie(BoxWriter& w, const Movie& movie);
