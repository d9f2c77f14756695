// tovanmuxer-cli as a user runs it: exit status, messages, default output name, --fps, progress.

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
              QStringList{QStringLiteral("a.h264"), QStringLiteral("b.h264")},
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
        // A conversion stopped by a signal removes its unfinished file.
        const QByteArray one =
            ReadFileBytes(FindTestStream(QStringLiteral("main_1920x1080.h264")).file);
        const QString in = tmp.filePath(QStringLiteral("long.h264"));
        QFile f(in);
        QVERIFY(f.open(QIODevice::WriteOnly));
        for (qint64 n = 0; n < 200000000; n += one.size()) f.write(one);
        f.close();
        const QString out = tmp.filePath(QStringLiteral("long.mp4"));
        QProcess p;
        p.start(QStringLiteral(TOVANMUXER_CLI), {in, QStringLiteral("-o"), out});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(PartLeft(out) || p.state() == QProcess::NotRunning, 20000);
        p.terminate();
        QVERIFY(p.waitForFinished(20000));
        QVERIFY(!PartLeft(out));
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
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
