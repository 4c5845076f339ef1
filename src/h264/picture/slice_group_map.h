// Macroblock to slice group map (H.264 clause 8.2.2), frames only: map units are macroblocks.
#pragma once

#include "slice/macroblock.h"
#include "syntax/param_sets.h"
#include "syntax/slice_header.h"

namespace vexlor::h264 {

// Fills the slice group of every macroblock into info->sliceMap. kErrRange when the explicit map of
// the PPS is shorter than the picture.
int BuildSliceGroupMap(PictureMbInfo* info, const SeqParamSet* sps, const PicParamSet* pps,
                       const SliceHeader* h);

}  // namespace vexlor::h264
