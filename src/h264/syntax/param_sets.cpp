// Sequence and picture parameter sets (H.264 clauses 7.3.2.1, 7.3.2.2, Annex E.1).
//
// A set is parsed into a scratch record and replaces the stored one only when the whole set
// was read and accepted, so a damaged set never leaves a half-updated record behind.
#include "syntax/param_sets.h"

#include "common/alloc.h"
#include "common/errors.h"

namespace vexlor::h264 {

const LevelLimit LevelLimits[15] = {
    {10, 1485, 99, 152064, 64, 175, 64, 2, 0},
    {11, 3000, 396, 345600, 192, 500, 128, 2, 0},
    {12, 6000, 396, 912384, 384, 1000, 128, 2, 0},
    {13, 11880, 396, 912384, 768, 2000, 128, 2, 0},
    {20, 11880, 396, 912384, 2000, 2000, 128, 2, 0},
    {21, 19800, 792, 1824768, 4000, 4000, 256, 2, 0},
    {22, 20250, 1620, 3110400, 4000, 4000, 256, 2, 0},
    {30, 40500, 1620, 3110400, 10000, 10000, 256, 2, 32},
    {31, 108000, 3600, 6912000, 14000, 14000, 512, 4, 16},
    {32, 216000, 5120, 7864320, 20000, 20000, 512, 4, 16},
    {40, 245760, 8192, 12582912, 20000, 25000, 512, 4, 16},
    {41, 245760, 8192, 12582912, 50000, 62500, 512, 2, 16},
    {42, 522240, 8704, 13369344, 50000, 62500, 512, 2, 16},
    {50, 589824, 22080, 42393600, 135000, 135000, 512, 2, 16},
    {51, 983040, 36864, 70778880, 240000, 240000, 512, 2, 16},
};

const LevelLimit* FindLevel(int32_t level_idc) {
  for (const LevelLimit& l : LevelLimits) {
    if (l.level_idc == level_idc) return &l;
  }
  return nullptr;
}

namespace {

int ReadFlag(BitReader* r, int32_t* dst) {
  return ReadU(r, 1, dst);
}

int ParseHrd(BitReader* r, HrdParams* h) {
  VX_TRY(ReadUeMax(r, 31, &h->cpb_cnt_minus1));
  VX_TRY(ReadU(r, 4, &h->bit_rate_scale));
  VX_TRY(ReadU(r, 4, &h->cpb_size_scale));
  for (int i = 0; i <= h->cpb_cnt_minus1; ++i) {
    VX_TRY(ReadUeLongMax(r, 4294967294u, &h->bit_rate_value_minus1[i]));
    VX_TRY(ReadUeLongMax(r, 4294967294u, &h->cpb_size_value_minus1[i]));
    VX_TRY(ReadFlag(r, &h->cbr_flag[i]));
  }
  VX_TRY(ReadU(r, 5, &h->initial_cpb_removal_delay_length_minus1));
  VX_TRY(ReadU(r, 5, &h->cpb_removal_delay_length_minus1));
  VX_TRY(ReadU(r, 5, &h->dpb_output_delay_length_minus1));
  VX_TRY(ReadU(r, 5, &h->time_offset_length));
  return 0;
}

int ParseVui(BitReader* r, VuiParams* v) {
  VX_TRY(ReadFlag(r, &v->aspect_ratio_info_present_flag));
  if (v->aspect_ratio_info_present_flag) {
    VX_TRY(ReadU(r, 8, &v->aspect_ratio_idc));
    if (v->aspect_ratio_idc == 255) {
      VX_TRY(ReadU(r, 16, &v->sar_width));
      VX_TRY(ReadU(r, 16, &v->sar_height));
    }
  }
  VX_TRY(ReadFlag(r, &v->overscan_info_present_flag));
  if (v->overscan_info_present_flag) VX_TRY(ReadFlag(r, &v->overscan_appropriate_flag));
  VX_TRY(ReadFlag(r, &v->video_signal_type_present_flag));
  if (v->video_signal_type_present_flag) {
    VX_TRY(ReadU(r, 3, &v->video_format));
    VX_TRY(ReadFlag(r, &v->video_full_range_flag));
    VX_TRY(ReadFlag(r, &v->colour_description_present_flag));
    if (v->colour_description_present_flag) {
      VX_TRY(ReadU(r, 8, &v->colour_primaries));
      VX_TRY(ReadU(r, 8, &v->transfer_characteristics));
      VX_TRY(ReadU(r, 8, &v->matrix_coefficients));
    }
  }
  VX_TRY(ReadFlag(r, &v->chroma_loc_info_present_flag));
  if (v->chroma_loc_info_present_flag) {
    VX_TRY(ReadUeMax(r, 5, &v->chroma_sample_loc_type_top_field));
    VX_TRY(ReadUeMax(r, 5, &v->chroma_sample_loc_type_bottom_field));
  }
  VX_TRY(ReadFlag(r, &v->timing_info_present_flag));
  if (v->timing_info_present_flag) {
    int32_t hi = 0, lo = 0;
    VX_TRY(ReadU(r, 16, &hi));
    VX_TRY(ReadU(r, 16, &lo));
    v->num_units_in_tick = (static_cast<uint32_t>(hi) << 16) | static_cast<uint32_t>(lo);
    VX_TRY(ReadU(r, 16, &hi));
    VX_TRY(ReadU(r, 16, &lo));
    v->time_scale = (static_cast<uint32_t>(hi) << 16) | static_cast<uint32_t>(lo);
    VX_TRY(ReadFlag(r, &v->fixed_frame_rate_flag));
  }
  VX_TRY(ReadFlag(r, &v->nal_hrd_parameters_present_flag));
  if (v->nal_hrd_parameters_present_flag) VX_TRY(ParseHrd(r, &v->nalHrd));
  VX_TRY(ReadFlag(r, &v->vcl_hrd_parameters_present_flag));
  if (v->vcl_hrd_parameters_present_flag) VX_TRY(ParseHrd(r, &v->vclHrd));
  if (v->nal_hrd_parameters_present_flag || v->vcl_hrd_parameters_present_flag) {
    VX_TRY(ReadFlag(r, &v->low_delay_hrd_flag));
  }
  VX_TRY(ReadFlag(r, &v->pic_struct_present_flag));
  VX_TRY(ReadFlag(r, &v->bitstream_restriction_flag));
  if (v->bitstream_restriction_flag) {
    VX_TRY(ReadFlag(r, &v->motion_vectors_over_pic_boundaries_flag));
    VX_TRY(ReadUeMax(r, 16, &v->max_bytes_per_pic_denom));
    VX_TRY(ReadUeMax(r, 16, &v->max_bits_per_mb_denom));
    VX_TRY(ReadUeMax(r, 16, &v->log2_max_mv_length_horizontal));
    VX_TRY(ReadUeMax(r, 16, &v->log2_max_mv_length_vertical));
    VX_TRY(ReadUeMax(r, 16, &v->num_reorder_frames));
    VX_TRY(ReadUeMax(r, 16, &v->max_dec_frame_buffering));
  }
  return 0;
}

// scaling_list(): the lists are read for their bounds and not kept.
int SkipScalingList(BitReader* r, int size) {
  int32_t last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      int32_t delta = 0;
      VX_TRY(ReadSeRange(r, -128, 127, &delta));
      next = (last + delta + 256) % 256;
    }
    if (next != 0) last = next;
  }
  return 0;
}

