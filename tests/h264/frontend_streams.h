// Shorthands over the test stream writer for the front end's tests: SPS, PPS and I slices of
// I_PCM macroblocks from a few options, and a bit writer with short names.
#pragma once

#include <cstdint>
#include <vector>

#include "h264/writer/syntax.h"

namespace vexlor::h264::testing {

class Bits {
 public:
  void U(int n, uint32_t v) { w_.PutBits(v, n); }
  void Ue(uint32_t v) { w_.PutUe(v); }
  void Se(int32_t v) { w_.PutSe(v); }
  void Align() { w_.AlignWithZeros(); }
  void Trailing() { w_.PutTrailingBits(); }
  const std::vector<uint8_t>& bytes() const { return w_.Bytes(); }

 private:
  h264w::BitWriter w_;
};

inline std::vector<uint8_t> Nal(int refIdc, int type, const std::vector<uint8_t>& rbsp) {
  return h264w::MakeNalUnit(refIdc, type, rbsp);
}

struct SpsOptions {
  int profile = 66;
  int constraintSet0 = 0;
  int level = 30;
  int id = 0;
  int log2MaxFrameNumMinus4 = 0;
  int pocType = 0;
  int log2MaxPocLsbMinus4 = 2;
  int numRefFrames = 1;
  int gapsAllowed = 0;
  int widthMbs = 2;
  int heightMbs = 2;
  int maxDecFrameBuffering = -1;  // VUI with bitstream restriction when >= 0
  int numReorderFrames = 0;
};

inline h264w::Sps WriterSps(const SpsOptions& o) {
  h264w::Sps s;
  s.profile_idc = o.profile;
  s.constraint_set0_flag = o.constraintSet0;
  s.constraint_set1_flag = 0;
  s.level_idc = o.level;
  s.seq_parameter_set_id = o.id;
  s.log2_max_frame_num_minus4 = o.log2MaxFrameNumMinus4;
  s.pic_order_cnt_type = o.pocType;
  s.log2_max_pic_order_cnt_lsb_minus4 = o.log2MaxPocLsbMinus4;
  if (o.pocType == 1) s.offset_for_ref_frame = {2};
  s.num_ref_frames = o.numRefFrames;
  s.gaps_in_frame_num_value_allowed_flag = o.gapsAllowed;
  s.pic_width_in_mbs_minus1 = o.widthMbs - 1;
  s.pic_height_in_map_units_minus1 = o.heightMbs - 1;
  if (o.maxDecFrameBuffering >= 0) s.SetReorder(o.numReorderFrames, o.maxDecFrameBuffering);
  return s;
}

inline std::vector<uint8_t> MakeSps(const SpsOptions& o) {
  return h264w::SpsNal(WriterSps(o));
}

struct PpsOptions {
  int id = 0;
  int spsId = 0;
  int numSliceGroups = 1;
  int mapType = 0;
  std::vector<int> sliceGroupIds;  // map type 6
  int chromaQpOffset = 0;
};

inline h264w::Pps WriterPps(const PpsOptions& o) {
  h264w::Pps p;
  p.pic_parameter_set_id = o.id;
  p.seq_parameter_set_id = o.spsId;
  p.num_slice_groups_minus1 = o.numSliceGroups - 1;
  p.slice_group_map_type = o.mapType;
  p.slice_group_id = o.sliceGroupIds;
  p.pic_init_qp_minus26 = 0;
  p.chroma_qp_index_offset = o.chromaQpOffset;
  return p;
}

inline std::vector<uint8_t> MakePps(const PpsOptions& o) {
  return h264w::PpsNal(WriterPps(o));
}

struct SliceOptions {
  int nalType = 5;
  int refIdc = 3;
  int sliceType = 7;
  int firstMb = 0;
  int ppsId = 0;
  int frameNum = 0;
  int idrPicId = 0;
  int pocLsb = 0;
  int numMbs = 4;        // I_PCM macroblocks in the slice
  uint8_t sample = 100;  // value of every sample
};

// An I slice of I_PCM macroblocks with deblocking off, for a PPS made from default options.
inline std::vector<uint8_t> MakeSlice(const SpsOptions& sps, const SliceOptions& o) {
  h264w::SliceHeader h;
  h.nal_unit_type = o.nalType;
  h.nal_ref_idc = o.refIdc;
  h.first_mb_in_slice = o.firstMb;
  h.slice_type = o.sliceType;
  h.pic_parameter_set_id = o.ppsId;
  h.frame_num = o.frameNum;
  h.idr_pic_id = o.idrPicId;
  h.pic_order_cnt_lsb = o.pocLsb;
  h.disable_deblocking_filter_idc = 1;
  h264w::BitWriter w;
  h264w::WriteSliceHeader(&w, WriterSps(sps), WriterPps({}), h);
  for (int m = 0; m < o.numMbs; ++m) {
    w.PutUe(25);  // I_PCM
    w.AlignWithZeros();
    for (int i = 0; i < 384; ++i) w.PutBits(o.sample, 8);
  }
  w.PutTrailingBits();
  return h264w::MakeNalUnit(o.refIdc, o.nalType, w.Bytes());
}

inline void Append(std::vector<uint8_t>* s, const std::vector<uint8_t>& nal) {
  s->insert(s->end(), nal.begin(), nal.end());
}

}  // namespace vexlor::h264::testing
