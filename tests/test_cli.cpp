// tovanmuxer-cli as a user runs it: exit status, messages, default output name, --fps, progress,
// timestamp files, joins and several inputs.

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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
              QStringList{QStringLiteral("a.h264"), QStringLiteral("--fps"),
                          QStringLiteral("0")}}) {
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
        QProcess p;
        p.start(QStringLiteral(TOVANMUXER_CLI), {first.file, in, QStringLiteral("-o"), tmp.path()});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(PartLeft(out) || p.state() == QProcess::NotRunning, 20000);
        p.terminate();
        QVERIFY(p.waitForFinished(20000));
        QVERIFY(!PartLeft(out));
        QVERIFY(!QFile::exists(out));
        QCOMPARE(DecodePictureHashes(tmp.filePath(QStringLiteral("baseline_320x240.mp4"))),
                 DecodePictureHashes(first.file));
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
                 QStringLiteral("60 pictures, 2.400 s at 25.000 fps, 320x240 -> %1\n").arg(joined));
        QCOMPARE(DecodePictureHashes(joined),
                 DecodePictureHashes(s.file) + DecodePictureHashes(s.file));
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
