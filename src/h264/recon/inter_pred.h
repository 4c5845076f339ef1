// Motion-compensated prediction of a P macroblock (H.264 clause 8.4.2).
#pragma once

#include "picture/picture.h"
#include "picture/ref_lists.h"
#include "slice/macroblock.h"

namespace vexlor::h264 {

// Inter prediction of one macroblock into mb->pred from the blocks' references and vectors.
void PredictInter(MacroblockState* mb, Picture* const* refList, const PictureMbInfo* info,
                  int width, int height);

}  // namespace vexlor::h264
