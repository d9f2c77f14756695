// The bit reader, Exp-Golomb codes and scaling lists, the SPS parser on hand-made and real
// parameter sets, picture order counts, SEI, and slice headers and picture order on real streams.

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>
#include <algorithm>
#include <vector>

#include "h264/poc.h"
#include "h264/sei.h"
#include "h264/slice.h"
#include "h264/sps.h"
#include "support/decode.h"
#include "support/reference_scan.h"
#include "support/streams.h"
#include "syntax/bitstream.h"
#include "syntax/rbsp.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Pocs = std::vector<int64_t>;

// Packs a string of '0'/'1' (other characters ignored) into bytes, zero-padded.
Bytes FromBits(const char* bits) {
    Bytes out;
    int n = 0;
    for (const char* p = bits; *p; ++p) {
        if (*p != '0' && *p != '1') continue;
        if (n % 8 == 0) out.push_back(0);
        if (*p == '1') out.back() |= uint8_t(0x80 >> (n % 8));
        ++n;
    }
    return out;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

template <typename F>
int Thrown(F&& f) {
    try {
        f();
    } catch (BitstreamErr_t e) {
        return int(e);
    }
    return -1;
}

SpsInfo Parse(const Bytes& nal, bool* ok, bool full = false) {
    SpsInfo info{};
    *ok = full ? ParseSpsFull(nal.data(), uint32_t(nal.size()), &info)
               : ParseSps(nal.data(), uint32_t(nal.size()), &info);
    return info;
}

struct Unit {
    Bytes bytes;
    uint32_t offset;  // of the header byte in the file
    int Type() const { return bytes[0] & 0x1F; }
};

std::vector<Unit> Units(const QString& file) {
    const QByteArray d = ReadFileBytes(file);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(d.constData());
    std::vector<Unit> out;
    uint32_t pos = 0;
    NalUnit n;
    while (int32_t r = reference::FindNextNalUnit(b, uint32_t(d.size()), pos, &n)) {
        out.push_back({Bytes(n.data, n.data + n.length), uint32_t(n.data - b)});
        pos += uint32_t(r);
    }
    return out;
}

// The file offsets of the packets of the pictures ffprobe decodes, in their output order.
std::vector<uint32_t> OutputOrderFromFfprobe(const QString& file) {
    QProcess p;
    p.start(QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                        "frame=pkt_pos", "-of", "csv=p=0", file});
    std::vector<uint32_t> out;
    if (!p.waitForFinished(60000) || p.exitCode() != 0) return out;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n'))
        if (!line.trimmed().isEmpty()) out.push_back(line.split(',').first().toUInt());
    return out;
}

SliceHeader Slice(uint8_t type, uint8_t ref, uint32_t frameNum, uint32_t lsb, int field = -1) {
    SliceHeader s{};
    s.nal_unit_type = type;
    s.nal_ref_idc = ref;
    s.frame_num = frameNum;
    s.pic_order_cnt_lsb = lsb;
    s.field_pic_flag = field >= 0;
    s.bottom_field_flag = field == 1;
    return s;
}

// PicOrderCnt of each picture of a sequence, in decoding order.
Pocs Run(PocCalculator& c, const SpsInfo& sps, const std::vector<SliceHeader>& pictures) {
    Pocs out;
    for (const SliceHeader& s : pictures) out.push_back(c.Compute(s, sps).poc);
    return out;
}

}  // namespace

class TestH264 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void bitReader() {
        const Bytes a = {0xA5, 0x0F};
        Bitstream bs(a.data(), 16);
        QCOMPARE(bs.ReadBits(3), 5u);
        QCOMPARE(bs.ReadBits(9), 0x50u);
        QCOMPARE(bs.BitsLeft(), 4u);
        QCOMPARE(Thrown([&] { bs.ReadBits(5); }), int(BitstreamErrEndOfData));

