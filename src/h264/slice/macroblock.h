// Macroblock state: the per-picture side information of every macroblock and 4x4 block, which
// later macroblocks and the deblocking filter read, and the work record of one slice pass.
#pragma once

#include <cstdint>
#include <vector>

namespace vexlor::h264 {

// Per-picture macroblock side information (allocated with the picture storage).
// Per-macroblock arrays are indexed by mbAddr; per-4x4-block arrays by
// (4 * mbY + y) * (width / 4) + 4 * mbX + x.
struct PictureMbInfo {
  int32_t widthMbs = 0;
  int32_t heightMbs = 0;
  std::vector<int32_t> sliceMap;     // slice group (bits 0..3), then the sliceTag
  std::vector<uint8_t> mbInterFlag;  // 0 intra, partitionMode + 1 for P macroblocks
  std::vector<uint8_t> mbQp;
  std::vector<int8_t> refIdx4x4;       // -1 intra
  std::vector<uint32_t> refUid4x4;     // uid of the referenced picture, 0 for intra blocks
  std::vector<int32_t> mbCodedMask;    // bit 4y+x: luma 4x4 block has coefficients
  std::vector<uint8_t> topIntraModes;  // one per 4x4 column of the picture
  std::vector<int16_t> mv4x4;          // pairs (x, y) in quarter samples
  std::vector<uint8_t> topNnzLuma;     // one per 4x4 luma column
  std::vector<uint8_t> topNnzCb;       // one per 4x4 chroma column
  std::vector<uint8_t> topNnzCr;
  std::vector<uint8_t> mbDeblockIdc;
  std::vector<int8_t> mbAlphaOffset;  // FilterOffsetA
  std::vector<int8_t> mbBetaOffset;   // FilterOffsetB
};

// Work record of one slice pass, reused for every macroblock of the slice.
struct MacroblockState {
  int32_t isInter;
  int32_t skipRunLeft;
  int32_t intraKind;  // 0 Intra 4x4, 1 Intra 16x16, 2 I_PCM
  int32_t intra16x16PredMode;
  int32_t intraChromaPredMode;
  int32_t partitionMode;  // 0 P_Skip, 1 16x16, 2 16x8, 3 8x16, 4 P_8x8, 5 P_8x8ref0
  int32_t subMbType[4];
  int32_t refIdx[4];
  int32_t qp;
  int32_t qpChroma;
  int32_t mbX, mbY;
  int32_t blkX, blkY;
  int32_t pixX, pixY;
  int32_t lumaCodedMask;
  int32_t chromaAcMask;
  int32_t chromaDcMask;
  alignas(16) uint8_t pred[384];  // luma 16x16 (stride 16), then 8 rows: Cb cols 0..7, Cr 8..15
  int32_t lumaDc[16];
  int32_t chromaDc[2][4];
  alignas(16) int32_t lumaCoeff[16][16];
  alignas(16) int32_t chromaAc[8][16];
  int32_t neighbourFlags;
  uint8_t leftNnzLuma[4];
  uint8_t leftNnzCb[2];
  uint8_t leftNnzCr[2];
  uint8_t leftIntraModes[4];
  // Luma blocks of lumaCodedMask whose only level is at position 0 (their transform is a
  // constant); set by the residual parser for blocks parsed whole.
  int32_t lumaDcOnlyMask;
};

// Neighbour availability bits of MacroblockState::neighbourFlags.
enum NeighbourFlag : int32_t {
  kAvailLeft = 1,
  kAvailAbove = 2,
  kAvailAboveRight = 4,
  kAvailAboveLeft = 8,
  // Bits 4..7: the same four, usable for intra prediction.
};

// Sizes the PictureMbInfo arrays for a width x height picture; every block starts as intra
// without a vector.
void AllocateMbInfo(PictureMbInfo* info, int width, int height);

}  // namespace vexlor::h264
