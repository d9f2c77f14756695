// The MP4 calls on their own: what the file says about time scales, the decoder configuration
// of H.264 and H.265 tracks, sync samples, random access points and rendering offsets, that
// write errors are reported, and that a refused sample leaves the file sound. Under them, the
// file sink: every byte where it belongs, whatever the writes, patches and write-back windows.

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <thread>

#include "convert/nalunit.h"
#include "mp4/filesink.h"
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

QByteArray LengthPrefixed(const QByteArray& nal) {
    const uint32_t n = uint32_t(nal.size());
    return QByteArray() + char(n >> 24) + char(n >> 16) + char(n >> 8) + char(n) + nal;
}

// An H.265 stream of `frames` pictures of ffmpeg's test pattern, made by x265 with `options`.
QString MakeHevcStream(const QString& dir, const QString& name, const QString& size, int frames,
                       const QStringList& options) {
    const QString yuv = dir + QStringLiteral("/") + name + QStringLiteral(".yuv");
    const QString out = dir + QStringLiteral("/") + name + QStringLiteral(".hevc");
    const QString n = QString::number(frames);
    if (QProcess::execute(
            QStringLiteral("ffmpeg"),
            {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=25",
             "-frames:v", n, "-pix_fmt", "yuv420p", "-f", "rawvideo", yuv}) != 0)
        return QString();
    QStringList args = {"--input",
                        yuv,
                        "--input-res",
                        size,
                        "--fps",
                        "25",
                        "--frames",
                        n,
                        "--pools",
                        "none",
                        "--frame-threads",
                        "1",
                        "--no-scenecut",
                        "--no-info",
                        "--log-level",
                        "error",
                        "-o",
                        out};
    QProcess x265;
    x265.start(QStringLiteral("x265"), args + options);
    if (!x265.waitForFinished(60000) || x265.exitCode() != 0) return QString();
    return out;
}

// The payload of a NAL unit without its emulation prevention bytes.
QByteArray Unescape(const QByteArray& nal) {
    QByteArray out;
    int zeros = 0;
    for (char c : nal) {
        if (zeros >= 2 && c == 3) {
            zeros = 0;
            continue;
        }
        zeros = c == 0 ? zeros + 1 : 0;
        out.append(c);
    }
    return out;
}

// What an H.265 file written by WriteHevc should hold.
struct HevcWritten {
    QVector<QByteArray> vps, sps, pps;  // every distinct set, in stream order
    QVector<QByteArray> samples;        // the pictures as given, without in-band sets
    QVector<uint32_t> sync;             // IDR, BLA, and CRA without RASL pictures
    QVector<uint32_t> rap;              // CRA with RASL pictures
    QVector<int> leading;               // how many RASL pictures each has
};

// Writes the pictures of the raw streams one after the other into an H.265 track, as a
// converter does: parameter sets as they come, SEI with the picture they precede, and each IRAP
// picture sync at first, revised to a random access point once a RASL picture follows it.
HevcWritten WriteHevc(const QString& path, const QVector<QString>& streams,
                      const Mp4HevcFields& fields) {
    HevcWritten w;
    MP4FileHandle h = MP4Create(path.toUtf8().constData(), 0);
    const MP4TrackId t = MP4AddH265VideoTrack(h, 25000, 1000, 64, 64, 3);
    MP4SetH265Fields(h, t, fields);
    QByteArray pending;
    uint32_t cra = 0;
    int rasl = 0;
    auto endCra = [&] {
        if (cra && rasl) {
            MP4SetSampleSync(h, t, cra, false);
            MP4AddRandomAccessSample(h, t, cra, rasl);
            w.sync.removeOne(cra);
            w.rap.push_back(cra);
            w.leading.push_back(rasl);
        }
        cra = 0;
        rasl = 0;
    };
    for (const QString& file : streams) {
        ForEachNalUnit(ReadFileBytes(file), [&](const NalUnit& n, qint64) {
            QByteArray nal(reinterpret_cast<const char*>(n.data), n.length);
            while (nal.endsWith('\0')) nal.chop(1);
            const int type = (uint8_t(nal[0]) >> 1) & 0x3F;
            auto add = [&](QVector<QByteArray>& seen, auto call) {
                call(h, t, U8(nal), uint16_t(nal.size()));
                if (!seen.contains(nal)) seen.push_back(nal);
            };
            if (type == 32) add(w.vps, MP4AddH265VideoParameterSet);
            if (type == 33) add(w.sps, MP4AddH265SequenceParameterSet);
            if (type == 34) add(w.pps, MP4AddH265PictureParameterSet);
            if (type >= 35) pending += LengthPrefixed(nal);
            if (type >= 32) return;
            const bool irap = type >= 16 && type <= 23;
            if (irap) endCra();
            const QByteArray sample = pending + LengthPrefixed(nal);
            pending.clear();
            MP4WriteSample(h, t, U8(sample), uint32_t(sample.size()), MP4_INVALID_DURATION, 0,
                           irap);
            w.samples.push_back(sample);
            const uint32_t id = uint32_t(w.samples.size());
            if (irap) w.sync.push_back(id);
            if (type == 21) cra = id;
            if (type == 8 || type == 9) ++rasl;
        });
    }
    endCra();
    MP4Close(h, 0);
    return w;
}

}  // namespace

