// Whole conversions through the engine, judged by decoding: every test stream, and the inputs
// that used to lose data or report failure as success.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <algorithm>
#include <csignal>

#include "convert/converter.h"
#include "convert/nalunit.h"
#include "convert/timing.h"
#include "support/convert.h"
#include "support/decode.h"
#include "support/encode.h"
#include "support/streams.h"

namespace {

// Whether an Annex B stream is H.265, told by its first parameter set: an H.265 VPS or SPS
// header (40 01, 42 01) rather than an H.264 SPS (type 7).
bool IsH265Stream(const QByteArray& d) {
    int codec = 0;  // 264 or 265 once known
    ForEachNalUnit(d, [&](const NalUnit& n, qint64) {
        if (codec) return;
        if ((n.data[0] & 0x9F) == 7) codec = 264;
        if ((n.data[0] == 0x40 || n.data[0] == 0x42) && n.length > 1 && n.data[1] == 1) codec = 265;
    });
    return codec == 265;
}

int H265Type(const QByteArray& nal) {
    return nal.isEmpty() ? -1 : (uint8_t(nal[0]) >> 1) & 0x3F;
}

// The units that a sample carries as the stream has them: H.264 slices, data partitions and SEI
// (types 1..6); H.265 VCL units (0..31) and prefix and suffix SEI (39, 40). Parameter sets may
// also go in band; access unit delimiters, end of sequence or stream and filler data are the
// byte stream's, not the samples'.
bool IsSampleNal(bool h265, uint8_t header) {
    if (h265) {
        const int t = (header >> 1) & 0x3F;
        return t < 32 || t == 39 || t == 40;
    }
    const int t = header & 0x1F;
    return t >= 1 && t <= 6;
}

// The sample units of an Annex B stream, in order, without trailing zeros.
QVector<QByteArray> SampleNalsOfStream(const QByteArray& d) {
    QVector<QByteArray> out;
    const bool h265 = IsH265Stream(d);
    ForEachNalUnit(d, [&](const NalUnit& n, qint64) {
        if (!IsSampleNal(h265, n.data[0])) return;
        int32_t len = n.length;
        while (len > 1 && n.data[len - 1] == 0) --len;
        out.push_back(QByteArray(reinterpret_cast<const char*>(n.data), len));
    });
    return out;
}

// The same units as they stand in the MP4's samples (in-band parameter sets left out), those
// that the edit list keeps from being shown included.
QVector<QByteArray> SampleNalsOfMp4(const QString& path, bool h265) {
    QVector<QByteArray> out;
    for (const QByteArray& s : ReadSamples(path, true)) {
        const QVector<QByteArray> units = UnitsOfSample(s);
        if (units.isEmpty()) out.push_back(QByteArray("<lengths do not add up>"));
        for (const QByteArray& nal : units)
            if (IsSampleNal(h265, uint8_t(nal[0]))) out.push_back(nal);
    }
    return out;
}

// The samples (0-based) that a player starting at the first one does not show: those before
// the first IDR picture or recovery point of an H.264 stream (`leading` of them), and the RASL
// pictures (H.265 types 8, 9) that belong to an H.265 stream's first picture when that is a CRA
// or BLA picture (16..18, 21), up to the next IRAP picture (16..23).
QVector<int> HiddenSamples(const QString& mp4, bool h265, int leading) {
    QVector<int> out;
    if (!h265) {
        for (int i = 0; i < leading; ++i) out.push_back(i);
        return out;
    }
    int first = -1;
    const QVector<QByteArray> samples = ReadSamples(mp4, true);
    for (int i = 0; i < samples.size(); ++i) {
        int type = -1;
        for (const QByteArray& nal : UnitsOfSample(samples[i]))
            if (type < 0 && H265Type(nal) < 32) type = H265Type(nal);
        if (i == 0) first = type;
        if (i > 0 && type >= 16 && type <= 23) break;
        if ((first == 21 || (first >= 16 && first <= 18)) && (type == 8 || type == 9))
            out.push_back(i);
    }
    return out;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

QStringList Entries(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
}

// An SEI NAL unit (with 4-byte start code) carrying `size` bytes of user data unregistered; its
// bytes never form a start code or need emulation prevention.
QByteArray BigSei(int size) {
    QByteArray sei("\x00\x00\x00\x01\x06\x05", 6);
    const int payload = size;
    int left = payload;
    while (left >= 255) {
        sei.append(char(0xFF));
        left -= 255;
    }
    sei.append(char(left));
    QRandomGenerator rng(size);
    for (int i = 0; i < payload; ++i) sei.append(char(0x80 | rng.bounded(128)));
    sei.append(char(0x80));  // rbsp trailing bits
    return sei;
}

// Where the start code of the stream's first slice begins.
int FirstSliceOffset(const QByteArray& stream) {
    int at = -1;
    ForEachNalUnit(stream, [&](const NalUnit& n, qint64 header) {
        if (at < 0 && (n.type == 1 || n.type == 5)) at = int(header) - n.startCodeLength;
    });
    return at;
}

// Inserts `what` right in front of the first slice (an SEI goes before its picture's slices).
QByteArray InsertBeforeFirstSlice(const QByteArray& stream, const QByteArray& what) {
    const int at = FirstSliceOffset(stream);
    return stream.left(at) + what + stream.mid(at);
}

// The btrt values of a track, from its sample sizes and durations: the largest sample, the most
// bits whose decode times lie within a second of some sample's, and the average over the track.
QVector<uint32_t> ExpectedBitRate(const Mp4Info& info) {
    const int n = info.sampleSizes.size();
    QVector<uint64_t> dts(n + 1, 0);
    for (int i = 0; i < n; ++i) dts[i + 1] = dts[i] + info.sttsDeltas.value(i);
    uint64_t largest = 0, total = 0, most = 0;
    for (int i = 0; i < n; ++i) {
        largest = std::max<uint64_t>(largest, info.sampleSizes[i]);
        total += info.sampleSizes[i];
        uint64_t window = 0;
        for (int k = i; k < n && dts[k] < dts[i] + info.trackTimeScale; ++k)
            window += info.sampleSizes[k];
        most = std::max(most, window);
    }
    const uint64_t avg = dts[n] ? total * 8 * info.trackTimeScale / dts[n] : 0;
    return {uint32_t(largest), uint32_t(most * 8), uint32_t(avg)};
}

QVector<uint32_t> Words(const QByteArray& b) {
    QVector<uint32_t> w;
    for (int i = 0; i + 4 <= b.size(); i += 4)
        w.push_back(uint32_t(uint8_t(b[i])) << 24 | uint32_t(uint8_t(b[i + 1])) << 16 |
                    uint32_t(uint8_t(b[i + 2])) << 8 | uint8_t(b[i + 3]));
    return w;
}

// Where the top-level box `type` begins and its size; -1 when the file has none.
QPair<qint64, qint64> TopLevelBox(const QByteArray& file, const QByteArray& type) {
    for (qint64 at = 0; at + 8 <= file.size();) {
        qint64 size = qint64(Words(file.mid(int(at), 4)).value(0));
        if (size == 1)
            size = qint64(Words(file.mid(int(at) + 8, 4)).value(0)) << 32 |
                   qint64(Words(file.mid(int(at) + 12, 4)).value(0));
        if (file.mid(int(at) + 4, 4) == type) return {at, size};
        if (size < 8) break;
        at += size;
    }
    return {-1, 0};
}

// Big-endian 16-bit fields, then 32-bit ones.
QByteArray Fields(const QVector<int>& u16, const QVector<uint32_t>& u32 = {}) {
    QByteArray b;
    for (int v : u16) b.append(char(v >> 8)).append(char(v));
    for (uint32_t v : u32)
        b.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
    return b;
}

// Runs a program with its output thrown away; its exit status, -1 when it did not finish.
int Execute(const QString& program, const QStringList& args) {
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// A small stream of ffmpeg's test pattern made by x264 or x265 with `options`.
QString MakeStream(const QString& dir, const QString& name, bool h265, const QStringList& options) {
    const QString yuv = dir + QStringLiteral("/pattern.yuv");
    const QString out = dir + QStringLiteral("/") + name + (h265 ? ".h265" : ".h264");
    if (!QFile::exists(yuv) &&
        Execute("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=128x96:rate=25",
                           "-frames:v", "6", "-pix_fmt", "yuv420p", "-f", "rawvideo", yuv}) != 0)
        return QString();
    const QStringList common = {"--input-res", "128x96", "--fps", "25", "--frames", "6", "-o", out};
    const QStringList args =
        h265 ? QStringList{"--input",         yuv, "--pools",     "none",
                           "--frame-threads", "1", "--log-level", "error"} +
                   common + options
             : QStringList{"--quiet", "--threads", "1"} + common + options + QStringList{yuv};
    return Execute(h265 ? "x265" : "x264", args) == 0 ? out : QString();
}

// What a reader outside the engine says: `ffprobe -show_streams` and GStreamer's caps after
// qtdemux.
QString Run(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAll());
}

// Each picture's presentation time in microseconds, as libavcodec and GStreamer give it, against
// the expected ones (the first at 0), within 1 us.
void CompareTimes(const DecodeResult& mp4, const DecodeResult& gst, const QVector<double>& us) {
    QCOMPARE(mp4.pictures.size(), us.size());
    QCOMPARE(gst.pictures.size(), us.size());
    for (int i = 0; i < us.size(); ++i) {
        const double av = double(mp4.pictures[i].pts) * mp4.timeBaseNum * 1e6 / mp4.timeBaseDen;
        const double gs = double(gst.pictures[i].pts) / 1000.0;
        QVERIFY2(std::abs(av - us[i]) <= 1.0,
                 qPrintable(QStringLiteral("libavcodec: picture %1 at %2 us, not %3")
                                .arg(i)
                                .arg(av, 0, 'f', 3)
                                .arg(us[i], 0, 'f', 3)));
        QVERIFY2(std::abs(gs - us[i]) <= 1.0,
                 qPrintable(QStringLiteral("GStreamer: picture %1 at %2 us, not %3")
                                .arg(i)
                                .arg(gs, 0, 'f', 3)
                                .arg(us[i], 0, 'f', 3)));
    }
}

// Where the access units that hold an IRAP picture begin (their delimiter, parameter sets and
// SEI included), after the first one; with `anyPicture` those of every picture.
QVector<int> PictureStarts(const QByteArray& stream, bool h265, bool anyPicture) {
    QVector<int> starts;
    int unitStart = -1;  // the first unit after the last slice
    bool first = true;
    ForEachNalUnit(stream, [&](const NalUnit& n, qint64 header) {
        const int at = int(header) - n.startCodeLength;
        const int t = h265 ? (n.data[0] >> 1) & 0x3F : n.data[0] & 0x1F;
        const bool slice = h265 ? t < 32 : (t == 1 || t == 5);
        if (!slice) {
            if (unitStart < 0) unitStart = at;
            return;
        }
        // first_mb_in_slice 0 (ue "1") or first_slice_segment_in_pic_flag
        const bool firstSlice = h265 ? (n.data[2] & 0x80) : (n.data[1] & 0x80);
        const bool irap = h265 ? (t >= 16 && t <= 21) : t == 5;
        if (firstSlice && (irap || anyPicture)) {
            if (!first) starts << (unitStart >= 0 ? unitStart : at);
            first = false;
        }
        unitStart = -1;
    });
    return starts;
}
}  // namespace

