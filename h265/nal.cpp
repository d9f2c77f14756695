#include "h265/nal.h"

bool ParseH265NalHeader(const uint8_t* data, uint32_t length, H265NalHeader* h) {
    if (length < 2 || (data[0] & 0x80)) return false;  // forbidden_zero_bit
    const uint8_t temporalIdPlus1 = data[1] & 0x07;
    if (temporalIdPlus1 == 0) return false;
    h->nal_unit_type = uint8_t((data[0] >> 1) & 0x3F);
    h->nuh_layer_id = uint8_t(((data[0] & 0x01) << 5) | (data[1] >> 3));
    h->nuh_temporal_id_plus1 = temporalIdPlus1;
    return true;
}
