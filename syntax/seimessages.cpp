#include "syntax/seimessages.h"

SeiMessages::SeiMessages(const uint8_t* nal, uint32_t length, uint32_t headerBytes)
    : bytes(nal, length), headerLeft(headerBytes) {}

// payloadType or payloadSize: a run of 0xFF bytes, 255 each, and a last byte. False at the end.
bool SeiMessages::ReadNumber(uint32_t* value) {
    uint32_t v = 0;
    for (;;) {
        if (bytes.AtEnd()) return false;
        const uint8_t b = bytes.Next();
        v += b;
        if (b != 0xFF) break;
    }
    *value = v;
    return true;
}

bool SeiMessages::Next() {
    for (; headerLeft > 0; --headerLeft) {
        if (bytes.AtEnd()) return false;
        bytes.Next();
    }
    for (; left > 0; --left) {
        if (bytes.AtEnd()) return false;
        bytes.Next();
    }
    // Each message needs at least its type and size bytes; what is left after the last one is
    // the rbsp_trailing_bits byte.
    if (!ReadNumber(&type) || !ReadNumber(&size)) return false;
    left = size;
    return true;
}

uint32_t SeiMessages::Read(uint8_t* dst, uint32_t cap) {
    uint32_t n = 0;
    while (n < cap && left > 0 && !bytes.AtEnd()) {
        dst[n++] = bytes.Next();
        --left;
    }
    return n;
}
