// Header inspection: the decoder's own parsers on tables of the inspector's own.
#include "h264/header_report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "bitstream/bitreader.h"
#include "syntax/coding_tools.h"
#include "syntax/param_sets.h"
#include "syntax/slice_header.h"

namespace vexlor::h264 {
namespace {

// Appends one printf-formatted piece of text.
__attribute__((format(printf, 2, 3))) void Line(std::string* out, const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out->append(buffer, static_cast<size_t>(std::min<int>(n, sizeof buffer - 1)));
}

void Field(std::string* out, const char* name, long long value) {
  Line(out, "  %s = %lld\n", name, value);
}

#define VX_FIELD(rec, name) Field(out, #name, static_cast<long long>((rec).name))

void PrintSps(std::string* out, const SeqParamSet& s) {
  VX_FIELD(s, profile_idc);
  VX_FIELD(s, constraint_set0_flag);
  VX_FIELD(s, constraint_set1_flag);
  VX_FIELD(s, constraint_set2_flag);
  VX_FIELD(s, level_idc);
  VX_FIELD(s, seq_parameter_set_id);
  VX_FIELD(s, log2_max_frame_num_minus4);
  VX_FIELD(s, pic_order_cnt_type);
  VX_FIELD(s, log2_max_pic_order_cnt_lsb_minus4);
  VX_FIELD(s, delta_pic_order_always_zero_flag);
  VX_FIELD(s, offset_for_non_ref_pic);
  VX_FIELD(s, num_ref_frames_in_pic_order_cnt_cycle);
  VX_FIELD(s, num_ref_frames);
  VX_FIELD(s, gaps_in_frame_num_value_allowed_flag);
  VX_FIELD(s, pic_width_in_mbs_minus1);
  VX_FIELD(s, pic_height_in_map_units_minus1);
  VX_FIELD(s, frame_mbs_only_flag);
  VX_FIELD(s, direct_8x8_inference_flag);
  VX_FIELD(s, frame_cropping_flag);
  VX_FIELD(s, frame_crop_left_offset);
  VX_FIELD(s, frame_crop_right_offset);
  VX_FIELD(s, frame_crop_top_offset);
  VX_FIELD(s, frame_crop_bottom_offset);
  VX_FIELD(s, vui_parameters_present_flag);
  if (s.vui_parameters_present_flag) {
    VX_FIELD(s.vui, timing_info_present_flag);
    VX_FIELD(s.vui, num_units_in_tick);
    VX_FIELD(s.vui, time_scale);
    VX_FIELD(s.vui, bitstream_restriction_flag);
    VX_FIELD(s.vui, num_reorder_frames);
    VX_FIELD(s.vui, max_dec_frame_buffering);
  }
}
// The fields only the readers of every profile fill.
void PrintSpsOfAnyProfile(std::string* out, const SeqParamSet& s) {
  PrintSps(out, s);
  VX_FIELD(s, chroma_format_idc);
  VX_FIELD(s, separate_colour_plane_flag);
  VX_FIELD(s, bit_depth_luma_minus8);
  VX_FIELD(s, bit_depth_chroma_minus8);
  VX_FIELD(s, qpprime_y_zero_transform_bypass_flag);
  VX_FIELD(s, seq_scaling_matrix_present_flag);
  VX_FIELD(s, mb_adaptive_frame_field_flag);
}
void PrintPps(std::string* out, const PicParamSet& p) {
  VX_FIELD(p, seq_parameter_set_id);
  VX_FIELD(p, entropy_coding_mode_flag);
  VX_FIELD(p, pic_order_present_flag);
  VX_FIELD(p, num_slice_groups_minus1);
  VX_FIELD(p, slice_group_map_type);
  VX_FIELD(p, slice_group_change_direction_flag);
  VX_FIELD(p, slice_group_change_rate_minus1);
  VX_FIELD(p, num_ref_idx_l0_active_minus1);
  VX_FIELD(p, weighted_pred_flag);
  VX_FIELD(p, weighted_bipred_idc);
  VX_FIELD(p, pic_init_qp_minus26);
  VX_FIELD(p, pic_init_qs_minus26);
  VX_FIELD(p, chroma_qp_index_offset);
  VX_FIELD(p, deblocking_filter_control_present_flag);
  VX_FIELD(p, constrained_intra_pred_flag);
  VX_FIELD(p, redundant_pic_cnt_present_flag);
}
void PrintSlice(std::string* out, const SliceHeader& h) {
  VX_FIELD(h, nal_unit_type);
  VX_FIELD(h, nal_ref_idc);
  VX_FIELD(h, first_mb_in_slice);
  VX_FIELD(h, slice_type);
  VX_FIELD(h, pic_parameter_set_id);
  VX_FIELD(h, frame_num);
  VX_FIELD(h, idr_pic_id);
  VX_FIELD(h, pic_order_cnt_lsb);
  VX_FIELD(h, delta_pic_order_cnt_bottom);
  VX_FIELD(h, delta_pic_order_cnt[0]);
  VX_FIELD(h, delta_pic_order_cnt[1]);
  VX_FIELD(h, redundant_pic_cnt);
  VX_FIELD(h, num_ref_idx_active_override_flag);
  VX_FIELD(h, num_ref_idx_l0_active_minus1);
  VX_FIELD(h, ref_pic_list_reordering_flag_l0);
  if (h.ref_pic_list_reordering_flag_l0) {
    for (const ReorderCommand& c : h.reorderCommands) {
      Line(out,
           "  reordering_of_pic_nums_idc = %d abs_diff_pic_num_minus1 = %d "
           "long_term_pic_num = %d\n",
           c.reordering_of_pic_nums_idc, c.abs_diff_pic_num_minus1, c.long_term_pic_num);
      if (c.reordering_of_pic_nums_idc == 3) break;
    }
  }
  VX_FIELD(h, no_output_of_prior_pics_flag);
  VX_FIELD(h, long_term_reference_flag);
  VX_FIELD(h, adaptive_ref_pic_marking_mode_flag);
  if (h.adaptive_ref_pic_marking_mode_flag) {
    for (const MarkingCommand& c : h.markingCommands) {
      Line(out,
           "  memory_management_control_operation = %d difference_of_pic_nums_minus1 = "
           "%d long_term_pic_num = %d long_term_frame_idx = %d "
           "max_long_term_frame_idx_plus1 = %d\n",
           c.memory_management_control_operation, c.difference_of_pic_nums_minus1,
           c.long_term_pic_num, c.long_term_frame_idx, c.max_long_term_frame_idx_plus1);
      if (c.memory_management_control_operation == 0) break;
    }
  }
  VX_FIELD(h, slice_qp_delta);
  VX_FIELD(h, disable_deblocking_filter_idc);
  VX_FIELD(h, slice_alpha_c0_offset_div2);
  VX_FIELD(h, slice_beta_offset_div2);
  VX_FIELD(h, slice_group_change_cycle);
}

// The result of a parse, and for a unit refused for a tool the decoder lacks, the tools.
void Result(std::string* out, int r, const ToolReport& unit) {
  const std::string reason = r < 0 ? DescribeTools(unit) : std::string();
  if (reason.empty()) {
    Line(out, " (result %d)\n", r);
  } else {
    Line(out, " (result %d: ", r);
    *out += reason + ")\n";
  }
}

}  // namespace

struct HeaderInspector::Tables {
  BitReader reader;
  std::unique_ptr<SeqParamSet> sps[kMaxSps];
  std::unique_ptr<PicParamSet> pps[kMaxPps];
  ToolSurvey survey;  // every profile's sets, for the reasons of refusals
};

HeaderInspector::HeaderInspector() : tables_(std::make_unique<Tables>()) {}
HeaderInspector::~HeaderInspector() = default;

std::string HeaderInspector::Describe(std::span<const uint8_t> nalUnit) {
  std::string text;
  std::string* out = &text;
  const auto n = static_cast<int32_t>(std::min<size_t>(nalUnit.size(), INT32_MAX));
  BitReader& reader = tables_->reader;
  std::unique_ptr<SeqParamSet>* sps = tables_->sps;
  std::unique_ptr<PicParamSet>* pps = tables_->pps;
  InitReader(&reader, nalUnit.data(), n);
  uint8_t header = 0;
  if (ReadByte(&reader, &header) != 0) return text;
  const int type = header & 31, refIdc = (header >> 5) & 3;
  if (type == 7) {
    // seq_parameter_set_id follows 24 bits of profile, flags and level.
    BitReader peek = reader;
    SkipBits(&peek, 24);
    const uint32_t id = ReadUe(&peek);
    const int r = ParseSps(&reader, sps);
    const ToolReport unit = SurveySps(&tables_->survey, nalUnit.data(), n, r < 0);
    Line(out, "SPS %u", id);
    Result(out, r, unit);
    if (r == 0 && id < kMaxSps && sps[id]) PrintSps(out, *sps[id]);
    // A set refused for a tool: the fields as the reader of every profile read them.
    const SeqParamSet* any = id < kMaxSps ? tables_->survey.sps[id].get() : nullptr;
    if (r < 0 && unit.tools != 0 && any != nullptr) PrintSpsOfAnyProfile(out, *any);
  } else if (type == 8) {
    // The id is the first element; peek it to print the stored set afterwards.
    BitReader peek = reader;
    const uint32_t id = ReadUe(&peek);
    const int r = ParsePps(&reader, pps);
    const ToolReport unit = SurveyPps(&tables_->survey, nalUnit.data(), n, r < 0);
    Line(out, "PPS %u", id);
    Result(out, r, unit);
    if (r == 0 && id < kMaxPps && pps[id]) PrintPps(out, *pps[id]);
  } else if (type == 1 || type == 5) {
    SliceHeader h{};
    h.nal_unit_type = type;
    h.nal_ref_idc = refIdc;
    h.idrFlag = type == 5;
    const int r = ParseSliceHeader(&h, sps, pps, &reader);
    const ToolReport unit = r < 0 ? SurveySlice(&tables_->survey, nalUnit.data(), n) : ToolReport{};
    *out += "slice";
    Result(out, r, unit);
    PrintSlice(out, h);
  } else {
    Line(out, "NAL unit type %d, %d bytes\n", type, n);
  }
  return text;
}

}  // namespace vexlor::h264
