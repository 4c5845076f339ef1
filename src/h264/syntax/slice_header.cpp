// Slice header (H.264 clauses 7.3.3, 7.3.3.1, 7.3.3.3) and first-slice-of-picture detection
// (clause 7.4.1.2.4).
#include "syntax/slice_header.h"

#include "common/errors.h"

namespace vexlor::h264 {

namespace {

bool IsIntraSliceType(int t) {
  return t == 2 || t == 4 || t == 7 || t == 9;
}

}  // namespace

int ParseSliceHeader(SliceHeader* h, std::unique_ptr<SeqParamSet>* spsTable,
                     std::unique_ptr<PicParamSet>* ppsTable, BitReader* r) {
  h->hasMmco5 = 0;
  VX_TRY(ReadUeMax(r, 65535, &h->first_mb_in_slice));
  VX_TRY(ReadUeMax(r, 9, &h->slice_type));
  // B slices carry syntax this decoder does not read; refuse them before it is misread.
  if (h->slice_type == 1 || h->slice_type == 6) return kErrSyntax;
  VX_TRY(ReadUeMax(r, kMaxPps - 1, &h->pic_parameter_set_id));
  const PicParamSet* pps = ppsTable[h->pic_parameter_set_id].get();
  if (pps == nullptr) return kErrNoParamSet;
  const SeqParamSet* sps = spsTable[pps->seq_parameter_set_id].get();
  if (sps == nullptr) return kErrUnsupported;
  const int picSizeInMbs =
      (sps->pic_width_in_mbs_minus1 + 1) * (sps->pic_height_in_map_units_minus1 + 1);
  if (h->first_mb_in_slice >= picSizeInMbs) return kErrRange;

  h->maxFrameNum = 1 << (sps->log2_max_frame_num_minus4 + 4);
  VX_TRY(ReadU(r, sps->log2_max_frame_num_minus4 + 4, &h->frame_num));
  if (h->idrFlag) VX_TRY(ReadUeMax(r, 65535, &h->idr_pic_id));

  if (sps->pic_order_cnt_type == 0) {
    VX_TRY(ReadU(r, sps->log2_max_pic_order_cnt_lsb_minus4 + 4, &h->pic_order_cnt_lsb));
    h->delta_pic_order_cnt_bottom = 0;
    if (pps->pic_order_present_flag) VX_TRY(ReadSeLongAny(r, &h->delta_pic_order_cnt_bottom));
  } else if (sps->pic_order_cnt_type == 1) {
    h->delta_pic_order_cnt[0] = 0;
    h->delta_pic_order_cnt[1] = 0;
    if (!sps->delta_pic_order_always_zero_flag) {
      VX_TRY(ReadSeLongAny(r, &h->delta_pic_order_cnt[0]));
      if (pps->pic_order_present_flag) VX_TRY(ReadSeLongAny(r, &h->delta_pic_order_cnt[1]));
    }
  }
  h->redundant_pic_cnt = 0;
  if (pps->redundant_pic_cnt_present_flag) VX_TRY(ReadUeMax(r, 127, &h->redundant_pic_cnt));

  h->num_ref_idx_active_override_flag = 0;
  h->num_ref_idx_l0_active_minus1 = pps->num_ref_idx_l0_active_minus1;
  if (h->slice_type == 0 || h->slice_type == 3 || h->slice_type == 5 || h->slice_type == 8) {
    VX_TRY(ReadU(r, 1, &h->num_ref_idx_active_override_flag));
    if (h->num_ref_idx_active_override_flag) {
      VX_TRY(ReadUeMax(r, 15, &h->num_ref_idx_l0_active_minus1));
    }
  }

  h->ref_pic_list_reordering_flag_l0 = 0;
  if (!IsIntraSliceType(h->slice_type)) {
    VX_TRY(ReadU(r, 1, &h->ref_pic_list_reordering_flag_l0));
    if (h->ref_pic_list_reordering_flag_l0) {
      // Differences range over 0 .. MaxPicNum - 1; the wrap in ReorderRefPicList handles them.
      const uint32_t maxDiff = static_cast<uint32_t>(h->maxFrameNum - 1);
      for (int i = 0; i < kMaxReorderCommands; ++i) {
        ReorderCommand* c = &h->reorderCommands[i];
        VX_TRY(ReadUeMax(r, 3, &c->reordering_of_pic_nums_idc));
        if (c->reordering_of_pic_nums_idc == 0 || c->reordering_of_pic_nums_idc == 1) {
          VX_TRY(ReadUeMax(r, maxDiff, &c->abs_diff_pic_num_minus1));
        } else if (c->reordering_of_pic_nums_idc == 2) {
          VX_TRY(ReadUeMax(r, static_cast<uint32_t>(sps->num_ref_frames), &c->long_term_pic_num));
        } else {
          break;
        }
      }
    }
  }

  h->adaptive_ref_pic_marking_mode_flag = 0;
  h->long_term_reference_flag = 0;
  h->no_output_of_prior_pics_flag = 0;
  if (h->nal_ref_idc != 0) {
    if (h->idrFlag) {
      VX_TRY(ReadU(r, 1, &h->no_output_of_prior_pics_flag));
      VX_TRY(ReadU(r, 1, &h->long_term_reference_flag));
    } else {
      VX_TRY(ReadU(r, 1, &h->adaptive_ref_pic_marking_mode_flag));
      if (h->adaptive_ref_pic_marking_mode_flag) {
        const uint32_t nrf = static_cast<uint32_t>(sps->num_ref_frames);
        for (int i = 0; i < kMaxMarkingCommands; ++i) {
          MarkingCommand* c = &h->markingCommands[i];
          VX_TRY(ReadUeMax(r, 6, &c->memory_management_control_operation));
          const int op = c->memory_management_control_operation;
          if (op == 0) break;
          if (op == 1 || op == 3) VX_TRY(ReadUeMax(r, 65535, &c->difference_of_pic_nums_minus1));
          if (op == 2) VX_TRY(ReadUeMax(r, nrf, &c->long_term_pic_num));
          if (op == 3 || op == 6) VX_TRY(ReadUeMax(r, nrf, &c->long_term_frame_idx));
          if (op == 4) VX_TRY(ReadUeMax(r, nrf, &c->max_long_term_frame_idx_plus1));
          if (op == 5) h->hasMmco5 = 1;
        }
      }
    }
  }

  VX_TRY(ReadSeRange(r, -51, 51, &h->slice_qp_delta));
  h->sliceQp = 26 + pps->pic_init_qp_minus26 + h->slice_qp_delta;
  if (h->sliceQp < 0 || h->sliceQp > 51) return kErrRange;

  h->disable_deblocking_filter_idc = 0;
  h->slice_alpha_c0_offset_div2 = 0;
  h->slice_beta_offset_div2 = 0;
  if (pps->deblocking_filter_control_present_flag) {
    VX_TRY(ReadUeMax(r, 2, &h->disable_deblocking_filter_idc));
    if (h->disable_deblocking_filter_idc != 1) {
      VX_TRY(ReadSeRange(r, -6, 6, &h->slice_alpha_c0_offset_div2));
      VX_TRY(ReadSeRange(r, -6, 6, &h->slice_beta_offset_div2));
    }
  }

  if (pps->num_slice_groups_minus1 > 0 && pps->slice_group_map_type >= 3 &&
      pps->slice_group_map_type <= 5) {
    const uint32_t units = static_cast<uint32_t>(picSizeInMbs);
    const uint32_t rate = static_cast<uint32_t>(pps->slice_group_change_rate_minus1) + 1;
    // Ceil(Log2(units / rate + 1)) with the quotient taken exactly: the smallest v with
    // rate * 2^v >= units + rate.
    int bits = 0;
    while ((static_cast<uint64_t>(rate) << bits) < static_cast<uint64_t>(units) + rate) ++bits;
    if (bits > 17) bits = 17;
    VX_TRY(ReadU(r, bits, &h->slice_group_change_cycle));
    const uint32_t maxCycle = (units + rate - 1) / rate;
    if (static_cast<uint32_t>(h->slice_group_change_cycle) > maxCycle) return kErrRange;
  }
  return 0;
}

int IsNewPicture(const SliceHeader* prev, const SliceHeader* next,
                 const std::unique_ptr<SeqParamSet>* spsTable,
                 const std::unique_ptr<PicParamSet>* ppsTable) {
  if (prev->frame_num != next->frame_num) return 1;
  if (prev->nal_ref_idc != next->nal_ref_idc && (prev->nal_ref_idc == 0 || next->nal_ref_idc == 0))
    return 1;
  if (prev->nal_unit_type != next->nal_unit_type &&
      (prev->nal_unit_type == 5 || next->nal_unit_type == 5))
    return 1;
  if (prev->nal_unit_type == 5 && next->nal_unit_type == 5 && prev->idr_pic_id != next->idr_pic_id)
    return 1;
  const PicParamSet* pp = ppsTable[prev->pic_parameter_set_id].get();
  const PicParamSet* np = ppsTable[next->pic_parameter_set_id].get();
  const SeqParamSet* ps = pp ? spsTable[pp->seq_parameter_set_id].get() : nullptr;
  const SeqParamSet* ns = np ? spsTable[np->seq_parameter_set_id].get() : nullptr;
  if (ps && ns) {
    if (ps->pic_order_cnt_type == 0 && ns->pic_order_cnt_type == 0 &&
        (prev->pic_order_cnt_lsb != next->pic_order_cnt_lsb ||
         prev->delta_pic_order_cnt_bottom != next->delta_pic_order_cnt_bottom))
      return 1;
    if (ps->pic_order_cnt_type == 1 && ns->pic_order_cnt_type == 1 &&
        (prev->delta_pic_order_cnt[0] != next->delta_pic_order_cnt[0] ||
         prev->delta_pic_order_cnt[1] != next->delta_pic_order_cnt[1]))
      return 1;
  }
  return 0;
}

}  // namespace vexlor::h264
