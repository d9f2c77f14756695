#include "convert/audiosource.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "convert/inputfile.h"
#include "mp4/mp4check.h"

namespace {

constexpr size_t kReadSize = 64u << 10;
// Media written by one call of Pump at most: the muxer alternates the tracks in steps this small.
constexpr double kStepSeconds = 0.25;

}  // namespace

AudioSource::AudioSource(const SoundInput& input) : input(input) {}

AudioSource::~AudioSource() {
    if (fd >= 0) close(fd);
}

void AudioSource::Fail(const QString& reason) {
    if (!failed) failure = reason;
    failed = true;
}

bool AudioSource::Open() {
    if (input.handed) {
        reader = input.handed;
        return true;
    }
    int err = 0;
    fd = OpenInputFile(input.path.c_str(), &stream, &err);
    if (fd < 0) {
        Fail(err == ENOTTY
                 ? QStringLiteral("standard input is a terminal")
                 : QStringLiteral("cannot open %1: %2")
                       .arg(Shown(input.path),
                            err == ENODEV ? QStringLiteral("not a regular file") : ErrnoText(err)));
        return false;
    }
    reader = OpenAudioReader(input.path, input.options);
    return true;
}

void AudioSource::SetStart(const std::string& path, double offsetSeconds) {
    input.path = path;
    input.offsetSeconds = offsetSeconds;
}

void AudioSource::TakeWarnings() {
    for (const std::string& w : reader->TakeWarnings())
        warnings << QStringLiteral("%1: %2").arg(Shown(input.path), QString::fromStdString(w));
}

// Feeds the reader the next bytes of the input: kIdle when a stream has none now.
TrackSource::Step AudioSource::ReadSome(int waitMs) {
    if (inputEnded || stopped) {
        if (!inputEnded) reader->Finish();
        inputEnded = true;
        return Step::kRead;
    }
    if (fd < 0) return Step::kIdle;  // handed its frames: nothing to read
    if (stream) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return Step::kIdle;
    }
    // Straight into the reader's own buffer.
    const ssize_t n = read(fd, reader->FeedSpace(kReadSize), kReadSize);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) return Step::kIdle;
        Fail(QStringLiteral("cannot read %1: %2").arg(Shown(input.path), ErrnoText(errno)));
        return Step::kFailed;
    }
    if (n == 0) {
        inputEnded = true;
        reader->Finish();
    } else {
        reader->Fed(size_t(n));
        lastBytes = std::chrono::steady_clock::now();
    }
    return Step::kRead;
}

TrackSource::Step AudioSource::Prime(int waitMs) {
    while (!failed && !hasPending) {
        if (reader->Next(pending)) {
            hasPending = true;
            break;
        }
        if (ReaderFailed()) break;
        if (reader->AtEnd()) {
            Fail(QStringLiteral("%1: no sound in it").arg(Shown(input.path)));
            break;
        }
        const Step s = ReadSome(waitMs);
        if (s != Step::kRead) return s;
    }
    return failed ? Step::kFailed : Step::kRead;
}

bool AudioSource::AddTrack(MP4FileHandle h, uint32_t timeScale, bool isFragmented) {
    file = h;
    movieTimeScale = timeScale;
    fragmented = isFragmented;
    const AudioSampleEntry& format = reader->Format();
    track = MP4AddSoundTrack(file, format);
    if (track == MP4_INVALID_TRACK_ID) {
        Fail(QStringLiteral("cannot add the sound track (%1)")
                 .arg(QString::fromStdString(DescribeAudio(format))));
        return false;
    }
    const double rate = format.sampleRate;
    skipped = reader->LeadingSampleTimes();
    if (input.offsetSeconds < 0) skipped += uint64_t(std::llround(-input.offsetSeconds * rate));
    // A fragmented file's edits: how long the sound plays is not known yet.
    if (fragmented) {
        // FFmpeg plays a fragmented file's samples from before its edit's media time as sound at
        // negative times rather than leaving them out: PCM and G.711 samples, each its own,
        // are left out of the track instead, which every reader plays the same.
        if (format.kind != AudioSampleEntry::Kind::kAac &&
            format.kind != AudioSampleEntry::Kind::kMp3) {
            cut = skipped;
            skipped = 0;
        }
        if (input.offsetSeconds > 0)
            MP4AddTrackEdit(file, track, MP4_INVALID_EDIT_ID, MP4_INVALID_TIMESTAMP,
                            MP4Duration(std::llround(input.offsetSeconds * movieTimeScale)));
        if (input.offsetSeconds > 0 || skipped > 0)
            MP4AddTrackEdit(file, track, MP4_INVALID_EDIT_ID, skipped, 0);
    }
    // The frame read to learn the format goes in now, with the pictures' first ones.
    if (hasPending) {
        hasPending = false;
        if (!WriteFrame(pending)) return false;
    }
    return true;
}