class TestMp4Layer : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;
    Stream stream;
    QString source;
    QHash<QString, QString> hevcStreams;

    // The H.265 streams, each made once. "open": open GOPs with RASL pictures and two temporal
    // sub-layers (sub-layer flags ahead of the SPS id); "other": another size, high tier, level 4.
    QString HevcStream(const QString& name) {
        if (!hevcStreams.contains(name))
            hevcStreams[name] =
                name == "open"
                    ? MakeHevcStream(tmp.path(), name, "64x64", 24,
                                     {"--keyint", "8", "--min-keyint", "8", "--open-gop",
                                      "--bframes", "3", "--temporal-layers"})
                    : MakeHevcStream(tmp.path(), name, "96x64", 8,
                                     {"--keyint", "8", "--bframes", "2", "--level-idc", "4"});
        return hevcStreams[name];
    }

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
        QCOMPARE(info.sampleEntry, QByteArray("avc1"));
        QCOMPARE(info.brands, (QVector<QByteArray>{"isom", "isom", "iso2", "avc1", "mp41"}));
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

    // An H.265 track from whole x265 streams: the record's fields against the first SPS, hvc1
    // while every set keeps one content and hev1 once one goes in band, sync samples revised
    // behind CRA pictures, and both readers playing every picture.
    void hevcTrack_data() {
        QTest::addColumn<QStringList>("streams");
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<int>("levelOf");  // which stream's SPS has the highest level
        QTest::newRow("one stream") << QStringList{"open"} << QByteArray("hvc1") << 0;
        QTest::newRow("the same sets again")
            << QStringList{"open", "open"} << QByteArray("hvc1") << 0;
        QTest::newRow("other sets with the same ids")
            << QStringList{"open", "other"} << QByteArray("hev1") << 1;
    }
    void hevcTrack() {
        QFETCH(QStringList, streams);
        QFETCH(QByteArray, entry);
        QFETCH(int, levelOf);
        QVector<QString> files;
        QVector<QByteArray> expected;  // the pictures as libavcodec decodes the raw streams
        for (const QString& s : streams) {
            const QString file = HevcStream(s);
            QVERIFY2(!file.isEmpty(), "x265 or ffmpeg failed");
            files.push_back(file);
            expected += DecodePictureHashes(file);
        }
        Mp4HevcFields fields;
        fields.minSpatialSegmentationIdc = 0xABC;
        fields.parallelismType = 2;
        fields.numTemporalLayers = 2;
        fields.temporalIdNested = false;
        const QString path = tmp.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".mp4");
        const HevcWritten w = WriteHevc(path, files, fields);
        const Mp4Info info = ReadMp4Info(path);
        QVERIFY2(info.ok, qPrintable(info.error));
        QCOMPARE(info.sampleEntry, entry);
        QCOMPARE(info.brands, (QVector<QByteArray>{"isom", "isom", "iso2", "mp41"}));
        QCOMPARE(int(info.avc1Width), 64);
        QCOMPARE(info.tkhdWidth, 64.0);

        // The record: profile, tier and flags of the first SPS as its payload holds them (its
        // constraint flags are escaped in the NAL unit), the highest level, then the fields.
        const QByteArray& c = info.hvcC;
        QVERIFY(c.size() > 23);
        const QByteArray first = Unescape(w.sps[0]);
        QVERIFY(first.mid(3, 12) != w.sps[0].mid(3, 12));
        QCOMPARE(c[0], char(1));
        QCOMPARE(c.mid(1, 11), first.mid(3, 11));
        QCOMPARE(c[12], Unescape(w.sps[levelOf]).at(14));
        QVERIFY(uint8_t(c[12]) >= uint8_t(first[14]));
        QCOMPARE(c.mid(13, 10).toHex(), QByteArray("fabcfefdf8f8000013") + "03");
        QCOMPARE(info.hvcCArrayTypes, (QVector<int>{32, 33, 34}));
        QCOMPARE(info.hvcCArrayComplete, QVector<bool>(3, entry == "hvc1"));
        // Each id once, with the content it had first.
        QCOMPARE(info.hvcCVps, QVector<QByteArray>{w.vps[0]});
        QCOMPARE(info.hvcCSps, QVector<QByteArray>{w.sps[0]});
        QCOMPARE(info.hvcCPps, QVector<QByteArray>{w.pps[0]});

        // Samples as given; the second stream's sets in band in front of its first picture.
        const QVector<QByteArray> stored = ReadSamples(path);
        QCOMPARE(stored.size(), w.samples.size());
        for (int i = 0; i < stored.size(); ++i) {
            QVERIFY(stored[i].endsWith(w.samples[i]));
            const QVector<QByteArray> units = UnitsOfSample(stored[i]);
            const bool inband = stored[i] != w.samples[i];
            QCOMPARE(inband, entry == "hev1" && i == 24);
            if (inband) {
                QVERIFY(units.contains(w.sps.last()) && units.contains(w.vps.last()));
                QVERIFY(units.contains(w.pps.last()));  // unchanged, but behind a new SPS
            }
        }
        QVERIFY(!w.rap.isEmpty() && w.sync.size() > streams.size());
        QCOMPARE(info.syncSamples, w.sync);
        QCOMPARE(info.rapSamples, w.rap);
        QCOMPARE(info.rapLeading, w.leading);

        // libavformat takes the sync samples and the 'rap ' group as key frames.
        const DecodeResult ff = DecodeFile(path);
        QVERIFY2(ff.ok, qPrintable(ff.error));
        QCOMPARE(PictureHashes(ff), expected);
        QVector<uint32_t> keys;
        for (int i = 0; i < ff.packets.size(); ++i)
            if (ff.packets[i].key) keys.push_back(uint32_t(i + 1));
        QVector<uint32_t> points = w.sync + w.rap;
        std::sort(points.begin(), points.end());
        QCOMPARE(keys, points);
        const DecodeResult gst = DecodeWithGStreamer(path);
        QVERIFY2(gst.ok, qPrintable(gst.error));
        QCOMPARE(PictureHashes(gst), expected);
    }

    // Sync status and random access points revised after the samples were written.
    void syncRevisionsAndRandomAccess_data() {
        QTest::addColumn<QVector<int>>("ops");        // kind ('s' sync, 'r' rap), sample, value, ok
        QTest::addColumn<QVector<uint32_t>>("sync");  // empty: every sample (no stss)
        QTest::addColumn<QVector<uint32_t>>("rap");
        QTest::addColumn<QVector<int>>("leading");
        // Written: 10 samples, 1 and 5 sync.
        QTest::newRow("insert, erase, repeat, bad ids")
            << QVector<int>{'s', 3, 1,   1,  's', 5, 0,   1, 's', 3, 1,   1, 's', 10,
                            1,   1, 's', 11, 0,   0, 's', 0, 1,   0, 's', 7, 0,   1}
            << QVector<uint32_t>{1, 3, 10} << QVector<uint32_t>{} << QVector<int>{};
        QTest::newRow("every sample sync")
            << QVector<int>{'s', 2, 1, 1, 's', 3, 1, 1, 's', 4, 1, 1, 's', 6,  1, 1,
                            's', 7, 1, 1, 's', 8, 1, 1, 's', 9, 1, 1, 's', 10, 1, 1}
            << QVector<uint32_t>{} << QVector<uint32_t>{} << QVector<int>{};
        QTest::newRow("random access points")
            << QVector<int>{'r', 3,  2,   1, 'r', 7, -1, 1, 'r', 8,  2, 1,
                            'r', 10, 200, 1, 'r', 3, 4,  1, 'r', 11, 1, 0,
                            'r', 2,  -2,  0, 'r', 0, 1,  0, 'r', 1,  0, 1}
            << QVector<uint32_t>{1, 5} << QVector<uint32_t>{1, 3, 7, 8, 10}
            << QVector<int>{0, 4, -1, 2, -1};
    }
    void syncRevisionsAndRandomAccess() {
        QFETCH(QVector<int>, ops);
        QFETCH(QVector<uint32_t>, sync);
        QFETCH(QVector<uint32_t>, rap);
        QFETCH(QVector<int>, leading);
        const QString path = tmp.filePath(QStringLiteral("revised.mp4"));
        MP4FileHandle h = MP4Create(path.toUtf8().constData(), 0);
        const MP4TrackId t = MP4AddH265VideoTrack(h, 25000, 1000, 64, 64, 3);
        const QByteArray sample = LengthPrefixed(QByteArray("\x26\x01\xaf", 3));
        for (int i = 1; i <= 10; ++i)
            QVERIFY(MP4WriteSample(h, t, U8(sample), uint32_t(sample.size()), MP4_INVALID_DURATION,
                                   0, i == 1 || i == 5));
        for (int i = 0; i + 3 < ops.size(); i += 4) {
            const bool ok = ops[i] == 's' ? MP4SetSampleSync(h, t, ops[i + 1], ops[i + 2])
                                          : MP4AddRandomAccessSample(h, t, ops[i + 1], ops[i + 2]);
            QCOMPARE(ok, bool(ops[i + 3]));
        }
        MP4Close(h, 0);
        const Mp4Info info = ReadMp4Info(path);
        QVERIFY2(info.ok, qPrintable(info.error));
        QCOMPARE(info.hasStss, !sync.isEmpty());
        QCOMPARE(info.syncSamples, sync);
        QCOMPARE(info.rapSamples, rap);
        QCOMPARE(info.rapLeading, leading);
        QCOMPARE(info.sampleCount, 10u);
    }

    // A sample the tables cannot hold is refused before anything of it is stored, or stays
    // open: the samples around it keep their places.
    void refusedSamples_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("duration over 32 bits") << 0;
        QTest::newRow("rendering offset over 31 bits") << 1;
        QTest::newRow("finished with a bad duration, then a good one") << 2;
    }
    void refusedSamples() {
        QFETCH(int, how);
        const QString path = tmp.filePath(QStringLiteral("refused.mp4"));
        MP4FileHandle h = MP4Create(path.toUtf8().constData(), 0);
        const MP4TrackId t = MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, 66, 0xC0, 30, 3);
        MP4AddH264SequenceParameterSet(h, t, U8(stream.sps), uint16_t(stream.sps.size()));
        MP4AddH264PictureParameterSet(h, t, U8(stream.pps), uint16_t(stream.pps.size()));
        const QVector<QByteArray>& s = stream.samples;
        QVERIFY(MP4WriteSample(h, t, U8(s[0]), uint32_t(s[0].size())));
        QVector<QByteArray> kept = {s[0]};
        if (how == 0) QVERIFY(!MP4WriteSample(h, t, U8(s[1]), uint32_t(s[1].size()), 1ull << 32));
        if (how == 1)
            QVERIFY(!MP4WriteSample(h, t, U8(s[1]), uint32_t(s[1].size()), MP4_INVALID_DURATION,
                                    1ull << 31));
        if (how == 2) {
            QVERIFY(MP4AppendSampleBytes(h, t, U8(s[1]), uint32_t(s[1].size())));
            QVERIFY(!MP4FinishSample(h, t, 1ull << 32));
            QVERIFY(!MP4WriteSample(h, t, U8(s[2]), uint32_t(s[2].size())));  // still open
            QVERIFY(MP4FinishSample(h, t, 3600, 0, false));
            kept.push_back(s[1]);
        }
        QVERIFY(MP4WriteSample(h, t, U8(s[2]), uint32_t(s[2].size()), 3600, 0, false));
        kept.push_back(s[2]);
        QVERIFY(MP4CloseChecked(h, 0, nullptr));
        QCOMPARE(ReadSamples(path), kept);
    }

    // A sample of more than 4 GiB - 1 bytes is refused with EFBIG, not cut; written to
    // /dev/null, which takes the bytes without storing them.
    // Half an hour of G.711 beside the pictures, written in runs of a tenth of a second, every
    // other one handed over rather than copied: the table holds one size for its 14.4 million
    // samples and one duration, memory does not grow with them, the media data holds them in
    // order, and FFmpeg reads every one.
    void soundRunsCostNothingPerSample() {
        const QString path = tmp.filePath(QStringLiteral("sound.mp4"));
        MP4FileHandle h = MP4Create(path.toUtf8().constData(), 0);
        QVERIFY(h != MP4_INVALID_FILE_HANDLE);
        const MP4TrackId v =
            MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, uint8_t(stream.sps[1]),
                                 uint8_t(stream.sps[2]), uint8_t(stream.sps[3]), 3);
        const MP4TrackId a = MP4AddALawAudioTrack(h, 8000);
        QVERIFY(v != MP4_INVALID_TRACK_ID && a != MP4_INVALID_TRACK_ID);
        MP4AddH264SequenceParameterSet(h, v, U8(stream.sps), uint16_t(stream.sps.size()));
        MP4AddH264PictureParameterSet(h, v, U8(stream.pps), uint16_t(stream.pps.size()));
        QVERIFY(MP4WriteSample(h, v, U8(stream.samples[0]), uint32_t(stream.samples[0].size())));
        QVERIFY(MP4EndTrack(h, v));  // the sound's chunks need not wait for more pictures
        // Each tenth of its own bytes, so that one out of place shows.
        const auto tenth = [](int i) { return QByteArray(800, char(0x80 + i % 97)); };
        const auto resident = [] {
            QFile f(QStringLiteral("/proc/self/statm"));
            return f.open(QIODevice::ReadOnly)
                       ? f.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE)
                       : 0;
        };
        const qint64 before = resident();
        for (int i = 0; i < 18000; ++i) {
            const QByteArray b = tenth(i);
            if (i % 2)
                QVERIFY(
                    MP4WriteSamplesTaken(h, a, std::vector<uint8_t>(b.begin(), b.end()), 800, 1));
            else
                QVERIFY(MP4WriteSampleRun(h, a, U8(b), 1, 800, 1));
        }
        const qint64 grown = resident() - before;
        QVERIFY(MP4CloseChecked(h, 0, nullptr));
