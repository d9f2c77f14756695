// Camera and DVR files as the engine meets them among its inputs: which input is one, what a
// first read through it finds (each picture's time, where the sound begins and what it is, the
// recorder's date, the damage), the times of joined files one after the other, and the date the
// MP4 gives as the recording's start. The readers themselves are demux/'s.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

#include <deque>

#include "audio/audioreader.h"
#include "demux/demuxer.h"
#include "demux/recordingdate.h"

// The wrapper the file at `path` is in, by its first bytes; None for a raw stream, for what
// cannot be read and for a pipe or FIFO (whose bytes are not looked at ahead).
ContainerKind ContainerOfFile(const char* path);

struct CameraFacts {
    ContainerKind kind = ContainerKind::None;
    std::vector<int64_t> pictureMs;  // each picture's time, in decoding order (demuxer.h)
    bool sound = false;              // sound frames a track can hold
    AudioSampleEntry soundEntry;
    int64_t firstSoundMs = 0;  // the earliest sound frame's time
    uint64_t soundFrames = 0;
    bool dated = false;  // the recorder's clock at the first picture
    CivilTime recordedAt;
    uint64_t damagedRecords = 0;
    uint64_t skippedBytes = 0;
    uint64_t soundLeftOut = 0;
};

// Reads the camera or DVR file at `path` (its name's bytes) through once. False, with a line
// that names the file, when it cannot be read or holds no picture.
bool ScanCameraFile(const std::string& path, ContainerKind kind, CameraFacts* facts,
                    QString* error);

// The warnings a file's reading gives: the damage passed over ("cam1.264: skipped 3 damaged
// records, 2,180 bytes"), sound left out.
QStringList CameraWarnings(const std::string& path, const CameraFacts& facts);

// The pictures' times of files joined in this order, in microseconds: each file's as its
// records give them, the next file's first picture a picture's length after the last one's.
// `shifts` gets, for each file, what turns its times (ms) into the joined ones.
std::vector<uint64_t> JoinedPictureTimes(const std::vector<const CameraFacts*>& files,
                                         std::vector<int64_t>* shifts);

// The sound of a file whose frames another reader finds beside its pictures, handed over with
// their times on the pictures' time line and placed by them: G.711 and PCM frames that come
// later than the sound before them ends (records lost to damage, a recorder that paused its
// sound) have silence put in front, so that what follows stays in sync; frames that would play
// over sound already placed are left out. AAC frames follow one another as they come.
class HandedSoundReader : public AudioReader {
public:
    explicit HandedSoundReader(const AudioSampleEntry& format);
    // A frame found at `ms`.
    void Hand(const uint8_t* data, size_t size, int64_t ms);
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
// when known) it wins; else the recorder's dates in that file, a camera's name, a date and time
// in the file's name; else unknown.
RecordingDate RecordingDateFor(const std::string& firstInput, const CameraFacts* facts,
                               const RecordingDate& typed);
// "recorded 2026-12-07 14:03:59 CET (the recorder's clock in its frames)": the date in local time
// and where it came from; empty when unknown.
QString RecordingDateText(const RecordingDate& date);
