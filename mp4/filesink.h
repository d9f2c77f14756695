// A buffered sink over a file descriptor: large sequential writes, the position of every byte
// known, and earlier bytes patched in place (box sizes, the media data header).
//
// With write-back on, the disk works while the caller does: every `window` bytes handed to a
// regular file, the kernel is asked to start writing them out (sync_file_range), and the sink
// waits for the window before, so that no more than two windows are dirty or in flight at any
// time. The final fsync is still the caller's and finds little left to do. It stays off for what
// is not a regular file, and for writers that make the file durable in steps of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

class FileSink {
public:
    FileSink(int fd, size_t bufferSize);
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
    // errno of the first failed write, or 0. A failure the kernel reports while writing back
    // counts as one: it would not be reported again to the final fsync.
    int Error() const { return error; }

    // Write-back in windows of `window` bytes from the current position on; 0 turns it off.
    void SetWriteBack(uint64_t window);
    uint64_t WriteBackWindow() const { return window; }

private:
    void WriteSlow(const void* data, size_t n);
    void WriteOut(const uint8_t* data, size_t n);
    void WriteBack();
    bool SyncRange(uint64_t from, uint64_t to, unsigned flags);

    int fd;
    std::unique_ptr<uint8_t[]> buffer;
    size_t capacity;
    size_t fill = 0;
    uint64_t flushed = 0;  // file offset of buffer[0]
    int error = 0;
    uint64_t window = 0;
    uint64_t started = 0;  // write-back asked for the bytes before this offset
    uint64_t waited = 0;   // and has ended for those before this one
};
