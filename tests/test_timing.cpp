// The frame rate a stream's timing gives, the track time scale it is written with, the times of
// the pictures, and whether a stream file says its frame rate at all.

#include <sys/stat.h>

#include <QTemporaryDir>
#include <QtTest>

#include "convert/streamfile.h"
#include "convert/timeline.h"
#include "convert/timing.h"
#include "support/streams.h"

class TestTiming : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void timeScaleChoice_data() {
        QTest::addColumn<uint>("num");
        QTest::addColumn<uint>("den");
        QTest::addColumn<uint>("timeScale");
        QTest::addColumn<uint>("duration");
        // Whole numbers of 90 kHz ticks keep 90000.
        QTest::newRow("25") << 25u << 1u << 90000u << 3600u;
        QTest::newRow("30") << 30u << 1u << 90000u << 3000u;
        QTest::newRow("60") << 60u << 1u << 90000u << 1500u;
        QTest::newRow("29.97") << 30000u << 1001u << 90000u << 3003u;
        QTest::newRow("59.94 unreduced") << 120000u << 2002u << 60000u << 1001u;
        // Others take the rate's own tick.
        QTest::newRow("23.976") << 24000u << 1001u << 24000u << 1001u;
        QTest::newRow("59.94") << 60000u << 1001u << 60000u << 1001u;
        QTest::newRow("7") << 7u << 1u << 7u << 1u;
        QTest::newRow("none") << 0u << 0u << 90000u << 3600u;
    }
    void timeScaleChoice() {
        QFETCH(uint, num);
        QFETCH(uint, den);
        QFETCH(uint, timeScale);
        QFETCH(uint, duration);
        const TrackTiming t = ChooseTrackTiming(num, den);
        QCOMPARE(t.timeScale, timeScale);
        QCOMPARE(t.frameDuration, duration);
    }

    void rateFromTiming() {
        uint32_t num = 0, den = 0;
        // x264 writes num_units_in_tick 1001, time_scale 48000 for 23.976 fps.
        QVERIFY(FrameRateFromTiming(1001, 48000, &num, &den));
        QCOMPARE(num, 24000u);
        QCOMPARE(den, 1001u);
        QVERIFY(FrameRateFromTiming(1, 50, &num, &den));
        QCOMPARE(num, 25u);
        QCOMPARE(den, 1u);
        QVERIFY(!FrameRateFromTiming(0, 50, &num, &den));
        QVERIFY(!FrameRateFromTiming(1, 0, &num, &den));
        QVERIFY(!FrameRateFromTiming(1, 2001, &num, &den));  // 1000.5 fps
        QVERIFY(FrameRateFromTiming(1, 2000, &num, &den));
    }

    void timelineRates_data() {
        QTest::addColumn<uint>("num");  // the later sequence's rate
        QTest::addColumn<uint>("den");
        QTest::addColumn<bool>("fixed");
        QTest::newRow("30: exact") << 30u << 1u << false;
        QTest::newRow("7: rounded") << 7u << 1u << false;
        QTest::newRow("23.976: rounded") << 24000u << 1001u << false;
        QTest::newRow("given rate") << 7u << 1u << true;
    }
    void timelineRates() {
        // Ten pictures at 25 fps, then a thousand at another rate: each lasts whole ticks, and
        // their times stay within half a tick of the exact ones however many follow.
        QFETCH(uint, num);
        QFETCH(uint, den);
        QFETCH(bool, fixed);
        Timeline t;
        t.StartAtRate(90000, 25, 1, fixed);
        for (int k = 0; k < 10; ++k) QCOMPARE(t.Next(25, 1), uint64_t(3600));
        QVERIFY(!t.Variable());
        const double step = fixed ? 3600.0 : 90000.0 * den / num;
        for (int k = 0; k < 1000; ++k) t.Next(num, den);
        for (int k = 0; k <= 1000; ++k)
            QVERIFY(std::abs(double(t.TimeAt(10 + k)) - (36000 + k * step)) <= 0.5);
        QCOMPARE(t.End(), t.TimeAt(1010));
        QCOMPARE(t.Variable(), !fixed);
    }

    void timelineTimes() {
        // Listed times: past the last, at the last interval; more than pictures, the last
        // picture lasts as the one before it.
        Timeline t;
        t.StartWithTimes(1000, {0, 10, 25, 45}, 7);
        QCOMPARE(t.Next(0, 0), uint64_t(10));
        QCOMPARE(t.Next(0, 0), uint64_t(15));
        QCOMPARE(t.SettleLast(), uint64_t(10));
        QCOMPARE(t.End(), uint64_t(20));
        t.StartWithTimes(1000, {0, 10, 25, 45}, 7);
        for (uint64_t d : {10, 15, 20, 20, 20}) QCOMPARE(t.Next(0, 0), d);
        QCOMPARE(t.SettleLast(), uint64_t(0));
        QCOMPARE(t.TimeAt(6), uint64_t(105));
        t.StartWithTimes(1000, {0}, 7);  // one time: the stream's rate after it
        QCOMPARE(t.Next(0, 0), uint64_t(7));
        QCOMPARE(t.Next(0, 0), uint64_t(7));
    }

    void firstSpsTiming() {
        // The window asks for a frame rate exactly when the converter would assume one.
        for (const TestStream& s : TestStreams())
            QVERIFY2(FirstSpsTiming(s.file) == (s.Int("vui_timing") || s.Int("vps_timing")
                                                    ? StreamTiming::Present
                                                    : StreamTiming::Absent),
                     qPrintable(s.Name()));
        QTemporaryDir tmp;
        QFile text(tmp.filePath(QStringLiteral("notes.h264")));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not a video at all\n");
        text.close();
        QCOMPARE(FirstSpsTiming(text.fileName()), StreamTiming::Unknown);
        QCOMPARE(FirstSpsTiming(tmp.filePath(QStringLiteral("missing.h264"))),
                 StreamTiming::Unknown);
        const QString fifo = tmp.filePath(QStringLiteral("fifo.h264"));  // never waited for
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(FirstSpsTiming(fifo), StreamTiming::Unknown);
    }
};

QTEST_APPLESS_MAIN(TestTiming)
#include "test_timing.moc"
