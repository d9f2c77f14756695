// tovanmuxer-cli as a user runs it: exit status, messages, default output name, --fps, progress,
// timestamp files, joins and several inputs, live recording from a pipe into a fragmented MP4
// file, and sound beside the pictures.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtEndian>
#include <algorithm>
#include <thread>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "support/audiodecode.h"
#include "support/convert.h"
#include "support/decode.h"
#include "support/streams.h"

namespace {

struct Run {
    int status = -1;
    QString out, err;
};

Run Cli(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(TOVANMUXER_CLI), args);
    Run r;
    if (!p.waitForFinished(120000)) return r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// A test stream `times` over, written to `path`: a longer live source.
QByteArray Repeated(const QString& name, int times, const QString& path) {
    const QByteArray one = ReadFileBytes(FindTestStream(name).file);
    QByteArray all;
    for (int i = 0; i < times; ++i) all += one;
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(all);
    return all;
}

// Writes `bytes` into the recorder's standard input in `pieces` over about `seconds`, as a
// camera would; `during(fed)` is called after each piece with the bytes written so far, and
// stops the feeding when it returns false.
template <typename F>
void FeedLive(QProcess& p, const QByteArray& bytes, int pieces, double seconds, F&& during) {
    const int step = (bytes.size() + pieces - 1) / pieces;
    for (int at = 0; at < bytes.size(); at += step) {
        p.write(bytes.mid(at, step));
        p.waitForBytesWritten(10000);
        QThread::msleep(ulong(seconds * 1000 / pieces));
        if (!during(std::min<int>(at + step, bytes.size()))) return;
    }
}

QVector<QByteArray> GstHashes(const QString& path) {
    QVector<QByteArray> out;
    for (const DecodedPicture& p : DecodeWithGStreamer(path).pictures) out.push_back(p.hash);
    return out;
}

QString SoundFile(const QString& name) {
    return QStringLiteral(TOVANMUXER_SOUND_DIR "/") + name;
}

QByteArray Output(const QString& program, const QStringList& args, QString* err = nullptr) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000)) return QByteArray();
    if (err) *err = QString::fromUtf8(p.readAllStandardError());
    return p.readAllStandardOutput();
}

// The sound of a file as FFmpeg decodes it, interleaved 64-bit float (every PCM and every
// decoder's output fits it exactly); `raw` names the demuxer, rate and channels of headerless
// sound ("s16le:48000:2").
QByteArray FfmpegSound(const QString& path, const QString& raw = QString()) {
    QStringList args = {"-nostdin", "-v", "error"};
    const QStringList r = raw.split(':');
    if (r.size() == 3) args << "-f" << r[0] << "-ar" << r[1] << "-ac" << r[2];
    return Output(QStringLiteral("ffmpeg"),
                  args + QStringList{"-i", path, "-map", "0:a", "-f", "f64le", "-"});
}

// GStreamer's: the samples, and the stream time of the first loud one (seconds).
struct GstSound {
    QByteArray samples;
    int rate = 0;
    double onset = -1;
    QString error;
};
GstSound GstSoundOf(const QString& path) {
    QTemporaryDir dir;
    const QString raw = dir.filePath(QStringLiteral("sound.raw"));
    const QJsonObject o =
        QJsonDocument::fromJson(Output(QStringLiteral("/usr/bin/python3"),
                                       {QStringLiteral(TOVANMUXER_GST_SOUND), path, raw}))
            .object();
    GstSound g;
    g.samples = ReadFileBytes(raw);
    g.error = o.value(QStringLiteral("error")).toString();
    g.rate = o.value(QStringLiteral("rate")).toInt();
    if (o.value(QStringLiteral("onset_ns")).isDouble())
        g.onset = o.value(QStringLiteral("onset_ns")).toDouble() / 1e9;
    return g;
}

// FFmpeg's presentation times of the first loud sound sample and of the first bright picture,
// on the timeline its command line gives every stream of the file.
double FfmpegOnset(const QString& path, const QString& raw = QString()) {
    QStringList args = {"-nostdin", "-v", "error"};
    const QStringList r = raw.split(':');
    if (r.size() == 3) args << "-f" << r[0] << "-ar" << r[1] << "-ac" << r[2];
    const QByteArray s =
        Output(QStringLiteral("ffmpeg"),
               args + QStringList{"-i", path, "-map", "0:a", "-af", "aresample=async=1:first_pts=0",
                                  "-ac", "1", "-ar", "48000", "-f", "f64le", "-"});
    for (int i = 0; i + 8 <= s.size(); i += 8)
        if (std::abs(qFromLittleEndian<double>(s.constData() + i)) > 0.03) return i / 8 / 48000.0;
    return -1;
}
double FfmpegFlash(const QString& path) {
    QString err;
    Output(QStringLiteral("ffmpeg"),
           {"-nostdin", "-v", "info", "-i", path, "-map", "0:v", "-vf",
            "signalstats,metadata=print:key=lavfi.signalstats.YAVG", "-f", "null", "-"},
           &err);
    double at = -1;
    for (const QString& line : err.split('\n')) {
        if (line.contains(QStringLiteral("pts_time:")))
            at = line.section(QStringLiteral("pts_time:"), 1).section(' ', 0, 0).toDouble();
        if (line.contains(QStringLiteral("YAVG=")) && line.section('=', 1).toDouble() > 100)
            return at;
    }
    return -1;
}

// The chunk offsets of each track of an unfragmented file (stco or co64), in track order.
QVector<QVector<quint64>> ChunkOffsets(const QByteArray& file) {
    QVector<QVector<quint64>> tracks;
    for (int at = file.indexOf("stco"); at >= 4; at = file.indexOf("stco", at + 4)) {
        const int n = int(qFromBigEndian<quint32>(file.constData() + at + 8));
        QVector<quint64> offsets;
        for (int k = 0; k < n; ++k)
            offsets << qFromBigEndian<quint32>(file.constData() + at + 12 + 4 * k);
        tracks << offsets;
    }
    return tracks;
}

// Each movie fragment's track fragments: the decode time of each, in seconds at the track's
// time scale (video 90 kHz, sound `rate`).
QVector<QVector<double>> FragmentTimes(const QByteArray& file, double rate) {
    QVector<QVector<double>> out;
    for (int at = 0; at + 8 <= file.size();) {
        const int size = int(qFromBigEndian<quint32>(file.constData() + at));
        if (size < 8) break;
        if (file.mid(at + 4, 4) == "moof") {
            QVector<double> times;
            for (int t = file.indexOf("tfhd", at); t > 0 && t < at + size;
                 t = file.indexOf("tfhd", t + 4)) {
                const quint32 track = qFromBigEndian<quint32>(file.constData() + t + 8);
                const int d = file.indexOf("tfdt", t);
                const quint64 time = qFromBigEndian<quint64>(file.constData() + d + 8);
                times << double(time) / (track == 1 ? 90000.0 : rate);
            }
            out << times;
        }
        at += size;
    }
    return out;
}