bool AudioSource::WriteFrame(AudioFrame& frame) {
    const AudioSampleEntry& format = reader->Format();
    uint32_t times = frame.sampleTimes;
    // A frame of AAC or MP3 is one sample; PCM and G.711 are a sample for each sample time.
    // The bytes are handed over: a chunk that waits for its turn keeps them.
    const bool coded =
        format.kind == AudioSampleEntry::Kind::kAac || format.kind == AudioSampleEntry::Kind::kMp3;
    if (!coded && cut > 0 && times > 0) {
        const size_t size = frame.data.size() / times;
        const uint32_t gone = uint32_t(std::min<uint64_t>(cut, times));
        cut -= gone;
        frame.data.erase(frame.data.begin(), frame.data.begin() + ptrdiff_t(size_t(gone) * size));
        times -= gone;
    }
    const bool ok = times == 0 || MP4WriteSamplesTaken(file, track, std::move(frame.data),
                                                       coded ? 1 : times, coded ? times : 1);
    if (!ok) return WriteFailed();
    written += times;
    return true;
}

bool AudioSource::ReaderFailed() {
    TakeWarnings();
    if (!reader->Failed()) return false;
    Fail(QStringLiteral("%1: %2").arg(Shown(input.path), QString::fromStdString(reader->Error())));
    return true;
}

bool AudioSource::WriteFailed() {
    const int err = MP4WriteError(file);
    Fail(err ? QStringLiteral("cannot write the sound: %1").arg(ErrnoText(err))
             : QStringLiteral("cannot write the sound track"));
    return false;
}

TrackSource::Step AudioSource::Pump(int waitMs) {
    if (failed) return Step::kFailed;
    if (done) return Step::kEnd;
    if (!HasTrack()) return Step::kIdle;  // nothing to write into yet
    const uint64_t until = written + uint64_t(kStepSeconds * reader->Format().sampleRate) + 1;
    bool wrote = false;
    while (written < until) {
        if (hasPending) {
            hasPending = false;
            if (!WriteFrame(pending)) return Step::kFailed;
            wrote = true;
            continue;
        }
        AudioFrame frame;
        if (reader->Next(frame)) {
            if (!WriteFrame(frame)) return Step::kFailed;
            wrote = true;
            continue;
        }
        if (ReaderFailed()) return Step::kFailed;
        if (reader->AtEnd()) {
            done = true;
            MP4EndTrack(file, track);
            return Step::kEnd;
        }
        if (wrote) break;
        const Step s = ReadSome(waitMs);
        if (s != Step::kRead) return s;
    }
    TakeWarnings();
    return Step::kRead;
}

bool AudioSource::Finish() {
    if (failed || !HasTrack()) return !failed;
    // The rest: a file to its end; a stream what it has now.
    while (!done && !failed)
        if (Pump(0) == Step::kIdle) stopped = true;
    if (failed) return false;
    if (!fragmented && movieTimeScale) {
        const uint64_t end =
            written > reader->TrailingSampleTimes() ? written - reader->TrailingSampleTimes() : 0;
        const uint32_t rate = reader->Format().sampleRate;
        if (input.offsetSeconds > 0)
            MP4AddTrackEdit(file, track, MP4_INVALID_EDIT_ID, MP4_INVALID_TIMESTAMP,
                            MP4Duration(std::llround(input.offsetSeconds * movieTimeScale)));
        if ((input.offsetSeconds > 0 || skipped > 0 || end < written) && end > skipped)
            MP4AddTrackEdit(
                file, track, MP4_INVALID_EDIT_ID, skipped,
                MP4Duration((unsigned __int128)(end - skipped) * movieTimeScale / rate));
    }
    return true;
}

bool AudioSource::Flowing(int ms) const {
    return !stream || (!inputEnded && std::chrono::steady_clock::now() - lastBytes <
                                          std::chrono::milliseconds(ms));
}

double AudioSource::WrittenSeconds() const {
    return reader && reader->HasFormat() && reader->Format().sampleRate
               ? double(written) / reader->Format().sampleRate
               : 0;
}

QString AudioSource::Description() const {
    return reader && reader->HasFormat() ? QString::fromStdString(DescribeAudio(reader->Format()))
                                         : QString();
}

double AudioSource::PlayedSeconds() const {
    if (!reader || !reader->HasFormat() || !reader->Format().sampleRate) return 0;
    const uint64_t trimmed = skipped + (fragmented ? 0 : reader->TrailingSampleTimes());
    return written > trimmed ? double(written - trimmed) / reader->Format().sampleRate : 0;
}
