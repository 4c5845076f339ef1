// Slice header (H.264 clauses 7.3.3, 7.3.3.1, 7.3.3.3) and the test for the first slice of a
// new picture (clause 7.4.1.2.4).
#pragma once

#include <cstdint>
#include <memory>

#include "bitstream/bitreader.h"
#include "syntax/param_sets.h"

namespace vexlor::h264 {

constexpr int kMaxReorderCommands = 17;
constexpr int kMaxMarkingCommands = 35;

struct ReorderCommand {
  int32_t reordering_of_pic_nums_idc;
  int32_t abs_diff_pic_num_minus1;
  int32_t long_term_pic_num;
};

struct MarkingCommand {
  int32_t memory_management_control_operation;
  int32_t difference_of_pic_nums_minus1;
  int32_t long_term_pic_num;
  int32_t long_term_frame_idx;
  int32_t max_long_term_frame_idx_plus1;
};

struct SliceHeader {
  int32_t nal_unit_type;
  int32_t nal_ref_idc;
  int32_t maxFrameNum;
  int32_t idrFlag;
  int32_t sliceQp;
  int32_t hasMmco5;
  int32_t first_mb_in_slice;
  int32_t slice_type;
  int32_t pic_parameter_set_id;
  int32_t frame_num;
  int32_t idr_pic_id;
  int32_t pic_order_cnt_lsb;
  int32_t delta_pic_order_cnt_bottom;
  int32_t delta_pic_order_cnt[2];
  int32_t redundant_pic_cnt;
  int32_t num_ref_idx_active_override_flag;
  int32_t num_ref_idx_l0_active_minus1;
  int32_t ref_pic_list_reordering_flag_l0;
  ReorderCommand reorderCommands[kMaxReorderCommands];
  int32_t no_output_of_prior_pics_flag;
  int32_t long_term_reference_flag;
  int32_t adaptive_ref_pic_marking_mode_flag;
  MarkingCommand markingCommands[kMaxMarkingCommands];
  int32_t slice_qp_delta;
  int32_t disable_deblocking_filter_idc;
  int32_t slice_alpha_c0_offset_div2;
  int32_t slice_beta_offset_div2;
  int32_t slice_group_change_cycle;
};

// Parses the header of a slice NAL unit into h; nal_unit_type, nal_ref_idc and idrFlag must be
// set by the caller. 0, or a negative code.
int ParseSliceHeader(SliceHeader* h, std::unique_ptr<SeqParamSet>* spsTable,
                     std::unique_ptr<PicParamSet>* ppsTable, BitReader* r);
// 1 when the slice in next starts another picture than the one of prev.
int IsNewPicture(const SliceHeader* prev, const SliceHeader* next,
                 const std::unique_ptr<SeqParamSet>* spsTable,
                 const std::unique_ptr<PicParamSet>* ppsTable);

}  // namespace vexlor::h264