// `count` scaling_list_present_flags, each followed by its list when set: 4x4 lists first (six),
// then 8x8 lists.
int SkipScalingLists(BitReader* r, int count) {
  for (int i = 0; i < count; ++i) {
    int32_t present = 0;
    VX_TRY(ReadFlag(r, &present));
    if (present) VX_TRY(SkipScalingList(r, i < 6 ? 16 : 64));
  }
  return 0;
}

int ParseChromaFormatFields(BitReader* r, SeqParamSet* s) {
  VX_TRY(ReadUeMax(r, 3, &s->chroma_format_idc));
  if (s->chroma_format_idc == 3) VX_TRY(ReadFlag(r, &s->separate_colour_plane_flag));
  VX_TRY(ReadUeMax(r, 6, &s->bit_depth_luma_minus8));
  VX_TRY(ReadUeMax(r, 6, &s->bit_depth_chroma_minus8));
  VX_TRY(ReadFlag(r, &s->qpprime_y_zero_transform_bypass_flag));
  VX_TRY(ReadFlag(r, &s->seq_scaling_matrix_present_flag));
  if (s->seq_scaling_matrix_present_flag) {
    VX_TRY(SkipScalingLists(r, s->chroma_format_idc != 3 ? 8 : 12));
  }
  return 0;
}

