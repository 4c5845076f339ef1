// Reconstruction kernels: inverse transforms, residual addition and intra sample prediction.
//
// Every kernel sits behind this function table. ReferenceReconKernels() is the portable C++
// version that defines the results; a vectorised table may replace it through ActiveReconKernels()
// as long as it matches the reference bit for bit (tests compare them on random inputs).
#pragma once

#include <cstdint>

namespace vexlor::h264 {

// Predictions are read from a buffer with this stride (MacroblockState::pred).
constexpr int kPredStride = 16;

// Intra 4x4 edge samples, in this order: L K J I (left column, bottom to top), M (above-left),
// A B C D (above), E F G H (above-right).
enum Intra4x4Edge : int {
  kEdgeL = 0,
  kEdgeI = 3,
  kEdgeM = 4,
  kEdgeA = 5,
  kEdgeE = 9,
  kEdgeSize = 13
};

// Availability bits handed to the intra kernels (only DC looks at them).
enum IntraAvail : int { kIntraLeft = 1, kIntraAbove = 2 };

struct ReconKernels {
  // Scales the 16 levels of coeff (raster order) for qp, replaces the first by dcValue when
  // dcSupplied (already scaled by a DC transform), applies the 4x4 inverse transform and writes
  // Clip(pred + ((r + 32) >> 6)) to dst. coeff is all zero on return.
  void (*addResidual4x4)(uint8_t* dst, int stride, const uint8_t* pred, int32_t* coeff, int qp,
                         int dcSupplied, int32_t dcValue);
  // dst = Clip(pred + ((dcValue + 32) >> 6)): the transform of a block whose only value is its DC.
  void (*addDcOnly4x4)(uint8_t* dst, int stride, const uint8_t* pred, int32_t dcValue);
  void (*copyPrediction4x4)(uint8_t* dst, int stride, const uint8_t* pred);
  // Intra 16x16 DC transform and scaling: out[4y + x] is the DC of luma block (x, y).
  void (*inverseLumaDc)(const int32_t* levels, int32_t* out, int32_t factor);
  // Chroma 2x2 DC transform and scaling.
  void (*inverseChromaDc)(const int32_t* levels, int32_t* out, int32_t factor);

  // Intra 4x4 modes 0..8 from the 13 edge samples; writes 4x4 samples at dst (stride kPredStride).
  void (*intra4x4[9])(uint8_t* dst, const uint8_t* edge, int avail);
  // Intra 16x16 modes 0..3: top[16], left[16] (top to bottom), corner p[-1, -1].
  void (*intra16x16[4])(uint8_t* dst, const uint8_t* top, const uint8_t* left, int corner,
                        int avail);
  // Chroma modes 0..3 (DC, horizontal, vertical, plane) for one 8x8 component.
  void (*intraChroma[4])(uint8_t* dst, const uint8_t* top, const uint8_t* left, int corner,
                         int avail);
};

const ReconKernels& ReferenceReconKernels();
// The table the decoder uses.
const ReconKernels& ActiveReconKernels();
// Replaces the kernels that have SSE2 versions; false (nothing replaced) without SSE2.
bool SetSse2ReconKernels(ReconKernels* k);
// Replaces the directional Intra 4x4 kernels by branch-free table-driven ones.
void SetIntraFastKernels(ReconKernels* k);

// Scaling tables: factors of the 4x4 positions by qP mod 6 and block row (columns 0 and 2, then
// columns 1 and 3), and the DC factor vA(qP mod 6) << (qP / 6) for qP 0..51.
extern const int32_t levelScalePairs[6][4][2];
extern const int16_t dcScale[52];

inline uint8_t Clip255(int v) {
  return static_cast<uint8_t>((v & ~255) ? (~v >> 31) & 255 : v);
}

}  // namespace vexlor::h264
