// One conversion through the engine, with what it reported.
#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "convert/converter.h"

struct Result {
    bool ok = false;
    QString error;
    QString input;
    QString output;
    ConversionSummary summary;
    QStringList warnings;
};

// Converts `input`, or joins `segments` when there are any, with the timestamp file
// `timestamps` when one is named.
inline Result Convert(const QString& input, const QString& output,
                      const QString& timestamps = QString(),
                      const QStringList& segments = QStringList()) {
    Converter c;
    Result r;
    c.SetTimestampFile(QFile::encodeName(timestamps).toStdString());
    if (segments.isEmpty()) {
        r.ok = c.WriteH264File(input.toStdString().c_str(), output);
    } else {
        std::vector<std::string> paths;
        for (const QString& s : segments) paths.push_back(QFile::encodeName(s).toStdString());
        r.ok = c.WriteH264Files(paths, output);
    }
    r.error = c.LastError();
    r.input = input;
    r.output = output;
    r.summary = c.Summary();
    r.warnings = c.Warnings();
    return r;
}

// Whether an unfinished file of a conversion to `output` is left beside it: the hidden
// ".NAME.XXXXXX" (NAME cut to fit the file system's name length) or an old "NAME.part".
inline bool PartLeft(const QString& output) {
    const QFileInfo out(output);
    const QString stem = out.fileName().left(8);
    return QFileInfo::exists(output + QStringLiteral(".part")) ||
           !QDir(out.path())
                .entryList({QStringLiteral(".%1*").arg(stem)},
                           QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty();
}
