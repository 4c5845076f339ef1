// The coding tools of a stream that this decoder lacks (it decodes the Baseline profile's tools
// in frame pictures), found in the parameter sets and slice headers of any profile, and the text
// that names them for a person: "High profile: CABAC, 8x8 transform".
//
// A ToolSurvey keeps parameter set tables of every profile beside a decoder's own, so that the
// units the decoder refuses can be described: what a refused sequence parameter set asks for,
// and, for a refused slice, what the slice, its picture parameter set and its sequence parameter
// set ask for together.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bitstream/bitreader.h"
#include "syntax/any_slice_header.h"
#include "syntax/param_sets.h"

namespace vexlor::h264 {

enum CodingTool : uint32_t {
  kToolProfile = 1u << 0,     // a named profile the decoder does not take (not 66 and
                              // constraint_set0_flag 0)
  kToolInterlaced = 1u << 1,  // frame_mbs_only_flag 0
  kToolFieldPictures = 1u << 2,
  kToolMbaff = 1u << 3,
  kToolCabac = 1u << 4,
  kToolBSlices = 1u << 5,
  kToolTransform8x8 = 1u << 6,
  kToolWeightedPrediction = 1u << 7,
  kToolScalingMatrices = 1u << 8,
  kToolMonochrome = 1u << 9,
  kToolChroma422 = 1u << 10,
  kToolChroma444 = 1u << 11,
  kToolSeparateColourPlanes = 1u << 12,
  kToolHighBitDepth = 1u << 13,
  kToolLossless = 1u << 14,
  kToolSwitchingSlices = 1u << 15,  // SP and SI slices
  kToolDataPartitions = 1u << 16,
  kToolLevel = 1u << 17,        // a level beyond the decoder's level table (1b as 9, 5.2, 6.x)
  kToolPictureSize = 1u << 18,  // more than kMaxMbDimension macroblocks across or down
};

// Tools noted for one unit or a whole stream, with what their text needs.
struct ToolReport {
  uint32_t tools = 0;
  int32_t profileIdc = -1;      // of the latest sequence parameter set noted; -1 for none
  int32_t constraintFlags = 0;  // its constraint_set0_flag .. constraint_set5_flag, bit 0 first
  int32_t bitDepth = 8;         // the highest sample bit depth noted
  int32_t levelIdc = 0;         // the latest level_idc noted outside the level table
};

uint32_t SpsTools(const SeqParamSet& s);
uint32_t PpsTools(const PicParamSet& p);
uint32_t SliceTools(const AnySliceHeader& h);

// constraint_set0_flag .. constraint_set5_flag of a set, bit 0 first.
int32_t ConstraintFlags(const SeqParamSet& s);

// Adds tools to a report; the profile, bit depth and level come from sps (null: none known).
void NoteTools(ToolReport* report, const SeqParamSet* sps, uint32_t tools);
// Adds one report to another when it holds a tool (the latest profile wins).
void MergeTools(ToolReport* into, const ToolReport& unit);

// "Baseline", "Constrained Baseline", "Main", "High", "High 10", ... (empty when unknown).
std::string ProfileName(int32_t profileIdc, int32_t constraintFlags);
// "3.1", "1b", ...
std::string LevelName(int32_t profileIdc, int32_t levelIdc, int32_t constraintFlags);
// "High profile: CABAC, 8x8 transform"; empty when the report holds no tool.
std::string DescribeTools(const ToolReport& report);

struct ToolSurvey {
  BitReader reader;
  std::unique_ptr<SeqParamSet> sps[kMaxSps];
  std::unique_ptr<PicParamSet> pps[kMaxPps];
  ToolReport stream;  // the tools of every unit noted as refused
};

// A parameter set NAL unit (header byte first, start code prefix allowed): stored in the
// survey's tables when it can be read, and described. With `refused` (the decoder did not take
// it), its report is added to the stream's. Returns the unit's report (empty when unreadable).
ToolReport SurveySps(ToolSurvey* survey, const uint8_t* data, int32_t n, bool refused);
ToolReport SurveyPps(ToolSurvey* survey, const uint8_t* data, int32_t n, bool refused);
// A slice NAL unit (types 1, 2, 5) the decoder did not decode: the tools of the slice and its
// parameter sets, added to the stream's report.
ToolReport SurveySlice(ToolSurvey* survey, const uint8_t* data, int32_t n);

// At most this many bytes of a slice NAL unit are read for its header.
constexpr int32_t kMaxSliceHeaderBytes = 8192;

}  // namespace vexlor::h264
