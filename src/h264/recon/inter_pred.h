// Motion-compensated prediction of a P macroblock (H.264 clause 8.4.2).
#pragma once

#include "picture/picture.h"
#include "picture/ref_lists.h"
#include "slice/macroblock.h"
#include "slice/slice_context.h"

namespace vexlor::h264 {

// Inter prediction of one macroblock into mb->pred from the blocks' references and vectors.
void PredictInter(const SliceContext& s, MacroblockState* mb);

}  // namespace vexlor::h264
