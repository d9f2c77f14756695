// The H.265 syntax library on real x265 streams, made here from ffmpeg test patterns and checked
// against the encoder settings and ffprobe; and on hand-made parameter sets, slice segment
// headers and picture order count sequences.

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <iterator>
#include <map>
#include <vector>

#include "convert/hdrmetadata.h"
#include "h265/nal.h"
#include "h265/poc.h"
#include "h265/slice.h"
#include "support/decode.h"
#include "support/streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Writes syntax elements MSB first; Nal() adds the 2-byte header, the stop bit and the
// emulation-prevention bytes.
struct BitWriter {
    Bytes bits;  // one entry per bit
    BitWriter& u(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bits.push_back(uint8_t((v >> i) & 1));
        return *this;
    }
    BitWriter& ue(uint32_t v) {
        int n = 0;
        while ((uint64_t(v) + 1) >> (n + 1)) ++n;
        return u(0, n).u(v + 1, n + 1);
    }
    Bytes Nal(uint32_t type, uint32_t layer = 0, uint32_t tid = 0) const {
        Bytes raw = {uint8_t(type << 1 | layer >> 5), uint8_t((layer & 31) << 3 | (tid + 1))};
        Bytes b = bits;
        b.push_back(1);
        while (b.size() % 8) b.push_back(0);
        for (size_t i = 0; i < b.size(); i += 8) {
            uint8_t byte = 0;
            for (size_t j = 0; j < 8; ++j) byte = uint8_t(byte << 1 | b[i + j]);
            if (raw.size() >= 4 && raw[raw.size() - 1] == 0 && raw[raw.size() - 2] == 0 &&
                byte <= 3)
                raw.push_back(3);
            raw.push_back(byte);
        }
        return raw;
    }
};

// The fields of a hand-made SPS; the VUI carries an explicit SAR and timing.
struct SpsFields {
    uint32_t id = 0, chroma = 1, width = 64, height = 48, depth = 0, lsbMinus4 = 4;
    uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
    uint32_t sarWidth = 1234, units = 1001, scale = 60000;
    bool rps = false;  // three short-term sets, the last two predicted
    bool vui = true;
    bool hrd = false;  // two sub-layers, each with NAL and VCL HRD parameters
};

Bytes MakeSps(const SpsFields& f) {
    BitWriter w;
    w.u(0, 4).u(f.hrd, 3).u(1, 1);                                // VPS id, sub-layers, nesting
    w.u(1, 8).u(0x60000000, 32).u(0x9000, 16).u(0, 32).u(60, 8);  // Main, level 2
    if (f.hrd)  // the sub-layer's profile and level present, 7 reserved pairs, then the two
        w.u(0xC000, 16).u(1, 8).u(0x60000000, 32).u(0x9000, 16).u(0, 32).u(30, 8);
    w.ue(f.id).ue(f.chroma);
    if (f.chroma == 3) w.u(0, 1);
    w.ue(f.width).ue(f.height);
    const bool crop = f.crop[0] || f.crop[1] || f.crop[2] || f.crop[3];
    w.u(crop, 1);
    for (int i = 0; crop && i < 4; ++i) w.ue(f.crop[i]);
    w.ue(f.depth).ue(f.depth).ue(f.lsbMinus4).u(1, 1);
    for (int i = 0; i <= int(f.hrd); ++i) w.ue(4).ue(2).ue(0);  // sub-layer ordering info
    w.ue(0).ue(1).ue(0).ue(2).ue(1).ue(1);  // 8x8 to 16x16 coding blocks, 4x4 to 32x32 transforms
    w.u(0, 1).u(0, 1).u(1, 1).u(0, 1);      // scaling lists, AMP, SAO, PCM
    if (f.rps) {
        // {-1 -3 | +2}; then from it with deltaRps -1 and -3 dropped: {-1 -2 | +1}; then from
        // that with +2: four flags, which only follow if the second set counts three pictures.
        w.ue(3).ue(2).ue(1).ue(0).u(1, 1).ue(1).u(1, 1).ue(1).u(1, 1);
        w.u(1, 1).u(1, 1).ue(0).u(1, 1).u(0, 2).u(1, 1).u(1, 1);
        w.u(1, 1).u(0, 1).ue(1).u(0xF, 4);
    } else {
        w.ue(0);
    }
    w.u(0, 1).u(1, 1).u(1, 1).u(f.vui, 1);  // long-term refs, temporal MVP, smoothing, VUI
    if (f.vui) {
        w.u(1, 1).u(255, 8).u(f.sarWidth, 16).u(567, 16);             // aspect ratio
        w.u(0, 1).u(0, 1).u(0, 1).u(0, 1).u(1, 1).u(0, 1).u(0, 1);    // ... field_seq_flag 1
        w.u(1, 1).u(f.units, 32).u(f.scale, 32).u(0, 1).u(f.hrd, 1);  // timing, HRD
        if (f.hrd) {
            // NAL and VCL, sub-picture parameters, scales and lengths; sub-layer 0 with a
            // variable rate, not low-delay, and sub-layer 1 at a fixed rate: two CPBs each.
            w.u(1, 1).u(1, 1).u(1, 1).u(90, 8).u(3, 5).u(1, 1).u(4, 5).u(0x123, 12).u(0x7FFF, 15);
            w.u(0, 1).u(0, 1).u(0, 1).ue(1);
            for (int i = 0; i < 4; ++i) w.ue(1000).ue(2000).ue(30).ue(40).u(1, 1);
            w.u(1, 1).ue(0).ue(1);  // low_delay_hrd_flag not coded
            for (int i = 0; i < 4; ++i) w.ue(1000).ue(2000).ue(30).ue(40).u(0, 1);
        }
        w.u(1, 1).u(0, 3).ue(200).ue(2).ue(1).ue(15).ue(15);  // restrictions
    }
    w.u(0, 1);  // sps_extension_present_flag
    return w.Nal(kH265Sps);
}