// Both readers in one: the decoder's (anyProfile false) refuses at once what it cannot decode;
// the other reads every profile's syntax.
int ParseSpsBody(BitReader* r, SeqParamSet* s, bool anyProfile) {
  VX_TRY(ReadU(r, 8, &s->profile_idc));
  VX_TRY(ReadFlag(r, &s->constraint_set0_flag));
  VX_TRY(ReadFlag(r, &s->constraint_set1_flag));
  VX_TRY(ReadFlag(r, &s->constraint_set2_flag));
  if (!anyProfile && s->profile_idc != 66 && s->constraint_set0_flag == 0) return kErrSyntax;
  VX_TRY(ReadU(r, 5, &s->reserved_zero_5bits));
  VX_TRY(ReadU(r, 8, &s->level_idc));
  if (!anyProfile && FindLevel(s->level_idc) == nullptr) return kErrRange;
  VX_TRY(ReadUeMax(r, kMaxSps - 1, &s->seq_parameter_set_id));
  if (anyProfile && HasChromaFormatSyntax(s->profile_idc)) VX_TRY(ParseChromaFormatFields(r, s));
  VX_TRY(ReadUeMax(r, 12, &s->log2_max_frame_num_minus4));
  VX_TRY(ReadUeMax(r, 2, &s->pic_order_cnt_type));
  if (s->pic_order_cnt_type == 0) {
    VX_TRY(ReadUeMax(r, 12, &s->log2_max_pic_order_cnt_lsb_minus4));
  } else if (s->pic_order_cnt_type == 1) {
    VX_TRY(ReadFlag(r, &s->delta_pic_order_always_zero_flag));
    VX_TRY(ReadSeLongAny(r, &s->offset_for_non_ref_pic));
    VX_TRY(ReadSeLongAny(r, &s->offset_for_top_to_bottom_field));
    VX_TRY(ReadUeMax(r, 255, &s->num_ref_frames_in_pic_order_cnt_cycle));
    for (int i = 0; i < s->num_ref_frames_in_pic_order_cnt_cycle; ++i) {
      VX_TRY(ReadSeLongAny(r, &s->offset_for_ref_frame[i]));
    }
  }
  VX_TRY(ReadUeMax(r, 16, &s->num_ref_frames));
  VX_TRY(ReadFlag(r, &s->gaps_in_frame_num_value_allowed_flag));
  const uint32_t maxDimension = anyProfile ? kMaxAnyProfileMbDimension : kMaxMbDimension;
  VX_TRY(ReadUeMax(r, maxDimension - 1, &s->pic_width_in_mbs_minus1));
  VX_TRY(ReadUeMax(r, maxDimension - 1, &s->pic_height_in_map_units_minus1));
  VX_TRY(ReadFlag(r, &s->frame_mbs_only_flag));
  if (s->frame_mbs_only_flag == 0) {
    if (!anyProfile) return kErrUnsupported;
    VX_TRY(ReadFlag(r, &s->mb_adaptive_frame_field_flag));
  }
  VX_TRY(ReadFlag(r, &s->direct_8x8_inference_flag));
  VX_TRY(ReadFlag(r, &s->frame_cropping_flag));
  if (s->frame_cropping_flag) {
    // The offsets count crop units (two luma samples each way in 4:2:0 frames) and must leave
    // at least one sample of the frame.
    const uint32_t unitX = static_cast<uint32_t>(CropUnitX(*s));
    const uint32_t unitY = static_cast<uint32_t>(CropUnitY(*s));
    const uint32_t w = 16 * (static_cast<uint32_t>(s->pic_width_in_mbs_minus1) + 1);
    const uint32_t h = 16 * (static_cast<uint32_t>(s->pic_height_in_map_units_minus1) + 1) *
                       (2 - static_cast<uint32_t>(s->frame_mbs_only_flag));
    const uint32_t maxX = (w - 1) / unitX, maxY = (h - 1) / unitY;
    VX_TRY(ReadUeMax(r, maxX, &s->frame_crop_left_offset));
    VX_TRY(ReadUeMax(r, maxX - s->frame_crop_left_offset, &s->frame_crop_right_offset));
    VX_TRY(ReadUeMax(r, maxY, &s->frame_crop_top_offset));
    VX_TRY(ReadUeMax(r, maxY - s->frame_crop_top_offset, &s->frame_crop_bottom_offset));
  }
  VX_TRY(ReadFlag(r, &s->vui_parameters_present_flag));
  if (s->vui_parameters_present_flag) VX_TRY(ParseVui(r, &s->vui));
  if (CheckTrailingBits(r) < 0) return kErrRead;
  return 0;
}

