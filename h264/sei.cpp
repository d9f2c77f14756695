#include "h264/sei.h"

#include "h264/bitstream.h"
#include "h264/sps.h"

namespace {

constexpr uint32_t kSeiBytes = 4096;  // messages further in are not looked at
constexpr uint32_t kRecoveryPoint = 6;

}  // namespace

bool FindRecoveryPoint(const uint8_t* data, uint32_t length, uint32_t* recoveryFrameCnt) {
    if (!data || length < 2) return false;
    uint8_t rbsp[kSeiBytes];
    const uint32_t bytes = UnescapeRbsp(data, length, rbsp, kSeiBytes);
    uint32_t at = 1;  // behind the NAL header
    // Each message: payload type and size, each as FF bytes plus a last byte; then the payload.
    while (at < bytes && !(rbsp[at] == 0x80 && at + 1 == bytes)) {
        uint32_t type = 0, size = 0;
        while (at < bytes && rbsp[at] == 0xFF) type += rbsp[at++];
        if (at >= bytes) return false;
        type += rbsp[at++];
        while (at < bytes && rbsp[at] == 0xFF) size += rbsp[at++];
        if (at >= bytes) return false;
        size += rbsp[at++];
        if (size > bytes - at) return false;
        if (type == kRecoveryPoint) {
            try {
                Bitstream bs(rbsp + at, size * 8);
                *recoveryFrameCnt = ReadUE(bs);
                return true;
            } catch (...) {
                return false;
            }
        }
        at += size;
    }
    return false;
}
