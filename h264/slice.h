// Picture parameter sets and slice headers (H.264 7.3.2.2 and 7.3.3).
#pragma once

#include <cstdint>

#include "h264/sps.h"

// The picture parameter set up to redundant_pic_cnt_present_flag; the fields after it
// (transform_8x8_mode_flag and the picture scaling matrix) are not read.
struct PpsInfo {
    uint32_t pic_parameter_set_id;
    uint32_t seq_parameter_set_id;
    uint8_t entropy_coding_mode_flag;
    uint8_t bottom_field_pic_order_in_frame_present_flag;
    uint32_t num_slice_groups_minus1;
    uint32_t slice_group_map_type;
    uint8_t slice_group_change_direction_flag;
    uint32_t slice_group_change_rate_minus1;
    uint32_t pic_size_in_map_units_minus1;  // slice group map type 6 only
    uint32_t num_ref_idx_l0_default_active_minus1;
    uint32_t num_ref_idx_l1_default_active_minus1;
    uint8_t weighted_pred_flag;
    uint8_t weighted_bipred_idc;
    int32_t pic_init_qp_minus26;
    int32_t pic_init_qs_minus26;
    int32_t chroma_qp_index_offset;
    uint8_t deblocking_filter_control_present_flag;
    uint8_t constrained_intra_pred_flag;
    uint8_t redundant_pic_cnt_present_flag;
};

// Parses the PPS NAL unit data[0, length) (from its header byte). False when a read runs out
// of data or an identifier or count lies outside the range the standard allows. Never throws.
bool ParsePps(const uint8_t* data, uint32_t length, PpsInfo* pps);

// The active parameter sets of a stream, by their identifiers.
class ParameterSets {
public:
    // Parses (ParseSpsFull) and stores an SPS NAL unit, replacing one with the same id. False,
    // and nothing changed, when it does not parse or has values the slice and picture order
    // count decoding cannot work with.
    bool AddSps(const uint8_t* data, uint32_t length);
    bool AddPps(const uint8_t* data, uint32_t length);
    const SpsInfo* Sps(uint32_t seq_parameter_set_id) const;
    const PpsInfo* Pps(uint32_t pic_parameter_set_id) const;

private:
    SpsInfo sps[32] = {};
    PpsInfo pps[256] = {};
    bool hasSps[32] = {};
    bool hasPps[256] = {};
};

enum SliceType : uint32_t {
    SliceTypeP = 0,
    SliceTypeB = 1,
    SliceTypeI = 2,
    SliceTypeSP = 3,
    SliceTypeSI = 4,
};

struct SliceHeader {
    uint8_t nal_unit_type;
    uint8_t nal_ref_idc;
    uint32_t first_mb_in_slice;
    uint32_t slice_type;  // as coded, 0 to 9; slice_type % 5 is a SliceType
    uint32_t pic_parameter_set_id;
    uint32_t seq_parameter_set_id;  // of the PPS used
    uint8_t colour_plane_id;
    uint32_t frame_num;
    uint8_t field_pic_flag;
    uint8_t bottom_field_flag;
    uint32_t idr_pic_id;
    uint32_t pic_order_cnt_lsb;
    int32_t delta_pic_order_cnt_bottom;
    int32_t delta_pic_order_cnt[2];
    uint32_t redundant_pic_cnt;
    uint8_t direct_spatial_mv_pred_flag;
    uint32_t num_ref_idx_l0_active_minus1;
    uint32_t num_ref_idx_l1_active_minus1;
    uint8_t no_output_of_prior_pics_flag;
    uint8_t long_term_reference_flag;
    uint8_t adaptive_ref_pic_marking_mode_flag;
    uint8_t has_mmco5;  // memory_management_control_operation 5 among the marking operations
};

// Parses the slice header of a coded slice NAL unit (types 1, 2 and 5) from its header byte
// through dec_ref_pic_marking. False when the NAL unit is of another type, a parameter set it
// refers to is missing, a read runs out of data or a value is out of range. Never throws.
bool ParseSliceHeader(const uint8_t* data, uint32_t length, const ParameterSets& ps,
                      SliceHeader* sh);