// Smallest v with 2^v >= n (n >= 1).
int CeilLog2(uint32_t n) {
  int v = 0;
  while ((uint64_t{1} << v) < n) ++v;
  return v;
}

// anyProfileSps: null for the decoder's reader; the AnyProfile reader's SPS table otherwise.
int ParsePpsBody(BitReader* r, PicParamSet* p, const std::unique_ptr<SeqParamSet>* anyProfileSps) {
  const bool anyProfile = anyProfileSps != nullptr;
  VX_TRY(ReadUeMax(r, kMaxSps - 1, &p->seq_parameter_set_id));
  VX_TRY(ReadFlag(r, &p->entropy_coding_mode_flag));
  VX_TRY(ReadFlag(r, &p->pic_order_present_flag));
  VX_TRY(ReadUeMax(r, kMaxSliceGroups - 1, &p->num_slice_groups_minus1));
  if (p->num_slice_groups_minus1 > 0) {
    VX_TRY(ReadUeMax(r, 6, &p->slice_group_map_type));
    const int groups = p->num_slice_groups_minus1 + 1;
    switch (p->slice_group_map_type) {
      case 0:
        for (int i = 0; i < groups; ++i) VX_TRY(ReadUeMax(r, 36863, &p->run_length_minus1[i]));
        break;
      case 2:
        for (int i = 0; i < groups - 1; ++i) {
          VX_TRY(ReadUeMax(r, 36863, &p->top_left[i]));
          VX_TRY(ReadUeMax(r, 36863, &p->bottom_right[i]));
          if (p->bottom_right[i] < p->top_left[i]) return kErrRange;
        }
        break;
      case 3:
      case 4:
      case 5:
        VX_TRY(ReadFlag(r, &p->slice_group_change_direction_flag));
        VX_TRY(ReadUeMax(r, 36863, &p->slice_group_change_rate_minus1));
        break;
      case 6: {
        int32_t count = 0;
        VX_TRY(ReadUeMax(r, 36863, &count));
        p->sliceGroupIdCount = count;
        const int bits = CeilLog2(static_cast<uint32_t>(groups));
        if (anyProfile) {
          if (SkipBits(r, bits * (count + 1)) < 0) return kErrRead;
          break;
        }
        ResizeOrDie(&p->sliceGroupIds, static_cast<size_t>(count) + 1);
        for (int i = 0; i <= count; ++i) {
          int32_t id = 0;
          VX_TRY(ReadU(r, bits, &id));
          p->sliceGroupIds[i] = static_cast<uint8_t>(id);
        }
        break;
      }
      default:
        break;
    }
  }
  VX_TRY(ReadUeMax(r, 31, &p->num_ref_idx_l0_active_minus1));
  VX_TRY(ReadUeMax(r, 31, &p->num_ref_idx_l1_active_minus1));
  VX_TRY(ReadFlag(r, &p->weighted_pred_flag));
  VX_TRY(ReadU(r, 2, &p->weighted_bipred_idc));
  if (p->weighted_bipred_idc == 3) return kErrRange;
  VX_TRY(ReadSeRange(r, -26, 25, &p->pic_init_qp_minus26));
  VX_TRY(ReadSeRange(r, -26, 25, &p->pic_init_qs_minus26));
  VX_TRY(ReadSeRange(r, -12, 12, &p->chroma_qp_index_offset));
  VX_TRY(ReadFlag(r, &p->deblocking_filter_control_present_flag));
  VX_TRY(ReadFlag(r, &p->constrained_intra_pred_flag));
  VX_TRY(ReadFlag(r, &p->redundant_pic_cnt_present_flag));
  p->second_chroma_qp_index_offset = p->chroma_qp_index_offset;
  if (anyProfile && MoreRbspData(r)) {
    VX_TRY(ReadFlag(r, &p->transform_8x8_mode_flag));
    VX_TRY(ReadFlag(r, &p->pic_scaling_matrix_present_flag));
    if (p->pic_scaling_matrix_present_flag) {
      const SeqParamSet* sps = anyProfileSps[p->seq_parameter_set_id].get();
      const bool chroma444 = sps != nullptr && sps->chroma_format_idc == 3;
      const int lists8x8 = p->transform_8x8_mode_flag ? (chroma444 ? 6 : 2) : 0;
      VX_TRY(SkipScalingLists(r, 6 + lists8x8));
    }
    VX_TRY(ReadSeRange(r, -12, 12, &p->second_chroma_qp_index_offset));
  }
  if (CheckTrailingBits(r) < 0) return kErrRead;
  return 0;
}

}  // namespace

