// Intra prediction (H.264 clause 8.3): Intra4x4PredMode derivation, the Intra 4x4 block loop,
// Intra 16x16 and chroma prediction. Neighbour samples come from the current picture, which holds
// unfiltered reconstructed samples while the picture is decoded.
#pragma once

#include <cstdint>

#include "slice/macroblock.h"

namespace vexlor::h264 {

// Replaces the 16 mode codes (raster order; -1 = predicted mode, 0..7 = rem_intra4x4_pred_mode)
// by Intra4x4PredMode values and updates both neighbour mode arrays. avail = neighbourFlags >> 4.
void DeriveIntra4x4Modes(int avail, int8_t* modes, uint8_t* leftIntraModes, uint8_t* topIntraModes);
// Predicts and reconstructs the 16 luma 4x4 blocks of an Intra 4x4 macroblock in the picture.
void ReconstructIntra4x4(MacroblockState* mb, uint8_t* luma, int stride, const int8_t* modes,
                         int avail);
// Prediction into pred (stride kPredStride). 1, or -1 (nothing written) when the mode needs a
// neighbour that is not available. The origins point at the macroblock's first sample in the
// picture; only available neighbours are read.
int PredictIntra16x16(uint8_t* pred, int mode, const uint8_t* origin, int stride, int avail);
int PredictIntraChroma(uint8_t* pred, const uint8_t* cbOrigin, const uint8_t* crOrigin, int stride,
                       int avail, int mode);
// Intra 4x4 blockFlags bits.
enum BlockFlag : int {
  kBlkLeft = 1,
  kBlkAbove = 1 << 4,
  kBlkAboveRight = 1 << 8,
  kBlkAboveLeft = 1 << 12
};
// Prediction of one 4x4 block into dst (stride kPredStride); origin points at the block's first
// sample in the picture.
void PredictIntra4x4(uint8_t* dst, int mode, const uint8_t* origin, int stride, int blockFlags);

}  // namespace vexlor::h264
