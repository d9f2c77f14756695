#include "mp4/boxwriter.h"

void BoxWriter::Zeros(size_t n) {
    static const uint8_t zeros[64] = {};
    while (n > 0) {
        const size_t part = n < sizeof zeros ? n : sizeof zeros;
        out.Write(zeros, part);
        n -= part;
    }
}

void BoxWriter::StartBox(const char* type) {
    open.push_back(out.Position());
    U32(0);
    Fourcc(type);
}

void BoxWriter::StartFullBox(const char* type, uint8_t version, uint32_t flags) {
    StartBox(type);
    U8(version);
    U24(flags);
}

void BoxWriter::EndBox() {
    const uint64_t start = open.back();
    open.pop_back();
    // Boxes in the movie box stay far below 4 GiB; the media data box sizes itself.
    const uint32_t size = uint32_t(out.Position() - start);
    const uint8_t b[4] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8),
                          uint8_t(size)};
    out.Patch(start, b, 4);
}