bool HasChromaFormatSyntax(int32_t profileIdc) {
  switch (profileIdc) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
      return true;
    default:
      return false;
  }
}

int32_t CropUnitX(const SeqParamSet& s) {
  const bool noChromaArray = s.chroma_format_idc == 0 || s.separate_colour_plane_flag;
  return noChromaArray || s.chroma_format_idc == 3 ? 1 : 2;
}

int32_t CropUnitY(const SeqParamSet& s) {
  const bool noChromaArray = s.chroma_format_idc == 0 || s.separate_colour_plane_flag;
  return (noChromaArray || s.chroma_format_idc != 1 ? 1 : 2) * (2 - s.frame_mbs_only_flag);
}

int ParseSpsAnyProfile(BitReader* r, SeqParamSet* out) {
  *out = SeqParamSet{};
  return ParseSpsBody(r, out, true);
}

int ParsePpsAnyProfile(BitReader* r, const std::unique_ptr<SeqParamSet>* spsTable, int32_t* ppsId,
                       PicParamSet* out) {
  *out = PicParamSet{};
  VX_TRY(ReadUeMax(r, kMaxPps - 1, ppsId));
  return ParsePpsBody(r, out, spsTable);
}

int ParseSps(BitReader* r, std::unique_ptr<SeqParamSet>* spsTable) {
  SeqParamSet s{};
  const int rc = ParseSpsBody(r, &s, false);
  if (rc < 0) return rc;
  std::unique_ptr<SeqParamSet>& slot = spsTable[s.seq_parameter_set_id];
  if (!slot) slot = MakeOrDie<SeqParamSet>();
  *slot = s;
  return 0;
}

int ParsePps(BitReader* r, std::unique_ptr<PicParamSet>* ppsTable) {
  int32_t id = 0;
  VX_TRY(ReadUeMax(r, kMaxPps - 1, &id));
  std::unique_ptr<PicParamSet>& slot = ppsTable[id];
  // Start from the stored set so that a set without slice groups keeps the old map type, and
  // an explicit map of unchanged size reuses its array.
  PicParamSet p{};
  if (slot) {
    try {
      p = *slot;
    } catch (const std::bad_alloc&) {
      OutOfMemory();
    }
  }
  const int rc = ParsePpsBody(r, &p, nullptr);
  if (rc < 0) return rc;
  if (!slot) slot = MakeOrDie<PicParamSet>();
  *slot = std::move(p);
  return 0;
}

}  // namespace vexlor::h264
