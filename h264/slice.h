// Picture parameter sets and slice headers, as far as finding pictures and their order needs.
#pragma once

#include <cstdint>
#include <memory>

#include "h264/sps.h"

struct PpsInfo {
    uint32_t pic_parameter_set_id;
    uint32_t seq_parameter_set_id;
    uint8_t entropy_coding_mode_flag;
    uint8_t bottom_field_pic_order_in_frame_present_flag;
    uint32_t num_slice_groups_minus1;
    uint32_t slice_group_map_type;
    uint32_t slice_group_change_rate_minus1;
    uint32_t pic_size_in_map_units_minus1;
    uint32_t num_ref_idx_l0_default_active_minus1;
    uint32_t num_ref_idx_l1_default_active_minus1;
    uint8_t weighted_pred_flag;
    uint32_t weighted_bipred_idc;
    uint8_t deblocking_filter_control_present_flag;
    uint8_t constrained_intra_pred_flag;
    uint8_t redundant_pic_cnt_present_flag;
};

// Parses a PPS NAL unit (`data` at its header byte) up to redundant_pic_cnt_present_flag.
bool ParsePps(const uint8_t* data, uint32_t length, PpsInfo* pps);

// The parameter sets met so far, by id; a later one with the same id replaces the earlier.
class ParameterSets {
public:
    ParameterSets();
    ~ParameterSets();
    ParameterSets(const ParameterSets&) = delete;
    ParameterSets& operator=(const ParameterSets&) = delete;

    bool AddSps(const uint8_t* data, uint32_t length);
    bool AddPps(const uint8_t* data, uint32_t length);
    const SpsInfo* Sps(uint32_t id) const;  // nullptr when absent
    const PpsInfo* Pps(uint32_t id) const;

private:
    std::unique_ptr<SpsInfo> sps[32];
    std::unique_ptr<PpsInfo> pps[256];
};

struct SliceHeader {
    uint8_t nal_unit_type;
    uint8_t nal_ref_idc;
    uint32_t first_mb_in_slice;
    uint32_t slice_type;
    uint32_t pic_parameter_set_id;
    uint32_t seq_parameter_set_id;  // of the PPS
    uint32_t colour_plane_id;
    uint32_t frame_num;
    uint8_t field_pic_flag;
    uint8_t bottom_field_flag;
    uint32_t idr_pic_id;
    uint32_t pic_order_cnt_lsb;
    int32_t delta_pic_order_cnt_bottom;
    int32_t delta_pic_order_cnt[2];
    uint8_t has_mmco5;  // dec_ref_pic_marking holds memory_management_control_operation 5
};

// Parses the header of a coded slice (NAL unit type 1 or 5, `data` at its header byte) up to
// and including dec_ref_pic_marking. False when its parameter sets are missing or a read fails.
// Never throws; allocates nothing.
bool ParseSliceHeader(const uint8_t* data, uint32_t length, const ParameterSets& ps,
                      SliceHeader* sh);
