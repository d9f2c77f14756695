// Sound through libavformat and libavcodec: a sound file, an MP4's sound track, or samples as a
// sound track stores them, each decoded to its interleaved samples, so that two can be compared
// byte for byte.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

#include "mp4/audioentry.h"

struct DecodedAudio {
    bool ok = false;
    QString error;
    // Every channel's samples interleaved, in the decoder's own sample format (float for AAC and
    // MP3, the stored width for PCM), after what the container says to leave out (an MP3's
    // encoder delay and padding, an MP4's edit list).
    QByteArray samples;
    QString sampleFormat;  // libavutil's name of the packed format: "s16", "flt", "s32", ...
    int sampleRate = 0;
    int channels = 0;
    int64_t sampleTimes = 0;  // samples of each channel
    QByteArray Md5() const;
};

// Decodes the first sound track of a file. A headerless file needs its demuxer ("alaw", "mulaw",
// "s16le") with its rate and channels.
DecodedAudio DecodeAudioFile(const QString& path, const char* rawFormat = nullptr, int rate = 0,
                             int channels = 0);
// Decodes samples as a sound track with this sample entry stores them.
DecodedAudio DecodeAudioSamples(const AudioSampleEntry& entry, const QVector<QByteArray>& samples);
