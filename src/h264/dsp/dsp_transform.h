// Transform kernels (H.264 clauses 8.5.10 to 8.5.12, flat scaling lists): scaling and inverse
// transform of 4x4 blocks with the residual added to a prediction, the DC-only and copy
// shortcuts, and the luma and chroma DC transforms.
#pragma once

#include <cstdint>

namespace vexlor::h264 {

// Predictions are read from a buffer with this stride (MacroblockState::pred).
constexpr int kPredStride = 16;

struct TransformKernels {
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
};

// The portable reference, which defines the results.
void InitTransformReference(TransformKernels* k);
// The fastest kernels the CPU flags allow (dsp::CpuFlag).
void InitTransformKernels(TransformKernels* k, uint32_t cpuFlags);
// The table the decoder uses: InitTransformKernels for dsp::CpuFlagsInUse(), built once.
const TransformKernels& TransformKernelsInUse();

// Scaling tables: factors of the 4x4 positions by qP mod 6 and block row (columns 0 and 2, then
// columns 1 and 3), and the DC factor vA(qP mod 6) << (qP / 6) for qP 0..51.
extern const int32_t levelScalePairs[6][4][2];
extern const int16_t dcScale[52];

inline uint8_t Clip255(int v) {
  return static_cast<uint8_t>((v & ~255) ? (~v >> 31) & 255 : v);
}

// The SSE2 versions (dsp_transform_sse2.cpp), on x86 only.
void InitTransformSse2(TransformKernels* k);

}  // namespace vexlor::h264
