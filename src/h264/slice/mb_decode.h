// Decoding of one macroblock: neighbour availability, parsing, prediction, residual, and the
// picture-wide side information that later macroblocks and the deblocking filter read.
#pragma once

#include <cstdint>

#include "bitstream/bitreader.h"
#include "picture/picture.h"
#include "slice/macroblock.h"
#include "slice/slice_context.h"

namespace vexlor::h264 {

// Parses and reconstructs the macroblock at (mbX, mbY) of the slice. 0, or -1 when its syntax
// is broken (the macroblock is then only partly written).
int DecodeMacroblock(const SliceContext& s, MacroblockState* mb, int mbX, int mbY);
int ComputeNeighbourFlags(const MacroblockState* mb, const PictureMbInfo* info, int width,
                          int constrained);
// The 384 I_PCM samples into the picture at (pixX, pixY). 0, or -1 (nothing written) when the
// data after the alignment bits is too short.
int ReadPcmSamples(Picture* pic, int pixX, int pixY, int width, BitReader* r);
void CopySkipMacroblock(Picture* pic, const Picture* ref, int pixX, int pixY, int width);
void SetIntraNeighbourModesDc(MacroblockState* mb, PictureMbInfo* info);
void ClearInterData(PictureMbInfo* info, int mbX, int mbY, int width);

}  // namespace vexlor::h264
