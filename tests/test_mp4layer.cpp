// The MP4 calls on their own: what the file says about time scales, the decoder configuration,
// sync samples and rendering offsets, and that write errors are reported.

#include <QTemporaryDir>
#include <QtTest>

#include "convert/nalunit.h"
#include "mp4/mp4check.h"
#include "mp4/mp4v2.h"
#include "support/decode.h"
#include "support/streams.h"

namespace {

struct Stream {
    QByteArray sps, pps;
    QVector<QByteArray> samples;  // one length-prefixed slice per picture
};

// Splits a stream whose pictures are single slices into its parameter sets and samples.
Stream Split(const QByteArray& d) {
    Stream s;
    ForEachNalUnit(d, [&](const NalUnit& n, qint64) {
        QByteArray nal(reinterpret_cast<const char*>(n.data), n.length);
        while (nal.endsWith('\0')) nal.chop(1);
        if (n.type == 7 && s.sps.isEmpty()) s.sps = nal;
        if (n.type == 8 && s.pps.isEmpty()) s.pps = nal;
        if (n.type == 1 || n.type == 5) {
            const uint32_t len = uint32_t(nal.size());
            QByteArray sample;
            sample.append(char(len >> 24))
                .append(char(len >> 16))
                .append(char(len >> 8))
                .append(char(len));
            s.samples.push_back(sample + nal);
        }
    });
    return s;
}

const uint8_t* U8(const QByteArray& b) {
    return reinterpret_cast<const uint8_t*>(b.constData());
}

}  // namespace

class TestMp4Layer : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;
    Stream stream;
    QString source;

