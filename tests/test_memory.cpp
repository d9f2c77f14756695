// The converter's memory stays small: the command-line converter's peak resident memory is
// below 16 MB plus 16 bytes a picture (the sample tables), on a 10 MB stream and on a 1 GB one.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "support/decode.h"
#include "support/streams.h"

namespace {

struct Run {
    bool ok = false;
    qint64 peakBytes = 0;
    QString output;  // the CLI's line
};

// Runs the command-line converter in a child and takes its peak resident memory from the
// child's resource usage.
Run Convert(const QString& in, const QString& out) {
    Run r;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return r;
    const QByteArray inPath = in.toLocal8Bit(), outPath = out.toLocal8Bit();
    const pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        execl(TOVANMUXER_CLI, TOVANMUXER_CLI, inPath.constData(), "-o", outPath.constData(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    char buf[512];
    ssize_t n;
    QByteArray line;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) line.append(buf, int(n));
    close(pipeFds[0]);
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) return r;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peakBytes = qint64(usage.ru_maxrss) * 1024;  // kilobytes on Linux
    r.output = QString::fromUtf8(line).trimmed();
    return r;
}

bool Repeat(const QByteArray& one, qint64 size, const QString& path, qint64* copies) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray block = one.repeated(16);
    *copies = 0;
    while (f.size() < size) {
        if (f.write(block) != block.size()) return false;
        *copies += 16;
    }
    return true;
}

}  // namespace

class TestMemory : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void peakDoesNotGrowWithInput() {
#ifdef TOVANMUXER_SANITIZED
        QSKIP("AddressSanitizer's shadow memory and quarantine make resident memory meaningless");
#endif
#ifdef TOVANMUXER_EMULATED
        QSKIP("under a user-mode emulator the peak memory measured would be the emulator's");
#endif
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const TestStream s = FindTestStream(QStringLiteral("high_bpyramid_640x360.h264"));
        const QByteArray one = ReadFileBytes(s.file);
        QVERIFY(!one.isEmpty());
        qint64 smallCopies = 0, bigCopies = 0;
        const QString small = tmp.filePath(QStringLiteral("small.h264"));
        const QString big = tmp.filePath(QStringLiteral("big.h264"));
        QVERIFY(Repeat(one, 10LL * 1000 * 1000, small, &smallCopies));
        QVERIFY(Repeat(one, 1000LL * 1000 * 1000, big, &bigCopies));

        const Run a = Convert(small, tmp.filePath(QStringLiteral("small.mp4")));
        const Run b = Convert(big, tmp.filePath(QStringLiteral("big.mp4")));
        QVERIFY2(a.ok, qPrintable(a.output));
        QVERIFY2(b.ok, qPrintable(b.output));
        const qint64 bigPictures = bigCopies * s.Int("frames");
        QVERIFY(b.output.startsWith(QString::number(bigPictures) + QLatin1Char(' ')));
        const auto allowed = [](qint64 pictures) { return 16LL * 1024 * 1024 + 16 * pictures; };
        qInfo(
            "peak resident memory: %lld kB for 10 MB, %lld kB for 1 GB (%lld pictures); "
            "allowed %lld kB",
            a.peakBytes / 1024, b.peakBytes / 1024, bigPictures, allowed(bigPictures) / 1024);
        QVERIFY(a.peakBytes < allowed(smallCopies * s.Int("frames")));
        QVERIFY(b.peakBytes < allowed(bigPictures));
    }
};

QTEST_GUILESS_MAIN(TestMemory)
#include "test_memory.moc"
