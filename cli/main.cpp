// tovanmuxer-cli: converts H.264 or H.265 Annex B files into MP4 files, each into its own or
// several joined into one, without a display, or records a stream from a pipe into a fragmented
// MP4 file.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "convert/converter.h"
#include "convert/partfile.h"
#include "convert/streamfile.h"

namespace {

const char kUsage[] =
    "Usage: tovanmuxer-cli INPUT... [-o OUTPUT] [--fps RATE] [--timestamps FILE]\n"
    "                      [--fragment SECONDS] [--faststart] [--verbose]\n"
    "       tovanmuxer-cli INPUT --audio SOUND [--audio-offset SECONDS] [-o OUTPUT] ...\n"
    "       tovanmuxer-cli --join INPUT... [-o OUTPUT] [--fps RATE] [--timestamps FILE]\n"
    "       tovanmuxer-cli --join-in-order INPUT... [-o OUTPUT] ...\n"
    "Wraps the raw H.264 or H.265 stream INPUT (.h264, .h26x, .h265, .hevc, .265) into an MP4\n"
    "file without re-encoding. The codec is told by the stream's bytes, not by the name.\n"
    "Camera and DVR files that wrap such a stream (HXVS/HXVT, DHAV .dav) are read with their\n"
    "pictures' times, their sound and their recording date.\n"
    "Several inputs are converted each into its own MP4 file, beside it or into the directory\n"
    "OUTPUT; the others go on when one fails. INPUT - is standard input; it and any pipe or\n"
    "FIFO are recorded as they come.\n"
    "\n"
    "  -o, --output OUTPUT  the MP4 file to write (default: INPUT with .h264 or .h26x,\n"
    "                       else its last extension, replaced by .mp4); never replaced;\n"
    "                       an existing directory receives the file under that name;\n"
    "                       - writes a fragmented MP4 to standard output\n"
    "  --join               write the inputs, segments of one recording, into one MP4 file,\n"
    "                       in the order of their names with numbers counted as numbers\n"
    "                       (seg2 before seg10, whatever order the shell gives), each\n"
    "                       one's times following the one before\n"
    "  --join-in-order      the same, in the order given\n"
    "  --fps RATE           frame rate to use instead of the stream's own, for streams\n"
    "                       without timing information: 30, 29.97 or 30000/1001\n"
    "  --timestamps FILE    the pictures' presentation times, from a timestamp file:\n"
    "                       format v2 (a time in milliseconds a line) or v1 (ranges)\n"
    "  --fragment SECONDS   a fragmented MP4 whose fragments of at least SECONDS each\n"
    "                       reach the disk one by one, under the final name from the first;\n"
    "                       SIGINT, SIGTERM, SIGHUP or the end of the input end it cleanly\n"
    "                       (default: 1 for a pipe or FIFO, 0 for a file; 0: not fragmented)\n"
    "  --faststart          put the index (moov) in front of the media data, so that a\n"
    "                       player can start before the whole file is there\n"
    "  --audio SOUND        put the sound file SOUND beside the pictures, without\n"
    "                       re-encoding: ADTS AAC, MP3, WAV, or by its name headerless\n"
    "                       G.711 (.alaw .al .g711a, .ulaw .ul .mulaw .g711u: 8000 Hz\n"
    "                       mono) or 16-bit PCM (.pcm .raw .s16le: 48000 Hz stereo);\n"
    "                       a pipe or FIFO is recorded as it comes\n"
    "  --audio-offset SECONDS  when the sound starts: its first sample plays with the\n"
    "                       first picture; > 0 delays it, < 0 skips its beginning\n"
    "  --audio-rate HZ      the sample rate of headerless sound\n"
    "  --audio-channels N   the channels of headerless sound\n"
    "  --date DATE          the recording's start, for the MP4's creation time:\n"
    "                       \"2026-12-07 14:03:59\" (local time), or with Z or +01:00\n"
    "  -v, --verbose        print the engine's debug lines\n"
    "  -h, --help           print this help\n"
    "  --version            print the version\n"
    "  --                   what follows is the input, even if it begins with -\n"
    "\n"
    "Exit status: 0 on success, 1 when a conversion failed, 2 on a usage error.\n";

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
// somebody else handles them. Without SA_RESTART, a read that waits is woken. Past the file size
// limit a write fails with EFBIG, as on a full disk, and the recording keeps what it has.
void TakeStopSignals() {
    struct sigaction size;
    if (sigaction(SIGXFSZ, nullptr, &size) == 0 && size.sa_handler == SIG_DFL)
        signal(SIGXFSZ, SIG_IGN);
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
// A join's summary also names its first and last segment, `joined`.
void PrintSummary(const Converter& converter, const QByteArray& output, bool assumed,
                  const QList<QByteArray>& joined) {
    signal(SIGPIPE, SIG_IGN);
    for (const QString& w : converter.Warnings())
        fprintf(stderr, "tovanmuxer-cli: warning: %s\n", qPrintable(w));
    FILE* out = output == "-" ? stderr : stdout;
    const ConversionSummary& s = converter.Summary();
    if (s.nothingRecorded) {
        fprintf(out, "nothing was recorded: %s came before the first picture\n",
                SignalName(s.stopSignal));
        fflush(out);
        return;
    }
    const QStringList lines = SummaryLines(s, assumed);
    // A fragmented file says in how many fragments, a recording how it ended.
    QString fragments;
    if (s.fragments)
        fragments = s.fragments == 1 ? QStringLiteral(" in 1 fragment")
                                     : QStringLiteral(" in %1 fragments").arg(s.fragments);
    if (s.fragments && s.streamInput)
        fragments += QStringLiteral(", ended by %1")
                         .arg(QLatin1String(s.stopSignal ? SignalName(s.stopSignal)
                                                         : "the end of the input"));
    for (int i = 0; i < lines.size(); ++i) {
        // The output's name as given, byte for byte.
        if (i == 0)
            fprintf(out, "%s%s%s\n", qPrintable(lines[i].chopped(s.outputPath.size())),
                    output == "-" ? "standard output" : output.constData(), qPrintable(fragments));
        else
            fprintf(out, "%s\n", qPrintable(lines[i]));
    }
    if (joined.size() > 1)
        fprintf(out, "joined %d segments, first %s, last %s\n", int(joined.size()),
                joined.first().constData(), joined.last().constData());
    if (fflush(out) != 0 && errno != EPIPE)
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
    bool inOrder = false;  // a join in the order given
    uint32_t fpsNum = 0, fpsDen = 0;
    bool fastStart = false;
    double fragment = -1;  // seconds; below 0: as the input asks
    QByteArray audioPath;
    AudioOptions audioOptions;
    double audioOffset = 0;
    RecordingDate date;
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
        } else if (options && a == "--join-in-order") {
            join = inOrder = true;
        } else if (options &&
                   (a == "-o" || a == "--output" || a == "--fps" || a == "--timestamps" ||
                    a == "--fragment" || a == "--audio" || a == "--audio-offset" ||
                    a == "--audio-rate" || a == "--audio-channels" || a == "--date")) {
            if (i + 1 >= argc) return UsageError(a + " needs a value");
            const QByteArray value(argv[++i]);
            bool number = false;
            if (a == "--date") {
                if (!ParseDateText(value.toStdString(), &date.utcSeconds))
                    return UsageError(
                        "not a date and time (\"2026-12-07 14:03:59\", with Z "
                        "or +01:00 when not local): " +
                        value);
                date.source = RecordingDate::Source::User;
            } else if (a == "--audio-offset") {
                audioOffset = value.toDouble(&number);
                if (!number || !(audioOffset >= -86400 && audioOffset <= 86400))
                    return UsageError("not an offset in seconds: " + value);
            } else if (a == "--audio-rate") {
                const uint32_t rate = value.toUInt(&number);
                if (!number || rate < 1000 || rate > 768000)
                    return UsageError("not a sample rate in Hz (1000 to 768000): " + value);
                audioOptions.sampleRate = rate;
            } else if (a == "--audio-channels") {
                const uint32_t channels = value.toUInt(&number);
                if (!number || channels < 1 || channels > 64)
                    return UsageError("not a number of channels (1 to 64): " + value);
                audioOptions.channels = uint16_t(channels);
            } else if (a == "--audio") {
                if (value.isEmpty()) return UsageError(a + " needs a file name");
                audioPath = value;
            } else if (a == "--fragment") {
                fragment = value.toDouble(&number);
                if (!number || !(fragment >= 0 && fragment <= 3600))
                    return UsageError("not a fragment length in seconds (0 to 3600): " + value);
            } else if (a == "--fps") {
                if (!ParseFrameRate(QString::fromLocal8Bit(value), &fpsNum, &fpsDen))
                    return UsageError("not a frame rate: " + value);
            } else if (value.isEmpty()) {
                return UsageError(a + " needs a file name");
            } else if (a == "--timestamps") {
                timestamps = value;
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
    // The shell lists night/*.h264 as text (seg1, seg10, seg2): a join takes the segments as a
    // camera numbers them.
    if (join && !inOrder)
        std::stable_sort(inputs.begin(), inputs.end(),
                         [](const QByteArray& a, const QByteArray& b) {
                             return NameBefore(QFile::decodeName(a), QFile::decodeName(b));
                         });
    const bool several = inputs.size() > 1 && !join;
    if (several && haveOutput && !IsDirectory(output))
        return UsageError("-o must name an existing directory when there are several inputs: " +
                          output);
    if (several && !timestamps.isEmpty())
        return UsageError("--timestamps goes with one input, or with --join");
    if (several && !audioPath.isEmpty())
        return UsageError("--audio goes with one input, or with --join");
    if (audioPath.isEmpty() &&
        (audioOffset != 0 || audioOptions.sampleRate || audioOptions.channels))
        return UsageError("--audio-offset, --audio-rate and --audio-channels go with --audio");
    if (audioPath == "-" && inputs.contains("-"))
        return UsageError("the pictures and the sound cannot both come from standard input");
    // Only a fragmented file can be written without going back: one of a stream by default,
    // one of a file when asked for.
    bool anyStream = false;
    for (const QByteArray& input : inputs) anyStream = anyStream || IsStream(input);
    if (output == "-" && (fragment == 0 || (fragment < 0 && !IsStream(inputs[0]))))
        return UsageError(
            "cannot write an unfragmented MP4 file to standard output (-o -): --fragment "
            "SECONDS writes a fragmented one; use ./- for a file named -");
    if (inputs.contains("-") && !haveOutput) return UsageError("standard input needs -o OUTPUT");
    // A reader of standard output that goes away is a failure the conversion reports, with
    // what the reader got, not a signal that ends the program unseen.
    if (output == "-") signal(SIGPIPE, SIG_IGN);

    Converter converter;
    if (fpsNum) converter.SetFrameRateOverride(fpsNum, fpsDen);
    converter.SetFastStart(fastStart);
    converter.SetTimestampFile(timestamps.toStdString());
    converter.SetFragmentSeconds(fragment);
    converter.SetRecordingDate(date);
    if (!audioPath.isEmpty())
        converter.SetAudioFile(audioPath.toStdString(), audioOptions, audioOffset);
    bool stream = false;  // the input being converted
    if (isatty(STDERR_FILENO))
        converter.SetProgressHook([&converter, &stream](uint64_t done, uint64_t total) {
            return stream ? progressLine.ShowStream(converter.PicturesSoFar(),
                                                    converter.SecondsSoFar())
                          : progressLine.Show(done, total);
        });
    // A recording (a fragmented file of a stream) keeps every complete fragment: SIGINT,
    // SIGTERM and SIGHUP end it cleanly. Otherwise a signal ends the run and removes the file
    // being written; those finished stay.
    const bool recording = fragment != 0 && anyStream;
    std::unique_ptr<RemoveOnSignal> removePart;
    if (recording) {
        TakeStopSignals();
        converter.SetStopFlag(&stopSignal);
    } else {
        removePart = std::make_unique<RemoveOnSignal>();
    }
    // One conversion for each input, or one of all of them.
    const qsizetype runs = join ? 1 : inputs.size();
    int failures = 0;
    for (qsizetype r = 0; r < runs && !stopSignal; ++r) {
        const QByteArray& input = inputs[r];
        const QByteArray name = DefaultName(input);
        QByteArray out = output;
        if (!haveOutput) {
            out = input.left(input.lastIndexOf('/') + 1) + name;
        } else if (output != "-" && IsDirectory(output)) {
            // Into the directory, as cp and mv do.
            out += (output.endsWith('/') ? "" : "/") + name;
        }
        // Said after the summary: a stream without timing plays at 25 unless told otherwise.
        // A stream is not read ahead: its conversion tells.
        stream = input == "-" || IsStream(input);
        const bool noTiming = !fpsNum && timestamps.isEmpty();
        bool assumed =
            noTiming && !stream && FirstSpsTiming(input.constData()) == StreamTiming::Absent;
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
        if (stream) assumed = noTiming && converter.Summary().rateAssumed;
        PrintSummary(converter, out, assumed, join ? inputs : QList<QByteArray>());
    }
    return failures ? 1 : 0;
}
