#include "convert/camerafile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "convert/inputfile.h"

namespace {

// "1 byte", "2,180 bytes".
QString Counted(uint64_t n, const char* one, const char* many) {
    QString digits = QString::number(n);
    for (int i = digits.size() - 3; i > 0; i -= 3) digits.insert(i, QLatin1Char(','));
    return digits + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
}

}  // namespace

ContainerKind ContainerOfFile(const char* path) {
    // Not even opened unless a regular file: opening a FIFO would let a writer waiting for its
    // reader go on, and end, before the conversion opens it.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return ContainerKind::None;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ContainerKind::None;
    uint8_t head[kContainerProbeBytes];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = pread(fd, head, sizeof head, 0);
    close(fd);
    return n > 0 ? DetectContainer(head, size_t(n)) : ContainerKind::None;
}

QStringList CameraWarnings(const std::string& path, const Demuxer& reader) {
    QStringList out;
    if (reader.DamagedRecords() > 0)
        out << QStringLiteral("%1: skipped %2, %3")
                   .arg(Shown(path),
                        Counted(reader.DamagedRecords(), "damaged record", "damaged records"),
                        Counted(reader.SkippedBytes(), "byte", "bytes"));
    if (reader.SoundFramesLeftOut() > 0)
        out << QStringLiteral("%1: %2 left out (a coding or format the track cannot hold)")
                   .arg(Shown(path),
                        Counted(reader.SoundFramesLeftOut(), "sound frame", "sound frames"));
    return out;
}

void HandedSoundReader::Hand(const uint8_t* data, size_t size, int64_t ms,
                             const AudioSampleEntry& format) {
    if (!HasFormat()) {
        SetFormat(format);
        if (format.kind != AudioSampleEntry::Kind::kAac &&
            format.kind != AudioSampleEntry::Kind::kMp3)
            bytesPerTime =
                uint32_t(std::max(1, format.bitsPerSample / 8) * std::max<int>(1, format.channels));
    }
    const uint32_t rate = Format().sampleRate;
    const int64_t at = ms * int64_t(rate) / 1000;
    if (bytesPerTime == 0) {
        frames.push_back({std::vector<uint8_t>(data, data + size), 1024});
        return;
    }
    const uint32_t times = uint32_t(size / bytesPerTime);
    if (times == 0) return;
    // A frame's time is its record's, to the millisecond: a few milliseconds either way are
    // the records' rounding and jitter, not a gap.
    const int64_t slack = int64_t(rate) * 60 / 1000;
    if (!started) {
        started = true;
        next = at;
    } else if (at > next + slack) {
        const int64_t gap = at - next;
        const AudioSampleEntry::Kind kind = Format().kind;
        const uint8_t quiet = kind == AudioSampleEntry::Kind::kALaw                     ? 0xD5
                              : kind == AudioSampleEntry::Kind::kULaw                   ? 0xFF
                              : Format().bitsPerSample == 8 && Format().unsignedSamples ? 0x80
                                                                                        : 0;
        frames.push_back({std::vector<uint8_t>(size_t(gap) * bytesPerTime, quiet), uint32_t(gap)});
        silence += uint64_t(gap);
        next = at;
    } else if (at + int64_t(times) < next - slack) {
        ++dropped;
        return;
    }
    frames.push_back({std::vector<uint8_t>(data, data + size_t(times) * bytesPerTime), times});
    next += times;
}

bool HandedSoundReader::Parse(AudioFrame& frame) {
    if (frames.empty()) {
        if (Finished() && (silence || dropped)) {
            if (silence)
                Warn(std::to_string(silence * 1000 / Format().sampleRate) +
                     " ms of silence put where sound records were missing");
            if (dropped)
                Warn(std::to_string(dropped) +
                     " sound frames left out that would play over "
                     "the sound before them");
            silence = dropped = 0;
        }
        return false;
    }
    frame = std::move(frames.front());
    frames.pop_front();
    return true;
}

RecordingDate RecordingDateFor(const std::string& firstInput, const CivilTime* recorder,
                               const RecordingDate& typed) {
    if (typed.Known()) return typed;
    RecordingDate r;
    if (recorder && LocalCivilSeconds(*recorder, &r.utcSeconds)) {
        r.source = RecordingDate::Source::Recorder;
        return r;
    }
    const size_t slash = firstInput.rfind('/');
    const std::string name = slash == std::string::npos ? firstInput : firstInput.substr(slash + 1);
    CivilTime t;
    bool camera = false;
    if (DateInFileName(name, &t, &camera) && LocalCivilSeconds(t, &r.utcSeconds))
        r.source = camera ? RecordingDate::Source::CameraName : RecordingDate::Source::FileName;
    return r;
}

QString RecordingDateText(const RecordingDate& date) {
    QString from;
    switch (date.source) {
        case RecordingDate::Source::None:
            return {};
        case RecordingDate::Source::Recorder:
            from = QStringLiteral("the recorder's clock in its frames");
            break;
        case RecordingDate::Source::CameraName:
            from = QStringLiteral("the camera's file name");
            break;
        case RecordingDate::Source::FileName:
            from = QStringLiteral("the file name");
            break;
        case RecordingDate::Source::User:
            from = QStringLiteral("--date");
            break;
    }
    const QDateTime local = QDateTime::fromSecsSinceEpoch(date.utcSeconds).toLocalTime();
    return QStringLiteral("recorded %1 (%2)")
        .arg(local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")), from);
}
