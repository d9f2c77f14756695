// tovanmuxer-cli: converts one H.264 or H.265 Annex B file into an MP4 file, without a display,
// or records a stream from a pipe into a fragmented MP4 file.

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
    "Usage: tovanmuxer-cli INPUT [-o OUTPUT] [--fps RATE] [--fragment SECONDS] [--verbose]\n"
    "Wraps the raw H.264 or H.265 stream INPUT (.h264, .h26x, .h265, .hevc, .265) into an MP4\n"
    "file without re-encoding. The codec is told by the stream's bytes, not by the name.\n"
    "INPUT - is standard input; it and any pipe or FIFO are recorded as they come.\n"
    "\n"
    "  -o, --output OUTPUT  the MP4 file to write (default: INPUT with .h264 or .h26x,\n"
    "                       else its last extension, replaced by .mp4); never replaced;\n"
    "                       an existing directory receives the file under that name;\n"
    "                       - writes a fragmented MP4 to standard output\n"
    "  --fps RATE           frame rate to use instead of the stream's own, for streams\n"
    "                       without timing information: 30, 29.97 or 30000/1001\n"
    "  --fragment SECONDS   a fragmented MP4 whose fragments of at least SECONDS each\n"
    "                       reach the disk one by one, under the final name from the start;\n"
    "                       SIGINT, SIGTERM, SIGHUP or the end of the input end it cleanly\n"
    "                       (default: 1 for a pipe or FIFO, 0 for a file; 0: not fragmented)\n"
    "  -v, --verbose        print the engine's debug lines\n"
    "  -h, --help           print this help\n"
    "  --version            print the version\n"
    "  --                   what follows is the input, even if it begins with -\n"
    "\n"
    "Exit status: 0 on success, 1 when the conversion failed, 2 on a usage error.\n";

bool verbose = false;

// The share of the input read, or for a stream the pictures and duration so far, on one line of
// the terminal rewritten in place.
class ProgressLine {
public:
    bool Show(uint64_t done, uint64_t total) {
        const int percent = total ? int(std::min(done, total) * 100 / total) : 0;
        if (percent != shown) {
            width = fprintf(stderr, "\rconverting %3d%%", percent);
            shown = percent;
        }
        return true;
    }
    bool ShowStream(uint64_t pictures, double seconds) {
        if (int64_t(pictures) != shown) {
            width = fprintf(stderr, "\rrecording: %llu pictures, %.1f s",
                            static_cast<unsigned long long>(pictures), seconds);
            shown = int64_t(pictures);
        }
        return true;
    }
    void Clear() {
        if (shown >= 0) fprintf(stderr, "\r%*s\r", std::max(width - 1, 16), "");
        shown = -1;
    }

private:
    int64_t shown = -1;
    int width = 0;
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

// The signal that ends a recording, set by its handler; the converter's read loop looks at it.
volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int sig) {
    stopSignal = sig;
}

// SIGINT, SIGTERM and SIGHUP end a recording cleanly, unless they are ignored (nohup) or
// somebody else handles them. Without SA_RESTART, a read that waits is woken.
void TakeStopSignals() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now;
        if (sigaction(sig, nullptr, &now) != 0 || now.sa_handler != SIG_DFL ||
            (now.sa_flags & SA_SIGINFO))
            continue;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = OnStopSignal;
        sigaction(sig, &sa, nullptr);
    }
}

