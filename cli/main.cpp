// tovanmuxer-cli: converts one H.264 or H.265 Annex B file into an MP4 file, without a display.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "convert/converter.h"
#include "convert/partfile.h"
#include "convert/streamfile.h"

namespace {

const char kUsage[] =
    "Usage: tovanmuxer-cli INPUT [-o OUTPUT] [--fps RATE] [--faststart] [--verbose]\n"
    "Wraps the raw H.264 or H.265 stream INPUT (.h264, .h26x, .h265, .hevc, .265) into an MP4\n"
    "file without re-encoding. The codec is told by the stream's bytes, not by the name.\n"
    "\n"
    "  -o, --output OUTPUT  the MP4 file to write (default: INPUT with .h264 or .h26x,\n"
    "                       else its last extension, replaced by .mp4); never replaced;\n"
    "                       an existing directory receives the file under that name\n"
    "  --fps RATE           frame rate to use instead of the stream's own, for streams\n"
    "                       without timing information: 30, 29.97 or 30000/1001\n"
    "  --faststart          put the index (moov) in front of the media data, so that a\n"
    "                       player can start before the whole file is there\n"
    "  -v, --verbose        print the engine's debug lines\n"
    "  -h, --help           print this help\n"
    "  --version            print the version\n"
    "  --                   what follows is the input, even if it begins with -\n"
    "\n"
    "Exit status: 0 on success, 1 when the conversion failed, 2 on a usage error.\n";

bool verbose = false;

// The share of the input read, on one line of the terminal rewritten in place.
class ProgressLine {
public:
    bool Show(uint64_t done, uint64_t total) {
        const int percent = total ? int(std::min(done, total) * 100 / total) : 0;
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

int UsageError(const QByteArray& what) {
    fprintf(stderr, "tovanmuxer-cli: %s\n%s", what.constData(),
            "Try 'tovanmuxer-cli --help' for more information.\n");
    return 2;
}

// The input's directory and its name with the window's rule: INPUT.h264 -> INPUT.mp4. The rule
// touches ASCII only, so Latin-1 carries the other bytes of a name through unchanged.
QByteArray DefaultName(const QByteArray& input) {
    return OutputNameFor(QString::fromLatin1(input.mid(input.lastIndexOf('/') + 1))).toLatin1();
}

bool IsDirectory(const QByteArray& path) {
    struct stat st;
    return stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The summary on standard output, which may be a pipe nobody reads any more: that ends the
// printing, not the program, whose file is in place by then.
int PrintSummary(const Converter& converter, const QByteArray& output, const QByteArray& input,
                 bool assumed) {
    signal(SIGPIPE, SIG_IGN);
    for (const QString& w : converter.Warnings())
        fprintf(stderr, "tovanmuxer-cli: warning: %s\n", qPrintable(w));
    const ConversionSummary& s = converter.Summary();
    if (s.InputChangedSize())
        fprintf(stderr,
                "tovanmuxer-cli: warning: %s changed size during the conversion (%llu bytes at the "
                "start, %llu at the end); the output holds the %llu bytes read\n",
                input.constData(), static_cast<unsigned long long>(s.inputSizeAtStart),
                static_cast<unsigned long long>(s.inputSizeAtEnd),
                static_cast<unsigned long long>(s.inputBytesRead));
    printf("%llu pictures, %.3f s at %.3f fps, %dx%d -> %s\n",
           static_cast<unsigned long long>(s.pictures - s.hiddenPictures), s.durationSeconds,
           s.framesPerSecond, s.width, s.height, output.constData());
    if (s.hiddenPictures)
        printf(
            "%llu pictures before the first one a decoder can start from are kept in the file "
            "but not shown\n",
            static_cast<unsigned long long>(s.hiddenPictures));
    if (assumed)
        printf("the stream does not say its frame rate: 25 fps assumed; --fps sets another\n");
    if (fflush(stdout) != 0 && errno != EPIPE)
        fprintf(stderr, "tovanmuxer-cli: cannot print the summary: %s\n", strerror(errno));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(MessageHandler);
    // The arguments as bytes: a file name need not be text in any encoding.
    QByteArray input, output;
    bool haveOutput = false;
    bool options = true;
    uint32_t fpsNum = 0, fpsDen = 0;
    bool fastStart = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (options && a == "--") {
            options = false;
        } else if (options && (a == "-h" || a == "--help")) {
            fputs(kUsage, stdout);
            return 0;
        } else if (options && a == "--version") {
            printf("tovanmuxer-cli %s\n", TOVANMUXER_VERSION);
            return 0;
        } else if (options && (a == "-v" || a == "--verbose")) {
            verbose = true;
        } else if (options && a == "--faststart") {
            fastStart = true;
        } else if (options && (a == "-o" || a == "--output" || a == "--fps")) {
            if (i + 1 >= argc) return UsageError(a + " needs a value");
            const QByteArray value(argv[++i]);
            if (a == "--fps") {
                if (!ParseFrameRate(QString::fromLocal8Bit(value), &fpsNum, &fpsDen))
                    return UsageError("not a frame rate: " + value);
            } else if (value.isEmpty()) {
                return UsageError(a + " needs a file name");
            } else if (value == "-") {
                return UsageError(
                    "cannot write an MP4 file to standard output (-o -); use ./- "
                    "for a file named -");
            } else {
                output = value;
                haveOutput = true;
            }
        } else if (options && a.startsWith('-') && a.size() > 1) {
            return UsageError("unknown option " + a);
        } else if (input.isEmpty()) {
            input = a;
            if (input.isEmpty()) return UsageError("an empty input name");
        } else {
            return UsageError("more than one input: " + a);
        }
    }
    if (input.isEmpty()) return UsageError("no input file");
    const QByteArray name = DefaultName(input);
    if (!haveOutput) {
        output = input.left(input.lastIndexOf('/') + 1) + name;
    } else if (IsDirectory(output)) {
        // Into the directory, as cp and mv do.
        output += (output.endsWith('/') ? "" : "/") + name;
    }

    // Said after the summary: a stream without timing plays at 25 unless told otherwise.
    const bool assumed = !fpsNum && FirstSpsTiming(input.constData()) == StreamTiming::Absent;

    Converter converter;
    if (fpsNum) converter.SetFrameRateOverride(fpsNum, fpsDen);
    converter.SetFastStart(fastStart);
    if (isatty(STDERR_FILENO))
        converter.SetProgressHook(
            [](uint64_t done, uint64_t total) { return progressLine.Show(done, total); });
    bool ok;
    {
        const RemoveOnSignal removePart;
        ok = converter.WriteH264File(input.constData(), output.toStdString());
    }
    progressLine.Clear();
    if (!ok) {
        fprintf(stderr, "tovanmuxer-cli: %s\n", qPrintable(converter.LastError()));
        return 1;
    }
    return PrintSummary(converter, output, input, assumed);
}
