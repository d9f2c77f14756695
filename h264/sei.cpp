#include "h264/sei.h"

#include "h264/bitstream.h"
#include "h264/sps.h"

namespace {

// The bytes of a NAL unit with its emulation-prevention bytes left out, one at a time, so that
// messages of any size can be stepped over without a copy.
class RbspReader {
public:
    RbspReader(const uint8_t* data, uint32_t length) : p(data), end(data + length) { Settle(); }
    bool AtEnd() const { return p == end; }
    uint8_t Next() {
        const uint8_t b = *p++;
        zeros = b == 0 ? zeros + 1 : 0;
        Settle();
        return b;
    }

private:
    void Settle() {
        if (p != end && zeros >= 2 && *p == 0x03) {
            ++p;
            zeros = 0;
        }
    }
    const uint8_t* p;
    const uint8_t* end;
    uint32_t zeros = 0;
};

// payloadType or payloadSize: a run of 0xFF bytes, 255 each, and a last byte. False at the end.
bool ReadSeiNumber(RbspReader& r, uint32_t* value) {
    uint32_t v = 0;
    for (;;) {
        if (r.AtEnd()) return false;
        const uint8_t b = r.Next();
        v += b;
        if (b != 0xFF) break;
    }
    *value = v;
    return true;
}

}  // namespace

bool FindRecoveryPoint(const uint8_t* nal, uint32_t length, uint32_t* recovery_frame_cnt) {
    RbspReader r(nal, length);
    if (r.AtEnd() || (r.Next() & 0x1F) != 6) return false;
    // Each message needs at least its type and size bytes; what is left after the last one is
    // the rbsp_trailing_bits byte.
    for (;;) {
        uint32_t type, size;
        if (!ReadSeiNumber(r, &type) || !ReadSeiNumber(r, &size)) return false;
        if (type == 6) {
            // recovery_frame_cnt is an Exp-Golomb code of at most 32 bits plus the flags that
            // follow it, so its first 8 bytes are enough.
            uint8_t payload[8];
            uint32_t n = 0;
            while (n < size && n < sizeof payload && !r.AtEnd()) payload[n++] = r.Next();
            try {
                Bitstream s(payload, n * 8);
                *recovery_frame_cnt = ReadUE(s);
                return true;
            } catch (...) {
                return false;
            }
        }
        for (uint32_t i = 0; i < size; ++i) {
            if (r.AtEnd()) return false;
            r.Next();
        }
    }
}