// A PPS (id 0 on SPS 0) with the flags the slice header depends on.
Bytes MakePps(bool dependent, bool outputFlag, uint32_t extraBits) {
    BitWriter w;
    w.ue(0).ue(0).u(dependent, 1).u(outputFlag, 1).u(extraBits, 3).u(0, 2).ue(0).ue(0);
    w.ue(0).u(0, 3).ue(0).ue(0).u(0, 6).u(0, 1).u(0, 1).u(0, 1).ue(0).u(0, 3);
    return w.Nal(kH265Pps);
}

QString Run(const QString& program, const QStringList& args, bool* ok) {
    QProcess p;
    p.start(program, args);
    *ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!*ok) p.kill();
    return QString::fromUtf8(p.readAllStandardOutput());
}

// A stream made by x265 from 24 frames of testsrc2 at 25 fps, and what it must hold.
struct Fixture {
    const char* name;
    const char* input;  // size and ffmpeg pix_fmt of the raw frames
    const char* x265;   // encoder options besides the common ones
    uint32_t codedWidth, codedHeight, width, height, chroma, bitDepth, profile, sarW, sarH;
    bool timing, fieldSeq;
    const char* sees;  // letters: R(ASL) D (RADL) C(RA) S(lices) T(emporal sub-layer)
};

const Fixture kFixtures[] = {
    {"crop", "320x236 yuv420p", "", 320, 240, 320, 236, 1, 8, 1, 0, 0, true, false, ""},
    {"main10", "320x240 yuv420p", "-D 10", 320, 240, 320, 240, 1, 10, 2, 0, 0, true, false, ""},
    {"444", "320x240 yuv444p", "--input-csp i444", 320, 240, 320, 240, 3, 8, 4, 0, 0, true, false,
     ""},
    {"sar_notiming", "320x240 yuv420p", "--sar 12:11 --no-vui-timing-info", 320, 240, 320, 240, 1,
     8, 1, 12, 11, false, false, ""},
    {"open_gop", "320x240 yuv420p", "--sar 7:5 --keyint 8 --open-gop --bframes 3", 320, 240, 320,
     240, 1, 8, 1, 7, 5, true, false, "RC"},
    {"radl", "320x240 yuv420p",
     "--keyint 8 --min-keyint 8 --no-scenecut --no-open-gop --radl 2 --bframes 4 --b-adapt 0", 320,
     240, 320, 240, 1, 8, 1, 0, 0, true, false, "D"},
    {"slices", "320x240 yuv420p", "--slices 4", 320, 240, 320, 240, 1, 8, 1, 0, 0, true, false,
     "S"},
    {"fields", "320x240 yuv420p", "--interlace tff", 320, 240, 320, 240, 1, 8, 1, 0, 0, true, true,
     ""},
    {"sublayers_hrd", "320x240 yuv420p",
     "--temporal-layers --bframes 3 --vbv-bufsize 500 --vbv-maxrate 400 --hrd", 320, 240, 320, 240,
     1, 8, 1, 0, 0, true, false, "T"},
};

