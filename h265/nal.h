// NAL unit header (H.265 7.3.1.2) and the nal_unit_type classes of Table 7-1.
#pragma once

#include <cstdint>

enum H265NalType : uint8_t {
    kH265TrailN = 0,
    kH265TrailR = 1,
    kH265TsaN = 2,
    kH265TsaR = 3,
    kH265StsaN = 4,
    kH265StsaR = 5,
    kH265RadlN = 6,
    kH265RadlR = 7,
    kH265RaslN = 8,
    kH265RaslR = 9,
    kH265BlaWLp = 16,
    kH265BlaWRadl = 17,
    kH265BlaNLp = 18,
    kH265IdrWRadl = 19,
    kH265IdrNLp = 20,
    kH265Cra = 21,
    kH265Vps = 32,
    kH265Sps = 33,
    kH265Pps = 34,
    kH265Aud = 35,
    kH265Eos = 36,
    kH265Eob = 37,
    kH265Fd = 38,
    kH265PrefixSei = 39,
    kH265SuffixSei = 40,
};

struct H265NalHeader {
    uint8_t nal_unit_type;
    uint8_t nuh_layer_id;
    uint8_t nuh_temporal_id_plus1;  // TemporalId + 1, never 0 after a successful parse
};

// Reads the two header bytes at data. False when length < 2, forbidden_zero_bit is set or
// nuh_temporal_id_plus1 is 0; h is then unchanged.
bool ParseH265NalHeader(const uint8_t* data, uint32_t length, H265NalHeader* h);

inline bool H265IsVcl(uint32_t t) {
    return t < 32;
}
// Intra random access point: BLA, IDR, CRA and the two reserved IRAP types 22 and 23.
inline bool H265IsIrap(uint32_t t) {
    return t >= 16 && t <= 23;
}
inline bool H265IsIdr(uint32_t t) {
    return t == kH265IdrWRadl || t == kH265IdrNLp;
}
inline bool H265IsBla(uint32_t t) {
    return t >= kH265BlaWLp && t <= kH265BlaNLp;
}
inline bool H265IsCra(uint32_t t) {
    return t == kH265Cra;
}
inline bool H265IsRasl(uint32_t t) {
    return t == kH265RaslN || t == kH265RaslR;
}
inline bool H265IsRadl(uint32_t t) {
    return t == kH265RadlN || t == kH265RadlR;
}
// TRAIL_N, TSA_N, STSA_N, RADL_N, RASL_N and the reserved RSV_VCL_N10/12/14.
inline bool H265IsSubLayerNonReference(uint32_t t) {
    return t <= 14 && t % 2 == 0;
}
