// The camera and DVR file readers on files made from real streams and sound, whole and damaged,
// fed at once and in pieces; FFmpeg's DHAV reader as a second opinion on the files made; their
// conversion (pictures, times, sound and date as FFmpeg and GStreamer see them); the recording
// date from names and typed dates.

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <ctime>

#include "demux/demuxer.h"
#include "demux/dhav.h"
#include "demux/picturetimes.h"
#include "demux/recordingdate.h"
#include "support/camerafiles.h"
#include "support/decode.h"
#include "support/encode.h"

using namespace camerafiles;
Q_DECLARE_METATYPE(camerafiles::Options)
Q_DECLARE_METATYPE(camerafiles::Sound::Kind)

namespace {

struct Result {
    std::vector<Packet> video, sound;
    uint64_t damaged = 0, skipped = 0, leftOut = 0;
    bool hasSound = false;
    AudioSampleEntry entry;
    VideoCoding coding = VideoCoding::Unknown;
    bool dated = false;
    CivilTime date;
    std::string failure;
};

// Reads `file` fed `chunk` bytes at a time (0: at once; odd sizes through Space and Commit).
Result ReadAll(ContainerKind kind, const Bytes& file, size_t chunk) {
    std::unique_ptr<Demuxer> d = MakeDemuxer(kind);
    Result r;
    DemuxPacket p;
    auto drain = [&] {
        while (d->Next(&p))
            (p.kind == DemuxPacket::Kind::Video ? r.video : r.sound)
                .push_back({p.kind == DemuxPacket::Kind::Video, Bytes(p.data, p.data + p.size),
                            p.ms, p.key});
    };
    const size_t step = chunk ? chunk : file.size();
    for (size_t off = 0; off < file.size(); off += step) {
        const size_t n = std::min(step, file.size() - off);
        if (chunk % 2) {
            memcpy(d->Space(n), file.data() + off, n);
            d->Commit(n);
        } else {
            d->Feed(file.data() + off, n);
        }
        drain();
    }
    d->Finish();
    drain();
    r.damaged = d->DamagedRecords();
    r.skipped = d->SkippedBytes();
    r.leftOut = d->SoundFramesLeftOut();
    r.hasSound = d->HasSound();
    r.entry = d->Sound();
    r.coding = d->Coding();
    r.dated = d->RecordedAt(&r.date);
    r.failure = d->FailureReason();
    return r;
}

bool Same(const std::vector<Packet>& a, const std::vector<Packet>& b, QString* why) {
    if (a.size() != b.size()) {
        *why = QStringLiteral("%1 packets, expected %2").arg(a.size()).arg(b.size());
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].bytes != b[i].bytes || a[i].ms != b[i].ms ||
            (a[i].video && a[i].key != b[i].key)) {
            *why = QStringLiteral("packet %1: %2 bytes at %3 ms, expected %4 bytes at %5 ms")
                       .arg(i)
                       .arg(a[i].bytes.size())
                       .arg(a[i].ms)
                       .arg(b[i].bytes.size())
                       .arg(b[i].ms);
            return false;
        }
    }
    return true;
}

Bytes ReadBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray b = f.readAll();
    return Bytes(b.begin(), b.end());
}

bool Run(const QString& command) {
    QProcess p;
    p.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Standard output of a shell command; empty when it failed.
QByteArray Output(const QString& command) {
    QProcess p;
    p.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    if (!p.waitForFinished(120000) || p.exitCode() != 0) return {};
    return p.readAllStandardOutput();
}

// FFmpeg's DHAV reader on the file: "video-codec audio-codec video-packets audio-packets".
QString FfprobeDhav(const QString& path) {
    QProcess p;
    p.start(QStringLiteral("ffprobe"),
            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"),
             QStringLiteral("dhav"), QStringLiteral("-show_entries"),
             QStringLiteral("stream=index,codec_type,codec_name:packet=stream_index"),
             QStringLiteral("-of"), QStringLiteral("csv=p=0"), path});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) return QStringLiteral("ffprobe failed");
    QMap<QString, QString> codecOf;  // stream index -> type
    QMap<QString, QString> names;    // type -> codec name
    QMap<QString, int> count;        // type -> packets
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString& l : lines) {
        const QStringList c = l.trimmed().split(QLatin1Char(','));
        if (c.size() == 3) {  // index, codec_name, codec_type
            codecOf[c[0]] = c[2];
            names[c[2]] = c[1];
        }
    }
    for (const QString& l : lines) {
        const QStringList c = l.trimmed().split(QLatin1Char(','));
        if (c.size() == 1 && !c[0].isEmpty()) ++count[codecOf.value(c[0])];
    }
    return QStringLiteral("%1 %2 %3 %4")
        .arg(names.value(QStringLiteral("video"), QStringLiteral("-")),
             names.value(QStringLiteral("audio"), QStringLiteral("-")))
        .arg(count.value(QStringLiteral("video")))
        .arg(count.value(QStringLiteral("audio")));
}

}  // namespace

