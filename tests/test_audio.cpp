// The sound readers on files made by tests/data/make_sound.sh: what each says the sound is, and
// that its samples decode to exactly what libavformat and libavcodec decode from the file itself;
// damaged and refused files with the warning or reason they give.

#include <QFile>
#include <QtTest>
#include <cstring>

#include "audio/audioreader.h"
#include "support/audiodecode.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using Kind = AudioSampleEntry::Kind;

struct Read {
    QVector<QByteArray> samples;
    QVector<uint32_t> sampleTimes;
    QStringList warnings;
    int beforeFinish = 0;  // samples handed out before the end of the input was told
    std::unique_ptr<AudioReader> reader;
};

// Pushes the file in pieces of varying size (1 byte to 5 KiB), taking the frames as they come,
// as a reader of a pipe would; half of them read straight into the reader's room for more, as
// from a file, each less than the room asked for.
Read ReadSound(const QString& path, const AudioOptions& options) {
    Read r;
    r.reader = OpenAudioReader(path.toStdString(), options);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return r;
    const QByteArray all = f.readAll();
    AudioFrame frame;
    auto take = [&] {
        while (r.reader->Next(frame)) {
            r.samples.push_back(QByteArray(reinterpret_cast<const char*>(frame.data.data()),
                                           int(frame.data.size())));
            r.sampleTimes.push_back(frame.sampleTimes);
        }
        for (const std::string& w : r.reader->TakeWarnings())
            r.warnings << QString::fromStdString(w);
    };
    uint32_t piece = 1;
    for (int at = 0; at < all.size();) {
        const int n = std::min<int>(int(piece % 5120 + 1), all.size() - at);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(all.constData()) + at;
        if (piece & 1) {
            memcpy(r.reader->FeedSpace(size_t(n) + 100), bytes, size_t(n));
            r.reader->Fed(size_t(n));
        } else {
            r.reader->Feed(bytes, size_t(n));
        }
        at += n;
        piece = piece * 1103515245u + 12345u;
        take();
        if (r.reader->Failed()) break;
    }
    r.beforeFinish = r.samples.size();
    r.reader->Finish();
    take();
    return r;
}

QString Hex(const std::vector<uint8_t>& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), int(b.size())).toHex();
}

}  // namespace

class TestAudio : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { av_log_set_level(AV_LOG_QUIET); }
    void readers_data();
    void readers();
};

