#include "convert/outputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDebug>
#include <cerrno>

#include "convert/inputfile.h"

OutputFile::OutputFile(std::string& name, std::function<bool()> otherName,
                       std::function<bool()> holdsFragments)
    : name(name), otherName(std::move(otherName)), holdsFragments(std::move(holdsFragments)) {}

OutputFile::~OutputFile() {
    // A recording is removed only when it holds no fragment.
    if (!created.empty() && !keep && !(holdsFragments && holdsFragments()))
        unlinkat(dirFd, created.c_str(), 0);
    part.Remove();  // unless committed: with the directory still open
    if (dirFd >= 0) close(dirFd);
}

int OutputFile::Create(bool fragmented, bool isRecording) {
    recording = isRecording;
    const bool toStandardOutput = name == "-";
    if (toStandardOutput && !fragmented) {
        error = QStringLiteral("only a fragmented MP4 file can be written to standard output");
        return -1;
    }
    // A character device named as such (/dev/null, /dev/full) is written in place: users and
    // tests measure the converter that way, and only root can make one, so nobody else can put
    // one under a name the user chose. Anything else already there, a link included, is never
    // written through or replaced.
    struct stat st;
    device = toStandardOutput;
    for (int tries = 0; !toStandardOutput; ++tries) {
        if (lstat(name.c_str(), &st) != 0) {
            const int err = errno;
            if (err == ENOENT) break;
            error = QStringLiteral("cannot create %1: %2").arg(Shown(name), ErrnoText(err));
            return -1;
        }
        if (S_ISCHR(st.st_mode)) {
            device = true;
            break;
        }
        if (tries >= 1000 || !otherName()) {
            error = QStringLiteral("%1 already exists").arg(Shown(name));
            return -1;
        }
    }
    std::string dir, file;
    SplitPath(name, &dir, &file);
    int fd = -1;
    if (toStandardOutput) {
        fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    } else if (device) {
        fd = open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))) {
            close(fd);
            error = QStringLiteral("%1 already exists").arg(Shown(name));  // swapped since
            return -1;
        }
    } else {
        dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0 && file.empty()) errno = EISDIR;
        if (dirFd >= 0 && !file.empty() && !recording && part.Create(dirFd, file))
            fd = fcntl(part.Fd(), F_DUPFD_CLOEXEC, 0);
        // A recording has its final name from the start.
        for (int tries = 0; dirFd >= 0 && !file.empty() && recording; ++tries) {
            fd = openat(dirFd, file.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
            if (fd >= 0) {
                created = file;
                // The name reaches the disk with the first fragment's data.
                if (fsync(dirFd) != 0 && errno != EINVAL) {
                    const int err = errno;
                    close(fd);
                    fd = -1;
                    errno = err;
                }
                break;
            }
            if (errno != EEXIST || tries >= 1000 || !otherName()) break;
            SplitPath(name, &dir, &file);
        }
    }
    if (fd < 0) {
        const int err = errno;
        qDebug("ERROR:Create file failed!");
        error = err == EEXIST && recording
                    ? QStringLiteral("%1 already exists").arg(Shown(name))
                    : QStringLiteral("cannot create %1: %2").arg(Shown(name), ErrnoText(err));
    }
    return fd;
}

bool OutputFile::Commit() {
    if (recording || device) {
        keep = true;
        return true;
    }
    std::string dir, file;
    for (int tries = 0;; ++tries) {
        SplitPath(name, &dir, &file);
        const int err = part.Commit(file);
        if (err == EEXIST && tries < 1000 && otherName()) continue;  // taken meanwhile
        if (err)
            error = err == EEXIST
                        ? QStringLiteral("%1 already exists").arg(Shown(name))
                        : QStringLiteral("cannot write %1: %2").arg(Shown(name), ErrnoText(err));
        return err == 0;
    }
}
