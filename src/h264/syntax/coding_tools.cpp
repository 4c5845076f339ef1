// The coding tools a stream asks for and the decoder lacks, and their names.
#include "syntax/coding_tools.h"

#include <algorithm>
#include <vector>

#include "common/alloc.h"

namespace vexlor::h264 {

namespace {

// Levels that exist and the decoder's table lacks: 1b as level_idc 9, 5.2 and the 6s. Others are
// taken for damage rather than a tool.
bool IsLevelBeyondTable(int32_t levelIdc) {
  return levelIdc == 9 || levelIdc == 52 || levelIdc == 60 || levelIdc == 61 || levelIdc == 62;
}

}  // namespace

uint32_t SpsTools(const SeqParamSet& s) {
  uint32_t t = 0;
  // A profile_idc without a name is taken for damage rather than a profile.
  if (s.profile_idc != 66 && s.constraint_set0_flag == 0 &&
      !ProfileName(s.profile_idc, ConstraintFlags(s)).empty()) {
    t |= kToolProfile;
  }
  if (!s.frame_mbs_only_flag) t |= kToolInterlaced;
  if (!s.frame_mbs_only_flag && s.mb_adaptive_frame_field_flag) t |= kToolMbaff;
  if (s.chroma_format_idc == 0) t |= kToolMonochrome;
  if (s.chroma_format_idc == 2) t |= kToolChroma422;
  if (s.chroma_format_idc == 3) t |= kToolChroma444;
  if (s.separate_colour_plane_flag) t |= kToolSeparateColourPlanes;
  if (s.bit_depth_luma_minus8 > 0 || s.bit_depth_chroma_minus8 > 0) t |= kToolHighBitDepth;
  if (s.qpprime_y_zero_transform_bypass_flag) t |= kToolLossless;
  if (s.seq_scaling_matrix_present_flag) t |= kToolScalingMatrices;
  if (FindLevel(s.level_idc) == nullptr && IsLevelBeyondTable(s.level_idc)) t |= kToolLevel;
  if (s.pic_width_in_mbs_minus1 >= kMaxMbDimension ||
      s.pic_height_in_map_units_minus1 >= kMaxMbDimension) {
    t |= kToolPictureSize;
  }
  return t;
}

uint32_t PpsTools(const PicParamSet& p) {
  uint32_t t = 0;
  if (p.entropy_coding_mode_flag) t |= kToolCabac;
  if (p.transform_8x8_mode_flag) t |= kToolTransform8x8;
  if (p.weighted_pred_flag || p.weighted_bipred_idc != 0) t |= kToolWeightedPrediction;
  if (p.pic_scaling_matrix_present_flag) t |= kToolScalingMatrices;
  return t;
}

uint32_t SliceTools(const AnySliceHeader& h) {
  uint32_t t = 0;
  const int type = h.slice_type % 5;
  if (type == 1) t |= kToolBSlices;
  if (type == 3 || type == 4) t |= kToolSwitchingSlices;
  if (h.field_pic_flag) t |= kToolFieldPictures;
  if (h.nal_unit_type == 2) t |= kToolDataPartitions;
  return t;
}

int32_t ConstraintFlags(const SeqParamSet& s) {
  // reserved_zero_5bits begins with constraint_set3_flag, constraint_set4_flag and
  // constraint_set5_flag.
  return s.constraint_set0_flag | (s.constraint_set1_flag << 1) | (s.constraint_set2_flag << 2) |
         (((s.reserved_zero_5bits >> 4) & 1) << 3) | (((s.reserved_zero_5bits >> 3) & 1) << 4) |
         (((s.reserved_zero_5bits >> 2) & 1) << 5);
}

void NoteTools(ToolReport* report, const SeqParamSet* sps, uint32_t tools) {
  report->tools |= tools;
  if (sps == nullptr) return;
  report->profileIdc = sps->profile_idc;
  report->constraintFlags = ConstraintFlags(*sps);
  const int32_t depth = 8 + std::max(sps->bit_depth_luma_minus8, sps->bit_depth_chroma_minus8);
  report->bitDepth = std::max(report->bitDepth, depth);
  if (tools & kToolLevel) report->levelIdc = sps->level_idc;
}

void MergeTools(ToolReport* into, const ToolReport& unit) {
  if (unit.tools == 0) return;
  into->tools |= unit.tools;
  if (unit.profileIdc >= 0) {
    into->profileIdc = unit.profileIdc;
    into->constraintFlags = unit.constraintFlags;
  }
  into->bitDepth = std::max(into->bitDepth, unit.bitDepth);
  if (unit.tools & kToolLevel) into->levelIdc = unit.levelIdc;
}

std::string ProfileName(int32_t profileIdc, int32_t constraintFlags) {
  const bool cs1 = constraintFlags & 2, cs3 = constraintFlags & 8, cs4 = constraintFlags & 16,
             cs5 = constraintFlags & 32;
  switch (profileIdc) {
    case 66:
      return cs1 ? "Constrained Baseline" : "Baseline";
    case 77:
      return "Main";
    case 88:
      return "Extended";
    case 100:
      return cs4 && cs5 ? "Constrained High" : cs4 ? "Progressive High" : "High";
    case 110:
      return cs3 ? "High 10 Intra" : cs4 ? "Progressive High 10" : "High 10";
    case 122:
      return cs3 ? "High 4:2:2 Intra" : "High 4:2:2";
    case 244:
      return cs3 ? "High 4:4:4 Intra" : "High 4:4:4 Predictive";
    case 44:
      return "CAVLC 4:4:4 Intra";
    case 83:
      return cs5 ? "Scalable Constrained Baseline" : "Scalable Baseline";
    case 86:
      return "Scalable High";
    case 118:
      return "Multiview High";
    case 128:
      return "Stereo High";
    case 134:
      return "MFC High";
    case 135:
      return "MFC Depth High";
    case 138:
      return "Multiview Depth High";
    case 139:
      return "Enhanced Multiview Depth High";
    default:
      return "";
  }
}

std::string LevelName(int32_t profileIdc, int32_t levelIdc, int32_t constraintFlags) {
  const bool oldLevel1b = levelIdc == 11 && (constraintFlags & 8) &&
                          (profileIdc == 66 || profileIdc == 77 || profileIdc == 88);
  if (levelIdc == 9 || oldLevel1b) return "1b";
  return std::to_string(levelIdc / 10) + "." + std::to_string(levelIdc % 10);
}

std::string DescribeTools(const ToolReport& report) {
  const uint32_t t = report.tools;
  if (t == 0) return "";
  std::vector<std::string> items;
  auto add = [&](uint32_t tool, const char* text) {
    if (t & tool) items.emplace_back(text);
  };
  add(kToolFieldPictures, "interlaced (field) pictures");
  add(kToolMbaff, "interlaced (MBAFF) frames");
  if (!(t & (kToolFieldPictures | kToolMbaff))) add(kToolInterlaced, "interlaced coding");
  add(kToolCabac, "CABAC");
  add(kToolBSlices, "B slices");
  add(kToolTransform8x8, "8x8 transform");
  add(kToolWeightedPrediction, "weighted prediction");
  add(kToolScalingMatrices, "scaling matrices");
  add(kToolMonochrome, "monochrome");
  add(kToolChroma422, "4:2:2 chroma");
  add(kToolChroma444, "4:4:4 chroma");
  add(kToolSeparateColourPlanes, "separate colour planes");
  if (t & kToolHighBitDepth) items.push_back(std::to_string(report.bitDepth) + "-bit samples");
  add(kToolLossless, "lossless coding");
  add(kToolSwitchingSlices, "SP/SI slices");
  add(kToolDataPartitions, "data partitioning");
  if (t & kToolLevel) {
    items.push_back(std::string("level ") +
                    LevelName(report.profileIdc, report.levelIdc, report.constraintFlags));
  }
  add(kToolPictureSize, "pictures larger than 8688x8688");

  std::string text;
  if (report.profileIdc >= 0) {
    const std::string name = ProfileName(report.profileIdc, report.constraintFlags);
    text = name.empty() ? std::string("profile_idc ") + std::to_string(report.profileIdc)
                        : name + " profile";
  }
  for (size_t i = 0; i < items.size(); ++i) {
    text += i == 0 ? (text.empty() ? "" : ": ") : ", ";
    text += items[i];
  }
  return text;
}

namespace {

// Attaches the survey's reader to a unit and reads its header byte; false without one.
bool Attach(ToolSurvey* s, const uint8_t* data, int32_t n, uint8_t* header) {
  InitReader(&s->reader, data, n);
  return ReadByte(&s->reader, header) == 0;
}

}  // namespace

ToolReport SurveySps(ToolSurvey* s, const uint8_t* data, int32_t n, bool refused) {
  ToolReport unit;
  uint8_t header = 0;
  SeqParamSet sps;
  if (!Attach(s, data, n, &header) || ParseSpsAnyProfile(&s->reader, &sps) < 0) return unit;
  std::unique_ptr<SeqParamSet>& slot = s->sps[sps.seq_parameter_set_id];
  if (!slot) slot = MakeOrDie<SeqParamSet>();
  *slot = sps;
  NoteTools(&unit, &sps, SpsTools(sps));
  if (refused) MergeTools(&s->stream, unit);
  return unit;
}

ToolReport SurveyPps(ToolSurvey* s, const uint8_t* data, int32_t n, bool refused) {
  ToolReport unit;
  uint8_t header = 0;
  int32_t id = 0;
  PicParamSet pps;
  if (!Attach(s, data, n, &header) || ParsePpsAnyProfile(&s->reader, s->sps, &id, &pps) < 0) {
    return unit;
  }
  const SeqParamSet* sps = s->sps[pps.seq_parameter_set_id].get();
  NoteTools(&unit, sps, PpsTools(pps) | (sps ? SpsTools(*sps) : 0));
  std::unique_ptr<PicParamSet>& slot = s->pps[id];
  if (!slot) slot = MakeOrDie<PicParamSet>();
  *slot = std::move(pps);
  if (refused) MergeTools(&s->stream, unit);
  return unit;
}

ToolReport SurveySlice(ToolSurvey* s, const uint8_t* data, int32_t n) {
  ToolReport unit;
  uint8_t header = 0;
  if (!Attach(s, data, std::min(n, kMaxSliceHeaderBytes), &header)) return unit;
  AnySliceHeader h;
  h.nal_unit_type = header & 31;
  h.nal_ref_idc = (header >> 5) & 3;
  if (ParseAnySliceHeader(&h, s->sps, s->pps, &s->reader) < 0) return unit;
  const PicParamSet* pps = AnySlicePps(h, s->pps);
  const SeqParamSet* sps = AnySliceSps(h, s->sps, s->pps);
  NoteTools(&unit, sps, SliceTools(h) | PpsTools(*pps) | SpsTools(*sps));
  MergeTools(&s->stream, unit);
  return unit;
}

}  // namespace vexlor::h264
