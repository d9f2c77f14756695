// One conversion through the engine, with what it reported.
#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>

#include "convert/converter.h"

struct Result {
    bool ok = false;
    QString error;
    QString input;
    QString output;
    ConversionSummary summary;
    QStringList warnings;
};

inline Result Convert(const QString& input, const QString& output, bool fastStart = false) {
    Converter c;
    c.SetFastStart(fastStart);
    Result r;
    r.ok = c.WriteH264File(input.toStdString().c_str(), output);
    r.error = c.LastError();
    r.warnings = c.Warnings();
    r.input = input;
    r.output = output;
    r.summary = c.Summary();
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