const char* SignalName(int sig) {
    switch (sig) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

// Whether the input is a pipe, FIFO or socket rather than a file.
bool IsStream(const QByteArray& input) {
    struct stat st;
    const int r = input == "-" ? fstat(STDIN_FILENO, &st) : stat(input.constData(), &st);
    return r == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

// The summary on standard output (standard error when the MP4 file goes there), which may be a
// pipe nobody reads any more: that ends the printing, not the program, whose file is in place by
// then.
int PrintSummary(const Converter& converter, const QByteArray& output, const QByteArray& input,
                 bool assumed) {
    signal(SIGPIPE, SIG_IGN);
    FILE* out = output == "-" ? stderr : stdout;
    const ConversionSummary& s = converter.Summary();
    if (s.InputChangedSize())
        fprintf(stderr,
                "tovanmuxer-cli: warning: %s changed size during the conversion (%llu bytes at the "
                "start, %llu at the end); the output holds the %llu bytes read\n",
                input.constData(), static_cast<unsigned long long>(s.inputSizeAtStart),
                static_cast<unsigned long long>(s.inputSizeAtEnd),
                static_cast<unsigned long long>(s.inputBytesRead));
    fprintf(out, "%llu pictures, %.3f s at %.3f fps, %dx%d -> %s",
            static_cast<unsigned long long>(s.pictures - s.hiddenPictures), s.durationSeconds,
            s.framesPerSecond, s.width, s.height,
            output == "-" ? "standard output" : output.constData());
    if (s.fragments)
        fprintf(out, " in %llu fragments, ended by %s",
                static_cast<unsigned long long>(s.fragments),
                s.stopSignal ? SignalName(s.stopSignal) : "the end of the input");
    fputc('\n', out);
    if (s.hiddenPictures)
        fprintf(out,
                "%llu pictures before the first one a decoder can start from are kept in the file "
                "but not shown\n",
                static_cast<unsigned long long>(s.hiddenPictures));
    if (s.droppedPictures)
        fprintf(out, "%llu pictures before the first one a decoder can start from are left out\n",
                static_cast<unsigned long long>(s.droppedPictures));
    if (assumed)
        fprintf(out,
                "the stream does not say its frame rate: 25 fps assumed; --fps sets another\n");
    if (fflush(out) != 0 && errno != EPIPE)
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
    double fragment = -1;  // seconds; below 0: as the input asks
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
        } else if (options && (a == "-o" || a == "--output" || a == "--fps" || a == "--fragment")) {
            if (i + 1 >= argc) return UsageError(a + " needs a value");
            const QByteArray value(argv[++i]);
            bool number = false;
            if (a == "--fragment") {
                fragment = value.toDouble(&number);
                if (!number || !(fragment >= 0 && fragment <= 3600))
                    return UsageError("not a fragment length in seconds (0 to 3600): " + value);
            } else if (a == "--fps") {
                if (!ParseFrameRate(QString::fromLocal8Bit(value), &fpsNum, &fpsDen))
                    return UsageError("not a frame rate: " + value);
            } else if (value.isEmpty()) {
                return UsageError(a + " needs a file name");
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
    // Only a fragmented file can be written without going back: one of a stream by default,
    // one of a file when asked for.
    const bool stream = IsStream(input);
    if (output == "-" && (fragment == 0 || (fragment < 0 && !stream)))
        return UsageError(
            "cannot write an unfragmented MP4 file to standard output (-o -): --fragment "
            "SECONDS writes a fragmented one; use ./- for a file named -");
    if (input == "-" && !haveOutput) return UsageError("standard input needs -o OUTPUT");
    const QByteArray name = DefaultName(input);
    if (!haveOutput) {
        output = input.left(input.lastIndexOf('/') + 1) + name;
    } else if (output != "-" && IsDirectory(output)) {
        // Into the directory, as cp and mv do.
        output += (output.endsWith('/') ? "" : "/") + name;
    }

    // Said after the summary: a stream without timing plays at 25 unless told otherwise. A
    // stream is not read ahead; the conversion tells.
    const bool fragmented = fragment > 0 || (fragment < 0 && stream);
    bool assumed = !fpsNum && !stream && input != "-" &&
                   FirstSpsTiming(input.constData()) == StreamTiming::Absent;

    Converter converter;
    if (fpsNum) converter.SetFrameRateOverride(fpsNum, fpsDen);
    converter.SetFragmentSeconds(fragment);
    if (isatty(STDERR_FILENO))
        converter.SetProgressHook([&converter, stream](uint64_t done, uint64_t total) {
            return stream ? progressLine.ShowStream(converter.PicturesSoFar(),
                                                    converter.SecondsSoFar())
                          : progressLine.Show(done, total);
        });
    bool ok;
    if (fragmented) {
        // A recording keeps every complete fragment: a signal ends it, not the file.
        TakeStopSignals();
        converter.SetStopFlag(&stopSignal);
        ok = converter.WriteH264File(input.constData(), output.toStdString());
    } else {
        const RemoveOnSignal removePart;
        ok = converter.WriteH264File(input.constData(), output.toStdString());
    }
    if (ok && (stream || input == "-")) assumed = !fpsNum && converter.Summary().rateAssumed;
    progressLine.Clear();
    if (!ok) {
        fprintf(stderr, "tovanmuxer-cli: %s\n", qPrintable(converter.LastError()));
        return 1;
    }
    return PrintSummary(converter, output, input, assumed);
}
