#include "mp4/filesink.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace {

// Writes all n bytes; the errno of a failure, or 0.
int WriteAll(int fd, const uint8_t* data, size_t n) {
    while (n > 0) {
        const ssize_t r = ::write(fd, data, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return r < 0 ? errno : ENOSPC;
        data += r;
        n -= size_t(r);
    }
    return 0;
}

// Runs `body` on a new thread with every signal blocked there.
std::thread QuietThread(std::function<void()> body) {
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
    try {
        std::thread t(std::move(body));
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        return t;
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        throw;
    }
}

}  // namespace

// Makes the file durable up to the offsets it is asked for, one fdatasync at a time, on a thread
// of its own. Every signal is blocked there: the process's handlers run on the threads that
// hold them back where they must.
class FileSink::Syncer {
public:
    explicit Syncer(int fd) : fd(fd) {
        thread = QuietThread([this] { Run(); });
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

// Writes one buffer at a time to the file, in the order they are given, on a thread of its own
// with every signal blocked. After a failed write the later buffers are dropped.
class FileSink::Writer {
public:
    explicit Writer(int fd) : fd(fd) {
        thread = QuietThread([this] { Run(); });
    }
    ~Writer() { Stop(); }

    // Waits until the buffer given before is written, then gives this one, which the caller
    // leaves alone until the next Give or Drain returns. The errno of the first failure, or 0.
    int Give(const uint8_t* data, size_t n) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return pending == nullptr; });
        pending = data;
        size = n;
        cv.notify_all();
        return error;
    }
    // Waits until every buffer given is written; the errno of the first failure, or 0.
    int Drain() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return pending == nullptr; });
        return error;
    }
    // Ends the thread once the buffer given last is written; the errno of the first failure,
    // or 0.
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
            cv.wait(lock, [this] { return stop || pending != nullptr; });
            if (!pending) return;
            const uint8_t* data = pending;
            const size_t n = size;
            const bool failed = error != 0;
            lock.unlock();
            const int err = failed ? 0 : WriteAll(fd, data, n);
            lock.lock();
            if (err && !error) error = err;
            pending = nullptr;
            cv.notify_all();
        }
    }

    const int fd;
    std::mutex m;
    std::condition_variable cv;
    const uint8_t* pending = nullptr;
    size_t size = 0;
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
    if (error) return;
    error = WriteAll(fd, data, n);
}

void FileSink::Hand() {
    if (writer && fill > 0) {
        const int err = writer->Give(buffer.get(), fill);
        if (err && !error) error = err;
        std::swap(buffer, spare);
    } else {
        WriteOut(buffer.get(), fill);
    }
    flushed += fill;
    fill = 0;
    WriteBack();
}

void FileSink::Drain() {
    if (!writer) return;
    const int err = writer->Drain();
    if (err && !error) error = err;
}

void FileSink::WriteSlow(const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (writer) {
        // Through the buffers, which the writer takes in turn.
        while (n > capacity - fill) {
            const size_t part = capacity - fill;
            memcpy(buffer.get() + fill, p, part);
            fill += part;
            p += part;
            n -= part;
            Hand();
        }
        memcpy(buffer.get() + fill, p, n);
        fill += n;
        return;
    }
    Flush();
    if (n >= capacity) {
        // Too large to gather: straight to the file.
        WriteOut(p, n);
        flushed += n;
        WriteBack();
    } else {
        memcpy(buffer.get(), p, n);
        fill = n;
    }
}

bool FileSink::Flush() {
    Hand();
    Drain();
    return !error;
}

void FileSink::SetWriteBack(uint64_t bytes) {
    if (writer) {
        const int err = writer->Stop();
        if (err && !error) error = err;
        writer.reset();
    }
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
    try {
        if (!spare) spare.reset(new uint8_t[capacity]);
        writer.reset(new Writer(fd));
    } catch (const std::exception&) {
        writer.reset();  // the caller writes, as without write-back
    }
}

void FileSink::WriteBackNow() {
    if (!syncer || error) return;
    Hand();
    if (flushed > requested) {
        requested = flushed;
        syncer->Request(flushed);
    }
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
    if (pos < flushed) Drain();  // the file holds it all before it is written over
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
