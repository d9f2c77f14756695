#include "mp4/filesink.h"

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
    } else {
        memcpy(buffer.get(), data, n);
        fill = n;
    }
}

bool FileSink::Flush() {
    WriteOut(buffer.get(), fill);
    flushed += fill;
    fill = 0;
    return !error;
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
