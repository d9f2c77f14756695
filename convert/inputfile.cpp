#include "convert/inputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

QString ErrnoText(int err) {
    return QString::fromLocal8Bit(strerror(err));
}

QString Shown(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

int OpenInputFile(const char* path, bool* stream, int* err) {
    const bool standard = strcmp(path, "-") == 0;
    if (standard && isatty(STDIN_FILENO)) {
        *err = ENOTTY;
        return -1;
    }
    const int fd = standard ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                            : open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    struct stat st;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || flags < 0) {
        *err = errno;
    } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        // The read loop waits in poll(), where a signal ends a recording, and reads only what
        // poll() reports. A FIFO opened here stays non-blocking (poll() waits for its writer);
        // standard input keeps the flags it shares with others.
        *stream = true;
        if (standard || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) return fd;
        *err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        *err = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    } else if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *err = errno;
    } else {
        *stream = false;
        return fd;
    }
    close(fd);
    return -1;
}
