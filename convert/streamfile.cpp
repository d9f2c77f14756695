#include "convert/streamfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <QFile>
#include <QRegularExpression>
#include <vector>

#include "convert/camerafile.h"
#include "convert/nalunit.h"
#include "convert/trackformat.h"

QString OutputNameFor(const QString& inputName) {
    QString name = inputName;
    name.replace(QLatin1String(".h26x"), QLatin1String(".mp4"), Qt::CaseSensitive);
    name.replace(QLatin1String(".h264"), QLatin1String(".mp4"), Qt::CaseSensitive);
    if (name.endsWith(QLatin1String(".mp4"))) return name;
    // A leading dot starts a hidden file's name, not an extension.
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0) name.truncate(dot);
    return name + QStringLiteral(".mp4");
}

bool ParseFrameRate(const QString& text, uint32_t* num, uint32_t* den) {
    static const QRegularExpression fraction(QStringLiteral("^(\\d{1,9})/(\\d{1,9})$"));
    static const QRegularExpression decimal(QStringLiteral("^(\\d{1,6})(?:\\.(\\d{1,3}))?$"));
    QRegularExpressionMatch m = fraction.match(text);
    if (m.hasMatch()) {
        *num = m.captured(1).toUInt();
        *den = m.captured(2).toUInt();
    } else if ((m = decimal.match(text)).hasMatch()) {
        const QString frac = m.captured(2);
        uint32_t scale = 1;
        for (int i = 0; i < frac.size(); ++i) scale *= 10;
        *num = m.captured(1).toUInt() * scale + (frac.isEmpty() ? 0 : frac.toUInt());
        *den = scale;
        const double v = double(*num) / *den;
        for (uint32_t base : {24u, 30u, 48u, 60u, 120u}) {
            const double ntsc = base * 1000.0 / 1001.0;
            if (*den > 1 && v > ntsc - 0.006 && v < ntsc + 0.006) {
                *num = base * 1000;
                *den = 1001;
            }
        }
    } else {
        return false;
    }
    return *num > 0 && *den > 0 && double(*num) / *den <= 1000.0;
}

StreamTiming FirstSpsTiming(const QString& path) {
    return FirstSpsTiming(QFile::encodeName(path).constData());
}

namespace {

// The first MiB of the file at `path`; empty when it cannot be read.
std::vector<uint8_t> FirstMiB(const char* path) {
    // Only a file is read: opening a FIFO would wait for its writer. The converter refuses
    // anything else anyway.
    std::vector<uint8_t> chunk;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return chunk;
    chunk.resize(1u << 20);
    struct stat st;
    ssize_t n = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        for (ssize_t r; size_t(n) < chunk.size(); n += r) {
            r = read(fd, chunk.data() + n, chunk.size() - size_t(n));
            if (r < 0 && errno == EINTR)
                r = 0;
            else if (r <= 0)
                break;
        }
    }
    close(fd);
    chunk.resize(size_t(std::max<ssize_t>(n, 0)));
    return chunk;
}

}  // namespace

StreamTiming FirstSpsTiming(const char* path) {
    // A camera's or DVR's file gives each picture's time.
    if (ContainerOfFile(path) != ContainerKind::None) return StreamTiming::Present;
    const std::vector<uint8_t> chunk = FirstMiB(path);
    const uint32_t n = uint32_t(chunk.size());
    if (n == 0) return StreamTiming::Unknown;
    uint32_t pos = 0;
    NalUnit nalu;
    StreamProbe probe;
    while (const int32_t r = FindNextNalUnit(chunk.data(), n, pos, &nalu)) {
        pos += uint32_t(r);
        probe.Take(nalu);
        // The converter describes its track with the first SPS that can describe one.
        if (!IsTrackSps(probe.StreamCodec(), nalu)) continue;
        return probe.FormatOf(nalu).fpsNum ? StreamTiming::Present : StreamTiming::Absent;
    }
    return StreamTiming::Unknown;
}

Codec StreamCodecOf(const char* path) {
    const std::vector<uint8_t> chunk = FirstMiB(path);
    uint32_t pos = 0;
    NalUnit nalu;
    StreamProbe probe;
    while (const int32_t r = FindNextNalUnit(chunk.data(), uint32_t(chunk.size()), pos, &nalu)) {
        pos += uint32_t(r);
        probe.Take(nalu);
        if (probe.StreamCodec() != Codec::Unknown) break;
    }
    return probe.StreamCodec();
}

Codec StreamFileCodec(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    // A camera's or DVR's file: the stream inside tells.
    if (ContainerOfFile(name.constData()) != ContainerKind::None)
        return StreamCodecOf(name.constData());
    const std::vector<uint8_t> chunk = FirstMiB(name.constData());
    size_t zeros = 0;
    while (zeros < chunk.size() && chunk[zeros] == 0) ++zeros;
    if (zeros < 2 || zeros >= chunk.size() || chunk[zeros] != 1) return Codec::Unknown;
    return StreamCodecOf(name.constData());
}

QStringList SummaryLines(const ConversionSummary& s, bool assumedRate) {
    const unsigned long long shown = s.pictures - s.hiddenPictures;
    QStringList lines;
    // The sound, when there is any, after the pictures.
    const QString sound =
        s.audio.isEmpty()
            ? QString()
            : QStringLiteral(", audio %1 %2 s").arg(s.audio).arg(s.audioSeconds, 0, 'f', 3);
    if (s.variableFrameRate)
        lines << QString::asprintf(
                     "%llu pictures, %.3f s, variable frame rate (%.3f fps on "
                     "average), %dx%d",
                     shown, s.durationSeconds, s.framesPerSecond, s.width, s.height) +
                     sound + QStringLiteral(" -> ") + s.outputPath;
    else
        lines << QString::asprintf("%llu pictures, %.3f s at %.3f fps, %dx%d", shown,
                                   s.durationSeconds, s.framesPerSecond, s.width, s.height) +
                     sound + QStringLiteral(" -> ") + s.outputPath;
    if (s.hiddenPictures)
        lines << QStringLiteral(
                     "%1 pictures before the first one a decoder can start from are kept in the "
                     "file but not shown")
                     .arg(s.hiddenPictures);
    if (s.droppedPictures)
        lines << QStringLiteral(
                     "%1 pictures before the first one a decoder can start from are left out")
                     .arg(s.droppedPictures);
    if (assumedRate)
        lines << QStringLiteral(
            "the stream does not say its frame rate: 25 fps assumed; --fps sets another");
    if (!s.recordingDate.isEmpty()) lines << s.recordingDate;
    return lines;
}

bool NameBefore(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit()) ++ei;
            while (ej < b.size() && b[ej].isDigit()) ++ej;
            // Leading zeros aside, the longer run is the larger number.
            qsizetype zi = i, zj = j;
            while (zi + 1 < ei && a[zi] == QLatin1Char('0')) ++zi;
            while (zj + 1 < ej && b[zj] == QLatin1Char('0')) ++zj;
            if (ei - zi != ej - zj) return ei - zi < ej - zj;
            const int c = QStringView(a).mid(zi, ei - zi).compare(QStringView(b).mid(zj, ej - zj));
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
    return a < b;
}
