// QP_C, the chroma quantisation parameter, from the luma QP and chroma_qp_index_offset (H.264
// Table 8-15): used by the macroblock layer and by the deblocking filter.
#pragma once

#include <cstdint>

namespace vexlor::h264 {

inline constexpr uint8_t kQpChromaTable[52] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
    18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 29, 30, 31, 32, 32, 33,
    34, 34, 35, 35, 36, 36, 37, 37, 37, 38, 38, 38, 39, 39, 39, 39,
};

inline int32_t QpChroma(int32_t qp, int32_t offset) {
  int32_t i = qp + offset;
  i = i < 0 ? 0 : (i > 51 ? 51 : i);
  return kQpChromaTable[i];
}

}  // namespace vexlor::h264
