#include "mp4/filesink.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

FileSink::FileSink(int fd, size_t bufferSize)
    : fd(fd), buffer(new uint8_t[bufferSize]), capacity(bufferSize) {}

void FileSink::WriteOut(const uint8_t* data, size_t n) {
    while (n > 0 && !error) {
        const ssize_t r = ::write(fd, data, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            error = r < 0 ? errno : ENOSPC;
            break;
        }
        data += r;
        n -= size_t(r);
    }
}

void FileSink::WriteSlow(const void* data, size_t n) {
    Flush();
    if (n >= capacity) {
        // Too large to gather: straight to the file.
        WriteOut(static_cast<const uint8_t*>(data), n);
        flushed += n;
        WriteBack();
    } else {
        memcpy(buffer.get(), data, n);
        fill = n;
    }
}

bool FileSink::Flush() {
    WriteOut(buffer.get(), fill);
    flushed += fill;
    fill = 0;
    WriteBack();
    return !error;
}

void FileSink::SetWriteBack(uint64_t bytes) {
    window = bytes;
    started = waited = Position();
}

// Asks for the window just filled to be written out, then waits for the one before it.
void FileSink::WriteBack() {
    if (window == 0 || error || flushed - started < window) return;
    const uint64_t previous = started;
    if (!SyncRange(started, flushed, SYNC_FILE_RANGE_WRITE)) return;
    started = flushed;
    if (previous > waited &&
        SyncRange(waited, previous,
                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER))
        waited = previous;
}

// False when the range could not be synced: write-back is then off, and on a failure to write
// the sink has failed.
bool FileSink::SyncRange(uint64_t from, uint64_t to, unsigned flags) {
    for (;;) {
        if (sync_file_range(fd, off64_t(from), off64_t(to - from), flags) == 0) return true;
        if (errno == EINTR) continue;
        // Not a regular file (a pipe, a device), or a kernel without the call: the final fsync
        // alone does the work, as it did before.
        if (errno != ESPIPE && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            error = errno;
        window = 0;
        return false;
    }
}

void FileSink::Patch(uint64_t pos, const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    // The part already in the file.
    while (n > 0 && pos < flushed && !error) {
        const size_t part = size_t(std::min<uint64_t>(n, flushed - pos));
        const ssize_t r = ::pwrite(fd, p, part, off_t(pos));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            error = r < 0 ? errno : ENOSPC;
            return;
        }
        p += r;
        pos += uint64_t(r);
        n -= size_t(r);
    }
    // The part still in the buffer.
    if (n > 0 && pos >= flushed && pos + n <= flushed + fill)
        memcpy(buffer.get() + (pos - flushed), p, n);
}
