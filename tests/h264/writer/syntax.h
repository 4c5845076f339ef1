// Parameter sets, slice headers and slice data of the Baseline tool set, written element by
// element in bitstream order. Every element the decoder reads can be set; the defaults make a
// small valid stream (level 3.0, 4 x 3 macroblocks, picture order count type 0, deblocking
// control present, QP 10 so that the loop filter never alters a sample).
#pragma once

#include <cstdint>
#include <vector>

#include "h264/writer/bit_writer.h"

namespace vexlor::h264w {

struct Hrd {
  int cpb_cnt_minus1 = 0;
  int bit_rate_scale = 4;
  int cpb_size_scale = 5;
  std::vector<uint32_t> bit_rate_value_minus1 = {1999};  // cpb_cnt_minus1 + 1 entries each
  std::vector<uint32_t> cpb_size_value_minus1 = {3999};
  std::vector<int> cbr_flag = {0};
  int initial_cpb_removal_delay_length_minus1 = 23;
  int cpb_removal_delay_length_minus1 = 23;
  int dpb_output_delay_length_minus1 = 23;
  int time_offset_length = 24;
};

struct Vui {
  int aspect_ratio_info_present_flag = 0;
  int aspect_ratio_idc = 0;
  int sar_width = 0;
  int sar_height = 0;
  int overscan_info_present_flag = 0;
  int overscan_appropriate_flag = 0;
  int video_signal_type_present_flag = 0;
  int video_format = 5;
  int video_full_range_flag = 0;
  int colour_description_present_flag = 0;
  int colour_primaries = 2;
  int transfer_characteristics = 2;
  int matrix_coefficients = 2;
  int chroma_loc_info_present_flag = 0;
  int chroma_sample_loc_type_top_field = 0;
  int chroma_sample_loc_type_bottom_field = 0;
  int timing_info_present_flag = 0;
  uint32_t num_units_in_tick = 1;
  uint32_t time_scale = 50;
  int fixed_frame_rate_flag = 0;
  int nal_hrd_parameters_present_flag = 0;
  Hrd nal_hrd;
  int vcl_hrd_parameters_present_flag = 0;
  Hrd vcl_hrd;
  int low_delay_hrd_flag = 0;
  int pic_struct_present_flag = 0;
  int bitstream_restriction_flag = 0;
  int motion_vectors_over_pic_boundaries_flag = 1;
  int max_bytes_per_pic_denom = 0;
  int max_bits_per_mb_denom = 0;
  int log2_max_mv_length_horizontal = 16;
  int log2_max_mv_length_vertical = 16;
  int num_reorder_frames = 0;
  int max_dec_frame_buffering = 1;
};

struct Sps {
  int profile_idc = 66;
  int constraint_set0_flag = 1;
  int constraint_set1_flag = 1;
  int constraint_set2_flag = 0;
  int reserved_zero_5bits = 0;
  int level_idc = 30;
  int seq_parameter_set_id = 0;
  int log2_max_frame_num_minus4 = 0;
  int pic_order_cnt_type = 0;
  int log2_max_pic_order_cnt_lsb_minus4 = 4;
  int delta_pic_order_always_zero_flag = 0;
  int offset_for_non_ref_pic = 0;
  int offset_for_top_to_bottom_field = 0;
  std::vector<int> offset_for_ref_frame;  // num_ref_frames_in_pic_order_cnt_cycle entries
  int num_ref_frames = 1;
  int gaps_in_frame_num_value_allowed_flag = 0;
  int pic_width_in_mbs_minus1 = 3;
  int pic_height_in_map_units_minus1 = 2;
  int frame_mbs_only_flag = 1;
  int mb_adaptive_frame_field_flag = 0;  // written only when frame_mbs_only_flag is 0
  int direct_8x8_inference_flag = 1;
  int frame_cropping_flag = 0;
  int frame_crop_left_offset = 0;
  int frame_crop_right_offset = 0;
  int frame_crop_top_offset = 0;
  int frame_crop_bottom_offset = 0;
  int vui_parameters_present_flag = 0;
  Vui vui;

