// The bit reader, Exp-Golomb codes and scaling lists, the SPS parser on hand-made and real
// parameter sets, picture order counts, and slice headers and picture order on real streams.

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>
#include <algorithm>
#include <vector>

#include "convert/nalunit.h"
#include "h264/bitstream.h"
#include "h264/poc.h"
#include "h264/rbsp.h"
#include "h264/sei.h"
#include "h264/slice.h"
#include "h264/sps.h"
#include "support/decode.h"
#include "support/streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

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
};

// The NAL units of a stream file, in order.
std::vector<Unit> Units(const QByteArray& d) {
    std::vector<Unit> out;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(d.constData());
    uint32_t pos = 0;
    NalUnit n;
    while (int32_t r = FindNextNalUnit(b, uint32_t(d.size()), pos, &n)) {
        out.push_back({Bytes(n.data, n.data + n.length), uint32_t(n.data - b)});
        pos += uint32_t(r);
    }
    return out;
}

// The file offsets of the pictures ffprobe decodes, in their output order.
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

SliceHeader Slice(uint8_t type, uint8_t ref, uint32_t frameNum, uint32_t lsb) {
    SliceHeader s{};
    s.nal_unit_type = type;
    s.nal_ref_idc = ref;
    s.frame_num = frameNum;
    s.pic_order_cnt_lsb = lsb;
    return s;
}

