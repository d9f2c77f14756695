#include "mp4/esds.h"

#include <algorithm>

namespace {

// 14496-1 8.3.3: the size of a descriptor's payload, 7 bits a byte with the top bit telling that
// another follows; the length is known before the payload is written.
void DescriptorHeader(BoxWriter& w, uint8_t tag, uint32_t size) {
    w.U8(tag);
    int bytes = 1;
    while (bytes < 4 && size >> (7 * bytes)) ++bytes;
    for (int i = bytes - 1; i > 0; --i) w.U8(uint8_t(0x80 | ((size >> (7 * i)) & 0x7F)));
    w.U8(uint8_t(size & 0x7F));
}

uint32_t DescriptorSize(uint32_t payload) {
    uint32_t bytes = 1;
    while (bytes < 4 && payload >> (7 * bytes)) ++bytes;
    return 1 + bytes + payload;
}

constexpr uint8_t kEsDescrTag = 0x03;
constexpr uint8_t kDecoderConfigDescrTag = 0x04;
constexpr uint8_t kDecSpecificInfoTag = 0x05;
constexpr uint8_t kSlConfigDescrTag = 0x06;
constexpr uint8_t kStreamTypeAudio = 0x05;

}  // namespace

void WriteEsds(BoxWriter& w, uint8_t objectType, const BitRate& rate,
               const std::vector<uint8_t>& specificInfo) {
    const uint32_t info = specificInfo.empty() ? 0 : DescriptorSize(uint32_t(specificInfo.size()));
    const uint32_t config = 13 + info;
    const uint32_t sl = 1;
    w.StartFullBox("esds", 0, 0);
    DescriptorHeader(w, kEsDescrTag, 3 + DescriptorSize(config) + DescriptorSize(sl));
    w.U16(0);  // ES_ID: 0 in a file (14496-14 3.1.2)
    w.U8(0);   // no stream dependence, URL or OCR stream; priority 0
    DescriptorHeader(w, kDecoderConfigDescrTag, config);
    w.U8(objectType);
    w.U8(uint8_t(kStreamTypeAudio << 2 | 1));  // upStream 0, reserved 1
    w.U24(std::min<uint32_t>(rate.bufferSizeDB, 0xFFFFFF));
    w.U32(rate.maxBitrate);
    w.U32(rate.avgBitrate);
    if (!specificInfo.empty()) {
        DescriptorHeader(w, kDecSpecificInfoTag, uint32_t(specificInfo.size()));
        w.Bytes(specificInfo);
    }
    DescriptorHeader(w, kSlConfigDescrTag, sl);
    w.U8(2);  // predefined: reserved for use in MP4 files
    w.EndBox();
}
