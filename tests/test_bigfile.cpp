// A stream of 5 GB, made by repeating a test stream: the MP4, over 4 GiB, holds every picture,
// with the movie box behind the media data and, with fast start, in front of it.

#include <sys/statvfs.h>

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "convert/converter.h"
#include "support/decode.h"
#include "support/streams.h"

namespace {

constexpr qint64 kStreamBytes = 5000LL * 1000 * 1000;
constexpr qint64 kFreeNeeded = 12000LL * 1000 * 1000;  // the input, the MP4 and room to spare
constexpr qint64 k4GiB = 1LL << 32;

qint64 FreeBytes(const QString& dir) {
    struct statvfs st;
    if (statvfs(dir.toLocal8Bit().constData(), &st) != 0) return 0;
    return qint64(st.f_bavail) * qint64(st.f_frsize);
}

}  // namespace

class TestBigFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void over4GiB() {
        const qint64 free = FreeBytes(QDir::tempPath());
        if (free < kFreeNeeded)
            QSKIP(qPrintable(QStringLiteral("needs 12 GB free in %1, has %2 MB")
                                 .arg(QDir::tempPath())
                                 .arg(free / 1000000)));
        av_log_set_level(AV_LOG_QUIET);
        QTemporaryDir tmp;  // removed with everything in it when the test ends
        QVERIFY(tmp.isValid());

        // One copy first: its samples are what every copy must give.
        const TestStream s = FindTestStream(QStringLiteral("main_1920x1080.h264"));
        const QByteArray one = ReadFileBytes(s.file);
        QVERIFY(!one.isEmpty());
        const QString oneOut = tmp.filePath(QStringLiteral("one.mp4"));
        {
            Converter c;
            QVERIFY2(c.WriteH264File(s.file.toStdString().c_str(), oneOut),
                     qPrintable(c.LastError()));
        }
        const QVector<QByteArray> perCopy = ReadSamples(oneOut);
        QCOMPARE(perCopy.size(), s.Int("frames"));

        const QString in = tmp.filePath(QStringLiteral("big.h264"));
        qint64 copies = 0;
        {
            QFile f(in);
            QVERIFY(f.open(QIODevice::WriteOnly));
            const QByteArray block = one.repeated(64);
            while (f.size() < kStreamBytes) {
                QCOMPARE(f.write(block), qint64(block.size()));
                copies += 64;
            }
        }
        for (bool fastStart : {false, true}) {
            // One output at a time, so that the disk holds the input and one MP4.
            const QString out = tmp.filePath(fastStart ? "fast.mp4" : "big.mp4");
            CheckBigFile(in, out, fastStart, quint64(copies), perCopy);
            QFile::remove(out);
            if (QTest::currentTestFailed()) return;
        }
    }

private:
    void CheckBigFile(const QString& in, const QString& out, bool fastStart, quint64 copies,
                      const QVector<QByteArray>& perCopy) {
        Converter c;
        c.SetFastStart(fastStart);
        QVERIFY2(c.WriteH264File(in.toStdString().c_str(), out), qPrintable(c.LastError()));
        const quint64 pictures = quint64(copies) * quint64(perCopy.size());
        QCOMPARE(c.Summary().pictures, pictures);
        QVERIFY(QFileInfo(out).size() > k4GiB);

        const Mp4Info info = ReadMp4Info(out);
        QVERIFY2(info.ok, qPrintable(info.error));
        QCOMPARE(quint64(info.sampleCount), pictures);
        QVERIFY(info.co64);
        QCOMPARE(info.mdatFirst, !fastStart);
        QCOMPARE(quint64(info.sttsDeltas.size()), pictures);

        // Every sample, read back from where the file says it is, is the picture it should be.
        AVFormatContext* fmt = nullptr;
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "ignore_editlist", "1", 0);
        QVERIFY(avformat_open_input(&fmt, out.toUtf8().constData(), nullptr, &opts) >= 0);
        av_dict_free(&opts);
        AVPacket* pkt = av_packet_alloc();
        quint64 n = 0;
        int64_t lastPos = 0;
        bool same = true;
        while (av_read_frame(fmt, pkt) >= 0) {
            const QByteArray& expected = perCopy[int(n % quint64(perCopy.size()))];
            if (pkt->size != expected.size() ||
                memcmp(pkt->data, expected.constData(), size_t(pkt->size)) != 0) {
                if (same) qWarning("sample %llu differs", static_cast<unsigned long long>(n));
                same = false;
            }
            lastPos = pkt->pos;
            ++n;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        avformat_close_input(&fmt);
        QVERIFY(same);
        QCOMPARE(n, pictures);
        QVERIFY(lastPos > k4GiB);
    }
};

QTEST_GUILESS_MAIN(TestBigFile)
#include "test_bigfile.moc"
