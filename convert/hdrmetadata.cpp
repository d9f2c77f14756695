#include "convert/hdrmetadata.h"

#include "syntax/seimessages.h"

namespace {

constexpr uint32_t kMasteringDisplayType = 137;
constexpr uint32_t kMasteringDisplaySize = 24;
constexpr uint32_t kContentLightLevelType = 144;
constexpr uint32_t kContentLightLevelSize = 4;
constexpr uint8_t kH264Sei = 6;
constexpr uint8_t kH265PrefixSei = 39;

// The first `size` bytes of the current message's payload, when it has them.
bool ReadPayload(SeiMessages& messages, uint32_t size, std::vector<uint8_t>* out) {
    if (messages.Size() < size) return false;
    std::vector<uint8_t> payload(size);
    if (messages.Read(payload.data(), size) != size) return false;
    *out = std::move(payload);
    return true;
}

}  // namespace

void HdrMetadata::Take(Codec codec, const NalUnit& nal) {
    if (Complete() || nal.length <= 0) return;
    const uint32_t length = PayloadLength(nal);
    uint32_t headerBytes = 0;
    if (codec == Codec::H264 && (nal.data[0] & 0x1F) == kH264Sei)
        headerBytes = 1;
    else if (codec == Codec::H265 && length >= 2 && ((nal.data[0] >> 1) & 0x3F) == kH265PrefixSei &&
             (nal.data[0] & 1) == 0 && (nal.data[1] >> 3) == 0)  // the base layer's
        headerBytes = 2;
    if (headerBytes == 0) return;
    SeiMessages messages(nal.data, length, headerBytes);
    while (!Complete() && messages.Next()) {
        if (messages.Type() == kMasteringDisplayType && masteringDisplay.empty())
            ReadPayload(messages, kMasteringDisplaySize, &masteringDisplay);
        else if (messages.Type() == kContentLightLevelType && contentLightLevel.empty())
            ReadPayload(messages, kContentLightLevelSize, &contentLightLevel);
    }
}