void TestAudio::readers_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("reference");  // the file libavformat decodes to compare with
    QTest::addColumn<QString>("rawFormat");  // its demuxer when it has no header
    QTest::addColumn<int>("rate");           // given with the headerless ones
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("bits");
    QTest::addColumn<QString>("asc");
    QTest::addColumn<QString>("warning");  // a part of the one warning; empty: none
    QTest::addColumn<QString>("error");    // a part of the reason; empty: read whole

    const int aac = int(Kind::kAac), mp3 = int(Kind::kMp3), pcm = int(Kind::kPcm),
              alaw = int(Kind::kALaw), ulaw = int(Kind::kULaw);
    auto row = [](const char* name, const char* file, const char* ref, const char* raw, int rate,
                  int ch, int kind, int bits, const char* asc, const char* warning = "",
                  const char* error = "") {
        QTest::newRow(name) << file << ref << raw << rate << ch << kind << bits << asc << warning
                            << error;
    };
    // AAC: 7- and 9-byte headers, MPEG-2 id, ID3v2 in front and APE behind, damage.
    row("aac stereo", "aac_48k_stereo.aac", "", "", 48000, 2, aac, 16, "1190");
    row("aac crc", "aac_48k_crc.aac", "aac_48k_stereo.aac", "", 48000, 2, aac, 16, "1190");
    row("aac mono mpeg-2", "aac_16k_mono_mpeg2.aac", "", "", 16000, 1, aac, 16, "1408");
    row("aac tags", "aac_44k_tags.aac", "", "", 44100, 2, aac, 16, "1210");
    row("aac garbage midway", "aac_48k_garbage.aac", "aac_48k_garbage_ref.aac", "", 48000, 2, aac,
        16, "1190", "skipped 1000 bytes of damaged AAC data at byte ");
    row("aac taken up midway", "aac_48k_midway.aac", "aac_48k_midway_ref.aac", "", 48000, 2, aac,
        16, "1190", "bytes of damaged AAC data at byte 0");
    row("aac 96 kHz", "aac_96k_stereo.aac", "", "", 96000, 2, aac, 16, "1010");
    row("aac last frame cut", "aac_48k_cut.aac", "aac_48k_cut_ref.aac", "", 48000, 2, aac, 16,
        "1190", "the last AAC frame is cut short");
    // MP3: MPEG-1 CBR and VBR (Info/Xing frame, ID3v2, ID3v1), MPEG-2 and 2.5 without tags.
    row("mp3 cbr", "mp3_44k_cbr.mp3", "", "", 44100, 2, mp3, 16, "");
    row("mp3 info frame empty", "mp3_44k_info_no_counts.mp3", "", "", 44100, 2, mp3, 16, "");
    row("mp3 vbr id3v1", "mp3_48k_vbr_id3v1.mp3", "", "", 48000, 2, mp3, 16, "");
    row("mp3 mpeg-2 mono", "mp3_22k_mono_mpeg2.mp3", "", "", 22050, 1, mp3, 16, "");
    row("mp3 mpeg 2.5", "mp3_8k_mono_mpeg25.mp3", "", "", 8000, 1, mp3, 16, "");
    // WAV of every sample format, extensible, RF64, other chunks, sizes never filled in.
    row("wav s16 mono", "wav_16k_mono_s16.wav", "", "", 16000, 1, pcm, 16, "");
    row("wav u8", "wav_48k_u8.wav", "", "", 48000, 2, pcm, 8, "");
    row("wav s24", "wav_48k_s24.wav", "", "", 48000, 2, pcm, 24, "");
    row("wav s24 list", "wav_48k_s24_list.wav", "", "", 48000, 2, pcm, 24, "");
    row("wav s32", "wav_44k_s32.wav", "", "", 44100, 2, pcm, 32, "");
    row("wav f32", "wav_48k_f32.wav", "", "", 48000, 2, pcm, 32, "");
    row("wav f64", "wav_16k_f64.wav", "", "", 16000, 1, pcm, 64, "");
    row("wav a-law", "wav_8k_alaw.wav", "", "", 8000, 1, alaw, 8, "");
    row("wav mu-law", "wav_8k_ulaw.wav", "", "", 8000, 1, ulaw, 8, "");
    row("wav s16 192 kHz", "wav_192000_s16.wav", "", "", 192000, 2, pcm, 16, "");
    row("wav extensible 4 ch", "wav_48k_4ch_extensible.wav", "", "", 48000, 4, pcm, 16, "");
    row("wav rf64", "wav_48k_rf64.wav", "", "", 48000, 2, pcm, 16, "");
    row("wav odd chunk", "wav_16k_odd_chunk.wav", "wav_16k_mono_s16.wav", "", 16000, 1, pcm, 16,
        "");
    row("wav size 0", "wav_16k_size_0.wav", "wav_16k_mono_s16.wav", "", 16000, 1, pcm, 16, "");
    row("wav size ffffffff", "wav_16k_size_ffffffff.wav", "wav_16k_mono_s16.wav", "", 16000, 1, pcm,
        16, "");
    // Headerless, by name; rate and channels given for the last two.
    row("raw a-law", "raw_8k.alaw", "", "alaw", 8000, 1, alaw, 8, "");
    row("raw mu-law", "raw_8k.ulaw", "", "mulaw", 8000, 1, ulaw, 8, "");
    row("raw pcm", "raw_48k_stereo.pcm", "", "s16le", 48000, 2, pcm, 16, "");
    row("raw given rate", "raw_16k_mono.raw", "", "s16le", 16000, 1, pcm, 16, "");
    row("raw odd byte", "raw_16k_odd.raw", "raw_16k_mono.raw", "s16le", 16000, 1, pcm, 16, "",
        "1 bytes at the end make no whole sample time");
    // Refused, each with its reason.
    auto refused = [&](const char* name, const char* file, const char* error) {
        row(name, file, "", "", 0, 0, 0, 0, "", "", error);
    };
    refused("empty", "empty.aac", "the sound file is empty");
    refused("not sound", TOVANMUXER_TEST_DATA "/baseline_320x240.h264",
            "not a sound format that can be read");
    refused("aac pce", "aac_pce.aac", "channel configuration 0");
    refused("aac blocks", "aac_4blocks.aac", "AAC frames of 4 raw data blocks are not supported");
    refused("aac rate change", "aac_rate_change.aac",
            "changes from 48000 Hz 2 ch (object type 2) to 22050 Hz 2 ch (object type 2) at byte");
    refused("mp2", "layer2_48k.mp2", "MPEG audio Layer II is not supported");
    refused("mp3 free format", "mp3_free_format.mp3", "free-format MP3");
    refused("wav cut header", "wav_cut_header.wav", "the WAV header is cut short");
    refused("wav data first", "wav_no_fmt.wav", "the WAV data comes before its format chunk");
    refused("wav adpcm", "wav_adpcm.wav", "WAV sound of format 0x0011 is not supported");
}