struct Picture {
    uint32_t offset;
    int cvs;
    int32_t poc;
    bool operator<(const Picture& o) const { return offset < o.offset; }
};

}  // namespace

class TestH265 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void realStreams() {
        const QString x265 = QStandardPaths::findExecutable("x265");
        if (x265.isEmpty() || QStandardPaths::findExecutable("ffmpeg").isEmpty() ||
            QStandardPaths::findExecutable("ffprobe").isEmpty())
            QSKIP("x265, ffmpeg or ffprobe not found: no H.265 streams to check");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        bool ok = false;
        for (const Fixture& f : kFixtures) {
            const QStringList in = QString::fromLatin1(f.input).split(' ');
            const QString yuv = dir.filePath(QString::fromLatin1(f.name) + ".yuv");
            const QString file = dir.filePath(QString::fromLatin1(f.name) + ".h265");
            Run("ffmpeg",
                {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=" + in[0] + ":rate=25",
                 "-frames:v", "24", "-pix_fmt", in[1], yuv},
                &ok);
            QVERIFY(ok);
            Run(x265,
                QStringList{"--preset", "ultrafast", "--frame-threads", "1", "--pools", "1",
                            "--no-info", "--no-progress", "--log-level", "error", "--fps", "25",
                            "--input-res", in[0], "--input", yuv, "-o", file} +
                    QString::fromLatin1(f.x265).split(' ', Qt::SkipEmptyParts),
                &ok);
            QVERIFY2(ok, f.name);
            checkStream(f, file);
        }
    }

    void spsFieldsAndRanges() {
        // Each row changes the hand-made SPS; 0 for width: the parse fails.
        struct Row {
            const char* name;
            void (*change)(SpsFields&);
            uint32_t width, height;
            bool vui;
        } rows[] = {
            {"plain", [](SpsFields&) {}, 64, 48, true},
            {"crop 4:2:0", [](SpsFields& f) { f.crop[1] = 3, f.crop[3] = 1; }, 58, 46, true},
            {"crop 4:4:4", [](SpsFields& f) { f.chroma = 3, f.crop[0] = 3, f.crop[2] = 1; }, 61, 47,
             true},
            {"crop 4:2:2", [](SpsFields& f) { f.chroma = 2, f.crop[0] = 1, f.crop[2] = 2; }, 62, 46,
             true},
            {"crop all", [](SpsFields& f) { f.crop[0] = 16, f.crop[1] = 16; }, 0, 0, false},
            {"crop wraps", [](SpsFields& f) { f.crop[2] = 0x80000000u; }, 0, 0, false},
            {"width 0", [](SpsFields& f) { f.width = 0; }, 0, 0, false},
            {"largest", [](SpsFields& f) { f.width = f.height = 16888; }, 16888, 16888, true},
            {"too wide", [](SpsFields& f) { f.width = 16896; }, 0, 0, false},
            {"sps id 16", [](SpsFields& f) { f.id = 16; }, 0, 0, false},
            {"chroma 4", [](SpsFields& f) { f.chroma = 4; }, 0, 0, false},
            {"depth 17", [](SpsFields& f) { f.depth = 9; }, 0, 0, false},
            {"lsb 2^17", [](SpsFields& f) { f.lsbMinus4 = 13; }, 0, 0, false},
            {"predicted sets", [](SpsFields& f) { f.rps = true; }, 64, 48, true},
            {"HRD, sub-layers", [](SpsFields& f) { f.hrd = true; }, 64, 48, true},
            {"zero tick", [](SpsFields& f) { f.units = 0; }, 64, 48, false},
            {"no vui", [](SpsFields& f) { f.vui = false; }, 64, 48, false},
        };
        for (const Row& r : rows) {
            SpsFields f;
            r.change(f);
            const Bytes nal = MakeSps(f);
            H265SpsInfo s{};
            const bool ok = ParseH265Sps(nal.data(), uint32_t(nal.size()), &s);
            QVERIFY2(ok == (r.width != 0), r.name);
            QVERIFY2(s.width == r.width && s.height == r.height, r.name);
            if (!ok) continue;
            QVERIFY2(bool(s.vui_parameters_present_flag) == r.vui, r.name);
            const uint32_t expect[] = {r.vui ? f.sarWidth : 0,
                                       r.vui ? 567u : 0,
                                       r.vui ? 1001u : 0,
                                       r.vui ? 60000u : 0,
                                       r.vui,
                                       r.vui ? 200u : 0,
                                       s.pic_size_in_ctbs_y};
            const uint32_t got[] = {s.sar_width,
                                    s.sar_height,
                                    s.vui_num_units_in_tick,
                                    s.vui_time_scale,
                                    s.field_seq_flag,
                                    s.min_spatial_segmentation_idc,
                                    ((f.width + 15) / 16) * ((f.height + 15) / 16)};
            QVERIFY2(std::equal(std::begin(got), std::end(got), std::begin(expect)), r.name);
            QCOMPARE(s.sps_max_num_reorder_pics[0], 2u);
        }
        // Cut anywhere before the VUI: no SPS; within it: the SPS without the VUI.
        const Bytes full = MakeSps(SpsFields{});
        H265SpsInfo all{};
        QVERIFY(ParseH265Sps(full.data(), uint32_t(full.size()), &all));
        const Bytes noVui = MakeSps([] {
            SpsFields f;
            f.vui = false;
            return f;
        }());
        uint32_t first = 0;  // the shortest piece that parses
        for (uint32_t n = 0; n + 2 < full.size(); ++n) {
            H265SpsInfo s{};
            const bool ok = ParseH265Sps(full.data(), n, &s);
            if (ok && !first) first = n;
            QCOMPARE(ok, first && n >= first);
            QVERIFY(!s.vui_parameters_present_flag && !s.sar_width && !s.vui_time_scale);
            if (ok) QVERIFY(s.width == all.width && s.pic_size_in_ctbs_y == all.pic_size_in_ctbs_y);
        }
        QVERIFY(first + 1 == noVui.size() || first == noVui.size());
    }

    void nalHeadersAndSliceHeaders() {
        H265NalHeader h{};
        QVERIFY(
            ParseH265NalHeader(Bytes{0x2B, 0x4B}.data(), 2, &h));  // CRA, layer 41, TemporalId 2
        QVERIFY(h.nal_unit_type == 21 && h.nuh_layer_id == 41 && h.nuh_temporal_id_plus1 == 3);
        QVERIFY(!ParseH265NalHeader(Bytes{0x02, 0x00}.data(), 2, &h));  // TemporalId + 1 is 0
        QVERIFY(!ParseH265NalHeader(Bytes{0x82, 0x01}.data(), 2, &h));  // forbidden bit
        QVERIFY(!ParseH265NalHeader(Bytes{0x02}.data(), 1, &h));
        QCOMPARE(h.nal_unit_type, uint8_t(21));  // untouched by the failures

        // 64x48 in 16x16 blocks: 12 CTBs, 4-bit addresses; 8-bit POC lsb.
        struct Row {
            const char* name;
            bool dependentEnabled, outputFlag;
            uint32_t extra, type, layer;
            BitWriter bits;
            bool ok;
            uint32_t address, sliceType, output, lsb;
            size_t keep = 0;       // bytes of the unit kept, 0: all
            uint32_t height = 48;  // of the SPS: 64 makes 16 CTBs, still 4-bit addresses
        } rows[] = {
            {"IDR", false, true, 2, kH265IdrNLp, 0,
             BitWriter().u(1, 1).u(1, 1).ue(0).u(3, 2).ue(2).u(0, 1), true, 0, 2, 0, 0},
            {"CRA", false, false, 0, kH265Cra, 0, BitWriter().u(1, 1).u(0, 1).ue(0).ue(2).u(200, 8),
             true, 0, 2, 1, 200},
            {"second segment", true, false, 0, kH265TrailR, 0,
             BitWriter().u(0, 1).ue(0).u(0, 1).u(11, 4).ue(1).u(7, 8), true, 11, 1, 1, 7},
            {"dependent", true, true, 1, kH265TrailN, 0, BitWriter().u(0, 1).ue(0).u(1, 1).u(5, 4),
             true, 5, 0, 0, 0},
            {"address 12", false, false, 0, kH265TrailR, 0,
             BitWriter().u(0, 1).ue(0).u(12, 4).ue(1).u(7, 8), false, 0, 0, 0, 0},
            {"slice type 3", false, false, 0, kH265TrailR, 0,
             BitWriter().u(1, 1).ue(0).ue(3).u(7, 8), false, 0, 0, 0, 0},
            {"no PPS 1", false, false, 0, kH265TrailR, 0, BitWriter().u(1, 1).ue(1).ue(1).u(7, 8),
             false, 0, 0, 0, 0},
            {"layer 1", false, false, 0, kH265TrailR, 1, BitWriter().u(1, 1).ue(0).ue(1).u(7, 8),
             false, 0, 0, 0, 0},
            {"SEI", false, false, 0, kH265PrefixSei, 0, BitWriter().u(1, 1).ue(0).ue(1).u(7, 8),
             false, 0, 0, 0, 0},
            {"16 CTBs", false, false, 0, kH265TrailR, 0,
             BitWriter().u(0, 1).ue(0).u(15, 4).ue(1).u(7, 8), true, 15, 1, 1, 7, 0, 64},
            {"cut", false, false, 0, kH265TrailR, 0, BitWriter().u(1, 1).ue(0).ue(1).u(7, 8), false,
             0, 0, 0, 0, 3},
        };
        for (Row& r : rows) {
            SpsFields f;
            f.height = r.height;
            const Bytes sps = MakeSps(f);
            H265ParameterSets ps;
            const Bytes pps = MakePps(r.dependentEnabled, r.outputFlag, r.extra);
            QVERIFY(ps.AddSps(sps.data(), uint32_t(sps.size())) &&
                    ps.AddPps(pps.data(), uint32_t(pps.size())));
            Bytes nal = r.bits.Nal(r.type, r.layer);
            if (r.keep) nal.resize(r.keep);
            H265SliceHeader sh{};
            const bool ok = ParseH265SliceHeader(nal.data(), uint32_t(nal.size()), ps, &sh);
            QVERIFY2(ok == r.ok, r.name);
            if (!ok) continue;
            QVERIFY2(sh.slice_segment_address == r.address && sh.slice_type == r.sliceType &&
                         sh.pic_output_flag == r.output && sh.slice_pic_order_cnt_lsb == r.lsb,
                     r.name);
        }
        // A set that does not parse changes nothing; one that does replaces its id.
        H265ParameterSets ps;
        SpsFields wide;
        wide.width = 128;
        const Bytes a = MakeSps(SpsFields{}), b = MakeSps(wide), bad = MakeSps([] {
                                                                     SpsFields f;
                                                                     f.chroma = 4;
                                                                     return f;
                                                                 }());
        QVERIFY(ps.AddSps(a.data(), uint32_t(a.size())));
        QVERIFY(!ps.AddSps(bad.data(), uint32_t(bad.size())) && ps.Sps(0)->width == 64);
        QVERIFY(!ps.AddPps(a.data(), uint32_t(a.size())) && !ps.Pps(0) && !ps.Vps(0));
        QVERIFY(ps.AddSps(b.data(), uint32_t(b.size())) && ps.Sps(0)->width == 128);
        QVERIFY(!ps.Sps(16) && !ps.Pps(64));
    }

    void hdrSeiMessages() {
        // A prefix SEI unit (2-byte header): a mastering display message cut short, which is
        // passed over, the content light level, then a whole mastering display whose payload
        // holds 00 00 03 (an emulation-prevention byte, not part of the value).
        Bytes mdcv(24, 0x11);
        mdcv[4] = 0x00, mdcv[5] = 0x00, mdcv[6] = 0x01;
        Bytes nal = {39 << 1, 0x01, 137,  3,    0x22, 0x22, 0x22, 144,
                     4,       0x03, 0xE8, 0x01, 0x90, 137,  24};
        for (size_t i = 0; i < mdcv.size(); ++i) {
            if (i == 6) nal.push_back(0x03);
            nal.push_back(mdcv[i]);
        }
        nal.push_back(0x80);
        HdrMetadata hdr;
        hdr.Take(Codec::H264, NalUnit{int32_t(nal[0] & 0x1F), int32_t(nal.size()), 4, nal.data()});
        QVERIFY(hdr.MasteringDisplay().empty() && hdr.ContentLightLevel().empty());
        hdr.Take(Codec::H265, NalUnit{int32_t(nal[0] & 0x1F), int32_t(nal.size()), 4, nal.data()});
        QVERIFY(hdr.MasteringDisplay() == mdcv);
        QVERIFY(hdr.ContentLightLevel() == Bytes({0x03, 0xE8, 0x01, 0x90}));
        // The first messages stay; a list that breaks off keeps what it gave.
        Bytes other = {39 << 1, 0x01, 144, 4, 0x00, 0x01, 0x00, 0x01, 0x80};
        hdr.Take(Codec::H265, NalUnit{0, int32_t(other.size()), 4, other.data()});
        QVERIFY(hdr.ContentLightLevel() == Bytes({0x03, 0xE8, 0x01, 0x90}));
        HdrMetadata cut;
        cut.Take(Codec::H265, NalUnit{0, 8, 4, nal.data()});
        QVERIFY(cut.MasteringDisplay().empty() && cut.ContentLightLevel().empty());
        cut.Take(Codec::H265, NalUnit{0, 14, 4, nal.data()});
        QVERIFY(cut.MasteringDisplay().empty() && cut.ContentLightLevel().size() == 4);
    }

    void pictureOrderCount() {
        // MaxPicOrderCntLsb 16. Pictures: type, TemporalId, lsb, NoRaslOutputFlag.
        struct Pic {
            uint8_t type, tid;
            uint32_t lsb;
            bool noRasl;
        };
        // After IDR 0, 8, 14 and 2 (18: the lsb wrapped), picture X has lsb 9 (25), and the
        // next, lsb 0, is 16 against the 2 of prevTid0Pic, but 32 if X became prevTid0Pic.
        auto after = [](Pic x) {
            return std::vector<Pic>{{kH265IdrWRadl, 0, 0, true},
                                    {kH265TrailR, 0, 8, false},
                                    {kH265TrailR, 0, 14, false},
                                    {kH265TrailR, 0, 2, false},
                                    x,
                                    {kH265TrailR, 0, 0, false}};
        };
        const std::vector<int32_t> kept = {0, 8, 14, 18, 25, 16}, taken = {0, 8, 14, 18, 25, 32};
        const struct {
            const char* name;
            std::vector<Pic> pics;
            std::vector<int32_t> pocs;
        } rows[] = {
            {"trail", after({kH265TrailR, 0, 9, false}), taken},
            {"CRA inside", after({kH265Cra, 0, 9, false}), taken},
            {"trail N", after({kH265TrailN, 0, 9, false}), kept},
            {"RASL", after({kH265RaslR, 0, 9, false}), kept},
            {"RADL", after({kH265RadlR, 0, 9, false}), kept},
            {"TemporalId 1", after({kH265TsaR, 1, 9, false}), kept},
            {"CRA starts", after({kH265Cra, 0, 9, true}), {0, 8, 14, 18, 9, 16}},
            {"BLA",
             {{kH265TrailR, 0, 5, false}, {kH265BlaWLp, 0, 11, true}, {kH265RaslN, 0, 9, false}},
             {5, 11, 9}},
            {"half way",
             {{kH265IdrNLp, 0, 0, true}, {kH265TrailR, 0, 8, false}, {kH265TrailR, 0, 0, false}},
             {0, 8, 16}},
            {"backwards",
             {{kH265IdrNLp, 0, 0, true}, {kH265TrailR, 0, 2, false}, {kH265RaslN, 0, 14, false}},
             {0, 2, -2}},
        };
        H265SpsInfo sps{};
        for (const auto& r : rows) {
            H265PocCalculator c;
            std::vector<int32_t> got;
            for (const Pic& p : r.pics) {
                H265SliceHeader sh{};
                sh.nal_unit_type = p.type;
                sh.temporal_id = p.tid;
                sh.slice_pic_order_cnt_lsb = p.lsb;
                got.push_back(c.Compute(sh, sps, p.noRasl));
            }
            QVERIFY2(got == r.pocs, r.name);
        }
    }

