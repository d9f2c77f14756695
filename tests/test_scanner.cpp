// The NAL unit scanner: unit boundaries, start-code cases, and agreement with the byte-by-byte
// reference on real and adversarial data.

#include <QDir>
#include <QRandomGenerator>
#include <QtTest>
#include <vector>

#include "convert/nalunit.h"
#include "support/decode.h"
#include "support/reference_scan.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Unit {
    int32_t type, length, startCodeLength;
    uint32_t offset;  // of the header byte
    int32_t result;
};

std::vector<Unit> ScanAll(const Bytes& b, bool useReference = false) {
    std::vector<Unit> units;
    uint32_t pos = 0;
    for (;;) {
        NalUnit n{-7, -7, -7, nullptr};
        const uint32_t end = uint32_t(b.size());
        const int32_t r = useReference ? reference::FindNextNalUnit(b.data(), end, pos, &n)
                                       : FindNextNalUnit(b.data(), end, pos, &n);
        if (r == 0) break;
        units.push_back({n.type, n.length, n.startCodeLength, uint32_t(n.data - b.data()), r});
        pos += uint32_t(r);
    }
    return units;
}

// Byte-for-byte equal walks, and -1/3/4 answers at every position, including near the end.
void CompareWithReference(const Bytes& b) {
    const std::vector<Unit> fast = ScanAll(b), ref = ScanAll(b, true);
    QCOMPARE(fast.size(), ref.size());
    for (size_t i = 0; i < fast.size(); ++i) {
        QCOMPARE(fast[i].offset, ref[i].offset);
        QCOMPARE(fast[i].length, ref[i].length);
        QCOMPARE(fast[i].startCodeLength, ref[i].startCodeLength);
        QCOMPARE(fast[i].type, ref[i].type);
        QCOMPARE(fast[i].result, ref[i].result);
    }
    const uint8_t* end = b.data() + b.size();
    for (size_t i = 0; i < b.size(); ++i)
        QCOMPARE(StartCodeLength(b.data() + i, end), reference::StartCodeLength(b.data() + i, end));
    // The last start code, as the driver looks for it, is the last one the reference finds.
    int64_t last = -1;
    for (size_t i = 0; i < b.size(); ++i) {
        const int32_t n = reference::StartCodeLength(b.data() + i, end);
        if (n > 0) {
            last = int64_t(i);
            i += size_t(n) - 1;
        }
    }
    QCOMPARE(FindLastStartCode(b.data(), uint32_t(b.size())), last);
}

}  // namespace

