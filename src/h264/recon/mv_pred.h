// Motion vector prediction for P macroblocks (H.264 clauses 8.4.1.1 and 8.4.1.3).
#pragma once

#include <cstdint>

#include "picture/picture.h"
#include "picture/ref_lists.h"
#include "slice/macroblock.h"

namespace vexlor::h264 {

// Motion of a P macroblock with coded vector differences (partitionMode 1..5): writes
// refIdx4x4, refUid4x4 and mv4x4 of its 16 blocks. mvd holds the differences in bitstream
// order.
void DeriveInterMotion(const MacroblockState* mb, const int32_t (*mvd)[2], int numActive,
                       Picture* const* refList, PictureMbInfo* info, int width);
// P_Skip motion: writes the 16 blocks; returns true when the vector is zero by rule.
bool DerivePSkipMotion(const MacroblockState* mb, Picture* const* refList, PictureMbInfo* info,
                       int width);

}  // namespace vexlor::h264
