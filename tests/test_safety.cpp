// What happens to the files around a conversion when things go wrong on purpose: links planted
// beside the output, two conversions to one name, signals, limits on file size and memory, names
// that are no text, a reader that goes away, an input that changes meanwhile. Each case checks
// the exit status, the message, the files left and that no other file changed.

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <new>

#include "convert/converter.h"
#include "convert/partfile.h"
#include "support/convert.h"
#include "support/decode.h"
#include "support/streams.h"

namespace {

constexpr uid_t kNobody = 65534;

struct Options {
    QList<QByteArray> args;
    QByteArray program = TOVANMUXER_CLI;
    QByteArray cwd;
    bool stopAtStart = false;  // hold the run at its first progress line (see CliRun)
    bool asNobody = false;
    bool stdoutClosed = false;  // standard output a pipe that nobody reads any more
    rlim_t fileSizeLimit = RLIM_INFINITY;
    rlim_t memoryLimit = RLIM_INFINITY;
    QList<int> ignored;  // signals ignored from the start, as nohup and background jobs do
};

// One run of the command-line converter, started by a holder process that reports its pid, its
// stop and its end. With stopAtStart the run is in its own session on a terminal, in a
// background process group with TOSTOP set: its first progress line, written once the output is
// being written, stops it (SIGTTOU) until Resume() clears TOSTOP and sends SIGCONT. The order of
// two runs is then forced, not timed.
class CliRun {
public:
    ~CliRun() {
        if (cli > 0) kill(cli, SIGKILL);
        if (holder > 0) waitpid(holder, nullptr, 0);
        for (int fd : {master, notify, outFd, errFd})
            if (fd >= 0) close(fd);
    }

    // Starts the run; with stopAtStart, returns once it is stopped (false if it ended first).
    bool Start(const Options& o) {
        int out[2], err[2], note[2];
        if (pipe(out) || pipe(err) || pipe(note)) return false;
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) || unlockpt(master)) return false;
        const QByteArray slave = ptsname(master);
        QList<QByteArray> argv = QList<QByteArray>{o.program} + o.args;
        std::vector<char*> args;
        for (QByteArray& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        holder = fork();
        if (holder == 0) {
            setsid();
            const int tty = open(slave.constData(), O_RDWR);  // the controlling terminal
            struct termios t;
            if (tty < 0 || tcgetattr(tty, &t)) _exit(120);
            t.c_lflag |= TOSTOP;
            tcsetattr(tty, TCSANOW, &t);
            const pid_t child = fork();
            if (child == 0) {
                setpgid(0, 0);
                Exec(o, o.stopAtStart ? tty : err[1], out[1], args.data());
            }
            setpgid(child, child);
            int status = 0;
            const int pid[2] = {'P', child}, stop[2] = {'S', 0};
            if (write(note[1], pid, sizeof pid) != sizeof pid) _exit(121);
            while (waitpid(child, &status, WUNTRACED) < 0 && errno == EINTR) {
            }
            if (WIFSTOPPED(status)) {
                if (write(note[1], stop, sizeof stop) != sizeof stop) _exit(121);
                while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
                }
            }
            const int end[2] = {'E', status};
            _exit(write(note[1], end, sizeof end) == sizeof end ? 0 : 121);
        }
        for (int fd : {out[1], err[1], note[1]}) close(fd);
        outFd = out[0];
        errFd = err[0];
        notify = note[0];
        if (Receive() != 'P') return false;
        cli = value;
        return !o.stopAtStart || Receive() == 'S';
    }

    pid_t Pid() const { return cli; }

    void Resume() {
        struct termios t;
        tcgetattr(master, &t);  // the slave's, through the master
        t.c_lflag &= ~tcflag_t(TOSTOP);
        tcsetattr(master, TCSANOW, &t);
        kill(cli, SIGCONT);
    }

    // Waits for the end: the exit status, or 128 + the signal that ended it. Standard error
    // holds what went to the terminal too.
    int Wait(QByteArray* outText = nullptr, QByteArray* errText = nullptr) {
        QByteArray text[2];
        pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {master, POLLIN, 0}};
        for (int open = 2; open > 0 && poll(fds, 3, 60000) > 0;) {
            for (int i = 0; i < 3; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buf[4096];
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    text[i ? 1 : 0].append(buf, int(n));
                } else {
                    open -= i < 2;  // the terminal's end ends nothing: its master stays open
                    fds[i].fd = -1;
                }
            }
        }
        while (kind != 'E' && Receive()) {
        }
        cli = -1;
        if (outText) *outText = text[0];
        if (errText) *errText = text[1];
        if (kind != 'E') return -1;
        if (WIFEXITED(value)) return WEXITSTATUS(value);
        return WIFSIGNALED(value) ? 128 + WTERMSIG(value) : -1;
    }

