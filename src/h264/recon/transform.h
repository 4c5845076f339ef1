// Scaling, inverse transforms and residual reconstruction (H.264 clauses 8.5.10 to 8.5.12, flat
// scaling lists, 8-bit 4:2:0) of a whole macroblock.
#pragma once

#include <cstdint>

namespace vexlor::h264 {

// Residual of a P or Intra 16x16 macroblock added to the luma prediction (stride kPredStride).
void ReconstructLuma(const uint8_t* pred, int32_t* lumaDc, int dcFlag, int32_t (*lumaCoeff)[16],
                     uint8_t* dst, int stride, int qp, int codedMask, int dcOnlyMask);
void ReconstructChroma(const uint8_t* pred, const int32_t (*chromaDc)[4], int32_t (*chromaAc)[16],
                       uint8_t* cb, uint8_t* cr, int stride, int qpChroma, int chromaDcMask,
                       int chromaAcMask);

}  // namespace vexlor::h264
