// The sound track's source: a sound file beside the pictures (audio/ tells its format from its
// bytes), or a pipe or FIFO read as it comes, its frames written as the track's samples without
// re-encoding, placed against the pictures by an edit list.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/audioreader.h"
#include "convert/tracksource.h"
#include "mp4/mp4v2.h"

// A sound input and where it plays: `offsetSeconds` > 0 delays it after the first picture shown,
// < 0 skips its beginning.
struct SoundInput {
    std::string path;  // the file name's bytes; empty for none
    AudioOptions options;
    double offsetSeconds = 0;
    // Instead of a file of its own: the reader that the pictures' input hands its sound frames
    // to as it is read (`path` then only names it in messages).
    std::shared_ptr<AudioReader> handed;
};

class AudioSource : public TrackSource {
public:
    explicit AudioSource(const SoundInput& input);
    ~AudioSource() override;

    // Opens the input; false with Failure() set.
    bool Open();
    // A handed reader's sound: the input its first frame came from and where it plays, told
    // with that frame, before the track is added.
    void SetStart(const std::string& path, double offsetSeconds);
    bool StreamInput() const { return stream; }
    // Reads what it takes to know the sound's format; a stream only what is there now (kIdle
    // until it is known).
    Step Prime(int waitMs);
    bool FormatKnown() const { return reader && reader->HasFormat(); }
    // The sound track in `file`, as the format says. A fragmented file's edit list goes out with
    // its first fragment: it is given now; an unfragmented file's at Finish, when the length of
    // what plays is known. False with Failure() set.
    bool AddTrack(MP4FileHandle file, uint32_t movieTimeScale, bool fragmented);
    bool HasTrack() const { return track != MP4_INVALID_TRACK_ID; }

    Step Pump(int waitMs) override;
    // Stops reading (a recording ended by a signal): what was read is written by Finish.
    void Stop() { stopped = true; }
    bool Finish() override;
    double WrittenSeconds() const override;
    int StreamFd() const override { return stream && !inputEnded ? fd : -1; }

    // Whether a stream gave bytes within the last `ms` milliseconds (a file: always).
    bool Flowing(int ms) const;

    // "AAC 48000 Hz 2 ch", and the seconds that play.
    QString Description() const;
    double PlayedSeconds() const;

private:
    void Fail(const QString& reason);
    Step ReadSome(int waitMs);
    bool WriteFrame(AudioFrame& frame);  // takes the frame's bytes
    bool WriteFailed();                  // fails with why writing did
    bool ReaderFailed();  // takes the reader's warnings; fails with its reason when it failed
    void TakeWarnings();

    SoundInput input;
    std::shared_ptr<AudioReader> reader;
    int fd = -1;
    bool stream = false;
    bool inputEnded = false;
    bool stopped = false;
    bool done = false;
    bool failed = false;
    AudioFrame pending;  // a frame read before the track was there
    bool hasPending = false;
    MP4FileHandle file = MP4_INVALID_FILE_HANDLE;
    MP4TrackId track = MP4_INVALID_TRACK_ID;
    uint32_t movieTimeScale = 0;
    bool fragmented = false;
    uint64_t written = 0;  // sample times
    uint64_t skipped = 0;  // sample times the edit leaves out at the start
    uint64_t cut = 0;      // sample times at the start left out of the track itself
    std::chrono::steady_clock::time_point lastBytes = std::chrono::steady_clock::now();
};