private:
    [[noreturn]] static void Exec(const Options& o, int errOut, int out, char** args) {
        dup2(errOut, 2);
        int closed[2];
        if (o.stdoutClosed && pipe(closed) == 0) {
            close(closed[0]);
            out = closed[1];
        }
        dup2(out, 1);
        dup2(open("/dev/null", O_RDONLY), 0);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig)
            signal(sig, o.ignored.contains(sig) ? SIG_IGN : SIG_DFL);
        const struct rlimit noCore = {0, 0}, size = {o.fileSizeLimit, o.fileSizeLimit},
                            memory = {o.memoryLimit, o.memoryLimit};
        setrlimit(RLIMIT_CORE, &noCore);
        setrlimit(RLIMIT_FSIZE, &size);
        setrlimit(RLIMIT_AS, &memory);
        if (o.asNobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(122);
        if (!o.cwd.isEmpty() && chdir(o.cwd.constData()) != 0) _exit(123);
        execv(args[0], args);
        _exit(127);
    }
    // The holder's next report: 'P' (value: the pid), 'S' (stopped) or 'E' (value: the status).
    int Receive() {
        int msg[2];
        ssize_t n;
        while ((n = read(notify, msg, sizeof msg)) < 0 && errno == EINTR) {
        }
        if (n != ssize_t(sizeof msg)) return 0;
        kind = msg[0];
        value = msg[1];
        if (kind == 'E') {
            waitpid(holder, nullptr, 0);
            holder = -1;
        }
        return kind;
    }

    pid_t holder = -1, cli = -1;
    int master = -1, notify = -1, outFd = -1, errFd = -1;
    int kind = 0, value = 0;
};

int Run(const QList<QByteArray>& args) {
    Options o;
    o.args = args;
    CliRun run;
    return run.Start(o) ? run.Wait() : -1;
}

// A file's bytes, its name taken as bytes.
QByteArray FileBytes(const QByteArray& path) {
    QByteArray bytes;
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    char buf[65536];
    for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, int(n));
    if (fd >= 0) close(fd);
    return bytes;
}