void TestAudio::readers() {
    QFETCH(QString, file);
    QFETCH(QString, reference);
    QFETCH(QString, rawFormat);
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(int, kind);
    QFETCH(int, bits);
    QFETCH(QString, asc);
    QFETCH(QString, warning);
    QFETCH(QString, error);
    const QString dir = QStringLiteral(TOVANMUXER_SOUND_DIR "/");
    const QString path = file.startsWith('/') ? file : dir + file;
    QVERIFY2(QFile::exists(path), qPrintable(path));

    AudioOptions options;
    if (!rawFormat.isEmpty() && rate != (kind == int(Kind::kPcm) ? 48000 : 8000))
        options.sampleRate = uint32_t(rate);
    if (!rawFormat.isEmpty() && channels != (kind == int(Kind::kPcm) ? 2 : 1))
        options.channels = uint16_t(channels);
    const Read r = ReadSound(path, options);
    AudioReader& reader = *r.reader;
    QVERIFY(reader.AtEnd());
    if (!error.isEmpty()) {
        QVERIFY(reader.Failed());
        QVERIFY2(QString::fromStdString(reader.Error()).contains(error), reader.Error().c_str());
        return;
    }
    QVERIFY2(!reader.Failed(), reader.Error().c_str());
    QCOMPARE(r.warnings.size(), warning.isEmpty() ? 0 : 1);
    if (!warning.isEmpty()) QVERIFY2(r.warnings[0].contains(warning), qPrintable(r.warnings[0]));

    // A live input gives its frames as they come: only the last may wait for the end.
    QVERIFY(r.beforeFinish >= r.samples.size() - 1);

    const AudioSampleEntry& f = reader.Format();
    QCOMPARE(int(f.kind), kind);
    QCOMPARE(int(f.sampleRate), rate);
    QCOMPARE(int(f.channels), channels);
    QCOMPARE(int(f.bitsPerSample), bits);
    QCOMPARE(Hex(f.decoderSpecificInfo), asc);

    // Each sample lasts what its coding says: an AAC or MP3 frame, or whole PCM sample times of
    // at most a tenth of a second.
    const int perFrame = kind == int(Kind::kAac) ? 1024 : rate >= 32000 ? 1152 : 576;
    for (int i = 0; i < r.samples.size(); ++i) {
        if (kind == int(Kind::kAac) || kind == int(Kind::kMp3)) {
            QCOMPARE(int(r.sampleTimes[i]), perFrame);
        } else {
            QCOMPARE(r.samples[i].size(), int(r.sampleTimes[i]) * channels * bits / 8);
            QVERIFY(r.sampleTimes[i] >= 1 && int(r.sampleTimes[i]) <= std::max(rate / 10, 1));
        }
    }

    // The samples decode, through the entry alone, to what the file decodes to, less the sample
    // times the reader says a player leaves out at either end.
    const DecodedAudio want =
        DecodeAudioFile(reference.isEmpty() ? path : dir + reference,
                        rawFormat.isEmpty() ? nullptr : rawFormat.toLatin1().constData(),
                        rawFormat.isEmpty() ? 0 : rate, rawFormat.isEmpty() ? 0 : channels);
    QVERIFY2(want.ok, qPrintable(want.error));
    DecodedAudio got = DecodeAudioSamples(f, r.samples);
    QVERIFY2(got.ok, qPrintable(got.error));
    QCOMPARE(got.sampleFormat, want.sampleFormat);
    QCOMPARE(got.channels, channels);
    const int sampleBytes = int(got.samples.size() / std::max<int64_t>(got.sampleTimes, 1));
    got.samples = got.samples.mid(
        int(reader.LeadingSampleTimes()) * sampleBytes,
        got.samples.size() -
            int(reader.LeadingSampleTimes() + reader.TrailingSampleTimes()) * sampleBytes);
    int64_t total = 0;
    for (uint32_t t : r.sampleTimes) total += t;
    QCOMPARE(total - reader.LeadingSampleTimes() - reader.TrailingSampleTimes(), want.sampleTimes);
    QCOMPARE(got.samples.size(), want.samples.size());
    QVERIFY(got.samples == want.samples);
}

QTEST_GUILESS_MAIN(TestAudio)
#include "test_audio.moc"
