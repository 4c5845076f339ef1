// The slice header of every profile, read to its end for its bounds; only what picture order and
// the coding tools need is kept.
#include "syntax/any_slice_header.h"

#include "common/errors.h"

namespace vexlor::h264 {

namespace {

constexpr int kSliceP = 0, kSliceB = 1, kSliceI = 2, kSliceSp = 3, kSliceSi = 4;

// At most one command per reference index and the end: the bound on a list's modification
// commands and on the marking commands of a picture.
constexpr int kMaxListCommands = 33;
constexpr int kMaxMarkingOps = 2 * 32 + 2;

int ReadFlag(BitReader* r, int32_t* dst) {
  return ReadU(r, 1, dst);
}

int SkipUe(BitReader* r, uint32_t max) {
  uint32_t v = 0;
  return ReadUeLongMax(r, max, &v);
}

int SkipSe(BitReader* r, int32_t low, int32_t high) {
  int32_t v = 0;
  return ReadSeRange(r, low, high, &v);
}

// ref_pic_list_modification() of one list, when its flag is set.
int SkipListModification(BitReader* r, uint32_t maxPicNum) {
  int32_t flag = 0;
  VX_TRY(ReadFlag(r, &flag));
  if (!flag) return 0;
  for (int i = 0; i < kMaxListCommands; ++i) {
    int32_t idc = 0;
    VX_TRY(ReadUeMax(r, 3, &idc));
    if (idc == 3) return 0;
    VX_TRY(SkipUe(r, idc == 2 ? maxPicNum : maxPicNum - 1));
  }
  return kErrRange;
}

// pred_weight_table(): weights and offsets of `refs` entries of one list.
int SkipWeights(BitReader* r, int refs, bool chroma) {
  for (int i = 0; i < refs; ++i) {
    int32_t flag = 0;
    VX_TRY(ReadFlag(r, &flag));
    if (flag) {
      VX_TRY(SkipSe(r, -128, 127));
      VX_TRY(SkipSe(r, -32768, 32767));
    }
    if (!chroma) continue;
    VX_TRY(ReadFlag(r, &flag));
    for (int j = 0; flag && j < 2; ++j) {
      VX_TRY(SkipSe(r, -128, 127));
      VX_TRY(SkipSe(r, -32768, 32767));
    }
  }
  return 0;
}

int ParseMarking(AnySliceHeader* h, BitReader* r, uint32_t maxPicNum) {
  int32_t flag = 0;
  if (h->nal_unit_type == 5) {
    VX_TRY(ReadFlag(r, &flag));  // no_output_of_prior_pics_flag
    return ReadFlag(r, &flag);   // long_term_reference_flag
  }
  VX_TRY(ReadFlag(r, &flag));  // adaptive_ref_pic_marking_mode_flag
  if (!flag) return 0;
  for (int i = 0; i < kMaxMarkingOps; ++i) {
    int32_t op = 0;
    VX_TRY(ReadUeMax(r, 6, &op));
    if (op == 0) return 0;
    if (op == 1 || op == 3) VX_TRY(SkipUe(r, maxPicNum - 1));
    if (op == 2) VX_TRY(SkipUe(r, maxPicNum - 1));
    if (op == 3 || op == 6) VX_TRY(SkipUe(r, 31));
    if (op == 4) VX_TRY(SkipUe(r, 32));
    if (op == 5) h->hasMmco5 = 1;
  }
  return kErrRange;
}

}  // namespace

const PicParamSet* AnySlicePps(const AnySliceHeader& h,
                               const std::unique_ptr<PicParamSet>* ppsTable) {
  const int32_t id = h.pic_parameter_set_id;
  return id >= 0 && id < kMaxPps ? ppsTable[id].get() : nullptr;
}

const SeqParamSet* AnySliceSps(const AnySliceHeader& h,
                               const std::unique_ptr<SeqParamSet>* spsTable,
                               const std::unique_ptr<PicParamSet>* ppsTable) {
  const PicParamSet* pps = AnySlicePps(h, ppsTable);
  return pps ? spsTable[pps->seq_parameter_set_id].get() : nullptr;
}

int ParseAnySliceHeader(AnySliceHeader* h, const std::unique_ptr<SeqParamSet>* spsTable,
                        const std::unique_ptr<PicParamSet>* ppsTable, BitReader* r) {
  const int32_t nalType = h->nal_unit_type, refIdc = h->nal_ref_idc;
  *h = AnySliceHeader{};
  h->nal_unit_type = nalType;
  h->nal_ref_idc = refIdc;
  uint32_t firstMb = 0;
  VX_TRY(ReadUeLongMax(r, 0xFFFFFu, &firstMb));
  h->first_mb_in_slice = static_cast<int32_t>(firstMb);
  VX_TRY(ReadUeMax(r, 9, &h->slice_type));
  VX_TRY(ReadUeMax(r, kMaxPps - 1, &h->pic_parameter_set_id));
  const PicParamSet* pps = AnySlicePps(*h, ppsTable);
  const SeqParamSet* sps = AnySliceSps(*h, spsTable, ppsTable);
  if (pps == nullptr || sps == nullptr) return kErrNoParamSet;
  const int type = h->slice_type % 5;
  const bool idr = nalType == 5;
  if (idr && type != kSliceI && type != kSliceSi) return kErrSyntax;

  int32_t ignored = 0;
  if (sps->separate_colour_plane_flag) VX_TRY(ReadU(r, 2, &ignored));  // colour_plane_id
  const int frameNumBits = sps->log2_max_frame_num_minus4 + 4;
  VX_TRY(ReadU(r, frameNumBits, &h->frame_num));
  if (!sps->frame_mbs_only_flag) {
    VX_TRY(ReadFlag(r, &h->field_pic_flag));
    if (h->field_pic_flag) VX_TRY(ReadFlag(r, &h->bottom_field_flag));
  }
  const bool mbaff = sps->mb_adaptive_frame_field_flag && !h->field_pic_flag;
  const uint32_t widthMbs = static_cast<uint32_t>(sps->pic_width_in_mbs_minus1) + 1;
  const uint32_t frameHeightMbs = (static_cast<uint32_t>(sps->pic_height_in_map_units_minus1) + 1) *
                                  (2 - static_cast<uint32_t>(sps->frame_mbs_only_flag));
  const uint32_t picSizeInMbs = widthMbs * frameHeightMbs / (h->field_pic_flag ? 2 : 1);
  if (static_cast<uint32_t>(h->first_mb_in_slice) * (mbaff ? 2 : 1) >= picSizeInMbs) {
    return kErrRange;
  }
  if (idr) VX_TRY(ReadUeMax(r, 65535, &h->idr_pic_id));
  if (sps->pic_order_cnt_type == 0) {
    VX_TRY(ReadU(r, sps->log2_max_pic_order_cnt_lsb_minus4 + 4, &h->pic_order_cnt_lsb));
    if (pps->pic_order_present_flag && !h->field_pic_flag) {
      VX_TRY(ReadSeLongAny(r, &h->delta_pic_order_cnt_bottom));
    }
  } else if (sps->pic_order_cnt_type == 1 && !sps->delta_pic_order_always_zero_flag) {
    VX_TRY(ReadSeLongAny(r, &h->delta_pic_order_cnt[0]));
    if (pps->pic_order_present_flag && !h->field_pic_flag) {
      VX_TRY(ReadSeLongAny(r, &h->delta_pic_order_cnt[1]));
    }
  }
  if (pps->redundant_pic_cnt_present_flag) VX_TRY(ReadUeMax(r, 127, &h->redundant_pic_cnt));
  if (type == kSliceB) VX_TRY(ReadFlag(r, &ignored));  // direct_spatial_mv_pred_flag

  int32_t refs0 = pps->num_ref_idx_l0_active_minus1 + 1;
  int32_t refs1 = pps->num_ref_idx_l1_active_minus1 + 1;
  const uint32_t maxRefs = h->field_pic_flag ? 32 : 16;
  if (type == kSliceP || type == kSliceSp || type == kSliceB) {
    int32_t override = 0;
    VX_TRY(ReadFlag(r, &override));
    if (override) {
      VX_TRY(ReadUeMax(r, maxRefs - 1, &refs0));
      ++refs0;
      if (type == kSliceB) {
        VX_TRY(ReadUeMax(r, maxRefs - 1, &refs1));
        ++refs1;
      }
    }
  }
  const uint32_t maxPicNum = (uint32_t{1} << frameNumBits) * (h->field_pic_flag ? 2 : 1);
  if (type != kSliceI && type != kSliceSi) VX_TRY(SkipListModification(r, maxPicNum));
  if (type == kSliceB) VX_TRY(SkipListModification(r, maxPicNum));

  if ((pps->weighted_pred_flag && (type == kSliceP || type == kSliceSp)) ||
      (pps->weighted_bipred_idc == 1 && type == kSliceB)) {
    const bool chroma = sps->chroma_format_idc != 0 && !sps->separate_colour_plane_flag;
    VX_TRY(SkipUe(r, 7));  // luma_log2_weight_denom
    if (chroma) VX_TRY(SkipUe(r, 7));
    VX_TRY(SkipWeights(r, refs0, chroma));
    if (type == kSliceB) VX_TRY(SkipWeights(r, refs1, chroma));
  }
  if (refIdc != 0) VX_TRY(ParseMarking(h, r, maxPicNum));

  if (pps->entropy_coding_mode_flag && type != kSliceI && type != kSliceSi) {
    VX_TRY(SkipUe(r, 2));  // cabac_init_idc
  }
  const int32_t qpLow = -6 * sps->bit_depth_luma_minus8;
  int32_t qpDelta = 0;
  VX_TRY(ReadSeRange(r, -87, 87, &qpDelta));
  const int32_t qp = 26 + pps->pic_init_qp_minus26 + qpDelta;
  if (qp < qpLow || qp > 51) return kErrRange;
  if (type == kSliceSp || type == kSliceSi) {
    if (type == kSliceSp) VX_TRY(ReadFlag(r, &ignored));  // sp_for_switch_flag
    VX_TRY(SkipSe(r, -51, 51));                           // slice_qs_delta
  }
  if (pps->deblocking_filter_control_present_flag) {
    int32_t idc = 0;
    VX_TRY(ReadUeMax(r, 2, &idc));
    if (idc != 1) {
      VX_TRY(SkipSe(r, -6, 6));
      VX_TRY(SkipSe(r, -6, 6));
    }
  }
  if (pps->num_slice_groups_minus1 > 0 && pps->slice_group_map_type >= 3 &&
      pps->slice_group_map_type <= 5) {
    const uint64_t units = uint64_t{widthMbs} * (sps->pic_height_in_map_units_minus1 + 1);
    const uint64_t rate = static_cast<uint64_t>(pps->slice_group_change_rate_minus1) + 1;
    int bits = 0;
    while ((rate << bits) < units + rate) ++bits;
    VX_TRY(ReadU(r, bits, &ignored));
    if (static_cast<uint64_t>(ignored) > (units + rate - 1) / rate) return kErrRange;
  }
  return 0;
}

int IsNewAnyPicture(const AnySliceHeader& prev, const AnySliceHeader& next,
                    const std::unique_ptr<SeqParamSet>* spsTable,
                    const std::unique_ptr<PicParamSet>* ppsTable) {
  if (prev.frame_num != next.frame_num || prev.pic_parameter_set_id != next.pic_parameter_set_id ||
      prev.field_pic_flag != next.field_pic_flag ||
      prev.bottom_field_flag != next.bottom_field_flag)
    return 1;
  if (prev.nal_ref_idc != next.nal_ref_idc && (prev.nal_ref_idc == 0 || next.nal_ref_idc == 0))
    return 1;
  if ((prev.nal_unit_type == 5) != (next.nal_unit_type == 5)) return 1;
  if (prev.nal_unit_type == 5 && prev.idr_pic_id != next.idr_pic_id) return 1;
  const SeqParamSet* sps = AnySliceSps(next, spsTable, ppsTable);
  if (sps == nullptr) return 1;
  if (sps->pic_order_cnt_type == 0) {
    return prev.pic_order_cnt_lsb != next.pic_order_cnt_lsb ||
           prev.delta_pic_order_cnt_bottom != next.delta_pic_order_cnt_bottom;
  }
  if (sps->pic_order_cnt_type == 1) {
    return prev.delta_pic_order_cnt[0] != next.delta_pic_order_cnt[0] ||
           prev.delta_pic_order_cnt[1] != next.delta_pic_order_cnt[1];
  }
  return 0;
}

}  // namespace vexlor::h264
