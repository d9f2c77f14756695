#include "h264/sei.h"

#include "syntax/bitstream.h"
#include "syntax/expgolomb.h"
#include "syntax/seimessages.h"

bool FindRecoveryPoint(const uint8_t* nal, uint32_t length, uint32_t* recovery_frame_cnt) {
    if (length == 0 || (nal[0] & 0x1F) != 6) return false;
    SeiMessages messages(nal, length, 1);
    while (messages.Next()) {
        if (messages.Type() != 6) continue;
        // recovery_frame_cnt is an Exp-Golomb code of at most 32 bits plus the flags that
        // follow it, so its first 8 bytes are enough.
        uint8_t payload[8];
        const uint32_t n = messages.Read(payload, sizeof payload);
        try {
            Bitstream s(payload, n * 8);
            *recovery_frame_cnt = ReadUE(s);
            return true;
        } catch (...) {
            return false;
        }
    }
    return false;
}
