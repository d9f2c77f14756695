// tovanmuxer-cli: converts H.264 or H.265 Annex B files into MP4 files, each into its own or
// several joined into one, without a display.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "convert/converter.h"
#include "convert/partfile.h"
#include "convert/streamfile.h"

namespace {

const char kUsage[] =
    "Usage: tovanmuxer-cli INPUT... [-o OUTPUT] [--fps RATE] [--timestamps FILE] [--faststart]\n"
    "                    [--verbose]\n"
    "       tovanmuxer-cli --join INPUT... [-o OUTPUT] [--fps RATE] [--timestamps FILE]\n"
    "Wraps the raw H.264 or H.265 stream INPUT (.h264, .h26x, .h265, .hevc, .265) into an MP4\n"
    "file without re-encoding. The codec is told by the stream's bytes, not by the name.\n"
    "Several inputs are converted each into its own MP4 file, beside it or into the directory\n"
    "OUTPUT; the others go on when one fails.\n"
    "\n"
    "  -o, --output OUTPUT  the MP4 file to write (default: INPUT with .h264 or .h26x,\n"
    "                       else its last extension, replaced by .mp4); never replaced;\n"
    "                       an existing directory receives the file under that name\n"
    "  --join               write the inputs, segments of one recording, into one MP4 file,\n"
    "                       in the order given, each one's times following the one before\n"
    "  --fps RATE           frame rate to use instead of the stream's own, for streams\n"
    "                       without timing information: 30, 29.97 or 30000/1001\n"
    "  --timestamps FILE    the pictures' presentation times, from a timestamp file:\n"
    "                       format v2 (a time in milliseconds a line) or v1 (ranges)\n"
    "  --faststart          put the index (moov) in front of the media data, so that a\n"
    "                       player can start before the whole file is there\n"
    "  -v, --verbose        print the engine's debug lines\n"
    "  -h, --help           print this help\n"
    "  --version            print the version\n"
    "  --                   what follows is the input, even if it begins with -\n"
    "\n"
    "Exit status: 0 on success, 1 when a conversion failed, 2 on a usage error.\n";

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
void PrintSummary(const Converter& converter, const QByteArray& output, bool assumed) {
    signal(SIGPIPE, SIG_IGN);
    for (const QString& w : converter.Warnings())
        fprintf(stderr, "tovanmuxer-cli: warning: %s\n", qPrintable(w));
    const ConversionSummary& s = converter.Summary();
    const QStringList lines = SummaryLines(s, assumed);
    for (int i = 0; i < lines.size(); ++i) {
        // The output's name as given, byte for byte.
        if (i == 0)
            printf("%s%s\n", qPrintable(lines[i].chopped(s.outputPath.size())), output.constData());
        else
            printf("%s\n", qPrintable(lines[i]));
    }
    if (fflush(stdout) != 0 && errno != EPIPE)
        fprintf(stderr, "tovanmuxer-cli: cannot print the summary: %s\n", strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(MessageHandler);
    // The arguments as bytes: a file name need not be text in any encoding.
    QList<QByteArray> inputs;
    QByteArray output, timestamps;
    bool haveOutput = false;
    bool options = true;
    bool join = false;
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
        } else if (options && a == "--join") {
            join = true;
        } else if (options &&
                   (a == "-o" || a == "--output" || a == "--fps" || a == "--timestamps")) {
            if (i + 1 >= argc) return UsageError(a + " needs a value");
            const QByteArray value(argv[++i]);
            if (a == "--fps") {
                if (!ParseFrameRate(QString::fromLocal8Bit(value), &fpsNum, &fpsDen))
                    return UsageError("not a frame rate: " + value);
            } else if (value.isEmpty()) {
                return UsageError(a + " needs a file name");
            } else if (a == "--timestamps") {
                timestamps = value;
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
        } else if (a.isEmpty()) {
            return UsageError("an empty input name");
        } else {
            inputs << a;
        }
    }
    if (inputs.isEmpty()) return UsageError("no input file");
    const bool several = inputs.size() > 1 && !join;
    if (several && haveOutput && !IsDirectory(output))
        return UsageError("-o must name an existing directory when there are several inputs: " +
                          output);
    if (several && !timestamps.isEmpty())
        return UsageError("--timestamps goes with one input, or with --join");

    Converter converter;
    if (fpsNum) converter.SetFrameRateOverride(fpsNum, fpsDen);
    converter.SetFastStart(fastStart);
    converter.SetTimestampFile(timestamps.toStdString());
    if (isatty(STDERR_FILENO))
        converter.SetProgressHook(
            [](uint64_t done, uint64_t total) { return progressLine.Show(done, total); });
    // A signal ends the run and removes the file being written; those finished stay.
    const RemoveOnSignal removePart;
    // One conversion for each input, or one of all of them.
    const qsizetype runs = join ? 1 : inputs.size();
    int failures = 0;
    for (qsizetype r = 0; r < runs; ++r) {
        const QByteArray& input = inputs[r];
        const QByteArray name = DefaultName(input);
        QByteArray out = output;
        if (!haveOutput) {
            out = input.left(input.lastIndexOf('/') + 1) + name;
        } else if (IsDirectory(output)) {
            // Into the directory, as cp and mv do.
            out += (output.endsWith('/') ? "" : "/") + name;
        }
        // Said after the summary: a stream without timing plays at 25 unless told otherwise.
        const bool assumed = !fpsNum && timestamps.isEmpty() &&
                             FirstSpsTiming(input.constData()) == StreamTiming::Absent;
        std::vector<std::string> segments{input.toStdString()};
        if (join)
            for (qsizetype k = 1; k < inputs.size(); ++k)
                segments.push_back(inputs[k].toStdString());
        const bool ok = converter.WriteH264Files(segments, out.toStdString());
        progressLine.Clear();
        if (!ok) {
            ++failures;
            if (runs > 1)
                fprintf(stderr, "tovanmuxer-cli: %s: %s\n", input.constData(),
                        qPrintable(converter.LastError()));
            else
                fprintf(stderr, "tovanmuxer-cli: %s\n", qPrintable(converter.LastError()));
            continue;
        }
        PrintSummary(converter, out, assumed);
    }
    return failures ? 1 : 0;
}
