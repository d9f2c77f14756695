#include "mp4/filesink.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

// Makes the file durable up to the offsets it is asked for, one fdatasync at a time, on a thread
// of its own. Every signal is blocked there: the process's handlers run on the threads that
// hold them back where they must.
class FileSink::Syncer {
public:
    explicit Syncer(int fd) : fd(fd) {
        sigset_t all, saved;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved);
        try {
            thread = std::thread([this] { Run(); });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &saved, nullptr);
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
    ~Syncer() { Stop(); }

    // Asks for the bytes before `end` to be made durable.
    void Request(uint64_t end) {
        std::lock_guard<std::mutex> lock(m);
        requested = std::max(requested, end);
        cv.notify_all();
    }
    // Waits until the bytes before `end` are durable or a sync has failed; the errno of the
    // first failure, or 0.
    int WaitFor(uint64_t end) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return durable >= end || error; });
        return error;
    }
    // Ends the thread once the sync under way is over; the errno of the first failure, or 0.
    int Stop() {
        {
            std::lock_guard<std::mutex> lock(m);
            stop = true;
        }
        cv.notify_all();
        if (thread.joinable()) thread.join();
        return error;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [this] { return stop || requested > durable; });
            if (stop) return;
            const uint64_t end = requested;
            lock.unlock();
            int err = 0;
            while (fdatasync(fd) != 0 && (err = errno) == EINTR) err = 0;
            lock.lock();
            if (err && !error) error = err;
            durable = end;
            cv.notify_all();
        }
    }

    const int fd;
    std::mutex m;
    std::condition_variable cv;
    uint64_t requested = 0;
    uint64_t durable = 0;
    bool stop = false;
    int error = 0;
    std::thread thread;
};

FileSink::FileSink(int fd, size_t bufferSize)
    : fd(fd), buffer(new uint8_t[bufferSize]), capacity(bufferSize) {}

FileSink::~FileSink() {
    SetWriteBack(0);
}

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
    if (syncer) {
        const int err = syncer->Stop();
        if (err && !error) error = err;
        syncer.reset();
    }
    window = 0;
    struct stat st;
    if (bytes == 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    try {
        syncer.reset(new Syncer(fd));
    } catch (const std::exception&) {
        return;  // no thread to be had: the final fsync does all the work
    }
    window = bytes;
    requested = flushed;
}

// Asks for what the file holds to be made durable once another window has gone to it, and
// waits while more than two windows before that are not yet.
void FileSink::WriteBack() {
    if (!syncer || error || flushed - requested < window) return;
    requested = flushed;
    syncer->Request(flushed);
    const int err = syncer->WaitFor(flushed > 3 * window ? flushed - 3 * window : 0);
    if (err && !error) error = err;
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
