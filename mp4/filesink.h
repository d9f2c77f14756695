// A buffered sink over a file descriptor: large sequential writes, the position of every byte
// known, and earlier bytes patched in place (box sizes, the media data header).
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
    // errno of the first failed write, or 0.
    int Error() const { return error; }

private:
    void WriteSlow(const void* data, size_t n);
    void WriteOut(const uint8_t* data, size_t n);

    int fd;
    std::unique_ptr<uint8_t[]> buffer;
    size_t capacity;
    size_t fill = 0;
    uint64_t flushed = 0;  // file offset of buffer[0]
    int error = 0;
};
