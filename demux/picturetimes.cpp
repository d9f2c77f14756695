#include "demux/picturetimes.h"

#include <cstring>

namespace {

// Whether the NAL unit whose header begins at `p` (with `n` bytes from there) is a slice, and
// whether it is the first of its picture.
bool Slice(VideoCoding coding, const uint8_t* p, size_t n, bool* first) {
    if (coding == VideoCoding::H265) {
        if (n < 3 || (p[0] >> 1 & 0x3F) >= 32) return false;
        *first = (p[2] & 0x80) != 0;
        return true;
    }
    const int type = p[0] & 0x1F;
    if (n < 2 || type < 1 || type > 5) return false;
    *first = (p[1] & 0x80) != 0;  // first_mb_in_slice: ue(v) 0 is the single bit 1
    return true;
}

}  // namespace

void PictureTimes::Take(VideoCoding coding, const uint8_t* data, size_t size, int64_t ms) {
    // The units up to the first slice: a packet holds one picture's units, or fewer, and the
    // slice data that follows need not be looked through.
    for (size_t i = 2; i < size;) {
        const void* one = memchr(data + i, 1, size - i);
        if (!one) return;
        i = size_t(static_cast<const uint8_t*>(one) - data) + 1;
        if (data[i - 2] != 0 || data[i - 3] != 0) continue;
        bool first = false;
        if (Slice(coding, data + i, size - i, &first)) {
            if (first) times.push_back(ms);
            return;
        }
    }
}