        const Bytes b = {0x12, 0x34, 0x56, 0x78, 0x9A};
        Bitstream four(b.data(), 40);
        QCOMPARE(Thrown([&] { four.ReadBits(33); }), int(BitstreamErrTooManyBits));
        QCOMPARE(four.BitsLeft(), 40u);  // nothing changed
        QCOMPARE(four.ReadBits(32), 0x12345678u);
        Bitstream odd(b.data(), 40);
        odd.ReadBits(4);
        QCOMPARE(odd.ReadBits(32), 0x23456789u);  // four new bytes and the rest of the first
        Bitstream empty(nullptr, 0);
        QCOMPARE(empty.ReadBits(0) + empty.PeekBits(0), 0u);
        Bitstream two(b.data(), 16);
        QCOMPARE(Thrown([&] { two.ReadBits(17); }), int(BitstreamErrEndOfData));

        // Peek, then read: the same value, consumed once; a save and a restore come back.
        Bitstream p(b.data(), 40);
        QCOMPARE(p.PeekBits(8), 0x12u);
        QCOMPARE(p.ReadBits(8), 0x12u);
        QCOMPARE(p.BitsLeft(), 32u);
        p.Checkpoint(true);
        p.ReadBits(13);
        SkipBits(p, 7);
        p.Checkpoint(false);
        QCOMPARE(p.BitsLeft(), 32u);
        QCOMPARE(p.ReadBits(16), 0x3456u);
    }

    void expGolombAndScalingLists() {
        const Bytes codes = FromBits("1 010 011 00100 0001000 000000000 1 000000000 1");
        Bitstream bs(codes.data(), uint32_t(codes.size()) * 8);
        for (uint32_t e : {0u, 1u, 2u, 3u, 7u, 511u}) QCOMPARE(ReadUE(bs), e);
        Bitstream se(codes.data(), uint32_t(codes.size()) * 8);
        for (int32_t e : {0, 1, -1, 2, 4, 256}) QCOMPARE(ReadSE(se), e);

        // 31 leading zeros: the largest code; 32: too many bits for one read.
        const Bytes big = {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE};
        Bitstream b31(big.data(), 64);
        QCOMPARE(ReadUE(b31), 0xFFFFFFFEu);
        const Bytes zeros32 = {0, 0, 0, 0, 0x80, 0, 0, 0, 0};
        Bitstream b32(zeros32.data(), 72);
        QCOMPARE(Thrown([&] { ReadUE(b32); }), int(BitstreamErrTooManyBits));
        Bitstream z(zeros32.data(), 32);  // only zeros
        QCOMPARE(Thrown([&] { ReadUE(z); }), int(BitstreamErrEndOfData));
        const Bytes cutCode = FromBits("0001");  // information bits missing
        Bitstream cut(cutCode.data(), 4);
        QCOMPARE(Thrown([&] { ReadUE(cut); }), int(BitstreamErrEndOfData));

        // delta_scale -8 makes next scale 0: no further delta is read, so the 1 behind it stays.
        const Bytes stop = FromBits("000010001 1");
        Bitstream s(stop.data(), 16);
        SkipScalingList(s, 16);
        QCOMPARE(s.ReadBits(1), 1u);
        const Bytes flat = FromBits("1111111111111111 0");  // sixteen deltas of 0, all read
        Bitstream f(flat.data(), 24);
        SkipScalingList(f, 16);
        QCOMPARE(f.ReadBits(1), 0u);
    }

    void spsExamples() {
        bool ok = false;
        // Main profile, 120x68 macroblocks, cropped at the bottom by 4 (chroma rows): 1080 lines.
        const Bytes hd = {0x67, 0x4D, 0x00, 0x28, 0xED, 0x00, 0xF0, 0x04, 0x4F, 0xCA, 0x80};
        SpsInfo i = Parse(hd, &ok);
        QVERIFY(ok);
        QCOMPARE(i.width, 1920u);
        QCOMPARE(i.height, 1080u);
        QCOMPARE(i.coded_width, 1920u);
        QCOMPARE(i.coded_height, 1088u);
        QCOMPARE(i.level_idc, uint8_t(40));
        i = Parse({0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40, 0x50, 0x05, 0xB9}, &ok);
        QVERIFY(ok && i.width == 1280 && i.height == 720 && i.chroma_format_idc == 1);
        i = Parse({0x67, 0x42, 0x00, 0x1E, 0xD3, 0x21, 0x13, 0x40, 0xB0, 0x4B, 0x20}, &ok);
        QVERIFY(ok && i.width == 352 && i.height == 288);
        QCOMPARE(i.num_ref_frames_in_pic_order_cnt_cycle, 3u);
        QCOMPARE(i.offset_for_ref_frame[1], 1);
        QCOMPARE(i.offset_for_ref_frame[2], -1);

        // Cut anywhere before the end of the cropping fields: false, no size.
        for (size_t n = 0; n < 10; ++n) {
            i = Parse(Bytes(hd.begin(), hd.begin() + long(n)), &ok);
            QVERIFY(!ok && i.width == 0 && i.height == 0);
        }
    }

    void spsMends() {
        bool ok = false;
        // An emulation-prevention byte among the fields is not data: with level 0 and
        // seq_parameter_set_id 63 the bytes run 42 00 00 02, which the stream carries as
        // 42 00 00 03 02. Then frame num bits 4, poc type 2, 16x16, no cropping, no VUI.
        const Bytes fields = FromBits("0000001000000 1 011 1 0 1 1 1 1 0 0 1");
        SpsInfo i = Parse(Cat({0x67, 0x42, 0x00, 0x00, 0x03}, fields), &ok);
        QVERIFY(ok);
        QCOMPARE(i.seq_parameter_set_id, 63u);
        QCOMPARE(i.width, 16u);
        QCOMPARE(i.pic_order_cnt_type, 2u);

        Bytes out(16);
        const Bytes esc = {0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x03, 0x03};
        const uint32_t n = UnescapeRbsp(esc.data(), uint32_t(esc.size()), out.data(), 16);
        QCOMPARE(Bytes(out.begin(), out.begin() + n),
                 (Bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x03}));
        QCOMPARE(UnescapeRbsp(esc.data(), uint32_t(esc.size()), out.data(), 4), 4u);
        const Bytes data03 = {0x11, 0x03, 0x22};  // a data 03 right at the end of the room
        QCOMPARE(UnescapeRbsp(data03.data(), 3, out.data(), 1), 1u);

        // Sizes that do not fit 16 bits and crops that take the whole picture fail the parse
        // (Baseline, 4:2:0, so a crop unit is 2 samples).
        const Bytes head = {0x67, 0x42, 0x00, 0x1E};
        //                      id lfn poc refs gaps w-1 (4095)                  h-1 fmo d8 crop
        Parse(Cat(head, FromBits("1 1 011 1 0 0000000000001000000000000 1 1 1 0 1")), &ok);
        QVERIFY(!ok);
        Parse(Cat(head, FromBits("1 1 011 1 0 1 0000000000001000000000000 1 1 0 1")), &ok);
        QVERIFY(!ok);  // height 65536
        Parse(Cat(head, FromBits("1 1 011 1 0 1 1 1 1 1 0001001 1 1 1 1")), &ok);
        QVERIFY(!ok);  // left crop 8: all 16 columns
        i = Parse(Cat(head, FromBits("1 1 011 1 0 010 1 1 1 1 1 1 1 010 1")), &ok);
        QVERIFY(ok && i.width == 32 && i.height == 14);  // bottom crop 1: two lines
    }

    void profileBranches() {
        // The same fields behind profile_idc 244, 44 ... and 77: only the first read
        // chroma_format_idc, bit depths and the scaling matrix flag.
        bool ok = false;
        //                      id cf=1 bd bd qp sm  lfn poc=2 refs gaps w-1 h-1 fmo d8 crop
        const Bytes high = FromBits("1 010 1 1 0 0 1 011 1 0 1 1 1 1 0 0 1");
        for (uint8_t p : {244, 44, 118, 144}) {
            const SpsInfo i = Parse(Cat({0x67, p, 0, 30}, high), &ok);
            QVERIFY2(ok && i.chroma_format_idc == 1 && i.width == 16,
                     qPrintable(QString::number(p)));
        }
        SpsInfo i = Parse(Cat({0x67, 77, 0, 30}, high), &ok);
        QCOMPARE(i.log2_max_frame_num_minus4, 1u);  // the bits of chroma_format_idc

        // 4:4:4 with a scaling matrix of 12 lists, each present and flat (one delta of -8).
        QByteArray bits = "1 00100 0 1 1 0 1";  // id, chroma 3, planes, depths, bypass, matrix
        for (int l = 0; l < 12; ++l) bits += " 1 000010001";
        i = Parse(Cat({0x67, 244, 0, 30}, FromBits(bits + " 1 011 1 0 1 1 1 1 0 0 1")), &ok);
        QVERIFY(ok && i.chroma_format_idc == 3 && i.seq_scaling_matrix_present_flag);
        QVERIFY(i.width == 16 && i.height == 16 && i.pic_order_cnt_type == 2);
    }

    void spsOfEveryStream() {
        const QVector<TestStream> streams = TestStreams(QStringLiteral("h264"));
        QVERIFY(!streams.isEmpty());
        for (const TestStream& s : streams) {
            const std::vector<Unit> units = Units(s.file);
            auto it = std::find_if(units.begin(), units.end(),
                                   [](const Unit& u) { return u.Type() == 7; });
            QVERIFY(it != units.end());
            const Bytes& sps = it->bytes;
            bool ok = false;
            const SpsInfo i = Parse(sps, &ok, true);
            QVERIFY2(ok, qPrintable(s.Name()));
            QCOMPARE(int(i.width), s.Int("width"));
            QCOMPARE(int(i.height), s.Int("height"));
            QCOMPARE(int(i.coded_width), s.Int("coded_width"));
            QCOMPARE(int(i.coded_height), s.Int("coded_height"));
            QCOMPARE(int(i.profile_idc), s.Int("profile_idc"));
            QCOMPARE(int(ChromaArrayType(i)), s.Int("chroma_format_idc"));
            QCOMPARE(int(i.frame_mbs_only_flag), s.Int("frame_mbs_only"));
            // The VUI: the rate ffprobe reports, the reordering, the HRD where it was asked for.
            if (i.timing_info_present_flag)
                QCOMPARE(double(i.time_scale) / (2.0 * i.num_units_in_tick),
                         double(s.Int("fps_num")) / s.Int("fps_den"));
            else
                QCOMPARE(s.Name(), QStringLiteral("notiming_320x240.h264"));
            QCOMPARE(int(i.bitstream_restriction_flag), s.Int("bitstream_restriction"));
            if (i.bitstream_restriction_flag)
                QCOMPARE(i.max_num_reorder_frames > 0, s.Int("bframes") == 1);
            QCOMPARE(bool(i.nal_hrd_parameters_present_flag),
                     s.Name() == QLatin1String("sei_every_picture_320x240.h264"));

            // ParseSps stops before the VUI; a VUI cut short is dropped, the size still counts.
            const SpsInfo j = Parse(sps, &ok);
            QVERIFY(ok && j.width == i.width && !j.vui_parameters_present_flag);
            const SpsInfo k = Parse(Bytes(sps.begin(), sps.end() - 2), &ok, true);
            QVERIFY(ok && k.height == i.height);
            QVERIFY(!k.vui_parameters_present_flag && !k.bitstream_restriction_flag);
        }
    }

    void pocType0() {
        SpsInfo sps{};  // MaxPicOrderCntLsb 16
        PocCalculator c;
        SliceHeader frame = Slice(1, 2, 5, 10);
        frame.delta_pic_order_cnt_bottom = -1;  // the bottom field comes first: the frame's 25
        // The lsb wraps forward (2 after 14) and back (12 after 2), and is taken against the
        // last reference picture only; fields count on their own.
        QCOMPARE(Run(c, sps,
                     {Slice(5, 3, 0, 0), Slice(1, 2, 1, 8), Slice(1, 0, 2, 4), Slice(1, 2, 2, 14),
                      Slice(1, 2, 3, 2), Slice(1, 0, 4, 12), Slice(1, 0, 4, 4), frame,
                      Slice(1, 2, 6, 12, 0), Slice(1, 2, 6, 13, 1)}),
                 (Pocs{0, 8, 4, 14, 18, 12, 20, 25, 28, 29}));
        // MMCO 5 in a bottom field: it counts 0, and the next picture counts from lsb 0.
        SliceHeader m = Slice(1, 2, 7, 15, 1);
        m.has_mmco5 = 1;
        const PocResult r = c.Compute(m, sps);
        QVERIFY(r.reset && r.bottom == 0);
        QCOMPARE(Run(c, sps, {Slice(1, 2, 1, 9)}), Pocs{-7});
        QVERIFY(c.Compute(Slice(5, 3, 0, 4), sps).reset);

        // MMCO 5 in a frame whose bottom comes first: top 60 - 57, and the next lsb is taken
        // against 3 (130 is 127 ahead, not 126 behind).
        sps.log2_max_pic_order_cnt_lsb_minus4 = 4;  // 256
        m = Slice(1, 2, 2, 60);
        m.delta_pic_order_cnt_bottom = -3;
        m.has_mmco5 = 1;
        PocCalculator d;
        QCOMPARE(Run(d, sps, {Slice(5, 3, 0, 0), Slice(1, 2, 1, 40), m}), (Pocs{0, 40, 0}));
        QCOMPARE(Run(d, sps, {Slice(1, 2, 1, 130)}), Pocs{130});
    }

    void pocType1And2() {
        SpsInfo sps{};
        sps.pic_order_cnt_type = 1;  // MaxFrameNum 16
        sps.num_ref_frames_in_pic_order_cnt_cycle = 2;
        sps.offset_for_ref_frame[0] = 4;
        sps.offset_for_ref_frame[1] = 2;
        sps.offset_for_non_ref_pic = -3;
        sps.offset_for_top_to_bottom_field = 1;
        PocCalculator c;
        // Offsets 4 and 2 in turn; a non-reference picture takes its predecessor's, minus 3.
        QCOMPARE(Run(c, sps,
                     {Slice(5, 3, 0, 0), Slice(1, 2, 1, 0), Slice(1, 2, 2, 0), Slice(1, 0, 3, 0),
                      Slice(1, 2, 3, 0)}),
                 (Pocs{0, 4, 6, 3, 10}));
        for (uint32_t f = 4; f < 16; ++f) c.Compute(Slice(1, 2, f, 0), sps);
        // frame_num wraps at 16: FrameNumOffset 16, so 8 cycles of 6.
        SliceHeader s = Slice(1, 2, 1, 0);
        s.delta_pic_order_cnt[0] = 1;
        s.delta_pic_order_cnt[1] = 5;
        PocResult r = c.Compute(s, sps);
        QVERIFY(r.top == 53 && r.bottom == 59);  // + offset_for_top_to_bottom_field + delta[1]
        QCOMPARE(c.Compute(Slice(1, 2, 2, 0, 1), sps).bottom, 55);

        sps.pic_order_cnt_type = 2;
        PocCalculator t2;
        SliceHeader m = Slice(1, 2, 3, 0);
        m.has_mmco5 = 1;  // counts 0, and so does the frame numbering after it
        QCOMPARE(Run(t2, sps,
                     {Slice(5, 3, 0, 0), Slice(1, 2, 1, 0), Slice(1, 0, 2, 0), Slice(1, 2, 2, 0), m,
                      Slice(1, 2, 1, 0)}),
                 (Pocs{0, 2, 3, 4, 0, 2}));
    }

    void newPictureAndFieldPairs() {
        // 1: a new picture, 0: the same one, -1: the two forms disagree (headers as
        // ParseSliceHeader gives them, the other count type's fields 0).
        const SliceHeader a = Slice(1, 2, 5, 10);
        SpsInfo type0{}, type1{};
        type1.pic_order_cnt_type = 1;
        auto news = [&](auto change, const SpsInfo& sps) {
            SliceHeader c = a;
            change(c);
            const bool x = IsFirstVclOfNewPicture(a, c, sps), y = IsFirstVclOfNewPicture(a, c);
            return x == y ? int(x) : -1;
        };
        QCOMPARE(news([](SliceHeader& c) { c.first_mb_in_slice = 40; }, type0), 0);
        QCOMPARE(news([](SliceHeader& c) { c.frame_num = 6; }, type0), 1);
        QCOMPARE(news([](SliceHeader& c) { c.pic_parameter_set_id = 1; }, type0), 1);
        QCOMPARE(news([](SliceHeader& c) { c.nal_ref_idc = 0; }, type0), 1);
        QCOMPARE(news([](SliceHeader& c) { c.nal_ref_idc = 1; }, type0), 0);  // both non-zero
        QCOMPARE(news([](SliceHeader& c) { c.pic_order_cnt_lsb = 12; }, type0), 1);
        QCOMPARE(news([](SliceHeader& c) { c.delta_pic_order_cnt_bottom = 1; }, type0), 1);
        QCOMPARE(news([](SliceHeader& c) { c.delta_pic_order_cnt[1] = 1; }, type1), 1);
        QCOMPARE(news([](SliceHeader& c) { c.nal_unit_type = 5; }, type0), 1);
        SliceHeader c = a;
        c.pic_order_cnt_lsb = 12;
        QVERIFY(!IsFirstVclOfNewPicture(a, c, type1));  // not a field of that count type
        SliceHeader idr = Slice(5, 3, 0, 0);
        idr.idr_pic_id = 1;
        QVERIFY(IsFirstVclOfNewPicture(Slice(5, 3, 0, 0), idr));

        const SliceHeader top = Slice(1, 2, 7, 20, 0), bottom = Slice(1, 2, 7, 21, 1);
        QVERIFY(IsFirstVclOfNewPicture(top, bottom));  // each field is a picture
        QVERIFY(IsSecondFieldOfPair(top, bottom));     // and the two make a frame
        QVERIFY(IsSecondFieldOfPair(Slice(5, 3, 0, 0, 0), Slice(1, 3, 0, 1, 1)));
        QVERIFY(!IsSecondFieldOfPair(top, top));  // same parity
        for (auto change : {+[](SliceHeader& c) { c.frame_num = 8; },
                            +[](SliceHeader& c) { c.nal_unit_type = 5; },
                            +[](SliceHeader& c) { c.nal_ref_idc = 0; },
                            +[](SliceHeader& c) { c.has_mmco5 = 1; }}) {
            SliceHeader other = bottom;
            change(other);
            QVERIFY(!IsSecondFieldOfPair(top, other));
        }
    }

    void slicesOfRealStreams() {
        // Every slice of every stream parses; first_mb_in_slice is 0 exactly where a new picture
        // begins; the picture count is ffprobe's, and the pictures in ffprobe's output order
        // have rising order counts (a reset starting a new run).
        const bool haveFfprobe = !QStandardPaths::findExecutable("ffprobe").isEmpty();
        for (const TestStream& s : TestStreams(QStringLiteral("h264"))) {
            ParameterSets ps;
            PocCalculator poc;
            SliceHeader prev{};
            std::vector<std::pair<uint32_t, std::pair<int, int64_t>>> pictures;  // offset, order
            int resets = 0, recovery = 0;
            for (const Unit& u : Units(s.file)) {
                const Bytes& b = u.bytes;
                if (u.Type() == 7) QVERIFY(ps.AddSps(b.data(), uint32_t(b.size())));
                if (u.Type() == 8) QVERIFY(ps.AddPps(b.data(), uint32_t(b.size())));
                uint32_t frames = 99;
                if (u.Type() == 6 && FindRecoveryPoint(b.data(), uint32_t(b.size()), &frames)) {
                    QCOMPARE(frames, 0u);
                    ++recovery;
                }
                if (u.Type() != 1 && u.Type() != 5) continue;
                SliceHeader sh{};
                QVERIFY2(ParseSliceHeader(b.data(), uint32_t(b.size()), ps, &sh),
                         qPrintable(s.Name()));
                const SpsInfo& sps = *ps.Sps(sh.seq_parameter_set_id);
                const bool starts = pictures.empty() || IsFirstVclOfNewPicture(prev, sh, sps);
                QCOMPARE(starts, sh.first_mb_in_slice == 0);
                if (starts) {
                    const PocResult r = poc.Compute(sh, sps);
                    resets += r.reset;
                    pictures.push_back({u.offset, {resets, r.poc}});
                }
                prev = sh;
            }
            QCOMPARE(int(pictures.size()), s.Int("pictures"));
            QCOMPARE(recovery, s.Int("recovery_points"));
            if (!haveFfprobe) continue;

            const std::vector<uint32_t> output = OutputOrderFromFfprobe(s.file);
            // ffprobe shows nothing of the pictures before the first IDR picture.
            QCOMPARE(output.size() + s.Int("leading_pictures"), pictures.size());
            std::pair<int, int64_t> last(-1, 0);
            for (uint32_t pos : output) {
                // A packet starts at its access unit's first NAL unit (or the start code before).
                auto at = std::lower_bound(pictures.begin(), pictures.end(),
                                           std::make_pair(pos, std::make_pair(-1, int64_t(0))));
                QVERIFY(at != pictures.end());
                QVERIFY2(at->second > last, qPrintable(s.Name()));
                last = at->second;
            }
        }
        if (!haveFfprobe) QSKIP("ffprobe not found: output order not compared");
    }

    void parameterSetsAndMarking() {
        // A slice whose SPS is unknown does not parse, nor a NAL unit of another type.
        const std::vector<Unit> units =
            Units(QStringLiteral(TOVANMUXER_TEST_DATA "/baseline_320x240.h264"));
        auto first = [&](int type) {
            return std::find_if(units.begin(), units.end(),
                                [=](const Unit& u) { return u.Type() == type; })
                ->bytes;
        };
        const Bytes sps = first(7), pps = first(8), idr = first(5);
        ParameterSets ps;
        SliceHeader sh{};
        QVERIFY(ps.AddPps(pps.data(), uint32_t(pps.size())));
        QVERIFY(!ParseSliceHeader(idr.data(), uint32_t(idr.size()), ps, &sh));
        QVERIFY(ps.AddSps(sps.data(), uint32_t(sps.size())));
        QVERIFY(ParseSliceHeader(idr.data(), uint32_t(idr.size()), ps, &sh));
        QVERIFY(!ParseSliceHeader(sps.data(), uint32_t(sps.size()), ps, &sh));
        QVERIFY(!ps.AddPps(sps.data(), uint32_t(sps.size())));
        QVERIFY(ps.Pps(0) && !ps.Pps(255) && !ps.Sps(1) && !ps.Sps(1000));

        // A P slice whose marking holds MMCO 2 (with its long_term_pic_num), then 5, then the end.
        QCOMPARE(ps.Sps(0)->pic_order_cnt_type, 2u);
        const QByteArray frameNum(int(ps.Sps(0)->log2_max_frame_num_minus4 + 4), '0');
        //                  first_mb P(5) pps frame_num override list-mod adaptive 2 0 5 0
        const QByteArray bits = "1 00110 1 " + frameNum + " 0 0 1 011 1 00110 1 1";
        const Bytes slice = Cat({0x61}, FromBits(bits.constData()));
        QVERIFY(ParseSliceHeader(slice.data(), uint32_t(slice.size()), ps, &sh));
        QVERIFY(sh.slice_type == 5 && sh.adaptive_ref_pic_marking_mode_flag && sh.has_mmco5);
    }

    void seiRecoveryPoint() {
        // A 300-byte user data message (payload size 0xFF 0x2D) of 00 00 01 patterns, carried
        // with their emulation-prevention bytes, then a recovery point with recovery_frame_cnt 3.
        Bytes nal = {0x06, 0x05, 0xFF, 0x2D};
        for (int i = 0; i < 100; ++i) nal = Cat(nal, {0x00, 0x00, 0x03, 0x01});
        nal = Cat(nal, {0x06, 0x02, 0x24, 0x40, 0x80});
        uint32_t frames = 0;
        QVERIFY(FindRecoveryPoint(nal.data(), uint32_t(nal.size()), &frames));
        QCOMPARE(frames, 3u);
        nal.resize(nal.size() - 5);  // the user data alone
        QVERIFY(!FindRecoveryPoint(nal.data(), uint32_t(nal.size()), &frames));
    }

    void maxDpbFrames() {
        SpsInfo s{};
        s.level_idc = 30;  // MaxDpbMbs 8100
        s.pic_width_in_mbs_minus1 = 44;
        s.pic_height_in_map_units_minus1 = 17;  // field rows: 720x576, 1620 macroblocks
        QCOMPARE(MaxDpbFrames(s), 5u);
        s.level_idc = 11;  // with constraint_set3_flag level 1b in Baseline (396), not in High
        s.constraint_flags = 0x10;
        s.profile_idc = 66;
        s.pic_height_in_map_units_minus1 = 3;  // 360 macroblocks
        QCOMPARE(MaxDpbFrames(s), 1u);
        s.profile_idc = 100;
        QCOMPARE(MaxDpbFrames(s), 2u);
        s.pic_width_in_mbs_minus1 = 1;  // 16 macroblocks: 56 frames, capped
        QCOMPARE(MaxDpbFrames(s), 16u);
    }
};

QTEST_APPLESS_MAIN(TestH264)
#include "test_h264.moc"
