// Hostile input: cut, damaged and random streams, absurd parameter sets, units that break the
// limits, and inputs and outputs that are not what a conversion expects. Every case ends either
// in a sound MP4 or in a failure that says why, and never leaves an unfinished file behind.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "audio/audioreader.h"
#include "convert/converter.h"
#include "convert/nalunit.h"
#include "h264/slice.h"
#include "h264/sps.h"
#include "support/convert.h"
#include "support/decode.h"
#include "support/streams.h"

namespace {

constexpr qint64 kMiB = 1 << 20;

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

struct CliRun {
    int status = -1;  // -1: crashed or did not finish
    QString err;
};

// Runs the command-line converter; `asNobody` drops root's rights in the child first.
CliRun Cli(const QStringList& args, bool asNobody = false) {
    QProcess p;
    if (asNobody) {
        p.setChildProcessModifier([] {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        });
    }
    p.start(QStringLiteral(TOVANMUXER_CLI), args);
    CliRun r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    if (p.exitStatus() == QProcess::NormalExit) r.status = p.exitCode();
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// A finished conversion is sound: failed with a reason and nothing left, or an MP4 whose
// samples are well formed and hold every coded slice of the input from its first usable SPS
// on, unchanged and in order.
void CheckSound(const Result& r) {
    QVERIFY2(!PartLeft(r.output), "an unfinished file was left");
    if (!r.ok) {
        QVERIFY2(!r.error.isEmpty(), "failed without a reason");
        QVERIFY2(!QFile::exists(r.output), "a failed conversion left its output");
        return;
    }
    QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
    const Mp4Info info = ReadMp4Info(r.output);
    QVERIFY2(info.ok, qPrintable(info.error));
    QCOMPARE(quint64(info.sampleCount), quint64(r.summary.pictures));
    QVERIFY(info.sampleCount > 0);

    const StreamSlices in = SlicesOfStream(ReadFileBytes(r.input));
    QVector<QByteArray> out;
    for (const QByteArray& sample : ReadSamples(r.output, true)) {
        const QVector<QByteArray> units = UnitsOfSample(sample);
        QVERIFY2(!units.isEmpty(), "a sample's length prefixes do not add up");
        for (const QByteArray& u : units)
            if (IsCodedSlice(in.codec, u)) out.push_back(u);
    }
    QCOMPARE(int(in.codec), int(r.summary.codec));
    QVERIFY(in.beforeSps >= 0);
    QVERIFY2(out.size() >= in.slices.size() - in.beforeSps,
             qPrintable(QStringLiteral("%1 of %2 slices written")
                            .arg(out.size())
                            .arg(in.slices.size() - in.beforeSps)));
    QVERIFY(out.size() <= in.slices.size());
    QVERIFY2(out == in.slices.mid(in.slices.size() - out.size()), "slices changed or reordered");
}

// Converts `bytes` (written to `dir`) and checks the outcome is sound.
Result ConvertBytes(const QTemporaryDir& dir, const QByteArray& bytes, const QString& name) {
    const QString in = dir.filePath(name + QStringLiteral(".h264"));
    const QString out = dir.filePath(name + QStringLiteral(".mp4"));
    if (!WriteFile(in, bytes)) return Result();
    QFile::remove(out);
    return Convert(in, out);
}

#define CHECK_SOUND(r)                          \
    do {                                        \
        CheckSound(r);                          \
        if (QTest::currentTestFailed()) return; \
    } while (0)

// Writes the syntax of a parameter set, most significant bit first.
class BitWriter {
public:
    void U(int n, uint64_t v) {
        for (int i = n - 1; i >= 0; --i) bits.push_back(((v >> i) & 1) != 0);
    }
    void UE(uint64_t v) {
        int len = 0;
        while ((v + 1) >> len) ++len;
        U(len - 1, 0);
        U(len, v + 1);
    }
    void SE(int64_t v) { UE(v > 0 ? uint64_t(2 * v - 1) : uint64_t(-2 * v)); }
    // The NAL unit: header byte, the bits, rbsp_trailing_bits, emulation prevention.
    QByteArray Nal(uint8_t header) const {
        std::vector<bool> b = bits;
        b.push_back(true);
        while (b.size() % 8) b.push_back(false);
        QByteArray rbsp;
        for (size_t i = 0; i < b.size(); i += 8) {
            uint8_t byte = 0;
            for (size_t k = 0; k < 8; ++k) byte = uint8_t((byte << 1) | (b[i + k] ? 1 : 0));
            rbsp.append(char(byte));
        }
        QByteArray nal(1, char(header));
        int zeros = 0;
        for (char c : rbsp) {
            if (zeros >= 2 && uint8_t(c) <= 3) {
                nal.append(char(3));
                zeros = 0;
            }
            nal.append(c);
            zeros = c == 0 ? zeros + 1 : 0;
        }
        return nal;
    }

private:
    std::vector<bool> bits;
};

// An SPS of a profile without chroma_format_idc, from the fields of `f` (no VUI). Only the
// first `cycleWritten` offsets of a picture order count cycle are written.
QByteArray MakeSps(const SpsInfo& f, uint32_t cycleWritten = 256) {
    BitWriter w;
    w.U(8, f.profile_idc);
    w.U(8, f.constraint_flags);
    w.U(8, f.level_idc);
    w.UE(f.seq_parameter_set_id);
    w.UE(f.log2_max_frame_num_minus4);
    w.UE(f.pic_order_cnt_type);
    if (f.pic_order_cnt_type == 0) {
        w.UE(f.log2_max_pic_order_cnt_lsb_minus4);
    } else if (f.pic_order_cnt_type == 1) {
        w.U(1, f.delta_pic_order_always_zero_flag);
        w.SE(f.offset_for_non_ref_pic);
        w.SE(f.offset_for_top_to_bottom_field);
        w.UE(f.num_ref_frames_in_pic_order_cnt_cycle);
        for (uint32_t i = 0; i < f.num_ref_frames_in_pic_order_cnt_cycle && i < cycleWritten; ++i)
            w.SE(f.offset_for_ref_frame[i % 256]);
    }
    w.UE(f.max_num_ref_frames);
    w.U(1, f.gaps_in_frame_num_value_allowed_flag);
    w.UE(f.pic_width_in_mbs_minus1);
    w.UE(f.pic_height_in_map_units_minus1);
    w.U(1, f.frame_mbs_only_flag);
    if (!f.frame_mbs_only_flag) w.U(1, f.mb_adaptive_frame_field_flag);
    w.U(1, f.direct_8x8_inference_flag);
    w.U(1, f.frame_cropping_flag);
    if (f.frame_cropping_flag) {
        w.UE(f.frame_crop_left_offset);
        w.UE(f.frame_crop_right_offset);
        w.UE(f.frame_crop_top_offset);
        w.UE(f.frame_crop_bottom_offset);
    }
    w.U(1, 0);  // vui_parameters_present_flag
    return QByteArray("\x00\x00\x00\x01", 4) + w.Nal(0x67);
}

struct Unit {
    int type;
    qint64 begin;  // its start code
    qint64 end;    // the next start code, or the end
};

QVector<Unit> UnitsOf(const QByteArray& d) {
    QVector<Unit> out;
    ForEachNalUnit(d, [&](const NalUnit& n, qint64 header) {
        out.push_back({n.type, header - n.startCodeLength, header + n.length});
    });
    return out;
}

// The stream with every SPS replaced by `sps`.
QByteArray ReplaceSps(const QByteArray& stream, const QByteArray& sps) {
    QByteArray out;
    for (const Unit& u : UnitsOf(stream))
        out += u.type == 7 ? sps : stream.mid(int(u.begin), int(u.end - u.begin));
    return out;
}

SpsInfo FirstSps(const QByteArray& stream) {
    SpsInfo info{};
    for (const Unit& u : UnitsOf(stream)) {
        if (u.type != 7) continue;
        const int header = stream.indexOf(char(1), int(u.begin)) + 1;
        ParseSpsFull(reinterpret_cast<const uint8_t*>(stream.constData()) + header,
                     uint32_t(u.end - header), &info);
        break;
    }
    return info;
}

QVector<QByteArray> Hashes(const DecodeResult& d) {
    QVector<QByteArray> out;
    for (const DecodedPicture& p : d.pictures) out.push_back(p.hash);
    return out;
}

// Writes `size` bytes of `fill` (or, with fill < 0, bytes that never form a start code).
bool AppendBytes(QFile& f, qint64 size, int fill) {
    QByteArray chunk(int(std::min<qint64>(size, 4 * kMiB)), char(fill < 0 ? 0 : fill));
    if (fill < 0)
        for (int i = 0; i < chunk.size(); ++i) chunk[i] = char(0x80 | (i * 37 % 128));
    for (qint64 left = size; left > 0;) {
        const qint64 n = std::min<qint64>(left, chunk.size());
        if (f.write(chunk.constData(), n) != n) return false;
        left -= n;
    }
    return true;
}

}  // namespace

class TestRobust : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(tmp.isValid());
        QVERIFY(!TestStreams().isEmpty());
        av_log_set_level(AV_LOG_QUIET);
    }

    // The inputs that once broke a fuzzer's checks stay sound.
    void keptCrashInputs_data() {
        QTest::addColumn<QString>("path");
        QDirIterator it(QStringLiteral(TOVANMUXER_REGRESS), QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString p = it.next();
            if (!p.endsWith(QStringLiteral("README.md")))
                QTest::newRow(
                    qPrintable(QDir(QStringLiteral(TOVANMUXER_REGRESS)).relativeFilePath(p)))
                    << p;
        }
    }

    void keptCrashInputs() {
        QFETCH(QString, path);
        const QByteArray bytes = ReadFileBytes(path);
        const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.constData());
        const uint32_t n = uint32_t(bytes.size());
        // Whatever the fuzzer fed them to: the parsers on the bytes as one NAL unit, the whole
        // engine on them as a stream.
        SpsInfo sps{};
        ParseSpsFull(b, n, &sps);
        PpsInfo pps{};
        ParsePps(b, n, &pps);
        const Result r = ConvertBytes(tmp, bytes, QFileInfo(path).fileName());
        CHECK_SOUND(r);
        // The sound readers, with the name fuzz_audio gives them from the first byte.
        if (n > 0) {
            static const char* const kNames[4] = {"s.aac", "s.alaw", "s.ulaw", "s.pcm"};
            std::unique_ptr<AudioReader> audio = OpenAudioReader(kNames[b[0] % 4]);
            audio->Feed(b + 1, n - 1);
            audio->Finish();
            AudioFrame frame;
            while (audio->Next(frame)) QVERIFY(frame.sampleTimes > 0 && !frame.data.empty());
            QVERIFY(audio->AtEnd());
            QCOMPARE(audio->Failed(), !audio->Error().empty());
        }
    }

    // A stream cut anywhere: every picture that was whole before the cut is in the MP4, with
    // the same bytes as when the stream is converted whole.
    void truncated_data() {
        QTest::addColumn<QString>("name");
        for (const char* n : {"main_bframes_640x360.h264", "slices4_640x360.h264",
                              "interlaced_720x576.h264", "startcode3_320x240.h264"})
            QTest::newRow(n) << QString::fromLatin1(n);
    }

    void truncated() {
        QFETCH(QString, name);
        const QByteArray stream = ReadFileBytes(FindTestStream(name).file);
        QVERIFY(!stream.isEmpty());
        const Result whole = ConvertBytes(tmp, stream, QStringLiteral("whole"));
        QVERIFY2(whole.ok, qPrintable(whole.error));
        const QVector<QByteArray> wholeSamples = ReadSamples(whole.output, true);
        const QVector<QByteArray> wholeHashes = DecodePictureHashes(whole.output);
        QCOMPARE(wholeHashes.size(), wholeSamples.size());

        // Where each sample's last slice ends in the stream.
        const StreamSlices slices = SlicesOfStream(stream);
        QVector<qint64> sampleEnd;
        int k = 0;
        for (const QByteArray& s : wholeSamples) {
            for (const QByteArray& u : UnitsOfSample(s))
                if (IsCodedSlice(slices.codec, u)) ++k;
            sampleEnd.push_back(slices.ends.value(k - 1));
        }
        QCOMPARE(k, slices.slices.size());

        // Cuts at, just before and just after the ends of pictures and inside units, and at
        // places chosen at random.
        QVector<qint64> cuts;
        for (int i = 0; i < sampleEnd.size(); i += 3)
            for (int d : {-1, 0, 1, 2, 5}) cuts.push_back(sampleEnd[i] + d);
        QRandomGenerator rng(uint32_t(qHash(name)));
        for (int i = 0; i < 12; ++i) cuts.push_back(rng.bounded(int(stream.size())));
        for (int i = 0; i < 80; i += 7) cuts.push_back(i);

        for (const qint64 cut : cuts) {
            if (cut <= 0 || cut >= stream.size()) continue;
            const int wholePictures =
                int(std::upper_bound(sampleEnd.begin(), sampleEnd.end(), cut) - sampleEnd.begin());
            const Result r = ConvertBytes(tmp, stream.left(int(cut)), QStringLiteral("cut"));
            CHECK_SOUND(r);
            const QString where = QStringLiteral("cut at %1 of %2").arg(cut).arg(stream.size());
            if (wholePictures == 0) continue;
            QVERIFY2(r.ok, qPrintable(where + QStringLiteral(": ") + r.error));
            const QVector<QByteArray> samples = ReadSamples(r.output, true);
            QVERIFY2(samples.size() >= wholePictures, qPrintable(where));
            QVERIFY2(samples.mid(0, wholePictures) == wholeSamples.mid(0, wholePictures),
                     qPrintable(where + QStringLiteral(": whole pictures changed")));
            // And they decode as they did.
            const QVector<QByteArray> hashes = DecodePictureHashes(r.output);
            const int same =
                int(std::count_if(hashes.begin(), hashes.end(),
                                  [&](const QByteArray& h) { return wholeHashes.contains(h); }));
            QVERIFY2(
                same >= wholePictures,
                qPrintable(
                    where +
                    QStringLiteral(": %1 of %2 pictures decode").arg(same).arg(wholePictures)));
        }
    }

    // Random bit flips in real streams.
    void bitFlips_data() {
        QTest::addColumn<QString>("name");
        for (const char* n :
             {"baseline_320x240.h264", "main_bframes_640x360.h264", "high_bpyramid_640x360.h264",
              "interlaced_720x576.h264", "high_cqm_320x240.h264", "open_gop_320x240.h264"})
            QTest::newRow(n) << QString::fromLatin1(n);
    }

    void bitFlips() {
        QFETCH(QString, name);
        const QByteArray stream = ReadFileBytes(FindTestStream(name).file);
        QVERIFY(!stream.isEmpty());
        QRandomGenerator rng(uint32_t(qHash(name)) ^ 0x5eed);
        for (int variant = 0; variant < 30; ++variant) {
            QByteArray damaged = stream;
            // Mostly a few flips anywhere; every third variant hits the first 200 bytes, where
            // the parameter sets and the first slice header are.
            const int flips = 1 + rng.bounded(variant % 2 ? 40 : 4);
            const int range =
                variant % 3 == 0 ? std::min(200, int(damaged.size())) : int(damaged.size());
            for (int i = 0; i < flips; ++i) {
                const int at = rng.bounded(range);
                damaged[at] = char(uint8_t(damaged[at]) ^ (1u << rng.bounded(8)));
            }
            const Result r = ConvertBytes(tmp, damaged, QStringLiteral("flipped"));
            CHECK_SOUND(r);
        }
    }

    // Bytes at random, with and without start codes, and random units behind real parameter
    // sets.
    void randomBytes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QRandomGenerator rng(2026);
        auto random = [&](int n) {
            QByteArray b(n, 0);
            for (int i = 0; i < n; ++i) b[i] = char(rng.bounded(256));
            return b;
        };
        for (int n : {1, 2, 3, 4, 5, 7, 100, 4096, int(kMiB), int(3 * kMiB + 17)})
            QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(n))) << random(n);

        QByteArray coded;
        while (coded.size() < 2 * kMiB) {
            coded +=
                rng.bounded(2) ? QByteArray("\x00\x00\x00\x01", 4) : QByteArray("\x00\x00\x01", 3);
            coded += random(1 + rng.bounded(80));
        }
        QTest::newRow("start codes every few bytes") << coded;

        // The baseline stream's SPS and PPS, then units of every type with random contents.
        const QByteArray stream =
            ReadFileBytes(FindTestStream(QStringLiteral("baseline_320x240.h264")).file);
        QByteArray head;
        QByteArray firstSlice;
        for (const Unit& u : UnitsOf(stream)) {
            if (u.type == 7 || u.type == 8) head += stream.mid(int(u.begin), int(u.end - u.begin));
            if (u.type == 5 && firstSlice.isEmpty()) firstSlice = stream.mid(int(u.begin), 12);
        }
        QByteArray units = head;
        for (int i = 0; i < 2000; ++i)
            units += QByteArray("\x00\x00\x00\x01", 4) + char(rng.bounded(256)) +
                     random(1 + rng.bounded(3000));
        QTest::newRow("random units behind real parameter sets") << units;

        // Slices whose headers begin as a real one and go on at random.
        QByteArray slices = head;
        for (int i = 0; i < 500; ++i)
            slices += firstSlice.left(5 + rng.bounded(7)) + random(1 + rng.bounded(2000));
        QTest::newRow("slices with random tails") << slices;
    }

    void randomBytes() {
        QFETCH(QByteArray, bytes);
        const Result r = ConvertBytes(tmp, bytes, QStringLiteral("random"));
        CHECK_SOUND(r);
    }

    // 100 MB of zero bytes: a clear failure; and 100 MB of zeros between two pictures of a real
    // stream (trailing_zero_8bits, which the byte stream allows): every picture.
    void zeroBytes() {
        const qint64 size = 100 * 1000 * 1000;
        const QString zeros = tmp.filePath(QStringLiteral("zeros.h264"));
        {
            QFile f(zeros);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(f.resize(size));  // a sparse file: no disk needed
        }
        Result r = Convert(zeros, tmp.filePath(QStringLiteral("zeros.mp4")));
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(QStringLiteral("sequence parameter set")), qPrintable(r.error));
        CHECK_SOUND(r);
        QFile::remove(zeros);

        const TestStream s = FindTestStream(QStringLiteral("baseline_320x240.h264"));
        const QByteArray stream = ReadFileBytes(s.file);
        const QVector<Unit> units = UnitsOf(stream);
        const auto second = std::find_if(units.begin() + 1, units.end(),
                                         [&](const Unit& u) { return u.type == 1; });
        QVERIFY(second != units.end());
        const QString padded = tmp.filePath(QStringLiteral("padded.h264"));
        {
            QFile f(padded);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(f.write(stream.left(int(second->begin))) == second->begin);
            QVERIFY(f.seek(second->begin + size));  // the hole reads as zeros
            QVERIFY(f.write(stream.mid(int(second->begin))) == stream.size() - second->begin);
        }
        r = Convert(padded, tmp.filePath(QStringLiteral("padded.mp4")));
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(DecodePictureHashes(r.output), DecodePictureHashes(s.file));
        QFile::remove(padded);
    }

    // One NAL unit over the 256 MiB that a unit may have: a clear failure, nothing left.
    void unitOverTheCap() {
        const QByteArray stream =
            ReadFileBytes(FindTestStream(QStringLiteral("baseline_320x240.h264")).file);
        const QVector<Unit> units = UnitsOf(stream);
        const auto slice =
            std::find_if(units.begin(), units.end(), [](const Unit& u) { return u.type == 5; });
        QVERIFY(slice != units.end());
        const QString in = tmp.filePath(QStringLiteral("huge.h264"));
        {
            QFile f(in);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(f.write(stream.left(int(slice->end))) == slice->end);
            QVERIFY(f.write(QByteArray("\x00\x00\x00\x01\x41", 5)) == 5);
            QVERIFY(AppendBytes(f, 256 * kMiB + 100, -1));
            QVERIFY(f.write(stream.mid(int(slice->end))) == stream.size() - slice->end);
        }
        const Result r = Convert(in, tmp.filePath(QStringLiteral("huge.mp4")));
        QFile::remove(in);
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(QStringLiteral("256 MiB")), qPrintable(r.error));
        CHECK_SOUND(r);
    }

    // Sequence parameter sets whose values are absurd, in place of a real stream's.
    void absurdSps_data() {
        QTest::addColumn<QString>("change");
        for (const char* c :
             {"none", "2^32 macroblocks", "width wraps", "field height wraps", "cropped away",
              "frame_num of 1004 bits", "poc lsb of 1004 bits", "poc cycle of 2^32-1 frames",
              "level 0 and one macroblock", "sps id 2^32-2", "2^32-2 reference frames"})
            QTest::newRow(c) << QString::fromLatin1(c);
    }

    void absurdSps() {
        QFETCH(QString, change);
        const TestStream s = FindTestStream(QStringLiteral("baseline_320x240.h264"));
        const QByteArray stream = ReadFileBytes(s.file);
        SpsInfo f = FirstSps(stream);
        QVERIFY(f.width > 0);
        uint32_t cycleWritten = 256;
        if (change == QLatin1String("2^32 macroblocks")) {
            f.pic_width_in_mbs_minus1 = 65535;
            f.pic_height_in_map_units_minus1 = 65535;
        } else if (change == QLatin1String("width wraps")) {
            f.pic_width_in_mbs_minus1 = 0xFFFFFFFE;
        } else if (change == QLatin1String("field height wraps")) {
            f.pic_height_in_map_units_minus1 = 0xFFFFFFFE;
            f.frame_mbs_only_flag = 0;
        } else if (change == QLatin1String("cropped away")) {
            f.frame_cropping_flag = 1;
            f.frame_crop_left_offset = 1000;
        } else if (change == QLatin1String("frame_num of 1004 bits")) {
            f.log2_max_frame_num_minus4 = 1000;
        } else if (change == QLatin1String("poc lsb of 1004 bits")) {
            f.pic_order_cnt_type = 0;
            f.log2_max_pic_order_cnt_lsb_minus4 = 1000;
        } else if (change == QLatin1String("poc cycle of 2^32-1 frames")) {
            f.pic_order_cnt_type = 1;
            f.num_ref_frames_in_pic_order_cnt_cycle = 0xFFFFFFFE;
            cycleWritten = 3;
        } else if (change == QLatin1String("level 0 and one macroblock")) {
            f.level_idc = 0;
            f.pic_width_in_mbs_minus1 = 0;
            f.pic_height_in_map_units_minus1 = 0;
            f.frame_cropping_flag = 0;
        } else if (change == QLatin1String("sps id 2^32-2")) {
            f.seq_parameter_set_id = 0xFFFFFFFE;
        } else if (change == QLatin1String("2^32-2 reference frames")) {
            f.max_num_ref_frames = 0xFFFFFFFE;
        }
        const QByteArray bytes = ReplaceSps(stream, MakeSps(f, cycleWritten));
        const Result r = ConvertBytes(tmp, bytes, QStringLiteral("absurd"));
        CHECK_SOUND(r);
        if (change == QLatin1String("none")) {
            // The rewritten SPS says what the real one says: the pictures are the same.
            QVERIFY2(r.ok, qPrintable(r.error));
            QCOMPARE(DecodePictureHashes(r.output), DecodePictureHashes(s.file));
        }
    }

    // Parameter sets that change in the middle of a stream.
    void spsChanges() {
        auto stream = [](const char* name) {
            return ReadFileBytes(FindTestStream(QString::fromLatin1(name)).file);
        };
        const QByteArray baseline = stream("baseline_320x240.h264");
        const QByteArray bframes = stream("main_bframes_640x360.h264");

        // Profiles, chroma formats, bit depths and sizes one after another, each from an IDR:
        // every picture decodes as in the raw stream.
        const QByteArray chain = baseline + stream("high444_320x240.h264") +
                                 stream("high10_320x240.h264") + stream("main_1920x1080.h264") +
                                 bframes;
        Result r = ConvertBytes(tmp, chain, QStringLiteral("chain"));
        CHECK_SOUND(r);
        QVERIFY2(r.ok, qPrintable(r.error));
        const DecodeResult raw = DecodeFile(tmp.filePath(QStringLiteral("chain.h264")));
        const DecodeResult mp4 = DecodeFile(r.output);
        QVERIFY(raw.ok && mp4.ok);
        QCOMPARE(Hashes(mp4), Hashes(raw));

        // The same SPS and PPS again in front of every picture change nothing.
        QByteArray params, repeated;
        for (const Unit& u : UnitsOf(baseline))
            if (u.type == 7 || u.type == 8)
                params += baseline.mid(int(u.begin), int(u.end - u.begin));
        for (const Unit& u : UnitsOf(baseline)) {
            if (u.type == 1) repeated += params;
            repeated += baseline.mid(int(u.begin), int(u.end - u.begin));
        }
        r = ConvertBytes(tmp, repeated, QStringLiteral("repeated"));
        CHECK_SOUND(r);
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(DecodePictureHashes(r.output),
                 DecodePictureHashes(FindTestStream(QStringLiteral("baseline_320x240.h264")).file));

        // Another stream's SPS and PPS (another size, same ids) in the middle of a group of
        // pictures, with no IDR behind them: the slices that follow no longer fit their headers.
        QByteArray otherParams;
        for (const Unit& u : UnitsOf(bframes))
            if (u.type == 7 || u.type == 8)
                otherParams += bframes.mid(int(u.begin), int(u.end - u.begin));
        int seen = 0;
        QByteArray hijacked;
        for (const Unit& u : UnitsOf(baseline)) {
            if (u.type == 1 && ++seen == 4) hijacked += otherParams;
            hijacked += baseline.mid(int(u.begin), int(u.end - u.begin));
        }
        r = ConvertBytes(tmp, hijacked, QStringLiteral("hijacked"));
        CHECK_SOUND(r);
    }

    // Inputs that are no stream file at all.
    void badInputs_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty file")
            << QStringLiteral("empty") << QStringLiteral("sequence parameter set");
        QTest::newRow("directory")
            << QStringLiteral("directory") << QStringLiteral("Is a directory");
        QTest::newRow("FIFO whose writer writes nothing")
            << QStringLiteral("fifo") << QStringLiteral("sequence parameter set");
        QTest::newRow("endless device")
            << QStringLiteral("/dev/zero") << QStringLiteral("not a regular file");
        QTest::newRow("null device")
            << QStringLiteral("/dev/null") << QStringLiteral("not a regular file");
        QTest::newRow("dangling link")
            << QStringLiteral("dangling") << QStringLiteral("No such file or directory");
        QTest::newRow("unreadable file")
            << QStringLiteral("unreadable") << QStringLiteral("Permission denied");
        QTest::newRow("read error")
            << QStringLiteral("/proc/self/mem") << QStringLiteral("Input/output error");
    }

    void badInputs() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(chmod(dir.path().toLocal8Bit().constData(), 0777) == 0);
        QString in = dir.filePath(QStringLiteral("in.h264"));
        const QByteArray local = in.toLocal8Bit();
        bool asNobody = false;
        if (kind == QLatin1String("empty")) {
            QVERIFY(WriteFile(in, QByteArray()));
        } else if (kind == QLatin1String("directory")) {
            QVERIFY(QDir().mkdir(in));
        } else if (kind == QLatin1String("fifo")) {
            // A FIFO is recorded as it comes: this one's writer closes it at once.
            QVERIFY(mkfifo(local.constData(), 0666) == 0);
            QVERIFY(QProcess::startDetached(
                QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral(": > \"$0\""), in}));
        } else if (kind == QLatin1String("dangling")) {
            QVERIFY(symlink("nowhere.h264", local.constData()) == 0);
        } else if (kind == QLatin1String("unreadable")) {
            QVERIFY(QFile::copy(FindTestStream(QStringLiteral("baseline_320x240.h264")).file, in));
            QVERIFY(chmod(local.constData(), 0) == 0);
            asNobody = getuid() == 0;  // root reads it anyway
        } else {
            in = kind;
        }
        const QString out = dir.filePath(QStringLiteral("out.mp4"));
        const CliRun run = Cli({in, QStringLiteral("-o"), out}, asNobody);
        QVERIFY2(run.status != -1, "the converter did not finish");
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(reason), qPrintable(run.err));
        QVERIFY(!QFile::exists(out));
        QVERIFY(!PartLeft(out));
    }

    // Outputs that cannot be written.
    void badOutputs_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing directory")
            << QStringLiteral("missing") << QStringLiteral("No such file or directory");
        QTest::newRow("read-only directory")
            << QStringLiteral("readonly") << QStringLiteral("Permission denied");
        QTest::newRow("full device")
            << QStringLiteral("/dev/full") << QStringLiteral("No space left on device");
        QTest::newRow("a directory holding a directory of the name")
            << QStringLiteral("isdir") << QStringLiteral("exists");
        QTest::newRow("a file as directory")
            << QStringLiteral("notdir") << QStringLiteral("Not a directory");
        QTest::newRow("name over 255 bytes")
            << QStringLiteral("longname") << QStringLiteral("File name too long");
        QTest::newRow("the input itself") << QStringLiteral("input") << QStringLiteral("exists");
    }

    void badOutputs() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(chmod(dir.path().toLocal8Bit().constData(), 0777) == 0);
        const QString in = dir.filePath(QStringLiteral("in.h264"));
        const QString source = FindTestStream(QStringLiteral("baseline_320x240.h264")).file;
        QVERIFY(QFile::copy(source, in));
        QVERIFY(chmod(in.toLocal8Bit().constData(), 0644) == 0);
        QString out;
        bool asNobody = false;
        if (kind == QLatin1String("missing")) {
            out = dir.filePath(QStringLiteral("no/such/dir/out.mp4"));
        } else if (kind == QLatin1String("readonly")) {
            QVERIFY(QDir().mkdir(dir.filePath(QStringLiteral("ro"))));
            QVERIFY(chmod(dir.filePath(QStringLiteral("ro")).toLocal8Bit().constData(), 0555) == 0);
            out = dir.filePath(QStringLiteral("ro/out.mp4"));
            asNobody = getuid() == 0;  // root writes there anyway
        } else if (kind == QLatin1String("isdir")) {
            // -o DIR writes DIR/in.mp4, which is taken here.
            QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("sub/in.mp4"))));
            out = dir.filePath(QStringLiteral("sub"));
        } else if (kind == QLatin1String("notdir")) {
            out = in + QStringLiteral("/out.mp4");
        } else if (kind == QLatin1String("longname")) {
            out = dir.filePath(QString(256, QLatin1Char('x')) + QStringLiteral(".mp4"));
        } else if (kind == QLatin1String("input")) {
            out = in;
        } else {
            out = kind;
        }
        const QStringList before =
            QDir(dir.path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
        const CliRun run = Cli({in, QStringLiteral("-o"), out}, asNobody);
        QVERIFY2(run.status != -1, "the converter did not finish");
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(reason), qPrintable(run.err));
        // Nothing new beside the input, which is untouched.
        QCOMPARE(
            QDir(dir.path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden),
            before);
        QCOMPARE(ReadFileBytes(in), ReadFileBytes(source));
        if (kind == QLatin1String("readonly"))
            QVERIFY(QDir(dir.filePath(QStringLiteral("ro")))
                        .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System));
    }

    // Spaces, letters outside ASCII and paths of over 255 bytes, through the engine and the
    // command line.
    void unusualPaths() {
        const TestStream s = FindTestStream(QStringLiteral("baseline_320x240.h264"));
        QString path = tmp.path();
        for (const QString& part :
             {QStringLiteral("with spaces  and\ttab"), QStringLiteral("Ærøskøbing ñandú"),
              QStringLiteral("日本語のディレクトリ"), QStringLiteral("Ελληνικά κείμενα"),
              QString(120, QLatin1Char('d'))})
            path += QLatin1Char('/') + part;
        QVERIFY(QDir().mkpath(path));
        const QString in = path + QStringLiteral("/clip ü €.h264");
        QVERIFY(QFile::copy(s.file, in));
        QVERIFY(in.toUtf8().size() > 255);

        const QString out = path + QStringLiteral("/résultat 映像.mp4");
        const Result r = Convert(in, out);
        QVERIFY2(r.ok, qPrintable(r.error));
        QVERIFY(QFileInfo(out).isFile());
        QCOMPARE(DecodePictureHashes(out).size(), s.Int("frames"));
        QCOMPARE(r.summary.outputPath, out);

        const QString cliOut = path + QStringLiteral("/ausgabe über.mp4");
        const CliRun run = Cli({in, QStringLiteral("-o"), cliOut});
        QCOMPARE(run.status, 0);
        QCOMPARE(DecodePictureHashes(cliOut).size(), s.Int("frames"));

        // A failure names the path as it is.
        const QString missing = path + QStringLiteral("/fehlt ß.h264");
        const Result bad = Convert(missing, path + QStringLiteral("/x.mp4"));
        QVERIFY(!bad.ok);
        QVERIFY2(bad.error.contains(missing), qPrintable(bad.error));
    }
};

QTEST_GUILESS_MAIN(TestRobust)
#include "test_robust.moc"