private Q_SLOTS:
    void initTestCase() {
        for (const TestStream& t : TestStreams(QStringLiteral("h264")))
            if (t.Int("bframes") == 0 && t.Int("slices_per_picture") == 1 &&
                t.Int("sei_every_picture") == 0) {
                source = t.file;
                break;
            }
        QVERIFY(!source.isEmpty());
        stream = Split(ReadFileBytes(source));
        QVERIFY(!stream.sps.isEmpty() && !stream.pps.isEmpty() && stream.samples.size() > 4);
    }

    void trackAndSamples() {
        const QString path = tmp.filePath(QStringLiteral("layer.mp4"));
        MP4FileHandle h = MP4Create(path.toUtf8().constData(), 0);
        QVERIFY(h != MP4_INVALID_FILE_HANDLE);
        QVERIFY(MP4SetTimeScale(h, 600));
        QVERIFY(!MP4WriteSample(h, 1, U8(stream.samples[0]), 4));  // no track yet
        const MP4TrackId t =
            MP4AddH264VideoTrack(h, 90000, 3000, 320, 240, uint8_t(stream.sps[1]),
                                 uint8_t(stream.sps[2]), uint8_t(stream.sps[3]), 3);
        QVERIFY(t != MP4_INVALID_TRACK_ID);
        QCOMPARE(MP4AddH264VideoTrack(h, 90000, 3000, 320, 240, 66, 0, 30, 3),
                 MP4_INVALID_TRACK_ID);
        MP4SetVideoProfileLevel(h, 127);
        // Repeated identical parameter sets go into the configuration once.
        for (int i = 0; i < 3; ++i) {
            MP4AddH264SequenceParameterSet(h, t, U8(stream.sps), uint16_t(stream.sps.size()));
            MP4AddH264PictureParameterSet(h, t, U8(stream.pps), uint16_t(stream.pps.size()));
        }
        QVERIFY(!MP4WriteSample(h, MP4_INVALID_TRACK_ID, U8(stream.samples[0]),
                                uint32_t(stream.samples[0].size())));
        // Every sample with the fixed duration; sync flags and offsets as given.
        QVector<bool> sync;
        for (int i = 0; i < stream.samples.size(); ++i) {
            const QByteArray& s = stream.samples[i];
            sync.push_back((s[4] & 0x1F) == 5);
            QVERIFY(MP4WriteSample(h, t, U8(s), uint32_t(s.size()), MP4_INVALID_DURATION,
                                   MP4Duration(i % 3) * 3000, sync.back()));
            // Repeats between samples are not sent again.
            MP4AddH264SequenceParameterSet(h, t, U8(stream.sps), uint16_t(stream.sps.size()));
        }
        // Offsets may be revised after the samples are written, and the presentation starts
        // where the edit list says.
        QVERIFY(MP4SetSampleRenderingOffset(h, t, 2, 6000));
        QVERIFY(!MP4SetSampleRenderingOffset(h, t, uint32_t(stream.samples.size() + 1), 0));
        QCOMPARE(MP4AddTrackEdit(h, t, MP4_INVALID_EDIT_ID, 3000, 0), MP4EditId(1));
        int err = -1;
        QVERIFY(MP4CloseChecked(h, 0, &err));
        QCOMPARE(err, 0);

        const Mp4Info info = ReadMp4Info(path);
        QVERIFY2(info.ok, qPrintable(info.error));
        QCOMPARE(info.movieTimeScale, 600u);
        QCOMPARE(info.trackTimeScale, 90000u);
        // The media lasts as long as its samples together.
        QCOMPARE(info.trackDuration, uint64_t(stream.samples.size()) * 3000);
        QCOMPARE(info.edits.size(), 1);
        QCOMPARE(info.edits[0].mediaTime, int64_t(3000));
        QCOMPARE(info.tkhdWidth, 320.0);
        QCOMPARE(info.tkhdHeight, 240.0);
        QCOMPARE(info.iodsVideoProfile, 127);
        QCOMPARE(int(info.sampleCount), stream.samples.size());
        QVector<uint32_t> expectSync;
        for (int i = 0; i < sync.size(); ++i)
            if (sync[i]) expectSync.push_back(uint32_t(i + 1));
        QVERIFY(expectSync.size() < sync.size());
        QCOMPARE(info.syncSamples, expectSync);
        QCOMPARE(info.compositionOffsets.size(), stream.samples.size());
        for (int i = 0; i < stream.samples.size(); ++i)
            QCOMPARE(info.compositionOffsets[i], i == 1 ? 6000 : int64_t(i % 3) * 3000);
        // avcC: version 1, the bytes given, 4-byte lengths, one SPS and one PPS.
        const QByteArray& c = info.avcC;
        QVERIFY(c.size() >= 11 + stream.sps.size() + stream.pps.size());
        QCOMPARE(c[0], char(1));
        QCOMPARE(c.mid(1, 3), stream.sps.mid(1, 3));
        QCOMPARE(uint8_t(c[4]), uint8_t(0xFF));
        QCOMPARE(uint8_t(c[5]), uint8_t(0xE1));
        QCOMPARE(c.mid(8, stream.sps.size()), stream.sps);
        QCOMPARE(int(c[8 + stream.sps.size()]), 1);
        QCOMPARE(c.mid(11 + stream.sps.size(), stream.pps.size()), stream.pps);
        // Samples are stored byte for byte.
        QCOMPARE(ReadSamples(path), stream.samples);
        QCOMPARE(DecodePictureHashes(path), DecodePictureHashes(source).mid(1));  // 0 is cut
    }

    void writeErrorsAreReported() {
        MP4FileHandle h = MP4Create("/dev/full", 0);
        QVERIFY(h != MP4_INVALID_FILE_HANDLE);
        const MP4TrackId t = MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, 66, 0xC0, 30, 3);
        MP4AddH264SequenceParameterSet(h, t, U8(stream.sps), uint16_t(stream.sps.size()));
        MP4AddH264PictureParameterSet(h, t, U8(stream.pps), uint16_t(stream.pps.size()));
        bool allWritten = true;
        for (int round = 0; round < 200 && allWritten; ++round)
            for (const QByteArray& s : stream.samples)
                allWritten = allWritten && MP4WriteSample(h, t, U8(s), uint32_t(s.size()));
        int err = 0;
        QVERIFY(!MP4CloseChecked(h, 0, &err));
        QCOMPARE(err, ENOSPC);

        QCOMPARE(MP4Create("/nonexistent-dir/x.mp4", 0), MP4_INVALID_FILE_HANDLE);
    }
};

QTEST_APPLESS_MAIN(TestMp4Layer)
#include "test_mp4layer.moc"
