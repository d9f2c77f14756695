// Writes ISO base media file format boxes (ISO/IEC 14496-12 4.2) into a FileSink: big-endian
// fields, and StartBox/EndBox pairs that fill in each box's size when it ends.
#pragma once

#include <cstdint>
#include <vector>

#include "mp4/filesink.h"

class BoxWriter {
public:
    explicit BoxWriter(FileSink& out) : out(out) {}

    void U8(uint8_t v) { out.Write(&v, 1); }
    void U16(uint16_t v) {
        const uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
        out.Write(b, 2);
    }
    void U24(uint32_t v) {
        const uint8_t b[3] = {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        out.Write(b, 3);
    }
    void U32(uint32_t v) {
        const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        out.Write(b, 4);
    }
    void U64(uint64_t v) {
        U32(uint32_t(v >> 32));
        U32(uint32_t(v));
    }
    void Bytes(const void* data, size_t n) { out.Write(data, n); }
    void Bytes(const std::vector<uint8_t>& b) { out.Write(b.data(), b.size()); }
    void Zeros(size_t n);
    void Fourcc(const char* type) { out.Write(type, 4); }
    // Offset in the file of the next byte written.
    uint64_t Position() const { return out.Position(); }

    // A box header with its size left open until the matching EndBox.
    void StartBox(const char* type);
    // A FullBox header: the box header, then version and flags (4.2).
    void StartFullBox(const char* type, uint8_t version, uint32_t flags);
    void EndBox();

private:
    FileSink& out;
    std::vector<uint64_t> open;  // file offsets of the boxes not yet ended
};
