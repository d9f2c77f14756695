// tovanmuxer-cli: converts one H.264 Annex B file into an MP4 file, without a display.

#include <unistd.h>
#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

#include "convert/converter.h"
#include "convert/partfile.h"
#include "convert/streamfile.h"

namespace {

const char kUsage[] =
    "Usage: tovanmuxer-cli INPUT [-o OUTPUT] [--fps RATE] [--verbose]\n"
    "Wraps the raw H.264 stream INPUT (.h264, .h26x) into an MP4 file without re-encoding.\n"
    "\n"
    "  -o, --output OUTPUT  the MP4 file to write (default: INPUT with .h264 or .h26x,\n"
    "                       else its last extension, replaced by .mp4); never replaced\n"
    "  --fps RATE           frame rate to use instead of the stream's own, for streams\n"
    "                       without timing information: 30, 29.97 or 30000/1001\n"
    "  -v, --verbose        print the engine's debug lines\n"
    "  -h, --help           print this help\n"
    "  --version            print the version\n"
    "\n"
    "Exit status: 0 on success, 1 when the conversion failed, 2 on a usage error.\n";

bool verbose = false;

// The share of the input read, on one line of the terminal rewritten in place.
class ProgressLine {
public:
    bool Show(uint64_t done, uint64_t total) {
        const int percent = total ? int(done * 100 / total) : 0;
        if (percent != shown) {
            fprintf(stderr, "\rconverting %3d%%", percent);
            shown = percent;
        }
        return true;
    }
    void Clear() {
        if (shown >= 0) fprintf(stderr, "\r%16s\r", "");
        shown = -1;
    }

private:
    int shown = -1;
};
ProgressLine progressLine;

void MessageHandler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtDebugMsg && !verbose) return;
    progressLine.Clear();
    fprintf(stderr, "%s\n", qPrintable(msg));
}

int UsageError(const QString& what) {
    fprintf(stderr, "tovanmuxer-cli: %s\n%s", qPrintable(what),
            "Try 'tovanmuxer-cli --help' for more information.\n");
    return 2;
}

// The input's directory and its name with the window's rule: INPUT.h264 -> INPUT.mp4.
QString DefaultOutput(const QString& input) {
    const int slash = input.lastIndexOf(QLatin1Char('/')) + 1;
    return input.left(slash) + OutputNameFor(input.mid(slash));
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
                if (!ParseFrameRate(value, &fpsNum, &fpsDen))
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

    // Said after the summary: a stream without timing plays at 25 unless told otherwise.
    const bool assumed = !fpsNum && FirstSpsTiming(input) == StreamTiming::Absent;

    const RemoveOnSignal removePart(output + QStringLiteral(".part"));
    Converter converter;
    if (fpsNum) converter.SetFrameRateOverride(fpsNum, fpsDen);
    if (isatty(STDERR_FILENO))
        converter.SetProgressHook(
            [](uint64_t done, uint64_t total) { return progressLine.Show(done, total); });
    const std::string in = input.toStdString();
    const bool ok = converter.WriteH264File(in.c_str(), output);
    progressLine.Clear();
    if (!ok) {
        fprintf(stderr, "tovanmuxer-cli: %s\n", qPrintable(converter.LastError()));
        return 1;
    }
    const ConversionSummary& s = converter.Summary();
    printf("%llu pictures, %.3f s at %.3f fps, %dx%d -> %s\n",
           static_cast<unsigned long long>(s.pictures - s.hiddenPictures), s.durationSeconds,
           s.framesPerSecond, s.width, s.height, qPrintable(s.outputPath));
    if (s.hiddenPictures)
        printf(
            "%llu pictures before the first one a decoder can start from are kept in the file "
            "but not shown\n",
            static_cast<unsigned long long>(s.hiddenPictures));
    if (assumed)
        printf("the stream does not say its frame rate: 25 fps assumed; --fps sets another\n");
    return 0;
}