class TestDemux : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    Bytes h264, h265, bframes;
    std::vector<int64_t> bframeMs;  // its pictures' times in decoding order
    QMap<int, camerafiles::Sound> sounds;

private:
    // The conversion of a camera or DVR file: the stream's pictures, each at its record's time
    // within a millisecond, in FFmpeg and GStreamer; the sound decoded as the raw sound decodes,
    // placed by its first record's time; the creation time the recording's start.
    // Given through a pipe ("pipe") or as standard input ("stdin"), it is told by its first
    // bytes, a fragmented file as for any stream; a camera's name, which dates it, is not there.
    void Converted(const QString& input, const Options& o, const File& f, Sound::Kind sound,
                   const QStringList& cliOptions, const QString& through) {
        const QString out = dir.filePath(QStringLiteral("out.mp4"));
        QFile::remove(out);
        QProcess cli;
        if (through.isEmpty()) {
            cli.start(QStringLiteral(TOVANMUXER_CLI),
                      QStringList{input, QStringLiteral("-o"), out} + cliOptions);
        } else {
            const QString command = through == QLatin1String("pipe")
                                        ? QStringLiteral("cat '%1' | '%2' - -o '%3'")
                                        : QStringLiteral("'%2' - -o '%3' < '%1'");
            cli.start(
                QStringLiteral("sh"),
                {QStringLiteral("-c"), command.arg(input, QStringLiteral(TOVANMUXER_CLI), out)});
        }
        QVERIFY(cli.waitForFinished(120000));
        QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());
        const QString summary = QString::fromUtf8(cli.readAllStandardOutput());
        const bool dated = through.isEmpty() || o.kind == ContainerKind::Dhav;
        QVERIFY2(summary.contains(QStringLiteral("recorded 2026-12-07 14:03:59 CET")) == dated,
                 qPrintable(summary));

        const QString raw = dir.filePath(!o.pictureMs.empty() ? QStringLiteral("b.h264")
                                         : o.h265             ? QStringLiteral("v.h265")
                                                              : QStringLiteral("v.h264"));
        const DecodeResult ff = DecodeFile(out);
        QVERIFY2(ff.ok, qPrintable(ff.error));
        QCOMPARE(PictureHashes(ff), DecodePictureHashes(raw));
        const DecodeResult gst = DecodeWithGStreamer(out);
        QVERIFY2(gst.ok, qPrintable(gst.error));
        QCOMPARE(PictureHashes(gst), PictureHashes(ff));
        std::vector<int64_t> times;
        for (const Packet& p : f.video)
            if (p.picture) times.push_back(p.ms);
        std::sort(times.begin(), times.end());
        QCOMPARE(size_t(ff.pictures.size()), times.size());
        for (int i = 0; i < ff.pictures.size(); ++i) {
            const double ffMs = 1000.0 * ff.pictures[i].pts * ff.timeBaseNum / ff.timeBaseDen;
            const double gstMs = gst.pictures[i].pts / 1e6;
            QVERIFY2(std::fabs(ffMs - double(times[size_t(i)] - times[0])) <= 1 &&
                         std::fabs(gstMs - double(times[size_t(i)] - times[0])) <= 1,
                     qPrintable(QStringLiteral("picture %1 at %2 ms (FFmpeg), %3 ms (GStreamer), "
                                               "expected %4 ms")
                                    .arg(i)
                                    .arg(ffMs)
                                    .arg(gstMs)
                                    .arg(times[size_t(i)] - times[0])));
        }

        const QString tags = QString::fromUtf8(
            Output(QStringLiteral("ffprobe -v error -show_entries format_tags=creation_time:"
                                  "stream=codec_type,start_time -of csv=p=0 '%1'")
                       .arg(out)));
        QVERIFY2(tags.contains(QStringLiteral("2026-12-07T13:03:59.000000Z")) == dated,
                 qPrintable(tags));

        // The sound: FFmpeg's decode of the track against its decode of the raw sound, less
        // what plays before the first picture; the track's start where its first record is.
        const Sound& s = sounds[int(sound)];
        const int64_t offsetMs = o.soundStartMs;
        const QString rawFormat =
            sound == Sound::Kind::ALaw    ? QStringLiteral("-f alaw -ar 8000 -ac 1")
            : sound == Sound::Kind::Pcm16 ? QStringLiteral("-f s16le -ar 16000 -ac 1")
                                          : QString();
        const QString rawSound = dir.filePath(QStringLiteral("s%1").arg(int(sound)));
        QByteArray expected = Output(
            QStringLiteral("ffmpeg -v error %1 -i '%2' -f s16le -").arg(rawFormat, rawSound));
        if (offsetMs < 0) expected.remove(0, int(-offsetMs * int64_t(s.rate) / 1000) * 2);
        const QByteArray decoded =
            Output(QStringLiteral("ffmpeg -v error -i '%1' -map 0:a -f s16le -").arg(out));
        QVERIFY(!expected.isEmpty());
        QVERIFY2(decoded == expected,
                 qPrintable(QStringLiteral("%1 bytes of sound decoded, %2 expected")
                                .arg(decoded.size())
                                .arg(expected.size())));
        const QStringList lines = tags.split(QLatin1Char('\n'));
        double soundStart = -1;
        for (const QString& l : lines)
            if (l.startsWith(QStringLiteral("audio,")))
                soundStart = l.section(QLatin1Char(','), 1).toDouble();
        QVERIFY2(std::fabs(soundStart * 1000 - double(std::max<int64_t>(offsetMs, 0))) <= 1,
                 qPrintable(tags));
    }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        // Dates in names are read in local time: a zone with summer time that is not UTC.
        qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
        tzset();
        EncodeOptions e;
        e.pictures = 80;
        e.keyint = 15;
        QVERIFY(EncodeTestPattern(dir.filePath(QStringLiteral("v.h264")), e));
        e.h265 = true;
        QVERIFY(EncodeTestPattern(dir.filePath(QStringLiteral("v.h265")), e));
        e.h265 = false;
        e.bframes = 2;
        QVERIFY(EncodeTestPattern(dir.filePath(QStringLiteral("b.h264")), e));
        bframes = ReadBytes(dir.filePath(QStringLiteral("b.h264")));
        // Which picture each output one is in decoding order: the times of a camera that
        // stamps each picture with when it was taken.
        const QStringList coded =
            QString::fromUtf8(Output(QStringLiteral("ffprobe -v error -show_entries "
                                                    "frame=coded_picture_number -of csv=p=0 '%1'")
                                         .arg(dir.filePath(QStringLiteral("b.h264")))))
                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        bframeMs.assign(size_t(coded.size()), -1);
        for (int k = 0; k < coded.size(); ++k)
            if (coded[k].toUInt() < bframeMs.size()) bframeMs[coded[k].toUInt()] = 40 * k + (k % 3);
        QVERIFY(std::find(bframeMs.begin(), bframeMs.end(), -1) == bframeMs.end());
        h264 = ReadBytes(dir.filePath(QStringLiteral("v.h264")));
        h265 = ReadBytes(dir.filePath(QStringLiteral("v.h265")));
        QVERIFY(!h264.empty() && !h265.empty());
        QCOMPARE(DetectContainer(h264.data(), h264.size()), ContainerKind::None);

        const QString tone = QStringLiteral("synth 2 sine 440");
        struct Made {
            camerafiles::Sound::Kind kind;
            QString command;
            uint32_t rate;
        } made[] = {
            {Sound::Kind::ALaw, QStringLiteral("sox -n -r 8000 -c 1 -e a-law -t raw %1 ") + tone,
             8000},
            {Sound::Kind::ULaw, QStringLiteral("sox -n -r 8000 -c 1 -e u-law -t raw %1 ") + tone,
             8000},
            {Sound::Kind::Pcm16,
             QStringLiteral("sox -n -r 16000 -c 1 -e signed -b 16 -L -t raw %1 ") + tone, 16000},
            {Sound::Kind::Aac,
             QStringLiteral("ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=16000:"
                            "duration=2 -c:a aac -b:a 32k -f adts %1"),
             16000},
        };
        for (const Made& m : made) {
            const QString path = dir.filePath(QStringLiteral("s%1").arg(int(m.kind)));
            QVERIFY2(Run(m.command.arg(path)), qPrintable(m.command));
            camerafiles::Sound s;
            s.kind = m.kind;
            s.rate = m.rate;
            s.bytes = ReadBytes(path);
            QVERIFY(!s.bytes.empty());
            sounds[int(m.kind)] = s;
        }
    }

    // Each file read at once and in pieces of 1, 7 and 4096 bytes gives every whole picture
    // and sound frame with its time, the damage counted, the sound's format and the date.
    void readers_data() {
        QTest::addColumn<Options>("options");
        QTest::addColumn<Sound::Kind>("sound");
        QTest::addColumn<QString>("ffprobe");  // DHAV: what FFmpeg's reader finds
        QTest::addColumn<bool>("convert");     // converted and checked in FFmpeg and GStreamer
        QTest::addColumn<QStringList>("cliOptions");  // of that conversion
        QTest::addColumn<QString>("through");         // "pipe", "stdin": given so

        auto row = [](const char* name, Options o, Sound::Kind s, const char* probe = "",
                      bool convert = false, QStringList cliOptions = {}, const char* through = "") {
            QTest::newRow(name) << o << s << QString::fromLatin1(probe) << convert << cliOptions
                                << QString::fromLatin1(through);
        };
        using D = Damage::Kind;
        Options o;
        row("HXVS, A-law, index", o, Sound::Kind::ALaw, "", true);
        row("HXVS as standard input", o, Sound::Kind::ALaw, "", true, {}, "stdin");
        o.kind = ContainerKind::Hxvt;
        o.h265 = true;
        o.soundStartMs = -60;        // sound from before the first picture: held, negative
        o.clockStart = 0xFFFFFF00u;  // the 32-bit clock goes round
        row("HXVT, early sound, clock round, fragmented", o, Sound::Kind::ALaw, "", true,
            {QStringLiteral("--fragment"), QStringLiteral("1")});
        o = Options();
        o.index = false;
        o.damage = {
            {D::Cut, 5, 40}, {D::Garbage, 12, 37}, {D::BadLength, 20, 0}, {D::CutEnd, 0, 50}};
        row("HXVS damaged", o, Sound::Kind::ALaw);
        o = Options();
        o.kind = ContainerKind::Dhav;
        o.dahuaHeader = true;
        o.clockStart = 65536 - 300;  // the 16-bit counter goes round
        row("DHAV, header, A-law", o, Sound::Kind::ALaw, "h264 pcm_alaw 80 100", true);
        row("DHAV through a pipe", o, Sound::Kind::ALaw, "", true, {}, "pipe");
        o.dahuaHeader = false;
        o.h265 = true;
        o.wideSoundField = true;
        o.durationsMs = {40, 40, 40, 100000};  // a gap longer than the counter's round
        row("DHAV, mu-law, H.265, gap", o, Sound::Kind::ULaw, "hevc pcm_mulaw 80 100");
        o = Options();
        o.kind = ContainerKind::Dhav;
        o.soundStartMs = -30;
        row("DHAV, AAC", o, Sound::Kind::Aac, "h264 aac 80 17", true);
        o.pictureMs = {-1};  // the B-frame stream, its pictures at the times they were taken
        row("DHAV, B-frames", o, Sound::Kind::ALaw, "", true);
        o.pictureMs.clear();
        o.soundStartMs = 45;  // sound after the first picture: an empty edit first
        row("DHAV, PCM, late sound", o, Sound::Kind::Pcm16, "h264 pcm_s16le 80 100", true);
        // Its sound is known only once the pictures are being written: in the first fragment.
        row("DHAV, PCM, late sound, fragmented", o, Sound::Kind::Pcm16, "", true,
            {QStringLiteral("--fragment"), QStringLiteral("1")});
        o.soundStartMs = 0;
        o.damage = {
            {D::Cut, 3, 30}, {D::Garbage, 30, 100}, {D::BadLength, 50, 0}, {D::CutEnd, 0, 20}};
        row("DHAV damaged", o, Sound::Kind::Pcm16);
        o = Options();
        o.kind = ContainerKind::Dhav;
        o.dahuaHeader = true;
        o.durationsMs = {};  // no stream: only the header
        row("DHAV header only", o, Sound::Kind::None);
        o.kind = ContainerKind::Hxvs;
        o.index = false;
        row("HXVS header only", o, Sound::Kind::None);
    }
    void readers() {
        QFETCH(Options, options);
        QFETCH(Sound::Kind, sound);
        QFETCH(QString, ffprobe);
        QFETCH(bool, convert);
        QFETCH(QStringList, cliOptions);
        QFETCH(QString, through);
        const bool b = !options.pictureMs.empty();
        if (b) options.pictureMs = bframeMs;
        const Bytes& stream = b ? bframes : options.h265 ? h265 : h264;
        const File f =
            Make(options.durationsMs.empty() ? Bytes() : stream, sounds.value(int(sound)), options);
        QCOMPARE(DetectContainer(f.bytes.data(), std::min(f.bytes.size(), kContainerProbeBytes)),
                 options.kind == ContainerKind::Hxvs && options.h265 ? ContainerKind::Hxvt
                                                                     : options.kind);

        const Result whole = ReadAll(options.kind, f.bytes, 0);
        QString why;
        QVERIFY2(Same(whole.video, f.video, &why), qPrintable(QStringLiteral("video: ") + why));
        QVERIFY2(Same(whole.sound, f.sound, &why), qPrintable(QStringLiteral("sound: ") + why));
        QCOMPARE(whole.damaged, f.damagedRecords);
        QCOMPARE(whole.skipped, f.skippedBytes);
        PictureTimes times;
        std::vector<int64_t> expected;
        for (size_t i = 0; i < whole.video.size(); ++i) {
            times.Take(whole.coding, whole.video[i].bytes.data(), whole.video[i].bytes.size(),
                       whole.video[i].ms);
            if (f.video[i].picture) expected.push_back(f.video[i].ms);
        }
        QCOMPARE(times.Times(), expected);
        QCOMPARE(whole.leftOut, uint64_t(0));
        if (f.video.empty()) {
            QVERIFY(!whole.failure.empty());
            return;
        }
        QVERIFY(whole.failure.empty());
        QCOMPARE(whole.coding, options.h265 ? VideoCoding::H265 : VideoCoding::H264);
        QCOMPARE(whole.hasSound, sound != Sound::Kind::None);
        if (sound == Sound::Kind::Aac) {
            QCOMPARE(whole.entry.kind, AudioSampleEntry::Kind::kAac);
            QCOMPARE(whole.entry.decoderSpecificInfo, (std::vector<uint8_t>{0x14, 0x08}));
        } else if (sound != Sound::Kind::None) {
            QCOMPARE(whole.entry.kind, sound == Sound::Kind::ULaw ? AudioSampleEntry::Kind::kULaw
                                       : sound == Sound::Kind::Pcm16
                                           ? AudioSampleEntry::Kind::kPcm
                                           : AudioSampleEntry::Kind::kALaw);
            QCOMPARE(whole.entry.bitsPerSample, uint16_t(sound == Sound::Kind::Pcm16 ? 16 : 8));
        }
        if (sound != Sound::Kind::None) {
            QCOMPARE(whole.entry.sampleRate, sounds.value(int(sound)).rate);
            QCOMPARE(whole.entry.channels, uint16_t(1));
        }
        QCOMPARE(whole.dated, options.kind == ContainerKind::Dhav);
        if (whole.dated) QCOMPARE(CivilSeconds(whole.date), CivilSeconds(options.date));

        for (size_t chunk : {size_t(1), size_t(7), size_t(4096)}) {
            const Result r = ReadAll(options.kind, f.bytes, chunk);
            QVERIFY2(Same(r.video, whole.video, &why) && Same(r.sound, whole.sound, &why),
                     qPrintable(QStringLiteral("in pieces of %1: ").arg(chunk) + why));
            QCOMPARE(r.damaged, whole.damaged);
            QCOMPARE(r.skipped, whole.skipped);
        }

        // A camera's name carries its date; a DVR's frames do.
        const QString path = dir.filePath(options.kind == ContainerKind::Dhav
                                              ? QStringLiteral("f.dav")
                                              : QStringLiteral("A261207_140359_140459.264"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(reinterpret_cast<const char*>(f.bytes.data()), qint64(f.bytes.size()));
        file.close();
        if (!ffprobe.isEmpty()) {
            QCOMPARE(FfprobeDhav(path), ffprobe);
            QCOMPARE(QStringLiteral("%1 %2").arg(f.videoFrames).arg(f.soundFrames),
                     ffprobe.section(QLatin1Char(' '), 2));
        }
        if (convert) Converted(path, options, f, sound, cliOptions, through);
        if (!options.damage.empty() || f.video.empty()) {
            // Damage is a warning with its counts; a file without a picture a reason, nothing
            // written.
            const QString out = dir.filePath(QStringLiteral("damaged.mp4"));
            QFile::remove(out);
            QProcess cli;
            cli.start(QStringLiteral(TOVANMUXER_CLI), {path, QStringLiteral("-o"), out});
            QVERIFY(cli.waitForFinished(120000));
            const QString errors = QString::fromUtf8(cli.readAllStandardError());
            QCOMPARE(cli.exitCode(), f.video.empty() ? 1 : 0);
            QCOMPARE(QFile::exists(out), !f.video.empty());
            const QString counts =
                QStringLiteral("skipped %1 damaged records, %2 bytes")
                    .arg(f.damagedRecords)
                    .arg(QLocale(QLocale::English).toString(qulonglong(f.skippedBytes)));
            QVERIFY2(f.video.empty()
                         ? errors.contains(QStringLiteral("nothing after its header")) &&
                               errors.count(QLatin1Char('\n')) == 1
                         : errors.contains(counts),
                     qPrintable(errors));
        }
    }

    // Dates in names, read in local time (here CET, CEST in summer), and typed dates.
    void recordingDates_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("typed");   // a typed date, not a name
        QTest::addColumn<QString>("utc");  // expected, ISO in UTC; empty: none
        QTest::addColumn<bool>("camera");
        QTest::addColumn<bool>("convert");  // a raw stream of that name converted
        auto row = [](const char* text, bool typed, const char* utc, bool camera = false,
                      bool convert = false) {
            QTest::newRow(text) << QString::fromUtf8(text) << typed << QString::fromLatin1(utc)
                                << camera << convert;
        };
        row("A261207_140359_140459.264", false, "2026-12-07T13:03:59Z", true);
        row("2026-12-07-14.03.59-cam1.mp4", false, "2026-12-07T13:03:59Z");
        row("VID_20260707_140359.h264", false, "2026-07-07T12:03:59Z", false, true);
        row("rec20261207-140359.h265", false, "2026-12-07T13:03:59Z");
        row("ch01_20261207140359_20261207141000.dav", false, "2026-12-07T13:03:59Z");
        row("cam_120261207_140359.h264", false, "", false, true);  // the digits run on
        row("2026-13-07-14.03.59.h264", false, "");                // no 13th month
        row("2026-12-07 14:03:59", true, "2026-12-07T13:03:59Z");
        row("2026-12-07T14:03", true, "2026-12-07T13:03:00Z");
        row("2026-12-07 14:03:59Z", true, "2026-12-07T14:03:59Z");
        row("2026-12-07 14:03:59+01:00", true, "2026-12-07T13:03:59Z");
        row("2026-12-07 14:03:59-0530", true, "2026-12-07T19:33:59Z");
        row("2026-02-29 10:00:00", true, "");
        row("2026-12-07", true, "");
        row("2026-12-07 14:03:59 CET", true, "");
    }
    void recordingDates() {
        QFETCH(QString, text);
        QFETCH(bool, typed);
        QFETCH(QString, utc);
        QFETCH(bool, camera);
        QFETCH(bool, convert);
        if (convert) {
            // The MP4 of a raw stream so named gives the date as its creation time, or none.
            const QString in = dir.filePath(text), out = dir.filePath(QStringLiteral("named.mp4"));
            QFile::remove(in);
            QFile::remove(out);
            QVERIFY(QFile::copy(dir.filePath(QStringLiteral("v.h264")), in));
            QProcess cli;
            cli.start(QStringLiteral(TOVANMUXER_CLI), {in, QStringLiteral("-o"), out});
            QVERIFY(cli.waitForFinished(120000));
            QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());
            QCOMPARE(QString::fromUtf8(cli.readAllStandardOutput())
                         .contains(QStringLiteral("(the file name)")),
                     !utc.isEmpty());
            const QString tags =
                QString::fromUtf8(
                    Output(
                        QStringLiteral("ffprobe -v error -show_entries format_tags=creation_time "
                                       "-of csv=p=0 '%1'")
                            .arg(out)))
                    .trimmed();
            QCOMPARE(tags, utc.isEmpty() ? QString() : QString(utc).insert(19, ".000000"));
        }
        int64_t seconds = 0;
        bool found = false, wasCamera = false;
        if (typed) {
            found = ParseDateText(text.toStdString(), &seconds);
        } else {
            CivilTime t;
            found = DateInFileName(text.toStdString(), &t, &wasCamera) &&
                    LocalCivilSeconds(t, &seconds);
        }
        QCOMPARE(found, !utc.isEmpty());
        if (!found) return;
        QCOMPARE(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate), utc);
        QCOMPARE(wasCamera, camera);
    }
};

QTEST_APPLESS_MAIN(TestDemux)
#include "test_demux.moc"
