// slice_data(): the reference list of the slice, then its macroblocks in decoding order (raster
// order within the slice group), each handed to DecodeMacroblock.
#pragma once

#include <cstdint>

#include "bitstream/bitreader.h"
#include "picture/picture.h"
#include "slice/macroblock.h"
#include "syntax/param_sets.h"
#include "syntax/slice_header.h"

namespace vexlor::h264 {

// Clears the work record for a slice starting at sliceQp.
void InitMacroblockState(MacroblockState* mb, int32_t sliceQp, int32_t chromaQpOffset);

// Decodes the macroblocks of one slice into pic. 0 when the slice ended normally.
int DecodeSliceData(const SliceHeader* h, Picture* pic, DecodedPictureBuffer* dpb,
                    const PicParamSet* pps, PictureMbInfo* info, int32_t sliceTag, BitReader* r,
                    bool skipPixels = false);

}  // namespace vexlor::h264
