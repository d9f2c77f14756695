// A buffered sink over a file descriptor: large sequential writes, the position of every byte
// known, and earlier bytes patched in place (box sizes, the media data header).
//
// With write-back on, the disk works while the caller does: each time another window of bytes
// has gone to a regular file, a thread of the sink's own makes the file durable so far
// (fdatasync) while the caller goes on. The caller waits only when the disk falls more than two
// windows behind, so that the bytes not yet on the disk stay bounded, and the final fsync, which
// stays the caller's, finds little left to do. A failure of one of these syncs is the sink's
// error: the kernel reports a failed write-back once, and the final fsync would not see it again.
// With write-back on, a full buffer also goes to the file on a thread of its own while the caller
// fills a second one, so that copying into the page cache overlaps the work too; Flush and every
// patch of bytes already handed over wait until the file holds everything handed to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

class FileSink {
public:
    FileSink(int fd, size_t bufferSize);
    ~FileSink();
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // Appends n bytes. After a failure, bytes are counted but no longer written.
    void Write(const void* data, size_t n) {
        if (n <= capacity - fill) {
            memcpy(buffer.get() + fill, data, n);
            fill += n;
        } else {
            WriteSlow(data, n);
        }
    }
    // Offset in the file of the next byte written.
    uint64_t Position() const { return flushed + fill; }
    // Overwrites n bytes written earlier at `pos`, in the buffer or in the file.
    void Patch(uint64_t pos, const void* data, size_t n);
    // Hands everything buffered to the file; false once any write has failed.
    bool Flush();
    // errno of the first failed write or sync, or 0.
    int Error() const { return error; }

    // Write-back in windows of `window` bytes from here on; nothing for a file that is not a
    // regular one (a device, a pipe). 0 turns it off, after the sync under way: it must be off
    // before the descriptor is closed. Writers that make the file durable in steps of their own
    // leave it off.
    void SetWriteBack(uint64_t window);
    // With write-back on: everything written so far starts for the disk now, without waiting
    // for the window to fill, while the caller goes on (the end of the media data, before the
    // work that completes the file).
    void WriteBackNow();
    uint64_t WriteBackWindow() const { return window; }

private:
    class Syncer;
    class Writer;

    void WriteSlow(const void* data, size_t n);
    void WriteOut(const uint8_t* data, size_t n);
    // The buffer to the file (to the writer, when there is one) and empty again.
    void Hand();
    // Until the file holds every byte handed over.
    void Drain();
    void WriteBack();

    int fd;
    std::unique_ptr<uint8_t[]> buffer;
    size_t capacity;
    size_t fill = 0;
    uint64_t flushed = 0;  // file offset of buffer[0]
    int error = 0;
    uint64_t window = 0;
    uint64_t requested = 0;  // the syncer was last asked for the bytes before this offset
    std::unique_ptr<Syncer> syncer;
    std::unique_ptr<Writer> writer;
    std::unique_ptr<uint8_t[]> spare;  // the buffer the writer has, or will have next
};
