// tovanmuxer-cli: converts one H.264 Annex B file into an MP4 file, without a display.

#include <unistd.h>
#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "convert/converter.h"

namespace {

const char kUsage[] =
    "Usage: tovanmuxer-cli INPUT [-o OUTPUT] [--fps RATE] [--verbose]\n"
    "Wraps the raw H.264 stream INPUT (.h264, .h26x) into an MP4 file without re-encoding.\n"
    "\n"
    "  -o, --output OUTPUT  the MP4 file to write (default: INPUT with .h264 or .h26x\n"
    "                       replaced by .mp4, else with .mp4 appended); never replaced\n"
    "  --fps RATE           frame rate to use instead of the stream's own, for streams\n"
    "                       without timing information: 30, 29.97 or 30000/1001\n"
    "  -v, --verbose        print the engine's debug lines\n"
    "  -h, --help           print this help\n"
    "  --version            print the version\n"
    "\n"
    "Exit status: 0 on success, 1 when the conversion failed, 2 on a usage error.\n";

bool verbose = false;

// The file being written, removed when the user interrupts the conversion.
char partPath[4096];

void OnInterrupt(int sig) {
    if (partPath[0]) unlink(partPath);
    signal(sig, SIG_DFL);
    raise(sig);
}

void MessageHandler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtDebugMsg && !verbose) return;
    fprintf(stderr, "%s\n", qPrintable(msg));
}

int UsageError(const QString& what) {
    fprintf(stderr, "tovanmuxer-cli: %s\n%s", qPrintable(what),
            "Try 'tovanmuxer-cli --help' for more information.\n");
    return 2;
}

// "30", "29.97", "30000/1001" -> num/den frames per second.
bool ParseRate(const QString& text, uint32_t* num, uint32_t* den) {
    static const QRegularExpression fraction(QStringLiteral("^(\\d{1,9})/(\\d{1,9})$"));
    static const QRegularExpression decimal(QStringLiteral("^(\\d{1,6})(?:\\.(\\d{1,3}))?$"));
    QRegularExpressionMatch m = fraction.match(text);
    if (m.hasMatch()) {
        *num = m.captured(1).toUInt();
        *den = m.captured(2).toUInt();
    } else if ((m = decimal.match(text)).hasMatch()) {
        const QString frac = m.captured(2);
        uint32_t scale = 1;
        for (int i = 0; i < frac.size(); ++i) scale *= 10;
        *num = m.captured(1).toUInt() * scale + (frac.isEmpty() ? 0 : frac.toUInt());
        *den = scale;
        // The NTSC family is meant as 1001 fractions: 29.97 = 30000/1001.
        const double v = double(*num) / *den;
        for (uint32_t base : {24u, 30u, 48u, 60u, 120u}) {
            const double ntsc = base * 1000.0 / 1001.0;
            if (*den > 1 && v > ntsc - 0.006 && v < ntsc + 0.006) {
                *num = base * 1000;
                *den = 1001;
            }
        }
    } else {
        return false;
    }
    return *num > 0 && *den > 0 && double(*num) / *den <= 1000.0;
}

QString DefaultOutput(const QString& input) {
    for (const char* ext : {".h264", ".h26x"}) {
        if (input.endsWith(QLatin1String(ext)))
            return input.left(input.size() - 5) + QStringLiteral(".mp4");
    }
    return input + QStringLiteral(".mp4");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(MessageHandler);
    const QStringList args = app.arguments();
    QString input, output;
    uint32_t fpsNum = 0, fpsDen = 0;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == QLatin1String("--version")) {
            printf("tovanmuxer-cli %s\n", TOVANMUXER_VERSION);
            return 0;
        } else if (a == QLatin1String("-v") || a == QLatin1String("--verbose")) {
            verbose = true;
        } else if (a == QLatin1String("-o") || a == QLatin1String("--output") ||
                   a == QLatin1String("--fps")) {
            if (i + 1 >= args.size()) return UsageError(a + QStringLiteral(" needs a value"));
            const QString value = args[++i];
            if (a == QLatin1String("--fps")) {
                if (!ParseRate(value, &fpsNum, &fpsDen))
                    return UsageError(QStringLiteral("not a frame rate: ") + value);
            } else {
                output = value;
            }
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            return UsageError(QStringLiteral("unknown option ") + a);
        } else if (input.isEmpty()) {
            input = a;
        } else {
            return UsageError(QStringLiteral("more than one input: ") + a);
        }
    }
    if (input.isEmpty()) return UsageError(QStringLiteral("no input file"));
    if (output.isEmpty()) output = DefaultOutput(input);

    const QByteArray part = (output + QStringLiteral(".part")).toUtf8();
    if (size_t(part.size()) < sizeof partPath) {
        memcpy(partPath, part.constData(), size_t(part.size()) + 1);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, OnInterrupt);
    }

    Converter converter;
    if (fpsNum) converter.SetFrameRateOverride(fpsNum, fpsDen);
    const std::string in = input.toStdString();
    if (!converter.WriteH264File(in.c_str(), output)) {
        fprintf(stderr, "tovanmuxer-cli: %s\n", qPrintable(converter.LastError()));
        return 1;
    }
    const ConversionSummary& s = converter.Summary();
    printf("%llu pictures, %.3f s at %.3f fps, %dx%d -> %s\n",
           static_cast<unsigned long long>(s.pictures), s.durationSeconds, s.framesPerSecond,
           s.width, s.height, qPrintable(s.outputPath));
    return 0;
}
