// Motion vector prediction for P macroblocks (H.264 clauses 8.4.1.1 and 8.4.1.3).
#pragma once

#include <cstdint>

#include "picture/picture.h"
#include "picture/ref_lists.h"
#include "slice/macroblock.h"
#include "slice/slice_context.h"

namespace vexlor::h264 {

// Motion of a P macroblock with coded vector differences (partitionMode 1..5): writes
// refIdx4x4, refUid4x4 and mv4x4 of its 16 blocks. mvd holds the differences in bitstream
// order.
void DeriveInterMotion(const SliceContext& s, const MacroblockState* mb, const int32_t (*mvd)[2]);
// P_Skip motion: writes the 16 blocks; returns true when the vector is zero by rule.
bool DerivePSkipMotion(const SliceContext& s, const MacroblockState* mb);

}  // namespace vexlor::h264