class TestScanner : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startCodes() {
        const Bytes b = {0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 2};
        const uint8_t* end = b.data() + b.size();
        QCOMPARE(StartCodeLength(b.data(), end), 4);
        QCOMPARE(StartCodeLength(b.data() + 1, end), 3);  // inside the 4-byte code
        QCOMPARE(StartCodeLength(b.data() + 4, end), 3);
        QCOMPARE(StartCodeLength(b.data() + 7, end), -1);  // 00 00 00 00
        QCOMPARE(StartCodeLength(b.data() + 8, end), 4);
        QCOMPARE(StartCodeLength(b.data() + 12, end), -1);  // 00 00 02
        // A pattern that does not fit before the end is no start code, and the end is not read.
        QCOMPARE(StartCodeLength(b.data(), b.data() + 3), -1);
        QCOMPARE(StartCodeLength(b.data() + 1, b.data() + 3), -1);
        QCOMPARE(StartCodeLength(b.data() + 1, b.data() + 4), 3);
        QCOMPARE(StartCodeLength(b.data() + 8, b.data() + 11), -1);  // 4-byte fails, 3-byte too
    }

    void unitBoundaries() {
        // SPS behind a 4-byte code, then a PPS behind a 4-byte code.
        Bytes b = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E, 0xAA, 0, 0, 0, 1, 0x68, 0xCE};
        std::vector<Unit> u = ScanAll(b);
        QCOMPARE(u.size(), size_t(2));
        QCOMPARE(u[0].type, 7);
        QCOMPARE(u[0].startCodeLength, 4);
        QCOMPARE(u[0].offset, 4u);
        QCOMPARE(u[0].length, 5);
        QCOMPARE(u[0].result, 9);  // the index of the next start code
        QCOMPARE(u[1].type, 8);
        QCOMPARE(u[1].length, 2);  // the last unit runs to the end

        // 3-byte then 4-byte, 4-byte then 3-byte: lengths never include the next code.
        b = {0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x41, 0x9A, 0, 0, 1, 0x06, 0x05};
        u = ScanAll(b);
        QCOMPARE(u.size(), size_t(3));
        QCOMPARE(u[0].length, 2);
        QCOMPARE(u[1].type, 1);
        QCOMPARE(u[1].startCodeLength, 4);
        QCOMPARE(u[1].length, 2);
        QCOMPARE(u[2].type, 6);
        QCOMPARE(u[2].startCodeLength, 3);

        // Extra zeros before a code stay with the preceding unit; leading junk is skipped and
        // counted in the first result.
        b = {0xFF, 0x12, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 0, 0, 1, 0x68, 0xCE};
        u = ScanAll(b);
        QCOMPARE(u.size(), size_t(2));
        QCOMPARE(u[0].type, 9);
        QCOMPARE(u[0].result, 9);
        QCOMPARE(u[0].length, 4);  // 09 F0 00 00: two trailing zeros, then 00 00 00 01
        QCOMPARE(u[1].startCodeLength, 4);

        // Header byte types.
        for (uint8_t h : {0x67, 0x68, 0x65, 0x41, 0x06, 0x09}) {
            const Bytes one = {0, 0, 1, h, 0x80};
            QCOMPARE(ScanAll(one).at(0).type, int32_t(h & 0x1F));
        }
    }

    void regionsWithoutUnits() {
        NalUnit n{42, 43, 44, nullptr};
        const Bytes b = {0, 0, 0, 1, 0x65, 1, 2, 3, 0, 0, 1};
        QCOMPARE(FindNextNalUnit(b.data(), 0, 0, &n), 0);
        QCOMPARE(FindNextNalUnit(b.data(), 5, 5, &n), 0);
        QCOMPARE(FindNextNalUnit(b.data(), 5, 9, &n), 0);
        // A region that ends right after a start code: the code has no unit.
        QCOMPARE(FindNextNalUnit(b.data(), uint32_t(b.size()), 8, &n), 0);
        QCOMPARE(FindNextNalUnit(b.data(), 4, 0, &n), 0);
        QCOMPARE(n.type, 42);  // untouched by a call that found nothing
        const Bytes junk(100000, 0x5A);
        QCOMPARE(FindNextNalUnit(junk.data(), uint32_t(junk.size()), 0, &n), 0);
        const Bytes zeros(100000, 0);
        QCOMPARE(FindNextNalUnit(zeros.data(), uint32_t(zeros.size()), 0, &n), 0);
        QCOMPARE(FindLastStartCode(zeros.data(), uint32_t(zeros.size())), int64_t(-1));
        // The unit before a code that ends the region is still found.
        const std::vector<Unit> u = ScanAll(b);
        QCOMPARE(u.size(), size_t(1));
        QCOMPARE(u[0].length, 4);
        QCOMPARE(u[0].result, 8);
        // The last start code is found however it is cut.
        QCOMPARE(FindLastStartCode(b.data(), uint32_t(b.size())), int64_t(8));
        QCOMPARE(FindLastStartCode(b.data(), uint32_t(b.size()) - 1), int64_t(0));
        QCOMPARE(FindLastStartCode(b.data(), 3), int64_t(-1));
    }

    void agreesWithReferenceOnRealStreams() {
        const QStringList files =
            QDir(QStringLiteral(TOVANMUXER_TEST_DATA))
                .entryList({QStringLiteral("*.h264"), QStringLiteral("*.h265"),
                            QStringLiteral("*.h26x"), QStringLiteral("*.hevc")});
        QVERIFY(!files.isEmpty());
        for (const QString& f : files) {
            const QByteArray d = ReadFileBytes(QStringLiteral(TOVANMUXER_TEST_DATA "/") + f);
            CompareWithReference(Bytes(d.begin(), d.end()));
        }
    }

    void agreesWithReferenceOnAdversarialData() {
        // Bytes drawn mostly from {00, 01}, so that start codes of both lengths, runs of zeros
        // and cut codes at the region's end occur everywhere.
        QRandomGenerator rng(20261207);
        for (int round = 0; round < 400; ++round) {
            Bytes b(rng.bounded(1, 200));
            for (uint8_t& x : b) {
                const uint32_t r = rng.bounded(10);
                x = r < 6 ? 0 : r < 9 ? 1 : uint8_t(rng.bounded(256));
            }
            CompareWithReference(b);
            if (QTest::currentTestFailed()) qWarning() << "round" << round;
        }
        // Coded data is mostly bytes other than zero, with a start code, a cut one or a lone
        // zero pair here and there: each at every place of the long strides the search takes.
        const Bytes pieces[] = {{0, 0, 1}, {0, 0, 0, 1}, {0, 0}, {0, 0, 3}, {0}, {0, 0, 0}};
        for (int round = 0; round < 300; ++round) {
            Bytes b(rng.bounded(1, 700));
            for (uint8_t& x : b) x = uint8_t(rng.bounded(1, 256));
            for (int k = int(rng.bounded(4)); k > 0; --k) {
                const Bytes& piece = pieces[rng.bounded(int(std::size(pieces)))];
                const size_t at = rng.bounded(int(b.size()));
                std::copy(piece.begin(), piece.begin() + std::min(piece.size(), b.size() - at),
                          b.begin() + ptrdiff_t(at));
            }
            CompareWithReference(b);
            if (QTest::currentTestFailed()) qWarning() << "sparse round" << round;
        }
    }
};

QTEST_APPLESS_MAIN(TestScanner)
#include "test_scanner.moc"
