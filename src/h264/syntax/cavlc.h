// CAVLC residual decoding (H.264 clause 9.2): coefficient blocks and the macroblock residual in
// the order of clause 7.3.5.3, with the TotalCoeff contexts kept for the neighbours.
#pragma once

#include <cstdint>

#include "bitstream/bitreader.h"
#include "slice/macroblock.h"

namespace vexlor::h264 {

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
// adjustment of the first level after fewer than three trailing ones. Set error
// kReaderCodeTooLong for a prefix of 16 or more, kReaderPastEnd past the end.
int32_t ReadLevelSuffix0(BitReader* r);
int32_t ReadLevelSuffixN(BitReader* r, int n);

// Macroblock residual drivers: 0, or -1 when a block failed.
int ParseLumaDc(BitReader* r, MacroblockState* mb, const uint8_t* topNnzLuma);
int ParseLumaResidual(BitReader* r, MacroblockState* mb, uint8_t* topNnzLuma);
int ParseChromaDc(BitReader* r, MacroblockState* mb);
int ParseChromaAc(BitReader* r, MacroblockState* mb, uint8_t* topNnzCb, uint8_t* topNnzCr);

}  // namespace vexlor::h264
