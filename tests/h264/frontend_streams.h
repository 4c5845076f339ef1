// Small stream builder for the front end's tests: Exp-Golomb writing, NAL units with emulation
// prevention, and SPS, PPS and I-slice NAL units made of I_PCM macroblocks.
#pragma once

#include <cstdint>
#include <vector>

namespace vexlor::h264::testing {

class Bits {
 public:
  void U(int n, uint32_t v) {
    for (int i = n - 1; i >= 0; --i) Bit((v >> i) & 1);
  }
  void Ue(uint32_t v) {
    const uint64_t x = uint64_t{v} + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    for (int i = 0; i < len; ++i) Bit(0);
    for (int i = len; i >= 0; --i) Bit(static_cast<int>((x >> i) & 1));
  }
  void Se(int32_t v) {
    Ue(v > 0 ? 2u * static_cast<uint32_t>(v) - 1 : 2u * static_cast<uint32_t>(-v));
  }
  void Bit(int b) {
    if (fill_ == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<uint8_t>(0x80 >> fill_);
    fill_ = (fill_ + 1) & 7;
  }
  void Align() {
    while (fill_ != 0) Bit(0);
  }
  void Trailing() {
    Bit(1);
    Align();
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  int fill_ = 0;
};

// 00 00 00 01, the header byte, then the RBSP with emulation prevention bytes inserted.
inline std::vector<uint8_t> Nal(int refIdc, int type, const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out = {0, 0, 0, 1, static_cast<uint8_t>((refIdc << 5) | type)};
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
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
  // VUI with bitstream restriction when maxDecFrameBuffering >= 0.
  int maxDecFrameBuffering = -1;
  int numReorderFrames = 0;
};

inline std::vector<uint8_t> MakeSps(const SpsOptions& o) {
  Bits b;
  b.U(8, o.profile);
  b.U(1, o.constraintSet0);
  b.U(1, 0);
  b.U(1, 0);
  b.U(5, 0);
  b.U(8, o.level);
  b.Ue(o.id);
  b.Ue(o.log2MaxFrameNumMinus4);
  b.Ue(o.pocType);
  if (o.pocType == 0) b.Ue(o.log2MaxPocLsbMinus4);
  if (o.pocType == 1) {
    b.U(1, 0);  // delta_pic_order_always_zero_flag
    b.Se(0);    // offset_for_non_ref_pic
    b.Se(0);    // offset_for_top_to_bottom_field
    b.Ue(1);    // num_ref_frames_in_pic_order_cnt_cycle
    b.Se(2);    // offset_for_ref_frame[0]
  }
  b.Ue(o.numRefFrames);
  b.U(1, o.gapsAllowed);
  b.Ue(o.widthMbs - 1);
  b.Ue(o.heightMbs - 1);
  b.U(1, 1);  // frame_mbs_only_flag
  b.U(1, 1);  // direct_8x8_inference_flag
  b.U(1, 0);  // frame_cropping_flag
  const bool vui = o.maxDecFrameBuffering >= 0;
  b.U(1, vui ? 1 : 0);
  if (vui) {
    for (int i = 0; i < 8; ++i) b.U(1, 0);  // aspect .. pic_struct flags
    b.U(1, 1);                              // bitstream_restriction_flag
    b.U(1, 1);
    b.Ue(0);
    b.Ue(0);
    b.Ue(16);
    b.Ue(16);
    b.Ue(o.numReorderFrames);
    b.Ue(o.maxDecFrameBuffering);
  }
  b.Trailing();
  return Nal(3, 7, b.bytes());
}

struct PpsOptions {
  int id = 0;
  int spsId = 0;
  int numSliceGroups = 1;
  int mapType = 0;
  std::vector<int> sliceGroupIds;  // map type 6
  int chromaQpOffset = 0;
};

inline std::vector<uint8_t> MakePps(const PpsOptions& o) {
  Bits b;
  b.Ue(o.id);
  b.Ue(o.spsId);
  b.U(1, 0);  // entropy_coding_mode_flag
  b.U(1, 0);  // pic_order_present_flag
  b.Ue(o.numSliceGroups - 1);
  if (o.numSliceGroups > 1) {
    b.Ue(o.mapType);
    if (o.mapType == 6) {
      int bits = 0;
      while ((1 << bits) < o.numSliceGroups) ++bits;
      b.Ue(static_cast<uint32_t>(o.sliceGroupIds.size()) - 1);
      for (int id : o.sliceGroupIds) b.U(bits, id);
    } else if (o.mapType == 1) {
    }
  }
  b.Ue(0);  // num_ref_idx_l0_active_minus1
  b.Ue(0);
  b.U(1, 0);
  b.U(2, 0);
  b.Se(0);
  b.Se(0);
  b.Se(o.chromaQpOffset);
  b.U(1, 1);  // deblocking_filter_control_present_flag
  b.U(1, 0);
  b.U(1, 0);
  b.Trailing();
  return Nal(3, 8, b.bytes());
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

// An I slice of I_PCM macroblocks with deblocking off, for an SPS built from `sps`.
inline std::vector<uint8_t> MakeSlice(const SpsOptions& sps, const SliceOptions& o) {
  Bits b;
  b.Ue(o.firstMb);
  b.Ue(o.sliceType);
  b.Ue(o.ppsId);
  b.U(sps.log2MaxFrameNumMinus4 + 4, o.frameNum);
  if (o.nalType == 5) b.Ue(o.idrPicId);
  if (sps.pocType == 0) b.U(sps.log2MaxPocLsbMinus4 + 4, o.pocLsb);
  if (sps.pocType == 1) b.Se(0);
  if (o.refIdc != 0) {
    if (o.nalType == 5) {
      b.U(1, 0);
      b.U(1, 0);
    } else {
      b.U(1, 0);  // sliding window
    }
  }
  b.Se(0);  // slice_qp_delta
  b.Ue(1);  // disable_deblocking_filter_idc
  for (int m = 0; m < o.numMbs; ++m) {
    b.Ue(25);  // I_PCM
    b.Align();
    for (int i = 0; i < 384; ++i) b.U(8, o.sample);
  }
  b.Trailing();
  return Nal(o.refIdc, o.nalType, b.bytes());
}

inline void Append(std::vector<uint8_t>* s, const std::vector<uint8_t>& nal) {
  s->insert(s->end(), nal.begin(), nal.end());
}

}  // namespace vexlor::h264::testing
