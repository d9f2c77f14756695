// Writes the file type box and the movie box from what boxes.h describes.
#pragma once

#include "mp4/boxes.h"
#include "mp4/boxwriter.h"

// ftyp (ISO/IEC 14496-12 4.3): isom, with the brands common players look for.
void WriteFileType(BoxWriter& w);
// moov (8.2.1): mvhd, iods, and the video track with its sample tables.
void WriteMovie(BoxWriter& w, const Movie& movie);