#ifdef TOVANMUXER_SANITIZED  // the sanitizers' own memory says nothing of the writer's
        Q_UNUSED(grown);
#else
        QVERIFY2(grown < 8 << 20, qPrintable(QString::number(grown)));
#endif
        const QByteArray file = ReadFileBytes(path);
        QByteArray sound;
        for (int i = 0; i < 18000; ++i) sound += tenth(i);
        const qsizetype at = file.indexOf(sound.left(1600));
        QVERIFY(at > 0);
        QVERIFY(file.mid(at, sound.size()) == sound);
        const int stsz = file.lastIndexOf("stsz");
        QCOMPARE(qFromBigEndian<quint32>(file.constData() + stsz + 8), 1u);  // one size
        QCOMPARE(qFromBigEndian<quint32>(file.constData() + stsz + 12), 14400000u);
        const int stts = file.lastIndexOf("stts");
        QCOMPARE(qFromBigEndian<quint32>(file.constData() + stts + 8), 1u);  // one run
        QProcess probe;
        probe.start(QStringLiteral("ffprobe"),
                    {"-v", "error", "-select_streams", "a", "-show_entries",
                     "stream=codec_name,duration", "-of", "csv=p=0", path});
        QVERIFY(probe.waitForFinished(60000));
        QCOMPARE(probe.readAllStandardOutput().trimmed(), QByteArray("pcm_alaw,1800.000000"));
    }

    void sampleOver4GiB() {
        MP4FileHandle h = MP4Create("/dev/null", 0);
        QVERIFY(h != MP4_INVALID_FILE_HANDLE);
        const MP4TrackId t = MP4AddH265VideoTrack(h, 25000, 1000, 64, 64, 3);
        const uint32_t piece = 64u << 20;
        std::unique_ptr<uint8_t, decltype(&free)> zeros(static_cast<uint8_t*>(calloc(piece, 1)),
                                                        &free);
        QVERIFY(zeros);
        for (int i = 0; i < 63; ++i) QVERIFY(MP4AppendSampleBytes(h, t, zeros.get(), piece));
        errno = 0;
        QVERIFY(!MP4AppendSampleBytes(h, t, zeros.get(), piece));  // would be 4 GiB
        QCOMPARE(errno, EFBIG);
        QVERIFY(MP4AppendSampleBytes(h, t, zeros.get(), piece - 1));  // UINT32_MAX bytes
        errno = 0;
        QVERIFY(!MP4AppendSampleBytes(h, t, zeros.get(), 1));
        QCOMPARE(errno, EFBIG);
        QVERIFY(MP4FinishSample(h, t));
        QVERIFY(MP4WriteSample(h, t, zeros.get(), 16));
        QVERIFY(MP4CloseChecked(h, 0, nullptr));
    }

    // Writes of every size, some larger than the buffer, and patches of earlier bytes (in the
    // file, across the end of what was handed to it, in the buffer) while windows are written back
    // behind them: the file holds exactly the bytes a copy in memory holds. A device, which has
    // no write-back, takes the same without an error, and write-back stays off for it.
    void sinkAcrossWriteBackWindows_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("buffer");
        QTest::addColumn<int>("window");
        QTest::newRow("windows of three pages") << QString() << 65536 << 3 * 4096;
        QTest::newRow("a window smaller than the buffer") << QString() << 65536 << 1000;
        QTest::newRow("windows of 1 MiB") << QString() << 65536 << (1 << 20);
        QTest::newRow("/dev/null") << QStringLiteral("/dev/null") << 65536 << 3 * 4096;
    }
    void sinkAcrossWriteBackWindows() {
        QFETCH(QString, target);
        QFETCH(int, buffer);
        QFETCH(int, window);
        const QString path = target.isEmpty() ? tmp.filePath(QStringLiteral("sink.bin")) : target;
        QFile::remove(tmp.filePath(QStringLiteral("sink.bin")));
        const int fd = ::open(path.toUtf8().constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        QVERIFY(fd >= 0);
        QByteArray model;
        {
            FileSink sink(fd, size_t(buffer));
            sink.Write("head", 4);
            model += "head";
            sink.SetWriteBack(uint64_t(window));
            QRandomGenerator random{quint32(window)};
            QByteArray bytes(6 * buffer, Qt::Uninitialized);
            for (char& c : bytes) c = char(random.generate());
            auto some = [&](int n) { return bytes.constData() + random.bounded(3 * buffer - n); };
            while (model.size() < (6 << 20)) {
                const int n =
                    random.bounded(8) == 0 ? random.bounded(1, 3 * buffer) : random.bounded(1, 300);
                const char* d = some(n);
                sink.Write(d, size_t(n));
                model.append(d, n);
                if (random.bounded(16) != 0) continue;
                // A patch ending anywhere up to the last byte written, at times over the start.
                const int len = random.bounded(1, std::min<int>(2 * buffer, model.size()));
                const int pos = random.bounded(0, model.size() - len + 1);
                d = some(len);
                sink.Patch(uint64_t(pos), d, size_t(len));
                memcpy(model.data() + pos, d, size_t(len));
                if (random.bounded(4) == 0) QVERIFY(sink.Flush());
            }
            sink.Patch(0, "HEAD", 4);
            model.replace(0, 4, "HEAD");
            QCOMPARE(sink.Position(), uint64_t(model.size()));
            QVERIFY(sink.Flush());
            QCOMPARE(sink.Error(), 0);
            // Still on for the file, which every call took; off for the device, which took none.
            QCOMPARE(sink.WriteBackWindow(), target.isEmpty() ? uint64_t(window) : 0u);
        }
        QCOMPARE(::close(fd), 0);
        if (target.isEmpty()) QVERIFY(ReadFileBytes(path) == model);
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

        // A regular file that stops growing (the file size limit) once its first windows are
        // being written back: the failure ends the writing and is reported, the file cut there.
        const QString path = tmp.filePath(QStringLiteral("limited.mp4"));
        constexpr rlim_t kLimit = 40 << 20;
        struct rlimit saved;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < kLimit) QSKIP("a lower limit");
        h = MP4Create(path.toUtf8().constData(), 0);
        const MP4TrackId big = MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, 66, 0xC0, 30, 3);
        const QByteArray sample = stream.samples[0].repeated(64);
        void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {kLimit, saved.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        bool written = true;
        for (rlim_t n = 0; written && n < 2 * kLimit; n += rlim_t(sample.size()))
            written = MP4WriteSample(h, big, U8(sample), uint32_t(sample.size()));
        err = 0;
        const bool closed = MP4CloseChecked(h, 0, &err);
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, previous);
        QVERIFY(!written && !closed);
        QCOMPARE(err, EFBIG);
        QCOMPARE(QFileInfo(path).size(), qint64(kLimit));
    }

    // A fragmented file written into a pipe, which never goes back, with one fragment of more
    // samples than its moof box's table fits in the write buffer: every box whole, in order.
    void longFragmentIntoAPipe() {
        int fds[2];
        QCOMPARE(::pipe2(fds, O_CLOEXEC), 0);
        QByteArray got;
        std::thread reader([&] {
            char b[65536];
            ssize_t n;
            while ((n = ::read(fds[0], b, sizeof b)) > 0) got.append(b, int(n));
            ::close(fds[0]);
        });
        MP4FileHandle h = MP4CreateFragmentedFd(fds[1], false, false, true);
        const MP4TrackId t = MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, 66, 0xC0, 30, 3);
        MP4AddH264SequenceParameterSet(h, t, U8(stream.sps), uint16_t(stream.sps.size()));
        MP4AddH264PictureParameterSet(h, t, U8(stream.pps), uint16_t(stream.pps.size()));
        const QByteArray sample = LengthPrefixed(QByteArray("\x41\x9a\x02\x04", 4));
        constexpr uint32_t kSamples = 70000;  // 16 bytes each in the table: over 1 MiB
        bool written = true;
        for (uint32_t i = 0; i < kSamples && written; ++i)
            written = MP4WriteSample(h, t, U8(sample), uint32_t(sample.size()), 3600, 0, i == 0);
        int err = -1;
        const bool closed = MP4CloseChecked(h, 0, &err);
        reader.join();
        QVERIFY(written);
        QVERIFY2(closed && err == 0, strerror(err));
        QVector<QPair<QByteArray, quint32>> boxes;
        for (qint64 at = 0; at + 8 <= got.size();) {
            const quint32 size = qFromBigEndian<quint32>(got.constData() + at);
            boxes.push_back({got.mid(int(at) + 4, 4), size});
            if (size < 8) break;
            at += size;
        }
        QCOMPARE(boxes.size(), 4);
        QCOMPARE(boxes[0].first, QByteArray("ftyp"));
        QCOMPARE(boxes[1].first, QByteArray("moov"));
        QCOMPARE(boxes[2].first, QByteArray("moof"));
        QCOMPARE(boxes[2].second, 88 + 16 * kSamples);
        QCOMPARE(boxes[3].first, QByteArray("mdat"));
        QCOMPARE(boxes[3].second, 8 + kSamples * uint32_t(sample.size()));
        QCOMPARE(qint64(boxes[0].second) + boxes[1].second + boxes[2].second + boxes[3].second,
                 qint64(got.size()));
        const qint64 trun = got.indexOf("trun");
        QVERIFY(trun > 0);
        QCOMPARE(qFromBigEndian<quint32>(got.constData() + trun + 8), kSamples);
        QVERIFY(got.endsWith(sample));
    }
};

QTEST_APPLESS_MAIN(TestMp4Layer)
#include "test_mp4layer.moc"