bool IsPrefix(const QVector<QByteArray>& part, const QVector<QByteArray>& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace

class TestCli : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;

private Q_SLOTS:
    void usage() {
        Run r = Cli({QStringLiteral("--help")});
        QCOMPARE(r.status, 0);
        QVERIFY(r.out.startsWith(QStringLiteral("Usage: tovanmuxer-cli INPUT")));
        r = Cli({QStringLiteral("--version")});
        QCOMPARE(r.status, 0);
        QVERIFY(r.out.startsWith(QStringLiteral("tovanmuxer-cli ")));
        for (const QStringList& bad :
             {QStringList{}, QStringList{QStringLiteral("--bogus")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("b.h264"), QStringLiteral("-o"),
                          QStringLiteral("not-a-directory.mp4")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("b.h264"),
                          QStringLiteral("--timestamps"), QStringLiteral("t.txt")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("-o")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("--fps"),
                          QStringLiteral("fast")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("--fps"), QStringLiteral("0")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("--fragment"),
                          QStringLiteral("soon")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("--fragment"),
                          QStringLiteral("-1")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("--fragment"),
                          QStringLiteral("0"), QStringLiteral("-o"), QStringLiteral("-")},
              QStringList{QStringLiteral("-")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("b.h264"),
                          QStringLiteral("--audio"), QStringLiteral("s.aac")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("--audio-offset"),
                          QStringLiteral("1")},
              QStringList{QStringLiteral("a.h264"), QStringLiteral("--audio"),
                          QStringLiteral("s.pcm"), QStringLiteral("--audio-rate"),
                          QStringLiteral("fast")}}) {
            r = Cli(bad);
            QCOMPARE(r.status, 2);
            QVERIFY(r.err.contains(QStringLiteral("tovanmuxer-cli: ")));
            QVERIFY(r.out.isEmpty());
        }
    }

    void convertsWithDefaultName() {
        const TestStream s = FindTestStream(QStringLiteral("high_bpyramid_640x360.h264"));
        QVERIFY(!s.file.isEmpty());
        const QString in = tmp.filePath(QStringLiteral("clip.h264"));
        QVERIFY(QFile::copy(s.file, in));
        const Run r = Cli({in});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));  // no debug lines unless asked
        const QString out = tmp.filePath(QStringLiteral("clip.mp4"));
        QCOMPARE(r.out,
                 QStringLiteral("30 pictures, 1.000 s at 30.000 fps, 640x360 -> %1\n").arg(out));
        QCOMPARE(DecodePictureHashes(out), DecodePictureHashes(in));

        // The output is never replaced: a second run fails and says why.
        const Run again = Cli({in});
        QCOMPARE(again.status, 1);
        QVERIFY2(again.err.contains(QStringLiteral("already exists")), qPrintable(again.err));

        // Other extensions are replaced by .mp4 as well, in the input's directory; -o names the
        // output; -v shows the debug lines.
        QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("cam.d")));
        const QString raw = tmp.filePath(QStringLiteral("cam.d/CAM01.H264"));
        QVERIFY(QFile::copy(s.file, raw));
        QCOMPARE(Cli({raw}).status, 0);
        QVERIFY(QFile::exists(tmp.filePath(QStringLiteral("cam.d/CAM01.mp4"))));
        const Run named = Cli({QStringLiteral("-v"), raw, QStringLiteral("-o"),
                               tmp.filePath(QStringLiteral("x.mp4"))});
        QCOMPARE(named.status, 0);
        QVERIFY(named.err.contains(QStringLiteral("## WriteH264File Complete!")));
        // --faststart: the movie box in front of the media data, the same pictures.
        const QString fast = tmp.filePath(QStringLiteral("fast.mp4"));
        QCOMPARE(Cli({raw, QStringLiteral("--faststart"), QStringLiteral("-o"), fast}).status, 0);
        QVERIFY(!ReadMp4Info(fast).mdatFirst);
        QCOMPARE(DecodePictureHashes(fast), DecodePictureHashes(raw));

        // A stream cut in the middle of a group of pictures: the summary counts the pictures
        // shown and says what became of the others.
        const TestStream cut = FindTestStream(QStringLiteral("leading_p_320x240.h264"));
        const Run lead =
            Cli({cut.file, QStringLiteral("-o"), tmp.filePath(QStringLiteral("c.mp4"))});
        QCOMPARE(lead.status, 0);
        QVERIFY2(lead.out.startsWith(QStringLiteral("%1 pictures, 0.600 s").arg(cut.Int("frames"))),
                 qPrintable(lead.out));
        QVERIFY2(lead.out.contains(QStringLiteral("%1 pictures before the first one a decoder can "
                                                  "start from are kept in the file but not shown")
                                       .arg(cut.Int("leading_pictures"))),
                 qPrintable(lead.out));
    }

    void frameRateOverride() {
        // A stream without timing information plays at 25 unless told otherwise.
        const TestStream s = FindTestStream(QStringLiteral("notiming_320x240.h264"));
        QVERIFY(!s.file.isEmpty());
        const QString out = tmp.filePath(QStringLiteral("ntsc.mp4"));
        const Run r = Cli(
            {s.file, QStringLiteral("--fps"), QStringLiteral("29.97"), QStringLiteral("-o"), out});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains(QStringLiteral("at 29.970 fps")), qPrintable(r.out));
        const DecodeResult d = DecodeFile(out);
        QCOMPARE(d.frameRateNum, 30000);
        QCOMPARE(d.frameRateDen, 1001);
        const Run plain =
            Cli({s.file, QStringLiteral("-o"), tmp.filePath(QStringLiteral("pal.mp4"))});
        QVERIFY(plain.out.contains(QStringLiteral("at 25.000 fps")));
        QVERIFY2(plain.out.contains(QStringLiteral("25 fps assumed; --fps sets another")),
                 qPrintable(plain.out));
        QVERIFY(!r.out.contains(QStringLiteral("assumed")));
        const Run frac = Cli({s.file, QStringLiteral("--fps"), QStringLiteral("24000/1001"),
                              QStringLiteral("-o"), tmp.filePath(QStringLiteral("film.mp4"))});
        QCOMPARE(frac.status, 0);
        QCOMPARE(ReadMp4Info(tmp.filePath(QStringLiteral("film.mp4"))).trackTimeScale, 24000u);
    }

    void interruptedLeavesNothing() {
        // A run stopped by a signal removes its unfinished file and keeps those it finished.
        const QByteArray one =
            ReadFileBytes(FindTestStream(QStringLiteral("main_1920x1080.h264")).file);
        const QString in = tmp.filePath(QStringLiteral("long.h264"));
        QFile f(in);
        QVERIFY(f.open(QIODevice::WriteOnly));
        for (qint64 n = 0; n < 200000000; n += one.size()) f.write(one);
        f.close();
        const QString out = tmp.filePath(QStringLiteral("long.mp4"));
        const TestStream first = FindTestStream(QStringLiteral("baseline_320x240.h264"));
        const QString done = tmp.filePath(QStringLiteral("baseline_320x240.mp4"));
        // The fragmented file of a file is no recording: a signal leaves nothing of it either.
        for (const QStringList& options : {QStringList(), QStringList{"--fragment", "1"}}) {
            QProcess p;
            p.start(QStringLiteral(TOVANMUXER_CLI),
                    options + QStringList{first.file, in, QStringLiteral("-o"), tmp.path()});
            QVERIFY(p.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(PartLeft(out) || p.state() == QProcess::NotRunning, 20000);
            p.terminate();
            QVERIFY(p.waitForFinished(20000));
            QVERIFY2(p.exitStatus() == QProcess::CrashExit || p.exitCode() != 0,
                     qPrintable(options.join(' ')));
            QVERIFY(!PartLeft(out));
            QVERIFY(!QFile::exists(out));
            QCOMPARE(DecodePictureHashes(done), DecodePictureHashes(first.file));
            QVERIFY(QFile::remove(done));
        }
        QFile::remove(in);
    }

    void progressOnTerminal() {
        // Standard error on a terminal shows the share read on one line, erased at the end.
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(master >= 0);
        QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
        const QString terminal = QString::fromLocal8Bit(ptsname(master));
        const int keepOpen = open(ptsname(master), O_RDWR | O_NOCTTY);
        QProcess p;
        p.setStandardErrorFile(terminal);
        p.start(QStringLiteral(TOVANMUXER_CLI),
                {FindTestStream(QStringLiteral("baseline_320x240.h264")).file, QStringLiteral("-o"),
                 tmp.filePath(QStringLiteral("shown.mp4"))});
        QVERIFY(p.waitForFinished(120000));
        QCOMPARE(p.exitCode(), 0);
        QByteArray shown;
        char buf[4096];
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) shown.append(buf, int(n));
        close(keepOpen);
        close(master);
        QVERIFY2(shown.startsWith("\rconverting   0%\rconverting 100%"), shown.constData());
        QVERIFY2(shown.endsWith("\r                \r"), shown.constData());
        QVERIFY(p.readAllStandardOutput().startsWith("30 pictures"));

        // A stream has no size: the pictures and the duration so far.
        const int master2 = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(master2 >= 0 && grantpt(master2) == 0 && unlockpt(master2) == 0);
        const int keepOpen2 = open(ptsname(master2), O_RDWR | O_NOCTTY);
        QProcess live;
        live.setStandardErrorFile(QString::fromLocal8Bit(ptsname(master2)));
        live.start(QStringLiteral(TOVANMUXER_CLI), {QStringLiteral("-"), QStringLiteral("-o"),
                                                    tmp.filePath(QStringLiteral("rec.mp4"))});
        QVERIFY(live.waitForStarted());
        live.write(ReadFileBytes(FindTestStream(QStringLiteral("baseline_320x240.h264")).file));
        live.closeWriteChannel();
        QVERIFY(live.waitForFinished(120000));
        QCOMPARE(live.exitCode(), 0);
        shown.clear();
        for (ssize_t n; (n = read(master2, buf, sizeof buf)) > 0;) shown.append(buf, int(n));
        close(keepOpen2);
        close(master2);
        QVERIFY2(shown.startsWith("\rrecording: 0 pictures, 0.0 s"), shown.constData());
        QVERIFY2(shown.contains("pictures, 1.1 s"), shown.constData());
    }

    void failures() {
        const Run missing = Cli({tmp.filePath(QStringLiteral("nothing.h264"))});
        QCOMPARE(missing.status, 1);
        QVERIFY2(missing.err.contains(QStringLiteral("No such file or directory")),
                 qPrintable(missing.err));
        const QString text = tmp.filePath(QStringLiteral("notes.h264"));
        QFile f(text);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a video at all\n");
        f.close();
        const Run notVideo = Cli({text});
        QCOMPARE(notVideo.status, 1);
        QVERIFY(notVideo.err.contains(QStringLiteral("sequence parameter set")));
        QVERIFY(!QFile::exists(tmp.filePath(QStringLiteral("notes.mp4"))));
        QVERIFY(!PartLeft(tmp.filePath(QStringLiteral("notes.mp4"))));

        // A recording of bad input leaves nothing either, though it had its name from the start.
        const Run notVideoLive = Cli({text, QStringLiteral("--fragment"), QStringLiteral("1")});
        QCOMPARE(notVideoLive.status, 1);
        QVERIFY(!QFile::exists(tmp.filePath(QStringLiteral("notes.mp4"))));

        // A stream with no picture a decoder can start from cannot begin a fragmented file:
        // refused with that reason, and not a byte to standard output.
        QProcess none;
        none.setStandardInputFile(QStringLiteral(
            TOVANMUXER_TEST_DATA "/../regress/convert/leading-pictures-before-the-edit"));
        none.start(QStringLiteral(TOVANMUXER_CLI),
                   {QStringLiteral("-"), QStringLiteral("--fragment"), QStringLiteral("1"),
                    QStringLiteral("-o"), QStringLiteral("-")});
        QVERIFY(none.waitForFinished(20000));
        QCOMPARE(none.exitCode(), 1);
        QVERIFY(none.readAllStandardOutput().isEmpty());
        QVERIFY(none.readAllStandardError().contains(
            "none of the 6 pictures is one a decoder can start from"));

        // A terminal is nobody's stream.
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
        QProcess p;
        p.setStandardInputFile(QString::fromLocal8Bit(ptsname(master)));
        p.start(QStringLiteral(TOVANMUXER_CLI),
                {QStringLiteral("-"), QStringLiteral("-o"), tmp.filePath(QStringLiteral("t.mp4"))});
        QVERIFY(p.waitForFinished(20000));
        close(master);
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(p.readAllStandardError(),
                 QByteArray("tovanmuxer-cli: standard input is a terminal\n"));
        QVERIFY(!QFile::exists(tmp.filePath(QStringLiteral("t.mp4"))));
    }

    // A stream recorded from a pipe at about real-time speed: the file grows while the input
    // runs, and the end of the input, a signal or standard output as the file all give every
    // picture, in order, evenly timed from 0, with the key frames of the unfragmented file.
    // Garbage with start codes in it between two repeats of the stream adds no picture and
    // moves none; it and a change of the pictures' size are told in a warning.
    void liveRecording_data() {
        QTest::addColumn<QString>("stream");
        QTest::addColumn<int>("times");
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("garbage");
        QTest::addColumn<QString>("warning");  // on standard error; empty: none
        QTest::newRow("H.264 B-frames, end of input")
            << QStringLiteral("main_bframes_640x360.h264") << 3 << QStringLiteral("eof") << false
            << QString();
        QTest::newRow("H.265 B-frames, garbage, SIGINT")
            << QStringLiteral("closed_gop_320x240.h265") << 3 << QStringLiteral("SIGINT") << true
            << QStringLiteral("NAL units that no decoder can use");
        QTest::newRow("H.264 new parameter sets in band, SIGHUP")
            << QStringLiteral("two_sps_320x240_640x360.h264") << 3 << QStringLiteral("SIGHUP")
            << false
            << QStringLiteral(
                   "at 0.280 s the pictures change size to 640x360; the track header "
                   "gives the first size, 320x240");
        QTest::newRow("H.265 new sizes in band, SIGTERM")
            << QStringLiteral("two_sizes_320x240_416x240.h26x") << 3 << QStringLiteral("SIGTERM")
            << false << QStringLiteral("at 0.280 s the pictures change size to 416x240");
        QTest::newRow("H.264 B-pyramid, garbage, to standard output")
            << QStringLiteral("high_bpyramid_640x360.h264") << 3 << QStringLiteral("stdout") << true
            << QStringLiteral("NAL units that no decoder can use");
    }
    void liveRecording() {
        QFETCH(QString, stream);
        QFETCH(int, times);
        QFETCH(QString, end);
        QFETCH(bool, garbage);
        QFETCH(QString, warning);
        const QString raw = tmp.filePath(QStringLiteral("live.raw"));
        QByteArray bytes = Repeated(stream, times, raw);
        const QVector<QByteArray> want = DecodePictureHashes(raw);
        QVERIFY(!want.isEmpty());
        if (garbage) {
            // Units of every kind: forbidden_zero_bit set, reserved types, slices and parameter
            // sets that do not parse, an IDR slice of P type, random bytes.
            QByteArray junk;
            quint32 seed = 26;
            for (int k = 0; k < 40; ++k) {
                junk += QByteArray("\0\0\0\1", 4);
                for (int n = 0; n < 30 + k * 7; ++n) {
                    seed = seed * 1103515245u + 12345u;
                    junk += char(seed >> 16);
                }
            }
            bytes.insert(bytes.size() / times, junk);
        }
        const bool toStdout = end == QLatin1String("stdout");
        const QString out =
            tmp.filePath(QStringLiteral("live-%1.mp4").arg(QTest::currentDataTag()));
        QProcess p;
        p.start(QStringLiteral(TOVANMUXER_CLI),
                {QStringLiteral("-"), QStringLiteral("-o"), toStdout ? QStringLiteral("-") : out,
                 QStringLiteral("--fragment"), QStringLiteral("0.4")});
        QVERIFY(p.waitForStarted());
        qint64 grown = 0;
        int growths = 0;
        FeedLive(p, bytes, 24, 0.8 * times, [&](int) {
            const qint64 now = QFileInfo(out).size();
            if (now > grown) ++growths;
            grown = std::max(grown, now);
            return true;
        });
        if (!toStdout) QVERIFY2(growths >= 2, "the file did not grow while the input ran");
        if (end == QLatin1String("eof") || toStdout) {
            p.closeWriteChannel();
        } else {
            QThread::msleep(600);  // everything read; the camera is still there
            const int sig = end == QLatin1String("SIGINT")   ? SIGINT
                            : end == QLatin1String("SIGHUP") ? SIGHUP
                                                             : SIGTERM;
            QCOMPARE(kill(pid_t(p.processId()), sig), 0);
        }
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        const QString errors = QString::fromUtf8(p.readAllStandardError());
        const QString summary =
            toStdout
                ? errors.split('\n').filter(QRegularExpression(QStringLiteral("^\\d"))).join('\n')
                : QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(warning.isEmpty() ? !errors.contains(QStringLiteral("warning"))
                                   : errors.contains(warning),
                 qPrintable(errors));
        QVERIFY2(summary.contains(end == QLatin1String("eof") || toStdout
                                      ? QStringLiteral("ended by the end of the input")
                                      : QStringLiteral("ended by ") + end),
                 qPrintable(summary));
        if (toStdout) {
            QFile f(out);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(p.readAllStandardOutput());
        }
        const DecodeResult d = DecodeFile(out);
        QCOMPARE(PictureHashes(d), want);
        QCOMPARE(GstHashes(out), want);
        // Evenly timed from 0, and key frames where the unfragmented file has its sync samples.
        QVector<int64_t> pts;
        for (const DemuxedPacket& k : d.packets) pts.push_back(k.pts);
        std::sort(pts.begin(), pts.end());
        for (int i = 0; i < pts.size(); ++i) QCOMPARE(pts[i], i * (pts.size() > 1 ? pts[1] : 0));
        const QString classic = tmp.filePath(QStringLiteral("classic.mp4"));
        QFile::remove(classic);
        const Run unfragmented = Cli({raw, QStringLiteral("-o"), classic});
        QCOMPARE(unfragmented.status, 0);
        // The same pictures, duration and rate as the unfragmented file's summary says.
        QCOMPARE(summary.section(QStringLiteral(" -> "), 0, 0),
                 unfragmented.out.section(QStringLiteral(" -> "), 0, 0));
        const DecodeResult c = DecodeFile(classic);
        QCOMPARE(d.packets.size(), c.packets.size());
        for (int i = 0; i < c.packets.size(); ++i) QCOMPARE(d.packets[i].key, c.packets[i].key);

        // A power cut anywhere leaves a file that plays a prefix of the pictures in both readers:
        // the complete fragments, and the one being written, which is a free box until it is
        // whole on the disk.
        if (end != QLatin1String("eof")) return;
        const QByteArray whole = ReadFileBytes(out);
        const QString cut = tmp.filePath(QStringLiteral("cut.mp4"));
        for (int i = 1; i < 12; ++i) {
            QByteArray part = whole.left(int(qint64(whole.size()) * i / 12) + i * 7);
            for (int at = 0; at + 8 <= part.size();) {
                const int size = int(qFromBigEndian<quint32>(part.constData() + at));
                if (size < 8) break;
                const int next = at + size;
                if (part.mid(at + 4, 4) == "moof" && next + 8 <= whole.size() &&
                    next + int(qFromBigEndian<quint32>(whole.constData() + next)) > part.size()) {
                    const int fragment =
                        next + int(qFromBigEndian<quint32>(whole.constData() + next)) - at;
                    qToBigEndian<quint32>(quint32(fragment), part.data() + at);
                    part.replace(at + 4, 4, "free");
                    break;
                }
                at = next;
            }
            QFile f(cut);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(part);
            f.close();
            QVERIFY2(IsPrefix(DecodePictureHashes(cut), want), qPrintable(QString::number(i)));
            QVERIFY2(IsPrefix(GstHashes(cut), want), qPrintable(QString::number(i)));
        }
    }

    // A recording that ends badly. SIGKILL: every complete fragment stays on the disk and
    // plays, in both readers, exactly the first pictures of the stream, at least those older
    // than two fragment lengths and one group of pictures. SIGINT before the first byte: no
    // file, exit 0. A reader of standard output (head -c) that goes away: exit 1, saying how
    // many pictures it was sent, of which it kept a prefix. The file size limit reached in the
    // first fragment: no file at all; in the fifth: the four whole fragments, cut back to them,
    // and the message says so. A camera that stalls for 10 s: the whole pictures it sent are in
    // the file a fragment length after it stopped, not when it goes on.
    void killedRecording_data() {
        QTest::addColumn<QString>("stream");
        QTest::addColumn<double>("killAt");  // share of the stream fed
        QTest::addColumn<QString>("how");
        QTest::newRow("H.264 early")
            << QStringLiteral("main_bframes_640x360.h264") << 0.45 << QStringLiteral("SIGKILL");
        QTest::newRow("H.264 late")
            << QStringLiteral("main_bframes_640x360.h264") << 0.8 << QStringLiteral("SIGKILL");
        QTest::newRow("H.265") << QStringLiteral("closed_gop_320x240.h265") << 0.7
                               << QStringLiteral("SIGKILL");
        QTest::newRow("SIGINT before the first byte")
            << QStringLiteral("main_bframes_640x360.h264") << 0.0 << QStringLiteral("SIGINT");
        QTest::newRow("standard output into head -c")
            << QStringLiteral("main_bframes_640x360.h264") << 1.0 << QStringLiteral("head");
        QTest::newRow("file size limit in the first fragment")
            << QStringLiteral("main_bframes_640x360.h264") << 1.0 << QStringLiteral("limit 1");
        QTest::newRow("file size limit in the fifth fragment")
            << QStringLiteral("main_bframes_640x360.h264") << 1.0 << QStringLiteral("limit 5");
        QTest::newRow("a stall of 10 s")
            << QStringLiteral("main_bframes_640x360.h264") << 0.4 << QStringLiteral("stall");
    }
    void killedRecording() {
        QFETCH(QString, stream);
        QFETCH(double, killAt);
        QFETCH(QString, how);
        const QString raw = tmp.filePath(QStringLiteral("killed.raw"));
        const int times = 4;
        const QByteArray bytes = Repeated(stream, times, raw);
        const QVector<QByteArray> want = DecodePictureHashes(raw);
        const QString out =
            tmp.filePath(QStringLiteral("killed-%1.mp4").arg(QTest::currentDataTag()));
        const bool head = how == QLatin1String("head");
        QProcess p, reader;
        // Where the fragments begin: those of the same stream's fragmented file of a file.
        qint64 limit = 0;
        QVector<qint64> moofs;
        if (how.startsWith(QLatin1String("limit"))) {
            const QString fromFile = tmp.filePath(QStringLiteral("limit-fragments.mp4"));
            QFile::remove(fromFile);
            QCOMPARE(Cli({raw, QStringLiteral("--fragment"), QStringLiteral("0.4"),
                          QStringLiteral("-o"), fromFile})
                         .status,
                     0);
            const QByteArray whole = ReadFileBytes(fromFile);
            for (int at = 0; at + 8 <= whole.size();) {
                if (whole.mid(at + 4, 4) == "moof") moofs.push_back(at);
                const quint32 size = qFromBigEndian<quint32>(whole.constData() + at);
                if (size < 8) break;
                at += int(size);
            }
            QVERIFY(moofs.size() >= 6);
            const int fragment = how.mid(6).toInt();  // the one that does not fit
            limit = moofs[fragment - 1] + 300;
            p.setChildProcessModifier([limit] {
                const struct rlimit r = {rlim_t(limit), rlim_t(limit)};
                setrlimit(RLIMIT_FSIZE, &r);
            });
        }
        if (head) {
            p.setStandardOutputProcess(&reader);
            reader.setStandardOutputFile(out);
        }
        p.start(QStringLiteral(TOVANMUXER_CLI),
                {QStringLiteral("-"), QStringLiteral("-o"), head ? QStringLiteral("-") : out,
                 QStringLiteral("--fragment"), QStringLiteral("0.4")});
        QVERIFY(p.waitForStarted());
        if (head) {
            reader.start(QStringLiteral("head"), {QStringLiteral("-c"), QStringLiteral("40000")});
            QVERIFY(reader.waitForStarted());
        }
        int fed = 0;
        if (killAt > 0)
            FeedLive(p, bytes, 40, 0.8 * times, [&](int n) {
                fed = n;
                return n < bytes.size() * killAt;
            });
        if (how == QLatin1String("stall")) {
            // Every picture fed but the last two (the last unit's end comes with the next start
            // code, the last picture's with the next picture) and the three at most that wait
            // for a picture still to come that may be shown before them (the SPS says one may;
            // a P-picture and the two B-pictures behind it).
            const int whole = int(SlicesOfStream(bytes.left(fed)).slices.size()) - 5;
            for (int second = 0; second < 10; ++second) {
                QThread::msleep(1000);
                if (second == 1 || second == 9) {
                    const QVector<QByteArray> got = DecodePictureHashes(out);
                    QVERIFY(IsPrefix(got, want));
                    QVERIFY2(
                        got.size() >= whole,
                        qPrintable(QStringLiteral("%1 of %2 pictures").arg(got.size()).arg(whole)));
                }
            }
            p.write(bytes.mid(fed));
            p.closeWriteChannel();
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitCode(), 0);
            QCOMPARE(DecodePictureHashes(out), want);
            QCOMPARE(GstHashes(out), want);
            return;
        }
        if (limit) {
            p.closeWriteChannel();
            QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(10000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 1);
            const QString err = QString::fromUtf8(p.readAllStandardError());
            QVERIFY2(
                err.startsWith(
                    QStringLiteral("tovanmuxer-cli: cannot write %1: File too large").arg(out)),
                qPrintable(err));
            QVERIFY(!PartLeft(out));
            if (limit < moofs[1]) {
                QVERIFY2(!err.contains(QStringLiteral("keeps")), qPrintable(err));
                QVERIFY(!QFile::exists(out));
                return;
            }
            QVERIFY2(err.contains(QStringLiteral("; %1 keeps 4 fragments (").arg(out)),
                     qPrintable(err));
            QCOMPARE(QFileInfo(out).size(), moofs[4]);
            const QVector<QByteArray> got = DecodePictureHashes(out);
            QVERIFY(IsPrefix(got, want) && got.size() > 4);
            QCOMPARE(GstHashes(out), got);
            return;
        }
        QThread::msleep(300);
        if (how == QLatin1String("SIGINT")) {
            QCOMPARE(kill(pid_t(p.processId()), SIGINT), 0);
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitCode(), 0);
            QCOMPARE(p.readAllStandardOutput(),
                     QByteArray("nothing was recorded: SIGINT came before the first picture\n"));
            QVERIFY(!QFile::exists(out));
            return;
        }
        if (head) {
            p.closeWriteChannel();
            QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(10000));
            QVERIFY(reader.state() == QProcess::NotRunning || reader.waitForFinished(10000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 1);
            const QString err = QString::fromUtf8(p.readAllStandardError());
            const QRegularExpressionMatch m =
                QRegularExpression(QStringLiteral("^tovanmuxer-cli: the reader of standard output "
                                                  "went away after (\\d+) pictures\n$"))
                    .match(err);
            QVERIFY2(m.hasMatch(), qPrintable(err));
            const QVector<QByteArray> got = DecodePictureHashes(out);
            QVERIFY(!got.isEmpty() && IsPrefix(got, want));
            QVERIFY2(got.size() <= m.captured(1).toInt() && m.captured(1).toInt() < want.size(),
                     qPrintable(err));
            return;
        }
        p.kill();
        QVERIFY(p.waitForFinished(10000));
        const QVector<QByteArray> got = DecodePictureHashes(out);
        QVERIFY(IsPrefix(got, want));
        QCOMPARE(GstHashes(out), got);
        // Pictures fed, less two fragment lengths of the stream's groups of pictures (one each),
        // less a piece.
        const int perRepeat = want.size() / times;
        const int older = int(qint64(want.size()) * fed / bytes.size()) - 2 * perRepeat - 3;
        QVERIFY2(got.size() >= older, qPrintable(QStringLiteral("%1 pictures of %2, %3 fed")
                                                     .arg(got.size())
                                                     .arg(want.size())
                                                     .arg(older)));
    }

    // A sound file beside the pictures, in every format and every kind of output: the pictures
    // frame exact, the sound decoded bit exact (FFmpeg and GStreamer) against the input's own
    // decode, the sample entry that plays best, chunks that alternate, the summary.
    void sound_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("raw");  // FFmpeg's demuxer:rate:channels of headerless sound
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<QString>("described");
        const QStringList none, fast{"--faststart"}, frag{"--fragment", "0.3"};
        QTest::newRow("AAC") << "aac_48k_stereo.aac"
                             << "" << none << QByteArray("mp4a") << "AAC 48000 Hz 2 ch 1.621 s";
        QTest::newRow("AAC fast start") << "aac_16k_mono_mpeg2.aac"
                                        << "" << fast << QByteArray("mp4a") << "AAC 16000 Hz 1 ch";
        QTest::newRow("AAC fragmented") << "aac_48k_crc.aac"
                                        << "" << frag << QByteArray("mp4a") << "AAC 48000 Hz 2 ch";
        QTest::newRow("MP3") << "mp3_44k_cbr.mp3"
                             << "" << none << QByteArray("mp4a") << "MP3 44100 Hz 2 ch 1.600 s";
        QTest::newRow("WAV 16-bit mono, fragmented")
            << "wav_16k_mono_s16.wav"
            << "" << frag << QByteArray("sowt") << "PCM 16-bit 16000";
        QTest::newRow("WAV 24-bit")
            << "wav_48k_s24.wav"
            << "" << none << QByteArray("lpcm") << "PCM 24-bit 48000 Hz 2 ch";
        QTest::newRow("WAV float, fast start")
            << "wav_48k_f32.wav"
            << "" << fast << QByteArray("lpcm") << "PCM 32-bit float";
        QTest::newRow("WAV 8-bit") << "wav_48k_u8.wav"
                                   << "" << none << QByteArray("raw ") << "PCM 8-bit";
        QTest::newRow("WAV A-law, fragmented")
            << "wav_8k_alaw.wav"
            << "" << frag << QByteArray("alaw") << "G.711 A-law 8000 Hz";
        QTest::newRow("raw PCM") << "raw_48k_stereo.pcm"
                                 << "s16le:48000:2" << none << QByteArray("sowt")
                                 << "PCM 16-bit 48000 Hz 2 ch 1.600 s";
        QTest::newRow("raw mu-law, fast start")
            << "raw_8k.ulaw"
            << "mulaw:8000:1" << fast << QByteArray("ulaw") << "G.711 mu-law 8000 Hz 1 ch";
        QTest::newRow("raw PCM, rate and channels given")
            << "raw_16k_mono.raw"
            << "s16le:16000:1"
            << QStringList{"--audio-rate", "16000", "--audio-channels", "1", "--fragment", "1"}
            << QByteArray("sowt") << "PCM 16-bit 16000 Hz 1 ch";
        // Rates beyond the 16 bits of the version 0 entry's field: AAC's is in its esds, PCM
        // takes the version 2 entry.
        QTest::newRow("AAC 96 kHz") << "aac_96k_stereo.aac"
                                    << "" << none << QByteArray("mp4a") << "AAC 96000 Hz 2 ch";
        QTest::newRow("WAV 16-bit 88.2 kHz, fast start")
            << "wav_88200_s16.wav"
            << "" << fast << QByteArray("lpcm") << "PCM 16-bit 88200 Hz 2 ch";
        QTest::newRow("WAV 16-bit 96 kHz, fragmented")
            << "wav_96000_s16.wav"
            << "" << frag << QByteArray("lpcm") << "PCM 16-bit 96000 Hz 2 ch";
        QTest::newRow("WAV 16-bit 192 kHz")
            << "wav_192000_s16.wav"
            << "" << none << QByteArray("lpcm") << "PCM 16-bit 192000 Hz 2 ch";
        QTest::newRow("WAV 24-bit 88.2 kHz, fragmented")
            << "wav_88200_s24.wav"
            << "" << frag << QByteArray("lpcm") << "PCM 24-bit 88200 Hz 2 ch";
        QTest::newRow("WAV 24-bit 96 kHz")
            << "wav_96000_s24.wav"
            << "" << none << QByteArray("lpcm") << "PCM 24-bit 96000 Hz 2 ch";
        QTest::newRow("WAV 24-bit 192 kHz, fast start")
            << "wav_192000_s24.wav"
            << "" << fast << QByteArray("lpcm") << "PCM 24-bit 192000 Hz 2 ch";
    }
    void sound() {
        QFETCH(QString, file);
        QFETCH(QString, raw);
        QFETCH(QStringList, options);
        QFETCH(QByteArray, entry);
        QFETCH(QString, described);
        const QString video = FindTestStream(QStringLiteral("main_bframes_640x360.h264")).file;
        const QString in = SoundFile(file);
        const QString out =
            tmp.filePath(QStringLiteral("sound-%1.mp4").arg(QTest::currentDataTag()));
        const Run r = Cli(QStringList{video, "--audio", in, "-o", out} + options);
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains(QStringLiteral(", audio ") + described), qPrintable(r.out));
        // 1.6 s of sound beside 0.96 s of pictures.
        QVERIFY2(r.err.contains(QStringLiteral("warning: the sound ends 0.")), qPrintable(r.err));
        const QVector<QByteArray> pictures = DecodePictureHashes(video);
        QCOMPARE(DecodePictureHashes(out), pictures);
        QCOMPARE(GstHashes(out), pictures);
        const QByteArray want = FfmpegSound(in, raw);
        QVERIFY(!want.isEmpty());
        const QByteArray got = FfmpegSound(out);
        const GstSound gst = GstSoundOf(out);
        QVERIFY2(gst.error.isEmpty(), qPrintable(gst.error));
        // Both play it at its own rate.
        const int rate =
            QRegularExpression(QStringLiteral("(\\d+) Hz")).match(r.out).captured(1).toInt();
        QCOMPARE(DecodeAudioFile(out).sampleRate, rate);
        QCOMPARE(gst.rate, rate);
        if (entry == "mp4a" && file.endsWith(QLatin1String(".mp3"))) {
            // FFmpeg leaves the encoder's padding at the end, which the edit list leaves out;
            // GStreamer's MP3 decoder is another one: its samples are not FFmpeg's.
            QVERIFY(got.startsWith(want));
        } else {
            QCOMPARE(got.size(), want.size());
            QVERIFY(got == want);
            QCOMPARE(gst.samples.size(), want.size());
            QVERIFY(gst.samples == want);
        }
        const QByteArray bytes = ReadFileBytes(out);
        const QByteArray moov = bytes.mid(bytes.indexOf("moov"));
        QVERIFY2(moov.contains(entry), entry.constData());
        if (options.contains(QStringLiteral("--fragment"))) {
            // The moov's esds carries the AudioSpecificConfig (DecSpecificInfo, tag 5), built
            // from the first ADTS header.
            if (entry == "mp4a") {
                const QByteArray adts = ReadFileBytes(in);
                const int objectType = ((uchar(adts[2]) >> 6) & 3) + 1;
                const int rateIndex = (uchar(adts[2]) >> 2) & 15;
                const int channels = (uchar(adts[2]) & 1) << 2 | uchar(adts[3]) >> 6;
                const quint16 asc = quint16(objectType << 11 | rateIndex << 7 | channels << 3);
                QVERIFY(moov.contains(QByteArray("\x05\x02") + char(asc >> 8) + char(asc & 0xFF)));
            }
            // Every fragment holds both tracks, from the same time.
            const QVector<QVector<double>> fragments = FragmentTimes(bytes, rate);
            for (const QVector<double>& times : fragments) {
                if (times.size() < 2) continue;  // the sound that lasts beyond the pictures
                QVERIFY(std::abs(times[0] - times[1]) < 0.05);
            }
            // PCM and G.711 in samples of many sample times, not a packet for each.
            const int packets =
                Output(QStringLiteral("ffprobe"),
                       {"-v", "error", "-select_streams", "a", "-count_packets", "-show_entries",
                        "stream=nb_read_packets", "-of", "csv=p=0", out})
                    .trimmed()
                    .toInt();
            QVERIFY2(packets > 0 && packets <= int(want.size()) / 2 / 1024 + fragments.size(),
                     qPrintable(QString::number(packets)));
        } else {
            // Chunks of about half a second that alternate: both tracks' before either's end.
            const QVector<QVector<quint64>> chunks = ChunkOffsets(moov);
            QCOMPARE(chunks.size(), 2);
            QVERIFY(chunks[0].size() >= 2 && chunks[1].size() >= 3);
            QVERIFY(chunks[1][0] < chunks[0].last() && chunks[0][0] < chunks[1].last());
        }
    }

    // The flash and the beep of the same moment play together (within 1 ms) in FFmpeg and in
    // GStreamer, with B-frames, whatever the offset, unfragmented and fragmented.
    void soundSync_data() {
        QTest::addColumn<double>("offset");
        QTest::addColumn<QStringList>("options");
        for (const double offset : {0.0, 0.5, -0.25}) {
            QTest::addRow("%+.2f s", offset) << offset << QStringList();
            QTest::addRow("%+.2f s, fragmented", offset)
                << offset << QStringList{"--fragment", "1"};
        }
    }
    void soundSync() {
        QFETCH(double, offset);
        QFETCH(QStringList, options);
        // A flash in picture 25 (1 s) and a beep from 1 s on, as ffmpeg's generators make them.
        const QString flash = tmp.filePath(QStringLiteral("flash.h264"));
        const QString beep = tmp.filePath(QStringLiteral("beep.wav"));
        if (!QFile::exists(beep)) {
            QString err;
            Output(QStringLiteral("ffmpeg"),
                   {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                    "color=c=black:s=320x240:r=25:d=3,drawbox=enable='eq(n,25)':x=0:y=0:w=320:"
                    "h=240:c=white:t=fill",
                    "-c:v", "libx264", "-bf", "3", "-g", "50", "-pix_fmt", "yuv420p", "-f", "h264",
                    flash},
                   &err);
            Output(QStringLiteral("ffmpeg"),
                   {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                    "sine=f=1000:r=48000:d=3,volume=enable='lt(t,1)':volume=0", "-ac", "2", beep},
                   &err);
            QVERIFY2(QFile::exists(beep), qPrintable(err));
        }
        const double beepAt = FfmpegOnset(beep);  // the generator's own, near 1 s
        QVERIFY(beepAt > 0.99 && beepAt < 1.03);
        const QString out = tmp.filePath(
            QStringLiteral("sync-%1.mp4")
                .arg(QString(QTest::currentDataTag()).replace(QRegularExpression("\\W"), "_")));
        const Run r = Cli(QStringList{flash, "--audio", beep, "--audio-offset",
                                      QString::number(offset), "-o", out} +
                          options);
        QCOMPARE(r.status, 0);
        const double want = beepAt - 1.0 + offset;  // the beep after the flash
        const double ffmpeg = FfmpegOnset(out) - FfmpegFlash(out);
        QVERIFY2(std::abs(ffmpeg - want) < 0.001, qPrintable(QString::number(ffmpeg)));
        // GStreamer: the flash is picture 25 in output order.
        const QVector<QByteArray> raw = DecodePictureHashes(flash);
        const DecodeResult g = DecodeWithGStreamer(out);
        QCOMPARE(g.pictures.size(), raw.size());
        QCOMPARE(g.pictures[25].hash, raw[25]);
        const GstSound s = GstSoundOf(out);
        const double gst = s.onset - double(g.pictures[25].pts) / 1e9;
        QVERIFY2(std::abs(gst - want) < 0.001, qPrintable(QString::number(gst)));
        // Firefox reads an unfragmented file's empty edit in the sound's own time scale, not
        // the movie's: the two must be one, or it plays the sound of +0.5 s 0.94 s late.
        const QByteArray bytes = ReadFileBytes(out);
        const auto u32 = [&](int at) { return qFromBigEndian<quint32>(bytes.constData() + at); };
        const int sound = bytes.indexOf("trak", bytes.indexOf("trak") + 4);  // the second track
        const int mvhd = bytes.indexOf("mvhd"), mdhd = bytes.indexOf("mdhd", sound);
        const int elst = bytes.indexOf("elst", sound);
        if (offset > 0 && !options.contains(QStringLiteral("--fragment"))) {
            QVERIFY(sound > 0 && mvhd > 0 && mdhd > 0 && elst > 0 && bytes[elst + 4] == 0);
            const quint32 movieScale = u32(mvhd + (bytes[mvhd + 4] ? 24 : 16));
            QCOMPARE(movieScale, u32(mdhd + (bytes[mdhd + 4] ? 24 : 16)));
            QCOMPARE(u32(elst + 12), quint32(std::llround(offset * movieScale)));  // the empty edit
        }
        // A fragmented file's duration is the one presented: 3 s of each, the sound moved by the
        // offset (browsers take it for the length of the file).
        const int mehd = bytes.indexOf("mehd");
        if (options.contains(QStringLiteral("--fragment"))) {
            QVERIFY(mehd > 0 && bytes[mehd + 4] == 1);
            const double seconds = double(qFromBigEndian<quint64>(bytes.constData() + mehd + 8)) /
                                   u32(mvhd + (bytes[mvhd + 4] ? 24 : 16));
            QVERIFY2(std::abs(seconds - std::max(3.0, 3.0 + offset)) < 0.001,
                     qPrintable(QString::number(seconds)));
        }
    }

    // Sound that cannot be read: one line that says why, exit 1, nothing written.
    void soundRefused_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "none.aac"
                                 << "No such file or directory";
        QTest::newRow("0 bytes") << "empty.aac"
                                 << "empty.aac";
        QTest::newRow("not sound") << "notes.txt"
                                   << "not a sound format";
        QTest::newRow("WAV header cut") << "wav_cut_header.wav"
                                        << "wav_cut_header.wav";
        QTest::newRow("AAC with a PCE") << "aac_pce.aac"
                                        << "aac_pce.aac";
    }
    void soundRefused() {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString in =
            file == QLatin1String("notes.txt") ? dir.filePath(file) : SoundFile(file);
        if (file == QLatin1String("notes.txt")) {
            QFile f(in);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("not sound at all\n");
        }
        const QString out = dir.filePath(QStringLiteral("out.mp4"));
        for (const QStringList& options : {QStringList(), QStringList{"--fragment", "1"}}) {
            const Run r =
                Cli(QStringList{FindTestStream(QStringLiteral("baseline_320x240.h264")).file,
                                "--audio", in, "-o", out} +
                    options);
            QCOMPARE(r.status, 1);
            QVERIFY2(r.err.startsWith(QStringLiteral("tovanmuxer-cli: ")) &&
                         r.err.count('\n') == 1 && r.err.contains(reason),
                     qPrintable(r.err));
            QVERIFY(r.out.isEmpty());
            QVERIFY(!QFile::exists(out));
            QVERIFY(!PartLeft(out));
        }
    }

    // A recording from a pipe with its sound from a FIFO, both at about real-time speed, ended
    // by SIGINT: both tracks in every fragment from the same time, the pictures and the sound
    // read, bit exact.
    void liveRecordingWithSound() {
        const QString raw = tmp.filePath(QStringLiteral("livesound.raw"));
        const QByteArray bytes = Repeated(QStringLiteral("main_bframes_640x360.h264"), 3, raw);
        const QString fifo = tmp.filePath(QStringLiteral("mic.pcm"));
        QVERIFY(mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const QByteArray pcm = ReadFileBytes(SoundFile(QStringLiteral("raw_48k_stereo.pcm")));
        const QString out = tmp.filePath(QStringLiteral("livesound.mp4"));
        QProcess p;
        p.start(QStringLiteral(TOVANMUXER_CLI),
                {QStringLiteral("-"), QStringLiteral("--audio"), fifo, QStringLiteral("-o"), out,
                 QStringLiteral("--fragment"), QStringLiteral("0.4")});
        QVERIFY(p.waitForStarted());
        // The sound: 0.1 s every 0.1 s, twice over, as a microphone gives it.
        std::thread mic([&] {
            const int fd = open(QFile::encodeName(fifo).constData(), O_WRONLY);
            for (int i = 0; fd >= 0 && i < 2 * pcm.size(); i += 19200) {
                const QByteArray piece = pcm.mid(i % pcm.size(), 19200);
                if (write(fd, piece.constData(), size_t(piece.size())) < 0) break;
                QThread::msleep(100);
            }
            if (fd >= 0) close(fd);
        });
        FeedLive(p, bytes, 36, 0.96 * 3, [](int) { return true; });
        QThread::msleep(300);
        QCOMPARE(kill(pid_t(p.processId()), SIGINT), 0);
        QVERIFY(p.waitForFinished(30000));
        mic.join();
        QCOMPARE(p.exitCode(), 0);
        const QString summary = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(summary.contains(QStringLiteral("audio PCM 16-bit 48000 Hz 2 ch")) &&
                     summary.contains(QStringLiteral("ended by SIGINT")),
                 qPrintable(summary));
        QVERIFY(IsPrefix(DecodePictureHashes(out), DecodePictureHashes(raw)));
        QVERIFY(DecodePictureHashes(out).size() >= 60);
        const QByteArray got = FfmpegSound(out);
        QVERIFY(got.size() >= 2 * 48000 * 8);  // a second at least
        QVERIFY((FfmpegSound(SoundFile(QStringLiteral("raw_48k_stereo.pcm")), "s16le:48000:2")
                     .repeated(2))
                    .startsWith(got));
        int both = 0;
        for (const QVector<double>& times : FragmentTimes(ReadFileBytes(out), 48000)) {
            if (times.size() != 2) continue;
            ++both;
            QVERIFY2(std::abs(times[0] - times[1]) < 0.15,
                     qPrintable(QStringLiteral("%1 %2").arg(times[0]).arg(times[1])));
        }
        QVERIFY(both >= 3);
    }

    // A fragmented file of a file: every test stream plays frame exact in both readers.
    void fragmentedFiles() {
        for (const TestStream& s : TestStreams()) {
            const QString out = tmp.filePath(QStringLiteral("frag-") + s.Name() + ".mp4");
            const Run r = Cli({s.file, QStringLiteral("--fragment"), QStringLiteral("0.3"),
                               QStringLiteral("-o"), out});
            QVERIFY2(r.status == 0, qPrintable(s.Name() + r.err));
            // A file's conversion is no recording: no word of how it ended.
            QVERIFY2(QRegularExpression(QStringLiteral(" in (1 fragment|\\d+ fragments)\n"))
                         .match(r.out)
                         .hasMatch(),
                     qPrintable(r.out));
            const QVector<QByteArray> want = DecodePictureHashes(s.file);
            QVERIFY2(DecodePictureHashes(out) == want, qPrintable(s.Name()));
            QVERIFY2(GstHashes(out) == want, qPrintable(s.Name()));
        }
    }

    void malformedTimestamps_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");  // behind the file's name
        QTest::newRow("not a number") << QByteArray("# timestamp format v2\n0\n33.3\n4O\n")
                                      << ":4: not a time in milliseconds: 4O";
        QTest::newRow("negative") << QByteArray("# timecode format v2\n\n-33.3\n")
                                  << ":3: negative time: -33.3";
        QTest::newRow("equal times") << QByteArray("# timecode format v2\n0\n40\n# x\n40.000\n")
                                     << ":5: the same time as an earlier line (40.000 ms)";
        QTest::newRow("v1 not ascending")
            << QByteArray("# timecode format v1\nassume 25\n10,20,50\n15,30,25\n")
            << ":4: the range is not ascending: 15,30,25";
        QTest::newRow("v1 without assume") << QByteArray("# timecode format v1\n0,9,50\n")
                                           << ":2: expected \"assume RATE\": 0,9,50";
        QTest::newRow("no header")
            << QByteArray("0\n40\n")
            << ":1: not a timestamp file: the first line is not \"# timestamp format v2\" or "
               "\"# timecode format v1\"";
        QTest::newRow("no times") << QByteArray("# timestamp format v2\n\n") << ": no times";
    }

    void malformedTimestamps() {
        // A clear reason naming the file and the line, exit 1, nothing written.
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString stamps = dir.filePath(QStringLiteral("times.txt"));
        QFile f(stamps);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        const QString out = dir.filePath(QStringLiteral("out.mp4"));
        const Run r = Cli({FindTestStream(QStringLiteral("baseline_320x240.h264")).file,
                           QStringLiteral("--timestamps"), stamps, QStringLiteral("-o"), out});
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, QStringLiteral("tovanmuxer-cli: %1%2\n").arg(stamps, message));
        QVERIFY(r.out.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 {QStringLiteral("times.txt")});
    }

    void timestampsAndJoin() {
        // The summary of a variable rate; a join of two segments into one file.
        const TestStream s = FindTestStream(QStringLiteral("baseline_320x240.h264"));
        const QString stamps = tmp.filePath(QStringLiteral("vfr.txt"));
        QFile f(stamps);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("# timestamp format v2\n");
        for (int k = 0; k < 30; ++k)
            f.write(QByteArray::number(k < 20 ? k * 40 : 800 + (k - 20) * 20) + "\n");
        f.close();
        const QString out = tmp.filePath(QStringLiteral("vfr.mp4"));
        const Run r =
            Cli({s.file, QStringLiteral("--timestamps"), stamps, QStringLiteral("-o"), out});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QStringLiteral("30 pictures, 1.000 s, variable frame rate (30.000 fps on "
                                       "average), 320x240 -> %1\n")
                            .arg(out));
        QCOMPARE(ReadMp4Info(out).trackTimeScale, 90000u);  // whole milliseconds
        // Even times: the rate they give, not the stream's.
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("# timestamp format v2\n");
        for (int k = 0; k < 30; ++k) f.write(QByteArray::number(k * 50) + "\n");
        f.close();
        const QString even = tmp.filePath(QStringLiteral("even.mp4"));
        const Run e =
            Cli({s.file, QStringLiteral("--timestamps"), stamps, QStringLiteral("-o"), even});
        QCOMPARE(e.out,
                 QStringLiteral("30 pictures, 1.500 s at 20.000 fps, 320x240 -> %1\n").arg(even));
        // Fewer times than pictures: a warning, and the rest at the last interval.
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("# timestamp format v2\n0\n40\n");
        f.close();
        const QString few = tmp.filePath(QStringLiteral("few.mp4"));
        const Run w =
            Cli({s.file, QStringLiteral("--timestamps"), stamps, QStringLiteral("-o"), few});
        QCOMPARE(w.status, 0);
        QCOMPARE(w.err, QStringLiteral("tovanmuxer-cli: warning: %1 has 2 times for 30 pictures: "
                                       "the last 28 continue at the last interval\n")
                            .arg(stamps));
        QVERIFY2(w.out.startsWith(QStringLiteral("30 pictures, 1.200 s at 25.000 fps")),
                 qPrintable(w.out));
        const QString joined = tmp.filePath(QStringLiteral("joined.mp4"));
        const Run j = Cli({QStringLiteral("--join"), s.file, s.file, QStringLiteral("-o"), joined});
        QCOMPARE(j.status, 0);
        QCOMPARE(j.out,
                 QStringLiteral("60 pictures, 2.400 s at 25.000 fps, 320x240 -> %1\njoined 2 "
                                "segments, first %2, last %2\n")
                     .arg(joined, s.file));
        QCOMPARE(DecodePictureHashes(joined),
                 DecodePictureHashes(s.file) + DecodePictureHashes(s.file));
        // Segments in the order the shell lists them (seg10 before seg2): joined by their
        // numbers, unless --join-in-order keeps the order given; the summary names both ends.
        const QString seg2 = tmp.filePath(QStringLiteral("seg2.h264"));
        const QString seg10 = tmp.filePath(QStringLiteral("seg10.h264"));
        const QString other = FindTestStream(QStringLiteral("aud_320x240.h264")).file;
        QVERIFY(QFile::copy(s.file, seg2) && QFile::copy(other, seg10));
        const struct {
            const char* option;
            QString first, last;
        } joins[] = {{"--join", seg2, seg10}, {"--join-in-order", seg10, seg2}};
        for (const auto& order : joins) {
            const QString out =
                tmp.filePath(QLatin1String(order.option + 2) + QStringLiteral(".mp4"));
            const Run o =
                Cli({QLatin1String(order.option), seg10, seg2, QStringLiteral("-o"), out});
            QCOMPARE(o.status, 0);
            QVERIFY2(o.out.endsWith(QStringLiteral(" -> %1\njoined 2 segments, first %2, last %3\n")
                                        .arg(out, order.first, order.last)),
                     qPrintable(o.out));
            QCOMPARE(DecodePictureHashes(out),
                     DecodePictureHashes(order.first) + DecodePictureHashes(order.last));
        }
    }

    void severalInputs() {
        // Each input into its own file in the directory; one that fails does not stop the
        // others, and the exit status says that one failed.
        QTemporaryDir dir;
        const QString good = FindTestStream(QStringLiteral("baseline_320x240.h264")).file;
        const QString other = FindTestStream(QStringLiteral("nobframes_320x240.hevc")).file;
        const QString bad = dir.filePath(QStringLiteral("bad.h264"));
        QFile f(bad);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a video\n");
        f.close();
        const QString outDir = dir.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkdir(outDir));
        const Run r = Cli({good, bad, other, QStringLiteral("-o"), outDir});
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, QStringLiteral("tovanmuxer-cli: %1: not an H.264 or H.265 stream: no "
                                       "sequence parameter set\n")
                            .arg(bad));
        QCOMPARE(r.out.count('\n'), 2);
        QCOMPARE(QDir(outDir).entryList(QDir::Files | QDir::Hidden),
                 QStringList({QStringLiteral("baseline_320x240.mp4"),
                              QStringLiteral("nobframes_320x240.mp4")}));
        QCOMPARE(DecodePictureHashes(outDir + QStringLiteral("/nobframes_320x240.mp4")),
                 DecodePictureHashes(other));
        // All good: 0.
        const QString again = dir.filePath(QStringLiteral("again"));
        QVERIFY(QDir().mkdir(again));
        QCOMPARE(Cli({good, other, QStringLiteral("-o"), again}).status, 0);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