private:
    void checkStream(const Fixture& f, const QString& file) {
        const QByteArray data = ReadFileBytes(file);
        H265ParameterSets ps;
        H265PocCalculator poc;
        std::vector<Picture> pictures;
        std::map<char, int> seen;
        int cvs = -1, segments = 0, sps = 0;
        uint32_t lastAddress = 0;
        bool ok = true;
        ForEachNalUnit(data, [&](const NalUnit& n, qint64 offset) {
            const uint8_t* b = n.data;
            const uint32_t len = uint32_t(n.length);
            H265NalHeader h{};
            if (!ParseH265NalHeader(b, len, &h)) ok = false;
            if (h.nal_unit_type == kH265Vps) ok = ok && ps.AddVps(b, len);
            if (h.nal_unit_type == kH265Sps) ok = ok && ps.AddSps(b, len);
            sps += h.nal_unit_type == kH265Sps;
            if (h.nal_unit_type == kH265Pps) ok = ok && ps.AddPps(b, len);
            if (!H265IsVcl(h.nal_unit_type)) return;
            H265SliceHeader sh{};
            if (!ParseH265SliceHeader(b, len, ps, &sh)) {
                ok = false;
                return;
            }
            seen['R'] += H265IsRasl(sh.nal_unit_type);
            seen['D'] += H265IsRadl(sh.nal_unit_type);
            seen['C'] += H265IsCra(sh.nal_unit_type);
            seen['T'] += sh.temporal_id > 0;
            if (!sh.first_slice_segment_in_pic_flag) {
                seen['S'] += 1;
                ok = ok && sh.slice_segment_address > lastAddress;
                lastAddress = sh.slice_segment_address;
                return;
            }
            lastAddress = 0;
            ++segments;
            const bool starts =
                H265IsIdr(sh.nal_unit_type) || H265IsBla(sh.nal_unit_type) || cvs < 0;
            cvs += starts;
            pictures.push_back(
                {uint32_t(offset), cvs, poc.Compute(sh, *ps.Sps(sh.seq_parameter_set_id), starts)});
        });
        QVERIFY2(ok && sps > 0 && !pictures.empty(), f.name);
        for (const char* c = f.sees; *c; ++c) QVERIFY2(seen[*c] > 0, f.name);

        const H265SpsInfo& s = *ps.Sps(0);
        const uint32_t got[] = {s.pic_width_in_luma_samples,
                                s.pic_height_in_luma_samples,
                                s.width,
                                s.height,
                                s.chroma_format_idc,
                                s.bit_depth_luma_minus8 + 8,
                                s.ptl.general_profile_idc,
                                s.sar_width,
                                s.sar_height,
                                s.vui_timing_info_present_flag,
                                s.field_seq_flag};
        const uint32_t want[] = {f.codedWidth, f.codedHeight, f.width,   f.height,
                                 f.chroma,     f.bitDepth,    f.profile, f.sarW,
                                 f.sarH,       f.timing,      f.fieldSeq};
        for (size_t i = 0; i < std::size(got); ++i)
            QVERIFY2(got[i] == want[i], qPrintable(QStringLiteral("%1: fact %2 is %3, not %4")
                                                       .arg(f.name)
                                                       .arg(i)
                                                       .arg(got[i])
                                                       .arg(want[i])));
        if (f.timing) QCOMPARE(s.vui_time_scale / s.vui_num_units_in_tick, 25u);
        QCOMPARE(bool(s.sps_max_sub_layers_minus1), seen['T'] > 0);
        QVERIFY(ps.Vps(s.sps_video_parameter_set_id));

        // ffprobe: the level, and the decoded pictures' packets, whose POCs in output order rise
        // within each coded video sequence.
        bool ran = false;
        const QString level =
            Run("ffprobe", {"-v", "error", "-show_entries", "stream=level", "-of", "csv=p=0", file},
                &ran);
        QVERIFY(ran);
        QCOMPARE(level.trimmed().toUInt(), uint32_t(s.ptl.general_level_idc));
        const QStringList out =
            Run("ffprobe",
                {"-v", "error", "-show_entries", "frame=pkt_pos", "-of", "csv=p=0", file}, &ran)
                .split('\n', Qt::SkipEmptyParts);
        QVERIFY(ran);
        QCOMPARE(size_t(out.size()), pictures.size());
        std::pair<int, int32_t> last(-1, 0);
        for (const QString& line : out) {
            auto at = std::lower_bound(pictures.begin(), pictures.end(),
                                       Picture{line.split(',').first().toUInt(), 0, 0});
            QVERIFY(at != pictures.end());
            QVERIFY2(std::make_pair(at->cvs, at->poc) > last, f.name);
            last = {at->cvs, at->poc};
        }
    }
};

QTEST_APPLESS_MAIN(TestH265)
#include "test_h265.moc"