  int WidthMbs() const { return pic_width_in_mbs_minus1 + 1; }
  int HeightMbs() const { return pic_height_in_map_units_minus1 + 1; }
  int SizeMbs() const { return WidthMbs() * HeightMbs(); }
  int Width() const { return 16 * WidthMbs(); }
  int Height() const { return 16 * HeightMbs(); }
  // Convenience: VUI with bitstream_restriction only.
  void SetReorder(int num_reorder_frames, int max_dec_frame_buffering);
};

struct Pps {
  int pic_parameter_set_id = 0;
  int seq_parameter_set_id = 0;
  int entropy_coding_mode_flag = 0;
  int pic_order_present_flag = 0;
  int num_slice_groups_minus1 = 0;
  int slice_group_map_type = 0;
  int run_length_minus1[8] = {};
  int top_left[8] = {};
  int bottom_right[8] = {};
  int slice_group_change_direction_flag = 0;
  int slice_group_change_rate_minus1 = 0;
  std::vector<int> slice_group_id;  // type 6: pic_size_in_map_units_minus1 + 1 entries
  int num_ref_idx_l0_active_minus1 = 0;
  int num_ref_idx_l1_active_minus1 = 0;
  int weighted_pred_flag = 0;
  int weighted_bipred_idc = 0;
  int pic_init_qp_minus26 = -16;
  int pic_init_qs_minus26 = 0;
  int chroma_qp_index_offset = 0;
  int deblocking_filter_control_present_flag = 1;
  int constrained_intra_pred_flag = 0;
  int redundant_pic_cnt_present_flag = 0;
};

struct Reorder {
  int idc = 3;
  int abs_diff_pic_num_minus1 = 0;
  int long_term_pic_num = 0;
};

struct Mmco {
  int op = 0;
  int difference_of_pic_nums_minus1 = 0;
  int long_term_pic_num = 0;
  int long_term_frame_idx = 0;
  int max_long_term_frame_idx_plus1 = 0;
};

enum SliceType : int { kSliceP = 0, kSliceB = 1, kSliceI = 2, kSliceSP = 3, kSliceSI = 4 };

struct SliceHeader {
  int nal_unit_type = 1;  // 5 for IDR
  int nal_ref_idc = 1;
  int first_mb_in_slice = 0;
  int slice_type = kSliceP;  // 0..9
  int pic_parameter_set_id = 0;
  int frame_num = 0;
  int idr_pic_id = 0;
  int pic_order_cnt_lsb = 0;
  int delta_pic_order_cnt_bottom = 0;
  int delta_pic_order_cnt[2] = {};
  int redundant_pic_cnt = 0;
  int num_ref_idx_active_override_flag = 0;
  int num_ref_idx_l0_active_minus1 = 0;
  // Reordering: the flag is written as 1 when commands are given; the closing idc 3 is added.
  std::vector<Reorder> reorder;
  int no_output_of_prior_pics_flag = 0;
  int long_term_reference_flag = 0;
  // Adaptive marking: the flag is written as 1 when commands are given; the closing 0 is added.
  std::vector<Mmco> mmco;
  int slice_qp_delta = 0;
  int disable_deblocking_filter_idc = 0;
  int slice_alpha_c0_offset_div2 = 0;
  int slice_beta_offset_div2 = 0;
  int slice_group_change_cycle = 0;

  bool IsIdr() const { return nal_unit_type == 5; }
  bool IsIntraSlice() const { return slice_type % 5 == kSliceI || slice_type % 5 == kSliceSI; }
  // Sets the number of active references through the override flag.
  void SetActiveRefs(int count) {
    num_ref_idx_active_override_flag = 1;
    num_ref_idx_l0_active_minus1 = count - 1;
  }
};

std::vector<uint8_t> SpsRbsp(const Sps& sps);
std::vector<uint8_t> PpsRbsp(const Pps& pps);
inline std::vector<uint8_t> SpsNal(const Sps& sps) {
  return MakeNalUnit(3, 7, SpsRbsp(sps));
}
inline std::vector<uint8_t> PpsNal(const Pps& pps) {
  return MakeNalUnit(3, 8, PpsRbsp(pps));
}

// Number of bits of slice_group_change_cycle for this picture size and change rate.
int SliceGroupChangeCycleBits(int picSizeInMapUnits, int sliceGroupChangeRate);

void WriteSliceHeader(BitWriter* w, const Sps& sps, const Pps& pps, const SliceHeader& h);

// The slice group of every macroblock address, from the picture parameter set and the slice's
// slice_group_change_cycle (the standard's map unit derivation, frames only).
std::vector<int> SliceGroupMap(const Sps& sps, const Pps& pps, int slice_group_change_cycle);

}  // namespace vexlor::h264w
