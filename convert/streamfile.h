// What the window and the command-line converter decide before a conversion: the output name,
// a typed frame rate, whether the stream says its own frame rate, and the order of segments.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

#include "convert/converter.h"

// The output name for an input file name: ".h26x" and then ".h264" replaced by ".mp4"; a name
// that still does not end in ".mp4" has its last extension replaced by it, or gets it appended.
QString OutputNameFor(const QString& inputName);

// "30", "29.97", "30000/1001" -> num/den frames per second; the NTSC family (23.976, 29.97,
// 59.94, ...) is taken as its 1001 fraction. False for anything else or over 1000 fps.
bool ParseFrameRate(const QString& text, uint32_t* num, uint32_t* den);

enum class StreamTiming {
    Unknown,  // unreadable, or no sequence parameter set in the first MiB
    Absent,   // the first SPS gives no usable frame rate: the conversion assumes 25
    Present,  // the first SPS gives the frame rate
};
// Reads the first MiB of the stream file at `path` and tells whether its first SPS carries
// timing information that the converter uses.
StreamTiming FirstSpsTiming(const QString& path);
// The same for the file name's bytes.
StreamTiming FirstSpsTiming(const char* path);

// The codec of the stream file at `path`, told by the parameter sets in its first MiB; Unknown
// when they do not tell.
Codec StreamCodecOf(const char* path);
// The same, for the window's choice of the files in a folder: only a file that begins with a
// start code (an Annex B stream does), or a camera's or DVR's file around such a stream, counts;
// an MP4 file holding the same units does not.
Codec StreamFileCodec(const QString& path);

// What a successful conversion reports, a line each: the pictures shown, the duration, the
// frame rate (or "variable frame rate" with the average) and the size, "-> OUTPUT"; the pictures
// kept but not shown; the rate assumed for a stream that does not say one (`assumedRate`).
QStringList SummaryLines(const ConversionSummary& s, bool assumedRate);

// Whether the name `a` comes before `b` with the digits in a name counted as numbers: seg2
// before seg10, as a camera numbers its segments; else by code unit. Names equal as numbers
// ("01" and "1") still have a fixed order.
bool NameBefore(const QString& a, const QString& b);
