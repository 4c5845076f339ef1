// Macroblock parsing and reconstruction: the operations of slice_data.cpp, macroblock_layer.cpp,
// cavlc.cpp, mb_decode.cpp, intra_pred.cpp and transform.cpp that the other files (and the tests)
// call.
#pragma once

#include <cstdint>

#include "h264/dsp_recon.h"
#include "h264/records.h"

namespace vexlor::h264 {

struct ReconKernels;

// ---- cavlc.cpp -------------------------------------------------------------------------
// Raster position of each coefficient of a 4x4 block in coding (zig-zag) order.
extern const uint8_t kZigzag4x4[16];

// One residual_block_cavlc() of a 4x4 block with maxNumCoeff = 16 - startIdx. x, y: the block's
// position in the macroblock (luma 0..3, chroma 0..1); top and left: its context entries, read
// for nC (when available by position or neighbourFlags bits 0 and 1) and set to its TotalCoeff.
// The levels are added at their raster positions of out, which must be zero beforehand.
// Returns TotalCoeff, or -1 for a code that is not in the tables, a level prefix of 16 or more,
// levels that do not fit the block, or data that ends inside the block (the reader's error is
// set for those two).
int ParseResidualBlock(BitReader* r, int32_t* out, int x, int y, uint8_t* top, uint8_t* left,
                       int neighbourFlags, int startIdx);
// Chroma DC block (nC = -1, four levels in 2x2 raster order). Clears out, then writes the levels.
// Returns TotalCoeff or -1.
int ParseChromaDcBlock(BitReader* r, int32_t* out);

// One level_prefix / level_suffix pair with suffixLength 0 and 1..6: the signed level, without the
// adjustment of the first level after fewer than three trailing ones. Set error -4 for a prefix
// of 16 or more, -2 past the end.
int32_t ReadLevelSuffix0(BitReader* r);
int32_t ReadLevelSuffixN(BitReader* r, int n);

// Macroblock residual drivers: 0, or -1 when a block failed.
int ParseLumaDc(BitReader* r, MacroblockState* mb, const uint8_t* topNnzLuma);
int ParseLumaResidual(BitReader* r, MacroblockState* mb, uint8_t* topNnzLuma);
int ParseChromaDc(BitReader* r, MacroblockState* mb);
int ParseChromaAc(BitReader* r, MacroblockState* mb, uint8_t* topNnzCb, uint8_t* topNnzCr);

// ---- macroblock_layer.cpp --------------------------------------------------------------
extern const uint8_t kQpChromaTable[52];  // H.264 Table 8-15
inline int32_t QpChroma(int32_t qp, int32_t offset) {
  int32_t i = qp + offset;
  i = i < 0 ? 0 : (i > 51 ? 51 : i);
  return kQpChromaTable[i];
}

// Top coefficient contexts of the macroblock: topNnzLuma from blkX, topNnzCb/Cr from 2 * mbX.
struct TopNnz {
  uint8_t* luma;
  uint8_t* cb;
  uint8_t* cr;
};

// Parses one macroblock (mb_skip_run handling, mb_type, prediction syntax, coded_block_pattern,
// mb_qp_delta, residual) into mb, the intra 4x4 mode codes and the motion vector differences.
// mb's position fields and neighbourFlags must be set. 0, or -1 on any syntax or range error.
int ParseMacroblockLayer(MacroblockState* mb, int numActive, int8_t* modeCodes, const TopNnz& top,
                         int32_t (*mvd)[2], int sliceType, int chromaQpOffset, BitReader* r);

void ClearLumaContexts(MacroblockState* mb, const TopNnz& top);
void ClearChromaContexts(MacroblockState* mb, const TopNnz& top);
void SetPcmContexts(MacroblockState* mb, const TopNnz& top);

// ---- slice_data.cpp --------------------------------------------------------------------
void InitMacroblockState(MacroblockState* mb, int32_t sliceQp, int32_t chromaQpOffset);

// ---- mb_decode.cpp ---------------------------------------------------------------------
int DecodeMacroblock(MacroblockState* mb, Picture* pic, Picture* const* refList, int numActive,
                     PictureMbInfo* info, int width, int height, int sliceType,
                     int constrainedIntraPred, int chromaQpOffset, int mbX, int mbY, BitReader* r);
int ComputeNeighbourFlags(const MacroblockState* mb, const PictureMbInfo* info, int width,
                          int constrained);
// The 384 I_PCM samples into the picture at (pixX, pixY). 0, or -1 (nothing written) when the
// data after the alignment bits is too short.
int ReadPcmSamples(Picture* pic, int pixX, int pixY, int width, BitReader* r);
void CopySkipMacroblock(Picture* pic, const Picture* ref, int pixX, int pixY, int width);
void SetIntraNeighbourModesDc(MacroblockState* mb, PictureMbInfo* info);
void ClearInterData(PictureMbInfo* info, int mbX, int mbY, int width);

// ---- intra_pred.cpp --------------------------------------------------------------------
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
void SetIntraReferenceKernels(ReconKernels* k);

// ---- transform.cpp ---------------------------------------------------------------------
// Residual of a P or Intra 16x16 macroblock added to the luma prediction (stride kPredStride).
void ReconstructLuma(const uint8_t* pred, int32_t* lumaDc, int dcFlag, int32_t (*lumaCoeff)[16],
                     uint8_t* dst, int stride, int qp, int codedMask, int dcOnlyMask);
void ReconstructChroma(const uint8_t* pred, const int32_t (*chromaDc)[4], int32_t (*chromaAc)[16],
                       uint8_t* cb, uint8_t* cr, int stride, int qpChroma, int chromaDcMask,
                       int chromaAcMask);

}  // namespace vexlor::h264
