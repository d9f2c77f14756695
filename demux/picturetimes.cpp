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

// The codec a parameter set's header tells: H.265 VPS, SPS or PPS (7.3.1.2: types 32 to 34,
// layer 0, temporal id 1), H.264 SPS (7.3.1: type 7, forbidden bit 0).
VideoCoding Told(const uint8_t* p, size_t n) {
    if (n >= 2 && (p[0] & 0x81) == 0 && (p[0] >> 1) >= 32 && (p[0] >> 1) <= 34 && p[1] == 1)
        return VideoCoding::H265;
    if (n >= 1 && (p[0] & 0x9F) == 7) return VideoCoding::H264;
    return VideoCoding::Unknown;
}

}  // namespace

bool PictureTimes::Take(VideoCoding coding, const uint8_t* data, size_t size, int64_t ms) {
    // The units up to the first slice: a packet holds one picture's units, or fewer, and the
    // slice data that follows need not be looked through.
    for (size_t i = 2; i < size;) {
        const void* one = memchr(data + i, 1, size - i);
        if (!one) return false;
        i = size_t(static_cast<const uint8_t*>(one) - data) + 1;
        if (data[i - 2] != 0 || data[i - 3] != 0) continue;
        if (coding == VideoCoding::Unknown && seen == VideoCoding::Unknown)
            seen = Told(data + i, size - i);
        const VideoCoding c = coding != VideoCoding::Unknown ? coding : seen;
        bool first = false;
        if (c != VideoCoding::Unknown && Slice(c, data + i, size - i, &first)) {
            if (first) times.push_back(ms);
            return first;
        }
    }
    return false;
}
