// Real streams made at run time: ffmpeg's test pattern through x264 or x265.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

struct EncodeOptions {
    bool h265 = false;
    int pictures = 30;
    QString size = QStringLiteral("160x120");
    int fps = 30;  // the rate the stream's VUI says
    int bframes = 0;
    int keyint = 250;         // IRAP pictures this many pictures apart at most
    bool dropThirds = false;  // every third picture of the source left out, as a camera drops
    QString pattern = QStringLiteral("testsrc");
};

// Encodes into the raw stream file `path`; false when a tool failed.
inline bool EncodeTestPattern(const QString& path, const EncodeOptions& o) {
    const QString select =
        o.dropThirds ? QStringLiteral("-vf select='not(eq(mod(n\\,3)\\,2))' ") : QString();
    const QString source = QStringLiteral(
                               "ffmpeg -v error -f lavfi -i %1=size=%2:rate=%3 %4-frames:v %5 "
                               "-pix_fmt yuv420p -f yuv4mpegpipe - | ")
                               .arg(o.pattern, o.size)
                               .arg(o.fps)
                               .arg(select)
                               .arg(o.pictures);
    const QString encoder = o.h265 ? QStringLiteral(
                                         "x265 --log-level error --y4m --input - --no-scenecut "
                                         "--bframes %1 --keyint %2 --fps %3 -o '%4'")
                                   : QStringLiteral(
                                         "x264 --quiet --demuxer y4m --no-scenecut --bframes %1 "
                                         "--keyint %2 --fps %3 -o '%4' -");
    QProcess p;
    p.start(
        QStringLiteral("sh"),
        {QStringLiteral("-c"), source + encoder.arg(o.bframes).arg(o.keyint).arg(o.fps).arg(path)});
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}
