// The message list of an SEI NAL unit (H.264 7.3.2.3.1, H.265 7.3.5): each message's
// payloadType and payloadSize, and its payload bytes, read from the unit without a copy.
#pragma once

#include <cstdint>

#include "syntax/rbspbytes.h"

class SeiMessages {
public:
    // nal[0, length) is the whole unit; its first headerBytes bytes (the NAL unit header: 1 for
    // H.264, 2 for H.265) are skipped. Nothing is read here.
    SeiMessages(const uint8_t* nal, uint32_t length, uint32_t headerBytes);

    // Steps over what is left of the current message to the next one. False at the end of the
    // list (the rbsp_trailing_bits byte) and where the list breaks off.
    bool Next();
    uint32_t Type() const { return type; }
    uint32_t Size() const { return size; }
    // Copies up to cap bytes of the current payload, from where the last read stopped; returns
    // how many. Fewer than asked when the payload or the unit ends.
    uint32_t Read(uint8_t* dst, uint32_t cap);

private:
    bool ReadNumber(uint32_t* value);

    RbspBytes bytes;
    uint32_t headerLeft;
    uint32_t type = 0;
    uint32_t size = 0;
    uint32_t left = 0;  // payload bytes of the current message not read yet
};
