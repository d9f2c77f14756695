// The second reader: GStreamer, run as a separate process (see gst_decode.py beside this file)
// so that its global state stays out of the test binaries and their leak checks.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "support/decode.h"

DecodeResult DecodeWithGStreamer(const QString& path) {
    DecodeResult out;
    // Debian's own interpreter: python3-gi is installed for it, not for one found first on PATH.
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(TOVANMUXER_GST_DECODE), path});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode()) {
        p.kill();
        p.waitForFinished();
        out.error = QStringLiteral("gst_decode.py failed on ") + path + QStringLiteral(": ") +
                    QString::fromUtf8(p.readAllStandardError().right(2000));
        return out;
    }
    const QJsonObject o = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    const QJsonArray md5 = o.value(QStringLiteral("md5")).toArray();
    const QJsonArray times = o.value(QStringLiteral("stream_times")).toArray();
    for (int i = 0; i < md5.size(); ++i) {
        DecodedPicture pic;
        pic.hash = md5[i].toString().toLatin1();
        pic.pts = int64_t(times[i].toDouble(-1));
        out.pictures.push_back(pic);
    }
    out.error = o.value(QStringLiteral("error")).toString();
    out.ok = o.contains(QStringLiteral("md5")) && out.error.isEmpty();
    if (!o.contains(QStringLiteral("md5"))) out.error = QStringLiteral("no result for ") + path;
    return out;
}
