// The test streams of tests/data and the facts their generating script recorded about them.
#pragma once

#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

#include "convert/nalunit.h"
#include "convert/trackformat.h"
#include "h265/nal.h"

struct TestStream {
    QString file;  // absolute path
    QHash<QString, QString> facts;
    int Int(const char* key) const { return facts.value(QLatin1String(key)).toInt(); }
    QString Name() const { return file.section(QLatin1Char('/'), -1); }
    bool IsH265() const { return facts.value(QStringLiteral("codec")) == QLatin1String("h265"); }
};

// Every stream listed in tests/data/streams.tsv (the H.264 ones first), or those of one codec
// ("h264", "h265").
inline QVector<TestStream> TestStreams(const QString& codec = QString()) {
    QVector<TestStream> out;
    QFile f(QStringLiteral(TOVANMUXER_TEST_DATA "/streams.tsv"));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return out;
    const QStringList header = QString::fromUtf8(f.readLine()).trimmed().split(QLatin1Char('\t'));
    while (!f.atEnd()) {
        const QStringList cells =
            QString::fromUtf8(f.readLine()).trimmed().split(QLatin1Char('\t'));
        if (cells.size() < 2) continue;
        TestStream s;
        for (int i = 0; i < header.size() && i < cells.size(); ++i) s.facts[header[i]] = cells[i];
        s.file = QStringLiteral(TOVANMUXER_TEST_DATA "/") + s.facts.value(QStringLiteral("file"));
        if (codec.isEmpty() || s.facts.value(QStringLiteral("codec")) == codec) out.push_back(s);
    }
    return out;
}

inline TestStream FindTestStream(const QString& name) {
    for (const TestStream& s : TestStreams())
        if (s.Name() == name) return s;
    return TestStream();
}

// Calls f(unit, offset of its header byte) for each NAL unit of an Annex B byte stream, in order.
template <typename F>
void ForEachNalUnit(const QByteArray& stream, F&& f) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(stream.constData());
    uint32_t pos = 0;
    NalUnit n;
    while (int32_t r = FindNextNalUnit(b, uint32_t(stream.size()), pos, &n)) {
        f(n, qint64(n.data - b));
        pos += uint32_t(r);
    }
}

// The NAL units of one sample, or an empty list when its length prefixes do not add up.
inline QVector<QByteArray> UnitsOfSample(const QByteArray& s) {
    QVector<QByteArray> out;
    int at = 0;
    while (at + 4 <= s.size()) {
        const uint32_t len = (uint32_t(uint8_t(s[at])) << 24) |
                             (uint32_t(uint8_t(s[at + 1])) << 16) |
                             (uint32_t(uint8_t(s[at + 2])) << 8) | uint8_t(s[at + 3]);
        if (len == 0 || at + 4 + qint64(len) > s.size()) return {};
        out.push_back(s.mid(at + 4, int(len)));
        at += 4 + int(len);
    }
    if (at != s.size()) return {};
    return out;
}

// Whether the NAL unit nal[0, length) is a coded slice of `codec`: H.264 types 1, 2 and 5;
// H.265 the picture types of the base layer.
inline bool IsCodedSlice(Codec codec, const uint8_t* nal, int32_t length) {
    if (length <= 0) return false;
    if (codec != Codec::H265) {
        const int type = nal[0] & 0x1F;
        return type == 1 || type == 2 || type == 5;
    }
    H265NalHeader h{};
    if (!ParseH265NalHeader(nal, uint32_t(length), &h) || h.nuh_layer_id) return false;
    return h.nal_unit_type <= kH265RaslR ||
           (h.nal_unit_type >= kH265BlaWLp && h.nal_unit_type <= kH265Cra);
}
inline bool IsCodedSlice(Codec codec, const QByteArray& nal) {
    return IsCodedSlice(codec, reinterpret_cast<const uint8_t*>(nal.constData()), nal.size());
}

struct StreamSlices {
    Codec codec = Codec::Unknown;  // as the converter tells it from the stream
    QVector<QByteArray> slices;    // coded slices in stream order, trailing zeros left out
    QVector<qint64> ends;          // where each ends in the stream
    int beforeSps = -1;            // slices before the first SPS that can describe a track
};

// The coded slices of an Annex B stream, of the codec its parameter sets tell.
inline StreamSlices SlicesOfStream(const QByteArray& d) {
    StreamSlices s;
    StreamProbe probe;
    ForEachNalUnit(d, [&](const NalUnit& n, qint64) { probe.Take(n); });
    s.codec = probe.StreamCodec();
    probe = StreamProbe();
    ForEachNalUnit(d, [&](const NalUnit& n, qint64 header) {
        probe.Take(n);
        if (s.beforeSps < 0 && IsTrackSps(probe.StreamCodec(), n)) s.beforeSps = s.slices.size();
        if (!IsCodedSlice(s.codec, n.data, n.length)) return;
        int32_t len = n.length;
        while (len > 1 && n.data[len - 1] == 0) --len;
        s.slices.push_back(QByteArray(reinterpret_cast<const char*>(n.data), len));
        s.ends.push_back(header + len);
    });
    return s;
}
