// Residual reconstruction of a whole macroblock (H.264 clauses 8.5.10 to 8.5.12, flat scaling
// lists, 8-bit 4:2:0). Blocks without levels are copied, blocks whose only value is the DC take
// one add per sample, and only the rest go through the 4x4 transform.
#include "recon/transform.h"

#include <cstring>

#include "dsp/dsp_transform.h"

namespace vexlor::h264 {

void ReconstructLuma(const uint8_t* pred, int32_t* lumaDc, int dcFlag, int32_t (*lumaCoeff)[16],
                     uint8_t* dst, int stride, int qp, int codedMask, int dcOnlyMask) {
  const TransformKernels& k = TransformKernelsInUse();
  if (!dcFlag && codedMask == 0) {
    for (int y = 0; y < 16; ++y) std::memcpy(dst + y * stride, pred + y * kPredStride, 16);
    return;
  }
  alignas(16) int32_t dc[16];
  if (dcFlag) {
    k.inverseLumaDc(lumaDc, dc, dcScale[qp]);
  } else {
    std::memset(dc, 0, sizeof(dc));
  }
  const int s = (qp * 43) >> 8;
  const int32_t dcFactor = levelScalePairs[qp - 6 * s][0][0] << s;
  for (int b = 0; b < 16; ++b) {
    const int bx = (b & 3) * 4, by = (b >> 2) * 4;
    uint8_t* d = dst + by * stride + bx;
    const uint8_t* p = pred + by * kPredStride + bx;
    if (bx == 0 && !dcFlag && ((codedMask >> b) & 0xF) == 0) {
      // A row of four blocks without residual.
      for (int y = 0; y < 4; ++y) std::memcpy(d + y * stride, p + y * kPredStride, 16);
      b += 3;
      continue;
    }
    if (codedMask & (1 << b)) {
      if (dcOnlyMask & (1 << b)) {
        k.addDcOnly4x4(d, stride, p, lumaCoeff[b][0] * dcFactor);
        lumaCoeff[b][0] = 0;
      } else {
        k.addResidual4x4(d, stride, p, lumaCoeff[b], qp, dcFlag, dc[b]);
      }
    } else if (dc[b] != 0) {
      k.addDcOnly4x4(d, stride, p, dc[b]);
    } else {
      k.copyPrediction4x4(d, stride, p);
    }
  }
}

void ReconstructChroma(const uint8_t* pred, const int32_t (*chromaDc)[4], int32_t (*chromaAc)[16],
                       uint8_t* cb, uint8_t* cr, int stride, int qpChroma, int chromaDcMask,
                       int chromaAcMask) {
  const TransformKernels& k = TransformKernelsInUse();
  for (int c = 0; c < 2; ++c) {
    uint8_t* dst = c == 0 ? cb : cr;
    const uint8_t* p = pred + 256 + 8 * c;
    if (!(chromaDcMask & (1 << c)) && !(chromaAcMask & (0xF << (4 * c)))) {
      for (int y = 0; y < 8; ++y) std::memcpy(dst + y * stride, p + y * kPredStride, 8);
      continue;
    }
    int32_t dc[4] = {0, 0, 0, 0};
    if (chromaDcMask & (1 << c)) k.inverseChromaDc(chromaDc[c], dc, dcScale[qpChroma]);
    for (int j = 0; j < 4; ++j) {
      const int bx = (j & 1) * 4, by = (j >> 1) * 4;
      uint8_t* d = dst + by * stride + bx;
      const uint8_t* pj = p + by * kPredStride + bx;
      if (chromaAcMask & (1 << (4 * c + j))) {
        k.addResidual4x4(d, stride, pj, chromaAc[4 * c + j], qpChroma, 1, dc[j]);
      } else if (dc[j] != 0) {
        k.addDcOnly4x4(d, stride, pj, dc[j]);
      } else {
        k.copyPrediction4x4(d, stride, pj);
      }
    }
  }
}

}  // namespace vexlor::h264
