// One conversion through the engine, with what it reported.
#pragma once

#include <QString>

#include "convert/converter.h"

struct Result {
    bool ok = false;
    QString error;
    QString input;
    QString output;
    ConversionSummary summary;
};

inline Result Convert(const QString& input, const QString& output) {
    Converter c;
    Result r;
    r.ok = c.WriteH264File(input.toStdString().c_str(), output);
    r.error = c.LastError();
    r.input = input;
    r.output = output;
    r.summary = c.Summary();
    return r;
}
