// The H.265 slice segment header (7.3.6.1) up to slice_pic_order_cnt_lsb.
#pragma once

#include <cstdint>

#include "h265/parametersets.h"

enum H265SliceType : uint32_t {
    kH265SliceB = 0,
    kH265SliceP = 1,
    kH265SliceI = 2,
};

struct H265SliceHeader {
    uint8_t nal_unit_type;
    uint8_t nuh_layer_id;
    uint8_t temporal_id;  // nuh_temporal_id_plus1 - 1
    uint8_t first_slice_segment_in_pic_flag;
    uint8_t no_output_of_prior_pics_flag;  // IRAP pictures only
    uint32_t slice_pic_parameter_set_id;
    uint32_t seq_parameter_set_id;  // of that PPS
    uint8_t dependent_slice_segment_flag;
    uint32_t slice_segment_address;
    // The fields below are not coded in a dependent slice segment and stay 0 there: they are
    // those of the independent segment before it.
    uint32_t slice_type;      // an H265SliceType
    uint8_t pic_output_flag;  // 1 when not coded
    uint8_t colour_plane_id;
    uint32_t slice_pic_order_cnt_lsb;  // 0 for IDR pictures
};

// Parses the slice segment header of a VCL NAL unit data[0, length) (from its 2-byte header)
// through slice_pic_order_cnt_lsb. False when the unit is no VCL unit of the base layer, its PPS
// or that PPS's SPS is missing, a read runs out of data or a value is out of range. Never throws.
bool ParseH265SliceHeader(const uint8_t* data, uint32_t length, const H265ParameterSets& ps,
                          H265SliceHeader* sh);
