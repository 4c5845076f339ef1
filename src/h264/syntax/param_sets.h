// Sequence and picture parameter sets (H.264 clauses 7.3.2.1, 7.3.2.2, Annex E.1) and the
// level limits of Table A-1. Sets are stored by id in tables of the decoder instance; a set is
// parsed into a scratch record and replaces the stored one only when the whole set was accepted.
//
// The decoder reads the Baseline syntax and refuses what it cannot decode as it reads. The
// AnyProfile readers read the syntax of every profile (the chroma format, bit depths and scaling
// matrices of the High profiles, interlaced coding, the 8x8 transform) and refuse only what
// cannot be read; they serve the stream facts and the reasons the decoder gives.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bitstream/bitreader.h"

namespace vexlor::h264 {

constexpr int kMaxSps = 32;
constexpr int kMaxPps = 256;
constexpr int kMaxSliceGroups = 8;
constexpr int kMaxMbDimension = 543;  // pictures of at most 543 x 543 macroblocks
// The AnyProfile readers' bound on the width in macroblocks and the height in map units.
constexpr int kMaxAnyProfileMbDimension = 2048;

struct HrdParams {
  int32_t cpb_cnt_minus1;
  int32_t bit_rate_scale;
  int32_t cpb_size_scale;
  uint32_t bit_rate_value_minus1[32];
  uint32_t cpb_size_value_minus1[32];
  int32_t cbr_flag[32];
  int32_t initial_cpb_removal_delay_length_minus1;
  int32_t cpb_removal_delay_length_minus1;
  int32_t dpb_output_delay_length_minus1;
  int32_t time_offset_length;
};

struct VuiParams {
  int32_t aspect_ratio_info_present_flag;
  int32_t aspect_ratio_idc;
  int32_t sar_width;
  int32_t sar_height;
  int32_t overscan_info_present_flag;
  int32_t overscan_appropriate_flag;
  int32_t video_signal_type_present_flag;
  int32_t video_format;
  int32_t video_full_range_flag;
  int32_t colour_description_present_flag;
  int32_t colour_primaries;
  int32_t transfer_characteristics;
  int32_t matrix_coefficients;
  int32_t chroma_loc_info_present_flag;
  int32_t chroma_sample_loc_type_top_field;
  int32_t chroma_sample_loc_type_bottom_field;
  int32_t timing_info_present_flag;
  uint32_t num_units_in_tick;
  uint32_t time_scale;
  int32_t fixed_frame_rate_flag;
  int32_t nal_hrd_parameters_present_flag;
  HrdParams nalHrd;
  int32_t vcl_hrd_parameters_present_flag;
  HrdParams vclHrd;
  int32_t low_delay_hrd_flag;
  int32_t pic_struct_present_flag;
  int32_t bitstream_restriction_flag;
  int32_t motion_vectors_over_pic_boundaries_flag;
  int32_t max_bytes_per_pic_denom;
  int32_t max_bits_per_mb_denom;
  int32_t log2_max_mv_length_horizontal;
  int32_t log2_max_mv_length_vertical;
  int32_t num_reorder_frames;
  int32_t max_dec_frame_buffering;
};

struct SeqParamSet {
  int32_t profile_idc;
  int32_t constraint_set0_flag;
  int32_t constraint_set1_flag;
  int32_t constraint_set2_flag;
  int32_t reserved_zero_5bits;
  int32_t level_idc;
  int32_t seq_parameter_set_id;
  int32_t log2_max_frame_num_minus4;
  int32_t pic_order_cnt_type;
  int32_t log2_max_pic_order_cnt_lsb_minus4;
  int32_t delta_pic_order_always_zero_flag;
  int32_t offset_for_non_ref_pic;
  int32_t offset_for_top_to_bottom_field;
  int32_t num_ref_frames_in_pic_order_cnt_cycle;
  int32_t offset_for_ref_frame[256];
  int32_t num_ref_frames;
  int32_t gaps_in_frame_num_value_allowed_flag;
  int32_t pic_width_in_mbs_minus1;
  int32_t pic_height_in_map_units_minus1;
  int32_t frame_mbs_only_flag;
  int32_t mb_adaptive_frame_field_flag;
  int32_t direct_8x8_inference_flag;
  int32_t frame_cropping_flag;
  int32_t frame_crop_left_offset;
  int32_t frame_crop_right_offset;
  int32_t frame_crop_top_offset;
  int32_t frame_crop_bottom_offset;
  int32_t vui_parameters_present_flag;
  VuiParams vui;
  // Read by the AnyProfile reader only (the decoder's records keep these values): the fields of
  // the High profiles' sequence parameter sets.
  int32_t chroma_format_idc = 1;
  int32_t separate_colour_plane_flag = 0;
  int32_t bit_depth_luma_minus8 = 0;
  int32_t bit_depth_chroma_minus8 = 0;
  int32_t qpprime_y_zero_transform_bypass_flag = 0;
  int32_t seq_scaling_matrix_present_flag = 0;
};

struct PicParamSet {
  int32_t seq_parameter_set_id;
  int32_t entropy_coding_mode_flag;
  int32_t pic_order_present_flag;
  int32_t num_slice_groups_minus1;
  int32_t slice_group_map_type;
  int32_t run_length_minus1[8];
  int32_t top_left[8];
  int32_t bottom_right[8];
  int32_t slice_group_change_direction_flag;
  int32_t slice_group_change_rate_minus1;
  int32_t sliceGroupIdCount;             // the last pic_size_in_map_units_minus1 read
  std::vector<uint8_t> sliceGroupIds;    // sliceGroupIdCount + 1 entries (map type 6)
  int32_t num_ref_idx_l0_active_minus1;  // num_ref_idx_l0_default_active_minus1
  int32_t num_ref_idx_l1_active_minus1;
  int32_t weighted_pred_flag;
  int32_t weighted_bipred_idc;
  int32_t pic_init_qp_minus26;
  int32_t pic_init_qs_minus26;
  int32_t chroma_qp_index_offset;
  int32_t deblocking_filter_control_present_flag;
  int32_t constrained_intra_pred_flag;
  int32_t redundant_pic_cnt_present_flag;
  // Read by the AnyProfile reader only: the High profiles' extension of the set.
  int32_t transform_8x8_mode_flag = 0;
  int32_t pic_scaling_matrix_present_flag = 0;
  int32_t second_chroma_qp_index_offset = 0;
};

// H.264 Table A-1: level_idc, MaxMBPS, MaxFS, MaxDPB (bytes), MaxBR, MaxCPB, MaxVmvR, MinCR,
// MaxMvsPer2Mb (0 = no limit).
struct LevelLimit {
  int32_t level_idc;
  int32_t maxMbps, maxFs, maxDpbBytes, maxBr, maxCpb, maxVmvR, minCr, maxMvsPer2Mb;
};
extern const LevelLimit LevelLimits[15];
const LevelLimit* FindLevel(int32_t level_idc);

// Parse one set from the reader (positioned after the NAL unit header) and store it under its
// id. 0, or a negative code (nothing stored).
int ParseSps(BitReader* r, std::unique_ptr<SeqParamSet>* spsTable);
int ParsePps(BitReader* r, std::unique_ptr<PicParamSet>* ppsTable);

// Parse one set of any profile from the reader (positioned after the NAL unit header) into *out,
// which is reset first: 0, or a negative code when the set cannot be read (its bounds, its
// trailing bits). Nothing is refused for the profile, the level, interlaced coding or the size
// (up to kMaxAnyProfileMbDimension). A PPS's scaling lists depend on the chroma format of its
// SPS, which is looked up in spsTable (4:2:0 when absent); slice group ids are read, not kept.
int ParseSpsAnyProfile(BitReader* r, SeqParamSet* out);
int ParsePpsAnyProfile(BitReader* r, const std::unique_ptr<SeqParamSet>* spsTable, int32_t* ppsId,
                       PicParamSet* out);

// The units of the frame cropping offsets, in luma samples: across, and down a frame.
int32_t CropUnitX(const SeqParamSet& s);
int32_t CropUnitY(const SeqParamSet& s);

// Whether a profile's sequence parameter sets carry the chroma format, bit depth and scaling
// matrix fields (the High profiles and those built on them).
bool HasChromaFormatSyntax(int32_t profileIdc);

}  // namespace vexlor::h264