SliceHeader Field(SliceHeader s, bool bottom) {
    s.field_pic_flag = 1;
    s.bottom_field_flag = bottom;
    return s;
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
        QCOMPARE(bs.PeekBits(4), 0xFu);
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
        QCOMPARE(empty.ReadBits(0), 0u);
        QCOMPARE(empty.PeekBits(0), 0u);
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
        // A bit count that is not a multiple of 8: the last byte holds that many low bits.
        const Bytes c = {0xFF, 0x05};
        Bitstream partial(c.data(), 11);
        QCOMPARE(partial.ReadBits(8), 0xFFu);
        QCOMPARE(partial.ReadBits(3), 5u);
        QCOMPARE(partial.BitsLeft(), 0u);
    }

    void expGolombAndScalingLists() {
        const Bytes codes = FromBits("1 010 011 00100 0001000 000000000 1 000000000 1");
        Bitstream bs(codes.data(), uint32_t(codes.size()) * 8);
        for (uint32_t e : {0u, 1u, 2u, 3u, 7u, 511u}) QCOMPARE(ReadUE(bs), e);

        const Bytes signedCodes = FromBits("1 010 011 00100 00101");
        Bitstream se(signedCodes.data(), uint32_t(signedCodes.size()) * 8);
        for (int32_t e : {0, 1, -1, 2, -2}) QCOMPARE(ReadSE(se), e);

        // 31 leading zeros: the largest code; 32: too many bits for one read.
        const Bytes big = {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE};
        Bitstream b31(big.data(), uint32_t(big.size()) * 8);
        QCOMPARE(ReadUE(b31), 0xFFFFFFFEu);
        const Bytes zeros32 = {0, 0, 0, 0, 0x80, 0, 0, 0, 0};
        Bitstream b32(zeros32.data(), uint32_t(zeros32.size()) * 8);
        QCOMPARE(Thrown([&] { ReadUE(b32); }), int(BitstreamErrTooManyBits));
        const Bytes onlyZeros(5, 0);
        Bitstream z(onlyZeros.data(), 40);
        QCOMPARE(Thrown([&] { ReadUE(z); }), int(BitstreamErrEndOfData));
        const Bytes cut = FromBits("0001");  // information bits missing
        Bitstream c(cut.data(), 4);
        QCOMPARE(Thrown([&] { ReadUE(c); }), int(BitstreamErrEndOfData));

        // delta_scale -8 makes next scale 0: no further delta is read, so the 1 behind it stays.
        const Bytes stop = FromBits("000010001 1");
        Bitstream s(stop.data(), 16);
        SkipScalingList(s, 16);
        QCOMPARE(s.ReadBits(1), 1u);
        // Sixteen deltas of 0 (a "1" each) are all read.
        const Bytes flat = FromBits("1111111111111111 0");
        Bitstream f(flat.data(), uint32_t(flat.size()) * 8);
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
        QCOMPARE(i.profile_idc, uint8_t(77));
        QCOMPARE(i.level_idc, uint8_t(40));
        QCOMPARE(i.nal_ref_idc, uint8_t(3));
        i = Parse({0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40, 0x50, 0x05, 0xB9}, &ok);
        QVERIFY(ok);
        QCOMPARE(i.width, 1280u);
        QCOMPARE(i.height, 720u);
        QCOMPARE(i.chroma_format_idc, 1u);
        i = Parse({0x67, 0x42, 0x00, 0x1E, 0xD3, 0x21, 0x13, 0x40, 0xB0, 0x4B, 0x20}, &ok);
        QVERIFY(ok);
        QCOMPARE(i.width, 352u);
        QCOMPARE(i.height, 288u);
        QCOMPARE(i.pic_order_cnt_type, 1u);
        QCOMPARE(i.num_ref_frames_in_pic_order_cnt_cycle, 3u);
        QCOMPARE(i.offset_for_ref_frame[0], 2);
        QCOMPARE(i.offset_for_ref_frame[1], 1);
        QCOMPARE(i.offset_for_ref_frame[2], -1);

        // Cut anywhere before the end of the cropping fields: false, no size.
        for (size_t n = 0; n < 10; ++n) {
            i = Parse(Bytes(hd.begin(), hd.begin() + long(n)), &ok);
            QVERIFY(!ok);
            QCOMPARE(i.width, 0u);
            QCOMPARE(i.height, 0u);
        }
    }

    void spsMends() {
        bool ok = false;
        // An emulation-prevention byte among the fields is not data: with level 0 and
        // seq_parameter_set_id 63 the bytes run 42 00 00 02, which the stream must carry as
        // 42 00 00 03 02. The fields behind: frame num bits 4, poc type 2, no references,
        // 16x16, frame_mbs_only, direct 8x8, no cropping, no VUI.
        const Bytes fields = FromBits("0000001000000 1 011 1 0 1 1 1 1 0 0 1");
        QCOMPARE(fields[0], uint8_t(0x02));
        SpsInfo i = Parse(Cat({0x67, 0x42, 0x00, 0x00, 0x03}, fields), &ok);
        QVERIFY(ok);
        QCOMPARE(i.seq_parameter_set_id, 63u);
        QCOMPARE(i.width, 16u);
        QCOMPARE(i.height, 16u);
        QCOMPARE(i.pic_order_cnt_type, 2u);

        Bytes out(16);
        const Bytes esc = {0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x03, 0x03};
        const uint32_t n = UnescapeRbsp(esc.data(), uint32_t(esc.size()), out.data(), 16);
        QCOMPARE(Bytes(out.begin(), out.begin() + n),
                 (Bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x03}));
        QCOMPARE(UnescapeRbsp(esc.data(), uint32_t(esc.size()), out.data(), 4), 4u);

        // Sizes that do not fit 16 bits and crops that take the whole picture fail the parse
        // (Baseline, 4:2:0, so a crop unit is 2 samples).
        const Bytes head = {0x67, 0x42, 0x00, 0x1E};
        //                         id lfn poc refs gaps width-1 (4095)       h-1 fmo d8 crop
        Parse(Cat(head, FromBits("1 1 011 1 0 0000000000001000000000000 1 1 1 0 1")), &ok);
        QVERIFY(!ok);
        //                         id lfn poc refs gaps w-1 height-1 (4095)    fmo d8 crop
        Parse(Cat(head, FromBits("1 1 011 1 0 1 0000000000001000000000000 1 1 0 1")), &ok);
        QVERIFY(!ok);
        //                                                        crop left 8 (16 samples of 16)
        Parse(Cat(head, FromBits("1 1 011 1 0 1 1 1 1 1 0001001 1 1 1 1")), &ok);
        QVERIFY(!ok);
        SpsInfo small = Parse(Cat(head, FromBits("1 1 011 1 0 010 1 1 1 1 1 1 1 010 1")), &ok);
        QVERIFY(ok);  // 32x16, bottom crop 1: two lines
        QCOMPARE(small.width, 32u);
        QCOMPARE(small.height, 14u);
    }

    void profileBranches() {
        // The same fields behind profile_idc 244, 44 and 77: only the first two read
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
        QCOMPARE(i.chroma_format_idc, 0u);
        QCOMPARE(i.log2_max_frame_num_minus4, 1u);  // the bits of chroma_format_idc

        // 4:4:4 with a scaling matrix of 12 lists, each present and flat (one delta of -8).
        const char* lists444 =
            "1 00100 0 1 1 0 1"  // id, chroma 3, separate planes 0, depths, qp bypass, matrix
            " 1 000010001 1 000010001 1 000010001 1 000010001 1 000010001 1 000010001"
            " 1 000010001 1 000010001 1 000010001 1 000010001 1 000010001 1 000010001"
            " 1 011 1 0 1 1 1 1 0 0 1";  // frame num, poc 2, refs, gaps, 16x16
        i = Parse(Cat({0x67, 244, 0, 30}, FromBits(lists444)), &ok);
        QVERIFY(ok);
        QCOMPARE(i.chroma_format_idc, 3u);
        QCOMPARE(i.seq_scaling_matrix_present_flag, uint8_t(1));
        QCOMPARE(i.width, 16u);
        QCOMPARE(i.height, 16u);
        QCOMPARE(i.pic_order_cnt_type, 2u);
    }

    void spsOfEveryStream() {
        const QVector<TestStream> streams = TestStreams();
        QVERIFY(!streams.isEmpty());
        for (const TestStream& s : streams) {
            const std::vector<Unit> units = Units(ReadFileBytes(s.file));
            auto it = std::find_if(units.begin(), units.end(),
                                   [](const Unit& u) { return (u.bytes[0] & 0x1F) == 7; });
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
            // The VUI timing gives the rate ffprobe reports, where the stream has it.
            if (i.timing_info_present_flag)
                QCOMPARE(double(i.time_scale) / (2.0 * i.num_units_in_tick),
                         double(s.Int("fps_num")) / s.Int("fps_den"));
            else
                QCOMPARE(s.Name(), QStringLiteral("notiming_320x240.h264"));
            QVERIFY(i.bitstream_restriction_flag);
            QCOMPARE(i.max_num_reorder_frames > 0, s.Int("bframes") == 1);
            QCOMPARE(bool(i.nal_hrd_parameters_present_flag),
                     s.Name() == QLatin1String("sei_every_picture_320x240.h264"));

            // ParseSps, which stops before the VUI, agrees on the size.
            const SpsInfo j = Parse(sps, &ok);
            QVERIFY(ok);
            QCOMPARE(j.width, i.width);
            QVERIFY(!j.vui_parameters_present_flag);
            // A VUI cut short is dropped, the size still counts.
            const SpsInfo k = Parse(Bytes(sps.begin(), sps.end() - 2), &ok, true);
            QVERIFY(ok);
            QCOMPARE(k.height, i.height);
            QVERIFY(!k.vui_parameters_present_flag && !k.bitstream_restriction_flag);
        }
    }

    void pocType0() {
        SpsInfo sps{};
        sps.log2_max_pic_order_cnt_lsb_minus4 = 0;  // MaxPicOrderCntLsb 16
        PocCalculator c;
        QCOMPARE(c.Compute(Slice(5, 3, 0, 0), sps).poc, 0);
        QCOMPARE(c.Compute(Slice(1, 2, 1, 8), sps).poc, 8);
        QCOMPARE(c.Compute(Slice(1, 0, 2, 4), sps).poc, 4);  // non-reference B
        QCOMPARE(c.Compute(Slice(1, 2, 2, 14), sps).poc, 14);
        QCOMPARE(c.Compute(Slice(1, 2, 3, 2), sps).poc, 18);   // lsb wrapped: msb 16
        QCOMPARE(c.Compute(Slice(1, 0, 4, 12), sps).poc, 12);  // behind: msb 0 again
        QCOMPARE(c.Compute(Slice(1, 0, 4, 4), sps).poc, 20);   // against the last reference
        // delta_pic_order_cnt_bottom gives the bottom field's count; the frame's is the smaller.
        SliceHeader s = Slice(1, 2, 5, 10);
        s.delta_pic_order_cnt_bottom = -1;
        const PocResult r = c.Compute(s, sps);
        QCOMPARE(r.top, 26);
        QCOMPARE(r.bottom, 25);
        QCOMPARE(r.poc, 25);
        // Field pictures: each field its own count; MMCO 5 in a bottom field starts from 0.
        QCOMPARE(c.Compute(Field(Slice(1, 2, 6, 12), false), sps).top, 28);
        QCOMPARE(c.Compute(Field(Slice(1, 2, 6, 13), true), sps).bottom, 29);
        SliceHeader m = Field(Slice(1, 2, 7, 15), true);
        m.has_mmco5 = 1;
        const PocResult mr = c.Compute(m, sps);
        QVERIFY(mr.reset);
        QCOMPARE(mr.bottom, 0);
        QCOMPARE(c.Compute(Slice(1, 2, 1, 9), sps).poc, -7);  // lsb 9 from 0: msb -16
        const PocResult idr = c.Compute(Slice(5, 3, 0, 4), sps);
        QCOMPARE(idr.poc, 4);  // an IDR starts again
        QVERIFY(idr.reset);
    }

    void pocType1() {
        SpsInfo sps{};
        sps.pic_order_cnt_type = 1;
        sps.log2_max_frame_num_minus4 = 0;  // MaxFrameNum 16
        sps.num_ref_frames_in_pic_order_cnt_cycle = 2;
        sps.offset_for_ref_frame[0] = 4;
        sps.offset_for_ref_frame[1] = 2;
        sps.offset_for_non_ref_pic = -3;
        sps.offset_for_top_to_bottom_field = 1;
        PocCalculator c;
        QCOMPARE(c.Compute(Slice(5, 3, 0, 0), sps).poc, 0);
        QCOMPARE(c.Compute(Slice(1, 2, 1, 0), sps).poc, 4);   // cycle 0, offset 0
        QCOMPARE(c.Compute(Slice(1, 2, 2, 0), sps).poc, 6);   // + offset 1
        QCOMPARE(c.Compute(Slice(1, 0, 3, 0), sps).poc, 3);   // non-ref: frame 2's, -3
        QCOMPARE(c.Compute(Slice(1, 2, 3, 0), sps).poc, 10);  // cycle 1, offset 0
        // frame_num wraps at 16: FrameNumOffset grows by 16.
        for (uint32_t f = 4; f < 16; ++f) c.Compute(Slice(1, 2, f, 0), sps);
        QCOMPARE(c.Compute(Slice(1, 2, 0, 0), sps).poc, 48);  // 7 cycles of 6, then 4 + 2
        SliceHeader s = Slice(1, 2, 1, 0);
        s.delta_pic_order_cnt[0] = 1;
        s.delta_pic_order_cnt[1] = 5;
        const PocResult r = c.Compute(s, sps);
        QCOMPARE(r.top, 53);
        QCOMPARE(r.bottom, 59);  // + offset_for_top_to_bottom_field + delta[1]
        QCOMPARE(c.Compute(Field(Slice(1, 2, 2, 0), true), sps).bottom, 55);
    }

    void pocType2AndMmco5() {
        SpsInfo sps{};
        sps.pic_order_cnt_type = 2;
        PocCalculator c;
        QCOMPARE(c.Compute(Slice(5, 3, 0, 0), sps).poc, 0);
        QCOMPARE(c.Compute(Slice(1, 2, 1, 0), sps).poc, 2);
        QCOMPARE(c.Compute(Slice(1, 0, 2, 0), sps).poc, 3);  // non-reference: 2 x 2 - 1
        QCOMPARE(c.Compute(Slice(1, 2, 2, 0), sps).poc, 4);
        // memory_management_control_operation 5: the picture counts 0 afterwards, and so does
        // the frame numbering after it.
        SliceHeader m = Slice(1, 2, 3, 0);
        m.has_mmco5 = 1;
        QCOMPARE(c.Compute(m, sps).poc, 0);
        QCOMPARE(c.Compute(Slice(1, 2, 1, 0), sps).poc, 2);

        SpsInfo t0{};
        t0.log2_max_pic_order_cnt_lsb_minus4 = 4;
        PocCalculator d;
        d.Compute(Slice(5, 3, 0, 0), t0);
        d.Compute(Slice(1, 2, 1, 40), t0);
        SliceHeader mm = Slice(1, 2, 2, 60);
        mm.has_mmco5 = 1;
        mm.delta_pic_order_cnt_bottom = -3;  // top 60, bottom 57: top becomes 3, bottom 0
        const PocResult r = d.Compute(mm, t0);
        QCOMPARE(r.poc, 0);
        QCOMPARE(r.top, 3);
        QVERIFY(r.reset);
        // Counted from the reset with prevPicOrderCntLsb 3: 130 is 127 ahead, not 126 behind.
        QCOMPARE(d.Compute(Slice(1, 2, 1, 130), t0).poc, 130);
    }

    void newPictureAndFieldPairs() {
        SliceHeader a = Slice(1, 2, 5, 10), b = a;
        b.first_mb_in_slice = 40;
        QVERIFY(!IsFirstVclOfNewPicture(a, b));  // another slice of the same picture
        auto differs = [&](auto change) {
            SliceHeader c = a;
            change(c);
            return IsFirstVclOfNewPicture(a, c);
        };
        QVERIFY(differs([](SliceHeader& c) { c.frame_num = 6; }));
        QVERIFY(differs([](SliceHeader& c) { c.pic_parameter_set_id = 1; }));
        QVERIFY(differs([](SliceHeader& c) { c.field_pic_flag = 1; }));
        QVERIFY(differs([](SliceHeader& c) { c.nal_ref_idc = 0; }));
        QVERIFY(!differs([](SliceHeader& c) { c.nal_ref_idc = 1; }));  // both non-zero
        QVERIFY(differs([](SliceHeader& c) { c.pic_order_cnt_lsb = 12; }));
        QVERIFY(differs([](SliceHeader& c) { c.delta_pic_order_cnt_bottom = 1; }));
        QVERIFY(differs([](SliceHeader& c) { c.delta_pic_order_cnt[0] = 1; }));
        QVERIFY(differs([](SliceHeader& c) { c.nal_unit_type = 5; }));
        SliceHeader idr1 = Slice(5, 3, 0, 0), idr2 = idr1;
        idr2.idr_pic_id = 1;
        QVERIFY(IsFirstVclOfNewPicture(idr1, idr2));
        // With the SPS, only the fields of its pic_order_cnt_type count.
        SpsInfo type1{};
        type1.pic_order_cnt_type = 1;
        b.pic_order_cnt_lsb = 11;
        QVERIFY(!IsFirstVclOfNewPicture(a, b, type1));
        QVERIFY(IsFirstVclOfNewPicture(a, b, SpsInfo{}));

        const SliceHeader top = Field(Slice(1, 2, 7, 20), false);
        const SliceHeader bottom = Field(Slice(1, 2, 7, 21), true);
        QVERIFY(IsFirstVclOfNewPicture(top, bottom));  // each field is a picture
        QVERIFY(IsSecondFieldOfPair(top, bottom));     // and the two make a frame
        QVERIFY(
            IsSecondFieldOfPair(Field(Slice(5, 3, 0, 0), false), Field(Slice(1, 3, 0, 1), true)));
        SliceHeader other = bottom;
        other.frame_num = 8;
        QVERIFY(!IsSecondFieldOfPair(top, other));
        QVERIFY(!IsSecondFieldOfPair(top, top));  // same parity
        other = bottom;
        other.nal_unit_type = 5;
        QVERIFY(!IsSecondFieldOfPair(top, other));
        other = bottom;
        other.nal_ref_idc = 0;
        QVERIFY(!IsSecondFieldOfPair(top, other));  // a reference and a non-reference field
        other = bottom;
        other.has_mmco5 = 1;
        QVERIFY(!IsSecondFieldOfPair(top, other));
    }

    void slicesOfRealStreams() {
        // Every slice of every stream parses; first_mb_in_slice is 0 exactly where a new picture
        // begins; the picture count is ffprobe's, and sorting the pictures by their order count
        // gives the order in which ffprobe's decoder puts them out.
        const bool haveFfprobe = !QStandardPaths::findExecutable("ffprobe").isEmpty();
        for (const TestStream& s : TestStreams()) {
            ParameterSets ps;
            PocCalculator poc;
            SliceHeader prev{};
            struct Picture {
                uint32_t offset;
                int segment;  // counts the pictures that reset the order
                int64_t poc;
            };
            std::vector<Picture> pictures;
            int segment = 0, recovery = 0;
            for (const Unit& u : Units(ReadFileBytes(s.file))) {
                const Bytes& b = u.bytes;
                const int type = b[0] & 0x1F;
                if (type == 7) QVERIFY(ps.AddSps(b.data(), uint32_t(b.size())));
                if (type == 8) QVERIFY(ps.AddPps(b.data(), uint32_t(b.size())));
                uint32_t frames = 99;
                if (type == 6 && FindRecoveryPoint(b.data(), uint32_t(b.size()), &frames)) {
                    QCOMPARE(frames, 0u);
                    ++recovery;
                }
                if (type != 1 && type != 5) continue;
                SliceHeader sh{};
                QVERIFY2(ParseSliceHeader(b.data(), uint32_t(b.size()), ps, &sh),
                         qPrintable(s.Name()));
                const SpsInfo& sps = *ps.Sps(sh.seq_parameter_set_id);
                const bool starts = pictures.empty() || IsFirstVclOfNewPicture(prev, sh, sps);
                QCOMPARE(starts, sh.first_mb_in_slice == 0);
                if (starts) {
                    const PocResult r = poc.Compute(sh, sps);
                    segment += r.reset;
                    pictures.push_back({u.offset, segment, r.poc});
                }
                prev = sh;
            }
            QCOMPARE(int(pictures.size()), s.Int("frames"));
            QCOMPARE(recovery, s.Int("recovery_points"));

            if (!haveFfprobe) continue;
            std::vector<uint32_t> expected;
            for (uint32_t pos : OutputOrderFromFfprobe(s.file)) {
                // The packet starts with the access unit's first NAL unit or its start code.
                auto at =
                    std::lower_bound(pictures.begin(), pictures.end(), pos,
                                     [](const Picture& p, uint32_t v) { return p.offset < v; });
                QVERIFY(at != pictures.end());
                expected.push_back(at->offset);
            }
            std::vector<Picture> byOrder = pictures;
            std::stable_sort(
                byOrder.begin(), byOrder.end(), [](const Picture& x, const Picture& y) {
                    return x.segment != y.segment ? x.segment < y.segment : x.poc < y.poc;
                });
            std::vector<uint32_t> actual;
            for (const Picture& p : byOrder) actual.push_back(p.offset);
            QVERIFY2(actual == expected, qPrintable(s.Name()));
        }
        if (!haveFfprobe) QSKIP("ffprobe not found: output order not compared");
    }

    void parameterSetLookupsAndMarking() {
        // A slice whose PPS (or that PPS's SPS) is unknown does not parse; a slice of another
        // NAL unit type neither.
        const std::vector<Unit> units =
            Units(ReadFileBytes(QStringLiteral(TOVANMUXER_TEST_DATA "/baseline_320x240.h264")));
        auto first = [&](int type) {
            return std::find_if(units.begin(), units.end(),
                                [type](const Unit& u) { return (u.bytes[0] & 0x1F) == type; })
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
        QVERIFY(ps.Sps(0) && !ps.Sps(1) && !ps.Sps(1000) && ps.Pps(0) && !ps.Pps(255));

        // A P slice whose marking holds MMCO 2 (with its long_term_pic_num), then 5, then the end.
        const SpsInfo& info = *ps.Sps(0);
        QCOMPARE(info.pic_order_cnt_type, 2u);
        const QByteArray frameNum(int(info.log2_max_frame_num_minus4 + 4), '0');
        //                  first_mb P(5) pps frame_num override list-mod adaptive 2 0 5 0
        const QByteArray bits = "1 00110 1 " + frameNum + " 0 0 1 011 1 00110 1 1";
        const Bytes slice = Cat({0x61}, FromBits(bits.constData()));
        QVERIFY(ParseSliceHeader(slice.data(), uint32_t(slice.size()), ps, &sh));
        QCOMPARE(sh.slice_type, 5u);
        QVERIFY(sh.adaptive_ref_pic_marking_mode_flag);
        QVERIFY(sh.has_mmco5);
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
        nal[0] = 0x01;
        QVERIFY(!FindRecoveryPoint(nal.data(), uint32_t(nal.size()), &frames));
    }

    void maxDpbFrames() {
        SpsInfo s{};
        s.level_idc = 30;  // MaxDpbMbs 8100
        s.pic_width_in_mbs_minus1 = 44;
        s.pic_height_in_map_units_minus1 = 35;  // 720x576: 1620 macroblocks
        s.frame_mbs_only_flag = 1;
        QCOMPARE(MaxDpbFrames(s), 5u);
        s.frame_mbs_only_flag = 0;  // map units are field rows: twice the macroblocks
        QCOMPARE(MaxDpbFrames(s), 2u);
        s.frame_mbs_only_flag = 1;
        s.pic_width_in_mbs_minus1 = 19;
        s.pic_height_in_map_units_minus1 = 14;  // 320x240: 300 macroblocks, capped at 16
        QCOMPARE(MaxDpbFrames(s), 16u);
        s.level_idc = 11;
        s.constraint_flags = 0x10;  // level 1b in Baseline
        s.profile_idc = 66;
        QCOMPARE(MaxDpbFrames(s), 1u);  // 396 / 300
        s.profile_idc = 100;            // not in High: level 1.1
        QCOMPARE(MaxDpbFrames(s), 3u);
    }
};

QTEST_APPLESS_MAIN(TestH264)
#include "test_h264.moc"