class TestConvert : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;

    QString Out(const QString& name) { return tmp.filePath(name); }

    DecodeResult gst;  // the last ConvertAndCompare's MP4 as GStreamer plays it
    Result last;       // and what its conversion reported

    // Converts `input` (or joins `segments`, whose bytes one after the other are `input`, with
    // the timestamp file `timestamps` when one is named), checks the result decodes to the raw
    // stream's pictures, through libavcodec and through GStreamer (a second, independent
    // reader, less forgiving than libavcodec; the first picture at time 0), and carries every
    // slice and SEI byte; returns the MP4 as libavcodec decodes it.
    DecodeResult ConvertAndCompare(const QString& input, const QString& output, bool ordered,
                                   const QString& timestamps = QString(),
                                   const QStringList& segments = QStringList()) {
        const Result r = last = Convert(input, output, timestamps, segments);
        if (!r.ok) qWarning() << "conversion failed:" << r.error;
        [&] { QVERIFY(r.ok); }();
        const DecodeResult raw = DecodeFile(input);
        const DecodeResult mp4 = DecodeFile(output);
        gst = DecodeWithGStreamer(output);
        [&] {
            QVERIFY(raw.ok);
            QVERIFY2(mp4.ok, qPrintable(mp4.error));
            QVERIFY2(gst.ok, qPrintable(gst.error));
            QVector<QByteArray> a = PictureHashes(raw), b = PictureHashes(mp4),
                                g = PictureHashes(gst);
            QCOMPARE(b.size(), a.size());
            QCOMPARE(g.size(), a.size());
            if (!ordered) {
                std::sort(a.begin(), a.end());
                std::sort(b.begin(), b.end());
                std::sort(g.begin(), g.end());
            }
            QVERIFY2(a == b, "decoded pictures differ");
            QVERIFY2(a == g, "GStreamer decodes other pictures or another order");
            QCOMPARE(gst.pictures.value(0).pts, int64_t(0));
            const QByteArray stream = ReadFileBytes(input);
            QVERIFY(SampleNalsOfMp4(output, IsH265Stream(stream)) == SampleNalsOfStream(stream));
        }();
        return mp4;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(tmp.isValid());
        QVERIFY(!TestStreams().isEmpty());
    }

    void everyStream_data() {
        QTest::addColumn<QString>("name");
        for (const TestStream& s : TestStreams()) QTest::newRow(qPrintable(s.Name())) << s.Name();
    }

    void everyStream() {
        QFETCH(QString, name);
        const TestStream s = FindTestStream(name);
        const QString out = Out(name + QStringLiteral(".mp4"));
        const DecodeResult mp4 = ConvertAndCompare(s.file, out, true);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(mp4.pictures.size(), s.Int("frames"));

        const Mp4Info info = ReadMp4Info(out);
        QVERIFY2(info.ok, qPrintable(info.error));
        // The sample entry has the cropped size; the track header the displayed one, the width
        // scaled by a non-square sample aspect ratio, which a pasp box gives.
        const int sarNum = s.Int("sar_num"), sarDen = s.Int("sar_den");
        QCOMPARE(info.tkhdWidth, double(qRound(double(s.Int("width")) * sarNum / sarDen)));
        QCOMPARE(int(info.tkhdHeight), s.Int("height"));
        QCOMPARE(int(info.avc1Width), s.Int("width"));
        QCOMPARE(int(info.avc1Height), s.Int("height"));
        if (sarNum != sarDen)
            QCOMPARE(qMakePair(info.paspH, info.paspV),
                     qMakePair(uint32_t(sarNum), uint32_t(sarDen)));
        else
            QCOMPARE(info.paspH, info.paspV);  // none, or 1:1
        // One sample per coded picture, those before the first IDR picture included.
        const int leading = s.Int("leading_pictures");
        const bool h265 = s.IsH265();
        QCOMPARE(int(info.sampleCount), s.Int("pictures"));
        const int syncCount = info.hasStss ? info.syncSamples.size() : int(info.sampleCount);
        const QByteArray stream = ReadFileBytes(s.file);
        if (!h265) {
            // The IDR pictures, and only they, are sync samples (an open GOP's recovery points
            // may be too).
            QVERIFY(syncCount >= s.Int("idr"));
            QVERIFY(syncCount <= s.Int("idr") + s.Int("recovery_points"));
            QCOMPARE(info.syncSamples.value(0, 1), uint32_t(leading + 1));
            // avcC: the first SPS's profile and compatibility, the highest level of all, every
            // SPS and PPS of the stream as it stands there, 4-byte lengths.
            QCOMPARE(info.sampleEntry, QByteArray("avc1"));
            QVERIFY(info.avcC.size() > 7);
            QCOMPARE(int(uint8_t(info.avcC[1])), s.Int("profile_idc"));
            QCOMPARE(int(uint8_t(info.avcC[3])), s.Int("level_idc"));
            QCOMPARE(uint8_t(info.avcC[4]) & 3, 3);
            QCOMPARE(info.avcCSps.size(), s.Int("sps_count"));
            QCOMPARE(info.avcCPps.size(), s.Int("pps_count"));
            for (const QByteArray& set : info.avcCSps + info.avcCPps) QVERIFY(stream.contains(set));
            QCOMPARE(info.iodsVideoProfile, 127);
        } else {
            // IDR pictures and the CRA pictures without RASL pictures are sync samples; a CRA
            // with RASL pictures is a random access point of the 'rap ' group instead, with
            // the number of those. A stream's first CRA is a sync sample all the same: its
            // RASL pictures are kept out of the presentation, and a decoder drops them anyway.
            const int firstCra = leading ? 1 : 0;
            QCOMPARE(syncCount, s.Int("idr") + s.Int("cra") - s.Int("cra_rasl") + firstCra);
            QCOMPARE(info.rapSamples.size(), s.Int("cra_rasl") - firstCra);
            QCOMPARE(info.rapLeading.size(), info.rapSamples.size());
            int rasl = 0;
            for (int i = 0; i < info.rapSamples.size(); ++i) {
                QVERIFY2(!info.syncSamples.contains(info.rapSamples[i]) && info.hasStss,
                         "a random access point with RASL pictures is a sync sample");
                QVERIFY(info.rapLeading[i] > 0);
                rasl += info.rapLeading[i];
            }
            QCOMPARE(rasl, s.Int("rasl") - leading);
            QCOMPARE(info.syncSamples.value(0, 1), 1u);
            // hvc1 while every parameter set keeps one content, hev1 when one changes and goes
            // in band. hvcC (ISO/IEC 14496-15 8.3.3.1.2): version 1, the first SPS's
            // general_profile_idc (low 5 bits of byte 1), the highest general_level_idc (byte
            // 12), chroma_format_idc (byte 16), bit depth - 8 (byte 17), lengthSizeMinusOne 3
            // (byte 21), then the VPS, SPS and PPS of every id as the stream has them.
            QCOMPARE(info.sampleEntry, QByteArray(s.Int("ps_changes") ? "hev1" : "hvc1"));
            QVERIFY(info.hvcC.size() > 22);
            QCOMPARE(int(uint8_t(info.hvcC[0])), 1);
            QCOMPARE(uint8_t(info.hvcC[1]) & 0x1F, s.Int("profile_idc"));
            QCOMPARE(int(uint8_t(info.hvcC[12])), s.Int("level_idc"));
            QCOMPARE(uint8_t(info.hvcC[16]) & 3, s.Int("chroma_format_idc"));
            QCOMPARE(uint8_t(info.hvcC[17]) & 7, s.Int("bit_depth") - 8);
            QCOMPARE(uint8_t(info.hvcC[21]) & 3, 3);
            QCOMPARE(info.hvcCVps.size(), s.Int("vps_count"));
            QCOMPARE(info.hvcCSps.size(), s.Int("sps_count"));
            QCOMPARE(info.hvcCPps.size(), s.Int("pps_count"));
            for (const QByteArray& set : info.hvcCVps + info.hvcCSps + info.hvcCPps)
                QVERIFY(stream.contains(set));
            QVERIFY(info.avcC.isEmpty());
            QVERIFY(!info.hasIods || info.iodsVideoProfile == 127);
            // Under hvc1 every parameter set is in the hvcC and none in the samples (a stream
            // that repeats them unchanged included); under hev1 the changed ones travel there.
            int inBand = 0;
            for (const QByteArray& sample : ReadSamples(out, true))
                for (const QByteArray& nal : UnitsOfSample(sample))
                    inBand += H265Type(nal) >= 32 && H265Type(nal) <= 34;
            QCOMPARE(inBand > 0, bool(s.Int("ps_changes")));
        }
        QCOMPARE(info.movieTimeScale, 90000u);
        // Composition offsets only where pictures are shown out of decoding order, and then one
        // edit that starts the presentation at the first picture shown (leading pictures that
        // cannot be decoded are not).
        const QVector<int> hidden = HiddenSamples(out, h265, leading);
        QCOMPARE(hidden.size(), leading);
        if (!s.Int("bframes") && !leading) {
            QVERIFY2(!info.hasCtts, "composition offsets without reordering");
            QVERIFY2(info.edits.isEmpty(), "an edit list without reordering");
        } else if (!info.edits.isEmpty()) {
            QCOMPARE(info.edits.size(), 1);
            int64_t first = INT64_MAX, dts = 0;
            for (int i = 0; i < int(info.sampleCount); ++i) {
                if (!hidden.contains(i))
                    first = std::min(first, dts + info.compositionOffsets.value(i, 0));
                dts += info.sttsDeltas.value(i, 0);
            }
            QCOMPARE(info.edits[0].mediaTime, first);
        } else {
            QVERIFY2(!leading, "leading pictures in the presentation");
        }
        // The stream's own rate: presentation times evenly spaced from 0 by its frame duration.
        const TrackTiming timing =
            ChooseTrackTiming(uint32_t(s.Int("fps_num")), uint32_t(s.Int("fps_den")));
        QCOMPARE(info.trackTimeScale, timing.timeScale);
        QCOMPARE(mp4.timeBaseDen, int(timing.timeScale));
        QCOMPARE(mp4.frameRateNum * s.Int("fps_den"), mp4.frameRateDen * s.Int("fps_num"));
        for (int i = 0; i < mp4.pictures.size(); ++i)
            QCOMPARE(mp4.pictures[i].pts, int64_t(i) * timing.frameDuration);
        QCOMPARE(info.trackDuration, uint64_t(s.Int("pictures")) * timing.frameDuration);

        // No colour description in these streams, so no colour boxes; the bit rates as the
        // samples give them.
        QVERIFY(info.colr.isEmpty() && info.mdcv.isEmpty() && info.clli.isEmpty());
        QCOMPARE(info.sampleSizes.size(), int(info.sampleCount));
        QCOMPARE(Words(info.btrt), ExpectedBitRate(info));
        QVERIFY(info.mdatFirst);

        // Fast start: the same pictures in both readers, the movie box in front, and behind it
        // the very bytes of the other file from its ftyp to its moov; where the file system
        // inserted whole blocks for it, a free box fills them first.
        const QString fast = Out(name + QStringLiteral("-fast.mp4"));
        const Result r = Convert(s.file, fast, QString(), QStringList(), true);
        QVERIFY2(r.ok, qPrintable(r.error));
        QVERIFY(!ReadMp4Info(fast).mdatFirst);
        QVERIFY(PictureHashes(DecodeFile(fast)) == PictureHashes(mp4));
        QVERIFY(PictureHashes(DecodeWithGStreamer(fast)) == PictureHashes(mp4));
        const QByteArray classic = ReadFileBytes(out), moved = ReadFileBytes(fast);
        const auto ftyp = TopLevelBox(classic, "ftyp");
        const auto moov = TopLevelBox(classic, "moov"), fastMoov = TopLevelBox(moved, "moov");
        QCOMPARE(fastMoov.first, ftyp.second);
        QVERIFY(moved.left(int(ftyp.second)) == classic.left(int(ftyp.second)));
        const QByteArray rest = classic.mid(int(ftyp.second), int(moov.first - ftyp.second));
        int behind = int(fastMoov.first + fastMoov.second);
        if (moved.mid(behind, 8) != rest.left(8)) {
            QCOMPARE(moved.mid(behind + 4, 4), QByteArray("free"));
            behind += int(qFromBigEndian<quint32>(moved.constData() + behind));
        }
        QVERIFY(moved.mid(behind) == rest);
        QVERIFY(ReadSamples(fast, true) == ReadSamples(out, true));
    }

    // Colour description and HDR metadata from x264 and x265 streams: the boxes' bytes, what
    // libavformat and GStreamer read from them, and a warning when a later SPS says other colours
    // (the second stream, when given, follows the first in one file). GStreamer 1.22's qtdemux
    // reads colr into the colorimetry but leaves out its full-range flag, and reads neither mdcv
    // nor clli: those are checked by their bytes and through ffprobe.
    void colourAndHdr_data() {
        QTest::addColumn<bool>("h265");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("then");
        QTest::addColumn<QByteArray>("colr");
        QTest::addColumn<QString>("probe");  // ffprobe's colour fields, with the ranges
        QTest::addColumn<QString>("caps");   // GStreamer's colorimetry
        QTest::addColumn<bool>("hdr");
        const QStringList bt709 = {"--colorprim", "bt709",         "--transfer",
                                   "bt709",       "--colormatrix", "bt709"};
        const QStringList pq = {"--colorprim", "bt2020",        "--transfer",
                                "smpte2084",   "--colormatrix", "bt2020nc"};
        const QStringList hdr10 = {"--master-display",
                                   "G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)"
                                   "L(10000000,1)",
                                   "--max-cll", "1000,400"};
        QStringList hdr10x264 = hdr10;
        hdr10x264[0] = "--mastering-display";
        hdr10x264[2] = "--cll";
        const QByteArray nclx("nclx");
        QTest::newRow("h264 none") << false << QStringList() << QStringList() << QByteArray() << ""
                                   << "" << false;
        QTest::newRow("h264 bt709 limited")
            << false << (bt709 + QStringList{"--range", "tv"}) << QStringList()
            << nclx + Fields({1, 1, 1}) + '\0' << "tv bt709 bt709 bt709"
            << "bt709" << false;
        QTest::newRow("h264 full range, then limited")
            << false << (bt709 + QStringList{"--range", "pc"})
            << (bt709 + QStringList{"--range", "tv"}) << nclx + Fields({1, 1, 1}) + '\x80'
            << "pc bt709 bt709 bt709"
            << "bt709" << false;
        QTest::newRow("h264 range without colours")
            << false << QStringList{"--range", "pc"} << QStringList()
            << nclx + Fields({2, 2, 2}) + '\x80' << "pc"
            << "2:0:0:0" << false;
        QTest::newRow("h264 bt2020 pq hdr10")
            << false << (pq + hdr10x264) << QStringList() << nclx + Fields({9, 16, 9}) + '\0'
            << "tv bt2020nc smpte2084 bt2020"
            << "bt2100-pq" << true;
        QTest::newRow("h265 bt2020 pq hdr10, repeated")
            << true << (pq + hdr10 + QStringList{"--range", "full"})
            << (pq + hdr10 + QStringList{"--range", "full"}) << nclx + Fields({9, 16, 9}) + '\x80'
            << "pc bt2020nc smpte2084 bt2020"
            << "bt2100-pq" << true;
        QTest::newRow("h265 hlg") << true
                                  << QStringList{"--colorprim",  "bt2020",        "--transfer",
                                                 "arib-std-b67", "--colormatrix", "bt2020nc"}
                                  << QStringList() << nclx + Fields({9, 18, 9}) + '\0'
                                  << "tv bt2020nc arib-std-b67 bt2020"
                                  << "bt2100-hlg" << false;
    }

    void colourAndHdr() {
        QFETCH(bool, h265);
        QFETCH(QStringList, options);
        QFETCH(QStringList, then);
        QFETCH(QByteArray, colr);
        QFETCH(QString, probe);
        QFETCH(QString, caps);
        QFETCH(bool, hdr);
        const QString name =
            QString(QTest::currentDataTag()).replace(QRegularExpression("\\W"), "_");
        QString in = MakeStream(tmp.path(), name, h265, options);
        QVERIFY(!in.isEmpty());
        if (!then.isEmpty()) {
            const QString second = MakeStream(tmp.path(), name + "b", h265, then);
            QVERIFY(!second.isEmpty());
            WriteFile(in, ReadFileBytes(in) + ReadFileBytes(second));
        }
        const QString out = Out(name + ".mp4");
        ConvertAndCompare(in, out, true);
        if (QTest::currentTestFailed()) return;
        const Result again = Convert(in, Out(name + "-again.mp4"));
        QCOMPARE(again.warnings.size(), int(!then.isEmpty() && then != options));

        const Mp4Info info = ReadMp4Info(out);
        QCOMPARE(info.colr.toHex(), colr.toHex());
        // The values of the SEI messages, the primaries in their order (green, blue, red).
        QCOMPARE(info.mdcv.toHex(),
                 hdr ? Fields({13250, 34500, 7500, 3000, 34000, 16000, 15635, 16450}, {10000000, 1})
                           .toHex()
                     : QByteArray());
        QCOMPARE(info.clli.toHex(), hdr ? Fields({1000, 400}).toHex() : QByteArray());
        QVERIFY(ReadSamples(out, true).size() == int(info.sampleCount));

        const QString streams = Run("ffprobe", {"-v", "error", "-show_streams", out});
        QStringList seen;
        for (const char* key :
             {"color_range", "color_space", "color_transfer", "color_primaries"}) {
            const QRegularExpression re(QStringLiteral("%1=(\\S+)").arg(key));
            const QString v = re.match(streams).captured(1);
            if (!v.isEmpty() && v != "unknown") seen << v;
        }
        QCOMPARE(seen.join(' '), probe);
        QCOMPARE(streams.contains("red_x=34000/50000") && streams.contains("max_content=1000") &&
                     streams.contains("max_average=400"),
                 hdr);

        const QString gst = Run("gst-launch-1.0", {"-v", "filesrc", "location=" + out, "!",
                                                   "qtdemux", "!", "fakesink"});
        const QRegularExpression colorimetry(QStringLiteral("colorimetry=\\(string\\)([^,\\s]+)"));
        QCOMPARE(colorimetry.match(gst).captured(1), caps);
    }

    void unitsAcrossChunkBorders() {
        // Several copies of a stream make a file of a few MiB whose units cross every 1 MiB
        // border of the reads.
        const TestStream s = TestStreams(QStringLiteral("h264")).at(0);
        const QByteArray one = ReadFileBytes(s.file);
        QByteArray many;
        while (many.size() < 3 * (1 << 20) + 12345) many += one;
        const QString in = Out(QStringLiteral("repeated.h264"));
        WriteFile(in, many);
        ConvertAndCompare(in, Out(QStringLiteral("repeated.mp4")), true);
    }

    void unitLargerThanTheBuffer() {
        // A 3 MiB SEI in front of the first picture: the buffer grows for it and nothing after
        // it is lost.
        const QByteArray stream = ReadFileBytes(TestStreams(QStringLiteral("h264")).at(0).file);
        const QByteArray withSei = InsertBeforeFirstSlice(stream, BigSei(3 << 20));
        QVERIFY(withSei.size() > 3 << 20);
        const QString in = Out(QStringLiteral("bigsei.h264"));
        WriteFile(in, withSei);
        ConvertAndCompare(in, Out(QStringLiteral("bigsei.mp4")), true);
    }

    void junkInFrontOfTheStream() {
        // 1.5 MiB without a start code in front of the stream is passed over.
        const TestStream s = TestStreams(QStringLiteral("h264")).at(0);
        QByteArray junk(3 << 19, char(0xA5));
        junk[1000] = 0;  // zeros that look like the start of a code
        junk[1001] = 0;
        junk[int(junk.size()) - 1] = 0;
        junk[int(junk.size()) - 2] = 0;
        const QString in = Out(QStringLiteral("junk.h264"));
        WriteFile(in, junk + ReadFileBytes(s.file));
        const Result r = Convert(in, Out(QStringLiteral("junk.mp4")));
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(DecodePictureHashes(r.output).size(), s.Int("frames"));
        QVERIFY(SampleNalsOfMp4(r.output, s.IsH265()) == SampleNalsOfStream(ReadFileBytes(s.file)));
    }

    void parameterSetTooLarge() {
        // An SPS of 70000 bytes cannot be stored in the decoder configuration: the conversion
        // fails instead of truncating it.
        const QByteArray stream = ReadFileBytes(TestStreams(QStringLiteral("h264")).at(0).file);
        const int sps = stream.indexOf(QByteArray("\x00\x00\x00\x01\x67", 5));
        QVERIFY(sps >= 0);
        const int next = stream.indexOf(QByteArray("\x00\x00\x01", 3), sps + 4);
        QByteArray bloated = stream.left(next) + QByteArray(70000, char(0x55)) + stream.mid(next);
        const QString in = Out(QStringLiteral("bigsps.h264"));
        WriteFile(in, bloated);
        const Result r = Convert(in, Out(QStringLiteral("bigsps.mp4")));
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(QStringLiteral("parameter set")), qPrintable(r.error));
        QVERIFY(!QFile::exists(r.output) && !PartLeft(r.output));
    }

    void failuresLeaveNothing_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << QByteArray() << QStringLiteral("sequence parameter set");
        QTest::newRow("text") << QByteArray("this is not a video\n").repeated(1000)
                              << QStringLiteral("sequence parameter set");
        QByteArray ppsOnly("\x00\x00\x00\x01\x68\xCE\x38\x80", 8);
        QTest::newRow("no SPS") << ppsOnly << QStringLiteral("sequence parameter set");
        // An SPS and a PPS, but not a single picture.
        const QByteArray stream = ReadFileBytes(TestStreams(QStringLiteral("h264")).at(0).file);
        QTest::newRow("no pictures")
            << stream.left(FirstSliceOffset(stream)) << QStringLiteral("pictures");
    }

    void failuresLeaveNothing() {
        QFETCH(QByteArray, input);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString in = dir.filePath(QStringLiteral("in.h264"));
        WriteFile(in, input);
        const Result r = Convert(in, dir.filePath(QStringLiteral("out.mp4")));
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(reason), qPrintable(r.error));
        QCOMPARE(Entries(dir.path()), QStringList{QStringLiteral("in.h264")});
    }

    void badPaths() {
        const QString in = TestStreams(QStringLiteral("h264")).at(0).file;
        Result r = Convert(in, Out(QStringLiteral("missing/dir/out.mp4")));
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(QStringLiteral("No such file or directory")),
                 qPrintable(r.error));

        r = Convert(Out(QStringLiteral("no-such-input.h264")), Out(QStringLiteral("x.mp4")));
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(QStringLiteral("no-such-input.h264")), qPrintable(r.error));
        QVERIFY(!QFile::exists(Out(QStringLiteral("x.mp4"))));
        QVERIFY(!PartLeft(Out(QStringLiteral("x.mp4"))));

        // An existing output is never replaced.
        const QString existing = Out(QStringLiteral("existing.mp4"));
        WriteFile(existing, "precious");
        r = Convert(in, existing);
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(QStringLiteral("exists")), qPrintable(r.error));
        QCOMPARE(ReadFileBytes(existing), QByteArray("precious"));

        QVERIFY(!Convert(in, QString()).ok);
        Converter c;
        QVERIFY(!c.WriteH264File(nullptr, Out(QStringLiteral("y.mp4"))));
        QVERIFY(!c.LastError().isEmpty());
    }

    void fullDevice() {
        // Writing to /dev/full fails with the reason, and reports failure.
        const Result r =
            Convert(TestStreams(QStringLiteral("h264")).at(0).file, QStringLiteral("/dev/full"));
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(QStringLiteral("No space left on device")), qPrintable(r.error));
    }

    void diskFullWhileWriting() {
        // A file size limit stands in for a full disk: the write fails in the middle of the
        // samples, the conversion says so, and no partial file is left.
        const TestStream s = TestStreams(QStringLiteral("h264")).at(0);
        const QByteArray one = ReadFileBytes(s.file);
        QByteArray many;
        while (many.size() < (2 << 20)) many += one;
        QTemporaryDir dir;
        const QString in = dir.filePath(QStringLiteral("in.h264"));
        WriteFile(in, many);
        const QString out = dir.filePath(QStringLiteral("out.mp4"));
        // With fast start, a limit one byte short of the whole file lets the media data through
        // and stops the move that makes room for the movie box in front.
        QVERIFY(Convert(in, out).ok);
        const rlim_t whole = rlim_t(QFileInfo(out).size());
        QVERIFY(QFile::remove(out));
        for (const auto& [limit, fastStart] :
             {std::pair(rlim_t(300000), false), std::pair(whole - 1, true)}) {
            const pid_t pid = fork();
            if (pid == 0) {
                signal(SIGXFSZ, SIG_IGN);
                struct rlimit lim = {limit, limit};
                setrlimit(RLIMIT_FSIZE, &lim);
                const Result r = Convert(in, out, QString(), QStringList(), fastStart);
                const bool expected = !r.ok && r.error.contains(QStringLiteral("File too large")) &&
                                      !QFile::exists(out) && !PartLeft(out);
                _exit(expected ? 0 : 1);
            }
            int status = 0;
            QCOMPARE(waitpid(pid, &status, 0), pid);
            QVERIFY(WIFEXITED(status));
            QCOMPARE(WEXITSTATUS(status), 0);
        }
    }

    void parameterSetsChangeMidStream() {
        // Two streams of different sizes one after the other: the second one's parameter sets
        // arrive after samples were written and must still reach the decoder.
        const QVector<TestStream> all = TestStreams(QStringLiteral("h264"));
        TestStream a = all.at(0), b;
        for (const TestStream& s : all)
            if (s.Int("width") != a.Int("width") && s.Int("bframes") == a.Int("bframes") &&
                s.Int("start_code") == 4) {
                b = s;
                break;
            }
        QVERIFY(!b.file.isEmpty());
        const QString in = Out(QStringLiteral("switch.h264"));
        WriteFile(in, ReadFileBytes(a.file) + ReadFileBytes(b.file));
        const QString out = Out(QStringLiteral("switch.mp4"));
        ConvertAndCompare(in, out, true);
        // The second stream's parameter sets differ from those of the configuration: they go
        // in band at each of its IDR pictures, where the stream repeats them, SPS and PPS, so
        // that a player that seeks there decodes with them.
        int sps = 0, pps = 0;
        for (const QByteArray& s : ReadSamples(out)) {
            const QVector<QByteArray> units = UnitsOfSample(s);
            if (units.isEmpty() || units[0].isEmpty() || (units[0][0] & 0x1F) != 7) continue;
            ++sps;
            pps += std::any_of(units.begin(), units.end(), [](const QByteArray& u) {
                return !u.isEmpty() && (u[0] & 0x1F) == 8;
            });
        }
        QCOMPARE(sps, b.Int("idr"));
        QCOMPARE(pps, b.Int("idr"));
    }

    void timestampFiles_data() {
        QTest::addColumn<bool>("h265");
        QTest::addColumn<int>("bframes");
        QTest::addColumn<QString>("kind");  // how the times go
        QTest::addColumn<int>("extra");     // times more (or fewer) than pictures
        for (bool h265 : {false, true}) {
            const char* c = h265 ? "x265" : "x264";
            QTest::addRow("%s dropped pictures", c) << h265 << 0 << "dropped" << 0;
            QTest::addRow("%s B dropped pictures", c) << h265 << 3 << "dropped" << 0;
            QTest::addRow("%s jitter and gaps", c) << h265 << 0 << "jitter" << 0;
            QTest::addRow("%s B jitter and gaps, lines shuffled", c)
                << h265 << 3 << "shuffled" << 0;
            QTest::addRow("%s B v1 ranges", c) << h265 << 3 << "v1" << 0;
        }
        QTest::addRow("fewer times") << false << 3 << "jitter" << -4;
        QTest::addRow("more times") << true << 3 << "dropped" << 3;
    }

    void timestampFiles() {
        // A camera's variable rate: the stream's own VUI says 30 fps, the file says when each
        // picture was taken. Every picture is presented at the file's time (the first at 0).
        QFETCH(bool, h265);
        QFETCH(int, bframes);
        QFETCH(QString, kind);
        QFETCH(int, extra);
        const int n = 30;
        EncodeOptions o;
        o.h265 = h265;
        o.bframes = bframes;
        o.pictures = n;
        o.dropThirds = kind == QLatin1String("dropped");
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_');
        const QString in = Out(tag + (h265 ? ".h265" : ".h264"));
        QVERIFY(EncodeTestPattern(in, o));
        QVector<double> ms;  // the times written, in capture order
        QStringList lines;
        QVector<double> us;  // expected, per picture in output order
        if (kind == QLatin1String("v1")) {
            lines << "# timecode format v1"
                  << "assume 30"
                  << "5,9,10"
                  << "# slow"
                  << ""
                  << "20,24,59.94";
            double t = 0;
            for (int k = 0; k < n; ++k) {
                us << t;
                t += k >= 5 && k <= 9 ? 1e5 : k >= 20 && k <= 24 ? 1e6 / 59.94 : 1e6 / 30;
            }
        } else {
            lines << (kind == QLatin1String("jitter") ? "# timecode format v2"
                                                      : "# timestamp format v2");
            // dropped: the kept pictures of a 30 fps source at the 3 decimals cameras write;
            // jitter: an uneven clock that starts late, with a 1 ms and a 10 s gap.
            const double jitter[] = {0, 2.5, -1.75, 0.001, 3.3333333};
            for (int k = 0; k < n + extra; ++k) {
                if (kind == QLatin1String("dropped"))
                    ms << std::round((k + k / 2) * 1000.0 / 30 * 1000) / 1000;
                else
                    ms << 12345.678 + k * 33.367 + jitter[k % 5] + (k >= 11 ? 1.0 - 33.367 : 0) +
                              (k >= 20 ? 10000 : 0);
            }
            QStringList times;
            for (double t : ms) times << QString::number(t, 'f', kind == "dropped" ? 3 : 7);
            if (kind == QLatin1String("shuffled"))
                for (int k = 0; k + 1 < times.size(); k += 3) times.swapItemsAt(k, k + 1);
            lines << "" << times.mid(0, 5) << "# a comment" << times.mid(5);
            QVector<double> sorted = ms;
            std::sort(sorted.begin(), sorted.end());
            for (int k = 0; k < n; ++k) {
                const int last = std::min<int>(k, int(sorted.size()) - 1);
                const double interval = sorted[sorted.size() - 1] - sorted[sorted.size() - 2];
                us << std::round((sorted[last] + (k - last) * interval - sorted[0]) * 1000);
            }
        }
        const QString stamps = Out(tag + ".txt");
        WriteFile(stamps, lines.join('\n').toUtf8() + "\n");
        const QString out = Out(tag + ".mp4");
        const DecodeResult mp4 = ConvertAndCompare(in, out, true, stamps);
        if (QTest::currentTestFailed()) return;
        CompareTimes(mp4, gst, us);
        QVERIFY(last.summary.variableFrameRate);
        if (extra == 0) QVERIFY2(last.warnings.isEmpty(), qPrintable(last.warnings.join('\n')));
        if (extra < 0)
            QCOMPARE(last.warnings,
                     QStringList{QStringLiteral("%1 has 26 times for 30 pictures: the last 4 "
                                                "continue at the last interval")
                                     .arg(stamps)});
        if (extra > 0)
            QCOMPARE(last.warnings, QStringList{QStringLiteral("%1 has 33 times for 30 pictures: "
                                                               "the last 3 are ignored")
                                                    .arg(stamps)});
        // The last picture lasts as long as the one before it.
        const Mp4Info info = ReadMp4Info(out);
        QCOMPARE(info.sttsDeltas.value(n - 1), info.sttsDeltas.value(n - 2));
    }

    void joinedSegments_data() {
        QTest::addColumn<bool>("h265");
        QTest::addColumn<QString>("cut");
        for (bool h265 : {false, true}) {
            const char* c = h265 ? "H.265" : "H.264";
            QTest::addRow("%s at IRAP pictures", c) << h265 << "irap";
            QTest::addRow("%s mid-GOP", c) << h265 << "mid";
        }
    }

    void joinedSegments() {
        // A recording cut into three segments joins back into the file the whole would make,
        // also when a segment does not begin with a picture a decoder can start from.
        QFETCH(bool, h265);
        QFETCH(QString, cut);
        EncodeOptions o;
        o.h265 = h265;
        o.bframes = 3;
        o.pictures = 48;
        o.keyint = 16;
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_');
        const QString whole = Out(tag + "-whole");
        QVERIFY(EncodeTestPattern(whole, o));
        const QByteArray bytes = ReadFileBytes(whole);
        const QVector<int> starts = PictureStarts(bytes, h265, cut == QLatin1String("mid"));
        QVERIFY(starts.size() >= 2);
        const int a = starts[cut == QLatin1String("mid") ? 10 : 0];
        const int b = starts[cut == QLatin1String("mid") ? 30 : 1];
        QStringList segments;
        for (const QByteArray& part : {bytes.left(a), bytes.mid(a, b - a), bytes.mid(b)}) {
            segments << Out(tag + QStringLiteral("-%1").arg(segments.size()));
            WriteFile(segments.last(), part);
        }
        const QString joined = Out(tag + "-joined.mp4");
        ConvertAndCompare(whole, joined, true, QString(), segments);
        const QString plain = Out(tag + "-whole.mp4");
        QVERIFY(Convert(whole, plain).ok);
        QVERIFY2(ReadFileBytes(joined) == ReadFileBytes(plain), "the join differs from the whole");
    }

    void sequencesAtTheirOwnRates_data() {
        QTest::addColumn<bool>("h265");
        QTest::newRow("H.264") << false;
        QTest::newRow("H.265") << true;
    }

    void sequencesAtTheirOwnRates() {
        // 90 pictures at 25 fps, then 60 at 30 fps of another size: 5.6 s, whether the two are
        // one file (made with cat) or joined.
        QFETCH(bool, h265);
        EncodeOptions o;
        o.h265 = h265;
        o.bframes = 2;
        o.pictures = 90;
        o.fps = 25;
        const QString ext = h265 ? ".h265" : ".h264";
        const QString first = Out("rate25" + ext), second = Out("rate30" + ext);
        QVERIFY(EncodeTestPattern(first, o));
        o.pictures = 60;
        o.fps = 30;
        o.size = QStringLiteral("176x144");
        o.pattern = QStringLiteral("testsrc2");
        QVERIFY(EncodeTestPattern(second, o));
        const QString cat = Out("cat" + ext);
        WriteFile(cat, ReadFileBytes(first) + ReadFileBytes(second));
        const DecodeResult mp4 = ConvertAndCompare(cat, Out("cat" + ext + ".mp4"), true);
        if (QTest::currentTestFailed()) return;
        QVector<double> us;
        for (int k = 0; k < 150; ++k) us << (k < 90 ? k * 40000.0 : 3.6e6 + (k - 90) * 1e6 / 30);
        CompareTimes(mp4, gst, us);
        QCOMPARE(last.summary.durationSeconds, 5.6);
        QVERIFY(last.summary.variableFrameRate);
        const QString joined = Out("joined" + ext + ".mp4");
        ConvertAndCompare(cat, joined, true, QString(), {first, second});
        QVERIFY(ReadFileBytes(joined) == ReadFileBytes(Out("cat" + ext + ".mp4")));
        // The progress covers both segments together.
        Converter c;
        uint64_t lastDone = 0, lastTotal = 0;
        bool ahead = true;
        c.SetProgressHook([&](uint64_t done, uint64_t total) {
            ahead = ahead && done >= lastDone && done <= total;
            lastDone = done;
            lastTotal = total;
            return true;
        });
        QVERIFY(c.WriteH264Files(
            {QFile::encodeName(first).toStdString(), QFile::encodeName(second).toStdString()},
            Out("progress" + ext + ".mp4")));
        QVERIFY(ahead);
        QCOMPARE(lastTotal, uint64_t(QFileInfo(cat).size()));
        QCOMPARE(lastDone, lastTotal);
    }

    void joinRefusesAnotherCodec() {
        const QString h264 = FindTestStream(QStringLiteral("baseline_320x240.h264")).file;
        const QString h265 = FindTestStream(QStringLiteral("nobframes_320x240.hevc")).file;
        QTemporaryDir dir;
        const Result r = Convert(QString(), dir.filePath("mixed.mp4"), QString(), {h264, h265});
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(QStringLiteral("(H.264) and")) &&
                     r.error.contains(QStringLiteral("(H.265): segments of different codecs")),
                 qPrintable(r.error));
        QVERIFY(Entries(dir.path()).isEmpty());
        // A segment that holds no picture at all is a wrong file in the list, not a success.
        const QString text = dir.filePath("notes.h264");
        QFile f(text);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("not a stream at all\n").repeated(100));
        f.close();
        for (const QStringList& inputs : {QStringList{h264, text}, QStringList{text, h264}}) {
            const Result t = Convert(QString(), dir.filePath("text.mp4"), QString(), inputs);
            QVERIFY(!t.ok);
            QVERIFY2(t.error.startsWith(QStringLiteral("cannot join ")) &&
                         t.error.contains(QStringLiteral("notes.h264: not an H.264 or H.265")),
                     qPrintable(t.error));
            QCOMPARE(Entries(dir.path()), QStringList{QStringLiteral("notes.h264")});
        }
    }
};

QTEST_GUILESS_MAIN(TestConvert)
#include "test_convert.moc"