// Removes a tree whose names need not be text (which QTemporaryDir cannot).
struct RemovedTree {
    QByteArray root;
    ~RemovedTree() {
        nftw(
            root.constData(),
            [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
};

QByteArray Sha1(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

// Everything under `root` (bytes of the names): what each entry is and holds.
void Snapshot(const QByteArray& root, const QByteArray& rel, QMap<QByteArray, QByteArray>* tree) {
    DIR* d = opendir((root + rel).constData());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == "..") continue;
        const QByteArray path = rel + "/" + name;
        const QByteArray full = root + path;
        struct stat st;
        if (lstat(full.constData(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(full.constData(), target, sizeof target);
            (*tree)[path] = "link " + QByteArray(target, int(std::max<ssize_t>(n, 0)));
        } else if (S_ISDIR(st.st_mode)) {
            (*tree)[path] = "dir";
            Snapshot(root, path, tree);
        } else if (st.st_size > (16 << 20)) {
            (*tree)[path] = "big " + QByteArray::number(qlonglong(st.st_size));
        } else {
            (*tree)[path] = Sha1(FileBytes(full));
        }
    }
    closedir(d);
}

QMap<QByteArray, QByteArray> Tree(const QByteArray& root) {
    QMap<QByteArray, QByteArray> tree;
    Snapshot(root, QByteArray(), &tree);
    return tree;
}

bool Write(const QByteArray& path, const QByteArray& bytes) {
    QFile f(QFile::decodeName(path));
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The VmSize of a process, in bytes.
rlim_t VirtualSize(pid_t pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QRegularExpression re(QStringLiteral("VmSize:\\s+(\\d+) kB"));
    const QRegularExpressionMatch m = re.match(QString::fromLatin1(f.readAll()));
    return m.hasMatch() ? rlim_t(m.captured(1).toULongLong()) * 1024 : 0;
}

}  // namespace

class TestSafety : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;
    QByteArray in, other;        // two streams
    QByteArray refIn, refOther;  // what the converter makes of each

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(tmp.isValid());
        QVERIFY(chmod(QFile::encodeName(tmp.path()).constData(), 0755) == 0);
        in = ReadFileBytes(FindTestStream(QStringLiteral("baseline_320x240.h264")).file);
        other = ReadFileBytes(FindTestStream(QStringLiteral("main_bframes_640x360.h264")).file);
        QVERIFY(!in.isEmpty() && !other.isEmpty());
        const QByteArray dir = QFile::encodeName(tmp.path());
        QVERIFY(Write(dir + "/in.h264", in) && Write(dir + "/other.h264", other));
        QCOMPARE(Run({dir + "/in.h264", "-o", dir + "/in.mp4"}), 0);
        QCOMPARE(Run({dir + "/other.h264", "-o", dir + "/other.mp4"}), 0);
        refIn = FileBytes(dir + "/in.mp4");
        refOther = FileBytes(dir + "/other.mp4");
        QVERIFY(ReadMp4Info(tmp.filePath(QStringLiteral("in.mp4"))).ok);
    }

    void faults_data() {
        QTest::addColumn<QString>("kind");
        for (const char* k : {"planted .part link",
                              "link to a device at the name",
                              "second run in between",
                              "two runs interleaved",
                              "file size limit",
                              "out of memory",
                              "nohup and SIGHUP",
                              "background job and SIGINT",
                              "SIGUSR1",
                              "SIGALRM",
                              "SIGPROF",
                              "SIGTERM",
                              "SIGPIPE while converting",
                              "reader of the summary gone",
                              "255-byte name",
                              "non-UTF-8 input name",
                              "non-UTF-8 output name",
                              "-o DIR",
                              "--",
                              "-o ''",
                              "-o -",
                              "input grows",
                              "input cut",
                              "written through before it is named",
                              "zero bytes behind a parameter set",
                              "SEI flood before a picture"})
            QTest::newRow(k) << QString::fromLatin1(k);
    }

    void faults() {
        QFETCH(QString, kind);
        QTemporaryDir box;
        QVERIFY(box.isValid());
        const QByteArray root = QFile::encodeName(box.path());
        const RemovedTree removed{root};
        const QByteArray work = root + "/work";
        QVERIFY(mkdir(work.constData(), 0755) == 0 && chmod(root.constData(), 0755) == 0);
        QVERIFY(Write(work + "/in.h264", in));
        const QByteArray out = work + "/out.mp4";

        Options o;
        o.args = {work + "/in.h264", "-o", out};
        int status = 0;                     // expected
        QByteArray message;                 // expected on standard error
        QMap<QByteArray, QByteArray> made;  // new files expected, with what they hold
        made["/work/out.mp4"] = Sha1(refIn);
        QMap<QByteArray, QByteArray> expected;  // the tree after the run
        int sig = 0;                            // sent while the run is held
        QByteArray before;                      // what the input becomes while the run is held
        QByteArray straceLog;

        if (kind == QLatin1String("planted .part link")) {
            // Another user's link at the old unfinished name, in a shared sticky directory,
            // pointing at a file of the user who converts.
            if (getuid() != 0) QSKIP("needs root to act as two users");
            QVERIFY(mkdir((root + "/home").constData(), 0755) == 0);
            QVERIFY(Write(root + "/home/victim.txt", "precious"));
            QVERIFY(chown((root + "/home/victim.txt").constData(), kNobody, kNobody) == 0);
            QVERIFY(chmod(work.constData(), 01777) == 0);
            QVERIFY(symlink((root + "/home/victim.txt").constData(), (out + ".part").constData()) ==
                    0);
            o.asNobody = true;
        } else if (kind == QLatin1String("link to a device at the name")) {
            QVERIFY(symlink("/dev/null", out.constData()) == 0);
            status = 1;
            message = "already exists";
            made.clear();
        } else if (kind == QLatin1String("second run in between") ||
                   kind == QLatin1String("two runs interleaved")) {
            // A is held with its output under way; B converts another stream to the same name,
            // wholly or until held too; then each goes on. The run that says it succeeded owns
            // the one complete file; the other fails and says why.
            const bool interleaved = kind == QLatin1String("two runs interleaved");
            QVERIFY(Write(work + "/other.h264", other));
            expected = Tree(root);
            CliRun a, b;
            o.stopAtStart = true;
            QVERIFY(a.Start(o));
            Options ob = o;
            ob.args[0] = work + "/other.h264";
            ob.stopAtStart = interleaved;
            QByteArray errA, errB;
            int statusA = -1, statusB = -1;
            if (interleaved) {
                QVERIFY(b.Start(ob));
                a.Resume();
                statusA = a.Wait(nullptr, &errA);
                b.Resume();
                statusB = b.Wait(nullptr, &errB);
            } else {
                QVERIFY(b.Start(ob));
                statusB = b.Wait(nullptr, &errB);
                a.Resume();
                statusA = a.Wait(nullptr, &errA);
            }
            const bool aWon = interleaved;
            QCOMPARE(aWon ? statusA : statusB, 0);
            QCOMPARE(aWon ? statusB : statusA, 1);
            QVERIFY2((aWon ? errB : errA).contains("out.mp4 already exists"),
                     (aWon ? errB : errA).constData());
            made["/work/out.mp4"] = Sha1(aWon ? refIn : refOther);
            status = -2;  // checked here
        } else if (kind == QLatin1String("file size limit")) {
            o.fileSizeLimit = 10000;
            status = 1;
            message = "File too large";
            made.clear();
        } else if (kind == QLatin1String("out of memory")) {
#ifdef TOVANMUXER_SANITIZED
            QSKIP("the sanitizers' shadow memory does not fit under a limit of virtual memory");
#endif
#ifdef TOVANMUXER_EMULATED
            QSKIP("a user-mode emulator does not apply RLIMIT_AS to the program it runs");
#endif
            // A NAL unit of 300 MB (a hole, read as zeros) after a real stream: the buffer that
            // grows for it cannot, 64 MiB over what a running conversion has.
            CliRun probe;
            Options p = o;
            p.args = {QFile::encodeName(tmp.filePath(QStringLiteral("in.h264"))), "-o",
                      work + "/probe.mp4"};
            p.stopAtStart = true;
            QVERIFY(probe.Start(p));
            const rlim_t size = VirtualSize(probe.Pid());
            probe.Resume();
            QCOMPARE(probe.Wait(), 0);
            QVERIFY(size > 0 && unlink((work + "/probe.mp4").constData()) == 0);
            QVERIFY(Write(work + "/in.h264", in + QByteArray("\x00\x00\x00\x01\x41", 5)));
            QVERIFY(truncate((work + "/in.h264").constData(), in.size() + 5 + (300 << 20)) == 0);
            o.memoryLimit = size + (64 << 20);
            status = 1;
            message = "out of memory";
            made.clear();
        } else if (kind == QLatin1String("nohup and SIGHUP") ||
                   kind == QLatin1String("background job and SIGINT")) {
            sig = kind.contains(QLatin1String("SIGHUP")) ? SIGHUP : SIGINT;
            o.ignored = {sig};
        } else if (kind.startsWith(QLatin1String("SIG"))) {
            sig = kind.startsWith(QLatin1String("SIGUSR1"))   ? SIGUSR1
                  : kind.startsWith(QLatin1String("SIGALRM")) ? SIGALRM
                  : kind.startsWith(QLatin1String("SIGPROF")) ? SIGPROF
                  : kind.startsWith(QLatin1String("SIGTERM")) ? SIGTERM
                                                              : SIGPIPE;
            status = 128 + sig;
            made.clear();
        } else if (kind == QLatin1String("reader of the summary gone")) {
            o.stdoutClosed = true;
        } else if (kind == QLatin1String("255-byte name")) {
            const QByteArray name = QByteArray(251, 'n') + ".mp4";
            o.args[2] = work + "/" + name;
            made.clear();
            made["/work/" + name] = Sha1(refIn);
        } else if (kind == QLatin1String("non-UTF-8 input name")) {
            QVERIFY(rename((work + "/in.h264").constData(),
                           (work + "/bad\xff\xfe.h264").constData()) == 0);
            o.args = {work + "/bad\xff\xfe.h264"};
            made.clear();
            made["/work/bad\xff\xfe.mp4"] = Sha1(refIn);
        } else if (kind == QLatin1String("non-UTF-8 output name")) {
            o.args[2] = work + "/out\xff.mp4";
            made.clear();
            made["/work/out\xff.mp4"] = Sha1(refIn);
        } else if (kind == QLatin1String("-o DIR")) {
            QVERIFY(mkdir((work + "/sub").constData(), 0755) == 0);
            o.args[2] = work + "/sub";
            made.clear();
            made["/work/sub/in.mp4"] = Sha1(refIn);
        } else if (kind == QLatin1String("--")) {
            QVERIFY(rename((work + "/in.h264").constData(), (work + "/-in.h264").constData()) == 0);
            o.cwd = work;
            o.args = {"--", "-in.h264"};
            made.clear();
            made["/work/-in.mp4"] = Sha1(refIn);
        } else if (kind.startsWith(QLatin1String("-o "))) {
            o.cwd = work;
            o.args = {"in.h264", "-o", kind == QLatin1String("-o -") ? "-" : ""};
            status = 2;
            message = kind == QLatin1String("-o -") ? "standard output" : "needs a file name";
            made.clear();
        } else if (kind.startsWith(QLatin1String("input "))) {
            before = kind.endsWith(QLatin1String("grows")) ? in + in : in.left(in.size() / 2);
            made.remove("/work/out.mp4");  // checked below
        } else if (kind == QLatin1String("zero bytes behind a parameter set")) {
            // 70,000 zero bytes (trailing_zero_8bits) behind the SPS belong to the byte
            // stream: the same file as without them.
            const int sps = in.indexOf(QByteArray("\x00\x00\x00\x01\x67", 5));
            const int next = in.indexOf(QByteArray("\x00\x00\x01", 3), sps + 5);
            QVERIFY(sps >= 0 && next > sps);
            QVERIFY(Write(work + "/in.h264", in.left(next) + QByteArray(70000, 0) + in.mid(next)));
        } else if (kind == QLatin1String("SEI flood before a picture")) {
            // 65 MiB of SEI in front of the first picture: refused past the 64 MiB that units
            // waiting for a picture may take, rather than held without bound.
            QByteArray sei("\x00\x00\x00\x01\x06\x05\xff\xff\xff\xff\x04", 11);
            sei += QByteArray(1024, char(0x80)) + char(0x80);
            const int slice = in.indexOf(QByteArray("\x00\x00\x01\x65", 4));
            QVERIFY(slice > 0);
            QVERIFY(
                Write(work + "/in.h264", in.left(slice) + sei.repeated(65 * 1024) + in.mid(slice)));
            status = 1;
            message = "more than 64 MiB";
            made.clear();
        } else if (kind == QLatin1String("written through before it is named")) {
            const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
            if (strace.isEmpty())
                QSKIP("strace is not installed: the order of the calls is unseen");
            straceLog = root + "/strace.log";
            o.program = QFile::encodeName(strace);
            // (LeakSanitizer cannot run under a tracer.)
            o.args =
                QList<QByteArray>{
                    "-f",
                    "-qq",
                    "-E",
                    "ASAN_OPTIONS=detect_leaks=0",
                    "-o",
                    straceLog,
                    "-e",
                    "trace=openat,fsync,fdatasync,rename,renameat,renameat2,linkat,unlinkat",
                    TOVANMUXER_CLI} +
                o.args;
        }

        if (status != -2) {
            expected = Tree(root);
            if (sig || !before.isEmpty()) o.stopAtStart = true;
            CliRun run;
            const bool held = run.Start(o);
            QVERIFY2(held || !o.stopAtStart, "the run ended before it was held");
            if (sig) kill(run.Pid(), sig);
            if (!before.isEmpty()) {
                QVERIFY(Write(work + "/in.h264", before));
                expected["/work/in.h264"] = Sha1(before);
            }
            if (held) run.Resume();
            QByteArray err;
            const int got = run.Wait(nullptr, &err);
            if (straceLog.size() && got != 0 && err.contains("ptrace"))
                QSKIP("strace cannot trace here");
            QVERIFY2(got == status, qPrintable(QStringLiteral("exit %1, expected %2: %3")
                                                   .arg(got)
                                                   .arg(status)
                                                   .arg(QString::fromUtf8(err))));
            if (!message.isEmpty())
                QVERIFY2(err.contains(message), err.constData());
            else if (!held)
                QVERIFY2(!err.contains("tovanmuxer-cli: "), err.constData());
            if (!before.isEmpty()) {
                // Capped at 100%, and said.
                static const QRegularExpression percent(QStringLiteral("(\\d+)%"));
                for (const QRegularExpressionMatch& m : percent.globalMatch(QString::fromUtf8(err)))
                    QVERIFY2(m.captured(1).toInt() <= 100, err.constData());
                QVERIFY2(err.contains("changed size during the conversion"), err.constData());
                QVERIFY(ReadMp4Info(box.filePath(QStringLiteral("work/out.mp4"))).ok);
                expected["/work/out.mp4"] = Tree(root).value("/work/out.mp4");
            }
            if (straceLog.size()) {
                // The new file: exclusive, not through a link; on the disk before it takes its
                // name without replacing any, and the directory on the disk after.
                const QByteArray log = FileBytes(straceLog);
                static const QRegularExpression create(QStringLiteral(
                    "openat\\(\\d+, \"(\\.out\\.mp4\\.\\w{6})\", [^)]*O_EXCL[^)]*\\) = (\\d+)"));
                const QRegularExpressionMatch m = create.match(QString::fromUtf8(log));
                QVERIFY2(m.hasMatch() && m.captured(0).contains(QLatin1String("O_NOFOLLOW")),
                         log.constData());
                const int fsyncFile = log.indexOf("fsync(" + m.captured(2).toLatin1() + ")");
                const int named = log.indexOf("renameat2(");
                QVERIFY2(fsyncFile > 0 && named > fsyncFile, log.constData());
                QVERIFY(log.indexOf("RENAME_NOREPLACE", named) > named);
                QVERIFY2(log.indexOf("fsync(", named) > named, log.constData());
                expected.remove("/strace.log");
            }
        }
        for (auto it = made.begin(); it != made.end(); ++it) expected[it.key()] = it.value();
        QMap<QByteArray, QByteArray> after = Tree(root);
        after.remove("/strace.log");
        // Nothing else new (no unfinished file either), nothing else changed.
        QCOMPARE(after.keys(), expected.keys());
        for (auto it = expected.begin(); it != expected.end(); ++it)
            QVERIFY2(after.value(it.key()) == it.value(), it.key().constData());
    }

    // The engine on its own: out of memory in the middle, and the name taken meanwhile, with
    // and without a hook that chooses another.
    void engine_data() {
        QTest::addColumn<QString>("kind");
        for (const char* k : {"out of memory", "name taken", "name taken, other name",
                              "name taken, other name elsewhere"})
            QTest::newRow(k) << QString::fromLatin1(k);
    }

    void engine() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.h264"));
        const QString out = dir.filePath(QStringLiteral("out.mp4"));
        const QString other = dir.filePath(QStringLiteral("out-2.mp4"));
        QVERIFY(Write(QFile::encodeName(input), in));
        Converter c;
        c.SetProgressHook([&](uint64_t done, uint64_t) {
            if (kind == QLatin1String("out of memory") && done > 0) throw std::bad_alloc();
            if (!QFileInfo::exists(out)) Write(QFile::encodeName(out), "precious");
            return true;
        });
        if (kind.contains(QLatin1String("other name")))
            c.SetOtherNameHook([&](const std::string&) {
                return QFile::encodeName(kind.contains(QLatin1String("elsewhere"))
                                             ? tmp.filePath(QStringLiteral("x.mp4"))
                                             : other)
                    .toStdString();
            });
        const bool ok = c.WriteH264File(QFile::encodeName(input).constData(), out);
        QStringList expected{QStringLiteral("in.h264"), QStringLiteral("out.mp4")};
        if (kind == QLatin1String("name taken, other name")) {
            QVERIFY2(ok, qPrintable(c.LastError()));
            QCOMPARE(c.Summary().outputPath, other);
            QCOMPARE(ReadFileBytes(other), refIn);
            expected << QStringLiteral("out-2.mp4");
        } else {
            QVERIFY(!ok);
            QVERIFY2(c.LastError().contains(kind == QLatin1String("out of memory")
                                                ? QStringLiteral("out of memory")
                                                : QStringLiteral("out.mp4 already exists")),
                     qPrintable(c.LastError()));
        }
        expected.sort();
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 expected);
        QCOMPARE(ReadFileBytes(out), QByteArray("precious"));
        QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("x.mp4"))));
    }

    // The unfinished file's name stays within the file system's limit, whole UTF-8 characters.
    void partFileNames_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("nameMax");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("short") << QByteArray("out.mp4") << 255 << QByteArray(".out.mp4.abcdef");
        QTest::newRow("247 bytes")
            << QByteArray(247, 'n') << 255 << "." + QByteArray(247, 'n') + ".abcdef";
        QTest::newRow("248 bytes")
            << QByteArray(248, 'n') << 255 << "." + QByteArray(247, 'n') + ".abcdef";
        QTest::newRow("cut inside a character") << QByteArray(246, 'n') + "\xc3\xa9.mp4" << 255
                                                << "." + QByteArray(246, 'n') + ".abcdef";
        QTest::newRow("a short limit") << QByteArray("out.mp4") << 12 << QByteArray(".out..abcdef");
    }

    void partFileNames() {
        QFETCH(QByteArray, name);
        QFETCH(int, nameMax);
        QFETCH(QByteArray, expected);
        QCOMPARE(
            QByteArray::fromStdString(PartFileName(name.toStdString(), size_t(nameMax), "abcdef")),
            expected);
    }
};

QTEST_GUILESS_MAIN(TestSafety)
#include "test_safety.moc"
