// Camera and DVR files as the engine meets them among its inputs: which input is one, what its
// reading passed over, its sound as the track takes it, and the date the MP4 gives as the
// recording's start. The readers themselves are demux/'s.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "audio/audioreader.h"
#include "demux/demuxer.h"
#include "demux/recordingdate.h"

// The wrapper the file at `path` is in, by its first bytes; None for a raw stream, for what
// cannot be read and for a pipe or FIFO (whose bytes are not looked at ahead).
ContainerKind ContainerOfFile(const char* path);

// The warnings a file's reading gives: the damage passed over ("cam1.264: skipped 3 damaged
// records, 2,180 bytes"), sound left out.
QStringList CameraWarnings(const std::string& path, const Demuxer& reader);

// The sound of a file whose frames another reader finds beside its pictures, handed over with
// their times on the pictures' time line and placed by them: G.711 and PCM frames that come
// later than the sound before them ends (records lost to damage, a recorder that paused its
// sound) have silence put in front, so that what follows stays in sync; frames that would play
// over sound already placed are left out. AAC frames follow one another as they come.
// The format is the first frame's.
class HandedSoundReader : public AudioReader {
public:
    // A frame of `format` found at `ms`.
    void Hand(const uint8_t* data, size_t size, int64_t ms, const AudioSampleEntry& format);
    const char* ContainerName() const override { return "camera"; }

protected:
    bool Parse(AudioFrame& frame) override;

private:
    std::deque<AudioFrame> frames;
    uint32_t bytesPerTime = 0;  // G.711 and PCM: bytes of one sample time of every channel
    bool started = false;
    int64_t next = 0;                   // the sample time where the sound placed so far ends
    uint64_t silence = 0, dropped = 0;  // sample times put in, frames left out
};

// The recording's start for an output whose first input is `firstInput`: given by hand (`typed`,
// when known) it wins; else the recorder's clock at its first picture (`recorder`, when its
// records tell it), a camera's name, a date and time in the file's name; else unknown.
RecordingDate RecordingDateFor(const std::string& firstInput, const CivilTime* recorder,
                               const RecordingDate& typed);
// "recorded 2026-12-07 14:03:59 CET (the recorder's clock in its frames)": the date in local time
// and where it came from; empty when unknown.
QString RecordingDateText(const RecordingDate& date);
