// Portable transform kernels: the reference versions of every entry.
#include "dsp/dsp_transform.h"

#include <cstring>

#include "h264/cpu.h"

namespace vexlor::h264 {

// normAdjust4x4 (vA, vB, vC) by qP mod 6: rows 0 and 2 hold (vA, vC), rows 1 and 3 (vC, vB).
const int32_t levelScalePairs[6][4][2] = {
    {{10, 13}, {13, 16}, {10, 13}, {13, 16}}, {{11, 14}, {14, 18}, {11, 14}, {14, 18}},
    {{13, 16}, {16, 20}, {13, 16}, {16, 20}}, {{14, 18}, {18, 23}, {14, 18}, {18, 23}},
    {{16, 20}, {20, 25}, {16, 20}, {20, 25}}, {{18, 23}, {23, 29}, {18, 23}, {23, 29}},
};

const int16_t dcScale[52] = {
    10,  11,   13,   14,   16,   18,   20,   22,   26,   28,   32,   36,   40,
    44,  52,   56,   64,   72,   80,   88,   104,  112,  128,  144,  160,  176,
    208, 224,  256,  288,  320,  352,  416,  448,  512,  576,  640,  704,  832,
    896, 1024, 1152, 1280, 1408, 1664, 1792, 2048, 2304, 2560, 2816, 3328, 3584,
};

namespace {

void AddResidual4x4C(uint8_t* dst, int stride, const uint8_t* pred, int32_t* c, int qp,
                     int dcSupplied, int32_t dcValue) {
  const int s = (qp * 43) >> 8;
  const int m = qp - 6 * s;
  int32_t t[16];
  // Scaling, then the row transforms.
  for (int i = 0; i < 4; ++i) {
    const int32_t fa = levelScalePairs[m][i][0] << s;
    const int32_t fb = levelScalePairs[m][i][1] << s;
    const int32_t* ci = c + 4 * i;
    const int32_t d0 = (i == 0 && dcSupplied) ? dcValue : ci[0] * fa;
    const int32_t d1 = ci[1] * fb;
    const int32_t d2 = ci[2] * fa;
    const int32_t d3 = ci[3] * fb;
    const int32_t e0 = d0 + d2;
    const int32_t e1 = d0 - d2;
    const int32_t e2 = (d1 >> 1) - d3;
    const int32_t e3 = d1 + (d3 >> 1);
    t[4 * i + 0] = e0 + e3;
    t[4 * i + 1] = e1 + e2;
    t[4 * i + 2] = e1 - e2;
    t[4 * i + 3] = e0 - e3;
  }
  // Column transforms, rounding and reconstruction.
  for (int j = 0; j < 4; ++j) {
    const int32_t f0 = t[j], f1 = t[4 + j], f2 = t[8 + j], f3 = t[12 + j];
    const int32_t g0 = f0 + f2;
    const int32_t g1 = f0 - f2;
    const int32_t g2 = (f1 >> 1) - f3;
    const int32_t g3 = f1 + (f3 >> 1);
    dst[j] = Clip255(pred[j] + ((g0 + g3 + 32) >> 6));
    dst[stride + j] = Clip255(pred[kPredStride + j] + ((g1 + g2 + 32) >> 6));
    dst[2 * stride + j] = Clip255(pred[2 * kPredStride + j] + ((g1 - g2 + 32) >> 6));
    dst[3 * stride + j] = Clip255(pred[3 * kPredStride + j] + ((g0 - g3 + 32) >> 6));
  }
  std::memset(c, 0, 16 * sizeof(int32_t));
}

void AddDcOnly4x4C(uint8_t* dst, int stride, const uint8_t* pred, int32_t dcValue) {
  const int add = (dcValue + 32) >> 6;
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) dst[x] = Clip255(pred[x] + add);
    dst += stride;
    pred += kPredStride;
  }
}

void CopyPrediction4x4C(uint8_t* dst, int stride, const uint8_t* pred) {
  for (int y = 0; y < 4; ++y) std::memcpy(dst + y * stride, pred + y * kPredStride, 4);
}

void InverseLumaDcC(const int32_t* c, int32_t* out, int32_t factor) {
  int32_t t[16];
  for (int i = 0; i < 4; ++i) {  // rows
    const int32_t* ci = c + 4 * i;
    const int32_t a = ci[0] + ci[1], b = ci[0] - ci[1], d = ci[2] + ci[3], e = ci[2] - ci[3];
    t[4 * i + 0] = a + d;
    t[4 * i + 1] = a - d;
    t[4 * i + 2] = b - e;
    t[4 * i + 3] = b + e;
  }
  for (int j = 0; j < 4; ++j) {  // columns
    const int32_t a = t[j] + t[4 + j], b = t[j] - t[4 + j];
    const int32_t d = t[8 + j] + t[12 + j], e = t[8 + j] - t[12 + j];
    out[j] = ((a + d) * factor + 2) >> 2;
    out[4 + j] = ((a - d) * factor + 2) >> 2;
    out[8 + j] = ((b - e) * factor + 2) >> 2;
    out[12 + j] = ((b + e) * factor + 2) >> 2;
  }
}

void InverseChromaDcC(const int32_t* c, int32_t* out, int32_t factor) {
  const int32_t f00 = c[0] + c[1] + c[2] + c[3];
  const int32_t f01 = c[0] - c[1] + c[2] - c[3];
  const int32_t f10 = c[0] + c[1] - c[2] - c[3];
  const int32_t f11 = c[0] - c[1] - c[2] + c[3];
  out[0] = (f00 * factor) >> 1;
  out[1] = (f01 * factor) >> 1;
  out[2] = (f10 * factor) >> 1;
  out[3] = (f11 * factor) >> 1;
}

}  // namespace

void InitTransformReference(TransformKernels* k) {
  k->addResidual4x4 = AddResidual4x4C;
  k->addDcOnly4x4 = AddDcOnly4x4C;
  k->copyPrediction4x4 = CopyPrediction4x4C;
  k->inverseLumaDc = InverseLumaDcC;
  k->inverseChromaDc = InverseChromaDcC;
}

void InitTransformKernels(TransformKernels* k, uint32_t cpuFlags) {
  InitTransformReference(k);
#if VEXLOR_X86_SIMD
  if (cpuFlags & dsp::kCpuSse2) InitTransformSse2(k);
#else
  (void)cpuFlags;
#endif
}

const TransformKernels& TransformKernelsInUse() {
  return dsp::KernelsInUse<TransformKernels, InitTransformKernels>();
}

}  // namespace vexlor::h264
