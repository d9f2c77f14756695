// The test streams of tests/data and the facts their generating script recorded about them.
#pragma once

#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

#include "convert/nalunit.h"

struct TestStream {
    QString file;  // absolute path
    QHash<QString, QString> facts;
    int Int(const char* key) const { return facts.value(QLatin1String(key)).toInt(); }
    QString Name() const { return file.section(QLatin1Char('/'), -1); }
};

// Every stream listed in tests/data/streams.tsv.
inline QVector<TestStream> TestStreams() {
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
        out.push_back(s);
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
