#include "convert/partfile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The file a signal handler removes: set and cleared with the handled signals blocked, so a
// handler sees it whole or not at all.
volatile sig_atomic_t registered = 0;
int registeredDir = -1;
char registeredName[NAME_MAX + 1];

void OnSignal(int sig) {
    if (registered) unlinkat(registeredDir, registeredName, 0);
    registered = 0;
    signal(sig, SIG_DFL);
    raise(sig);  // delivered, now fatal, once the handler returns
}

// The signals whose default action ends the process and that arrive from outside (a fault such
// as SIGSEGV is left to its default or to whoever handles it).
sigset_t FatalSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                    SIGPIPE, SIGXCPU, SIGIO, SIGABRT})
        sigaddset(&set, sig);
#ifdef SIGPWR
    sigaddset(&set, SIGPWR);
#endif
#ifdef SIGSTKFLT
    sigaddset(&set, SIGSTKFLT);
#endif
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
    return set;
}

// Holds the fatal signals back while the registered file and the file system disagree.
class SignalsHeld {
public:
    SignalsHeld() {
        const sigset_t set = FatalSignals();
        pthread_sigmask(SIG_BLOCK, &set, &saved);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }

private:
    sigset_t saved;
};

void Register(int dir, const std::string& name) {
    registered = 0;
    registeredDir = dir;
    memcpy(registeredName, name.c_str(), name.size() + 1);
    registered = 1;
}

void RandomChars(char out[6]) {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != ssize_t(sizeof bytes)) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        static unsigned long counter = 0;
        unsigned long v = (unsigned long)ts.tv_nsec ^ ((unsigned long)getpid() << 16) ^ ++counter;
        for (unsigned char& b : bytes) {
            v = v * 6364136223846793005ul + 1442695040888963407ul;
            b = (unsigned char)(v >> 56);
        }
    }
    for (int i = 0; i < 6; ++i) out[i] = kChars[bytes[i] % (sizeof kChars - 1)];
}

// Gives `from` the name `to` in `dir` unless `to` exists; an existing file is never replaced.
int RenameNoReplace(int dir, const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
    if (renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
#endif
    if (linkat(dir, from, dir, to, 0) == 0) {
        unlinkat(dir, from, 0);
        return 0;
    }
    if (errno == EEXIST) return errno;
    // A file system with neither: check, then rename.
    struct stat st;
    if (fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    return renameat(dir, from, dir, to) == 0 ? 0 : errno;
}

}  // namespace

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        *dir = ".";
        *name = path;
    } else {
        *dir = slash == 0 ? std::string("/") : path.substr(0, slash);
        *name = path.substr(slash + 1);
    }
}

std::string PartFileName(const std::string& name, size_t nameMax, const char random[6]) {
    constexpr size_t kAdded = 8;  // the leading dot, the dot before the six characters, those
    size_t keep = name.size();
    if (keep + kAdded > nameMax) {
        keep = nameMax > kAdded ? nameMax - kAdded : 0;
        while (keep > 0 && (uint8_t(name[keep]) & 0xC0) == 0x80) --keep;
    }
    return '.' + name.substr(0, keep) + '.' + std::string(random, 6);
}

PartFile::~PartFile() {
    Remove();
}

bool PartFile::Create(int dir, const std::string& name) {
    long nameMax = fpathconf(dir, _PC_NAME_MAX);
    if (nameMax <= 0 || nameMax > NAME_MAX) nameMax = NAME_MAX;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char random[6];
        RandomChars(random);
        const std::string candidate = PartFileName(name, size_t(nameMax), random);
        const SignalsHeld held;
        // Read and write: fast start moves the file's own bytes at the end.
        const int f = openat(dir, candidate.c_str(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (f >= 0) {
            dirFd = dir;
            fd = f;
            partName = candidate;
            Register(dir, candidate);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

int PartFile::Commit(const std::string& name) {
    if (fd < 0) return EBADF;
    if (fsync(fd) != 0) return errno;
    {
        const SignalsHeld held;
        const int err = RenameNoReplace(dirFd, partName.c_str(), name.c_str());
        if (err) return err;
        registered = 0;
    }
    close(fd);
    fd = -1;
    partName.clear();
    // The new name reaches the disk with the directory. A file system that cannot write a
    // directory through says EINVAL: nothing more can be done there.
    if (fsync(dirFd) != 0 && errno != EINVAL) {
        const int err = errno;
        unlinkat(dirFd, name.c_str(), 0);
        return err;
    }
    return 0;
}

void PartFile::Remove() {
    if (fd < 0) return;
    {
        const SignalsHeld held;
        unlinkat(dirFd, partName.c_str(), 0);
        registered = 0;
    }
    close(fd);
    fd = -1;
    partName.clear();
}

namespace {

struct sigaction previous[NSIG];
bool taken[NSIG];

}  // namespace

RemoveOnSignal::RemoveOnSignal() {
    const sigset_t fatal = FatalSignals();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sa.sa_mask = fatal;
    for (int sig = 1; sig < NSIG; ++sig) {
        const bool isFatal = sigismember(&fatal, sig) == 1;
        if (!isFatal && sig != SIGXFSZ) continue;
        struct sigaction now;
        // Only a signal left at its default is taken: one the caller ignored (nohup, a
        // background job's SIGINT) stays ignored, and one somebody handles stays theirs.
        if (sigaction(sig, nullptr, &now) != 0 || now.sa_handler != SIG_DFL ||
            (now.sa_flags & SA_SIGINFO))
            continue;
        struct sigaction ignore;
        memset(&ignore, 0, sizeof ignore);
        ignore.sa_handler = SIG_IGN;
        // Past the file size limit a write then fails with EFBIG, a write error like any other.
        taken[sig] = sigaction(sig, isFatal ? &sa : &ignore, &previous[sig]) == 0;
    }
}

RemoveOnSignal::~RemoveOnSignal() {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (taken[sig]) sigaction(sig, &previous[sig], nullptr);
        taken[sig] = false;
    }
}
