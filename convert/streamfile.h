// What the window and the command-line converter decide before a conversion: the output name,
// a typed frame rate, and whether the stream says its own frame rate.
#pragma once

#include <QString>
#include <cstdint>

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

enum class Codec;
// The codec of the stream file at `path`, as the converter would take it: the file begins with
// a start code and its first MiB holds a parameter set that tells the codec. Codec::Unknown
// for anything else (an MP4 file, a text, a stream cut too early to tell, a FIFO).
Codec StreamFileCodec(const QString& path);
