// What every macroblock of a slice shares. The slice data loop sets it up once per slice and
// hands it down to macroblock parsing, motion vector prediction, prediction and reconstruction.
#pragma once

#include "bitstream/bitreader.h"
#include "picture/picture.h"
#include "slice/macroblock.h"

namespace vexlor::h264 {

struct SliceContext {
  Picture* pic = nullptr;             // the picture being decoded
  Picture* const* refList = nullptr;  // reference picture list 0 (kMaxRefListEntries entries)
  int numActive = 0;                  // entries of refList in use; 0 in I slices
  PictureMbInfo* info = nullptr;      // the picture's macroblock side information
  int width = 0, height = 0;          // picture size in luma samples
  int sliceType = 0;                  // slice_type, 0..9
  int constrainedIntraPred = 0;       // constrained_intra_pred_flag of the PPS
  int chromaQpOffset = 0;             // chroma_qp_index_offset of the PPS
  BitReader* reader = nullptr;        // positioned at the next macroblock's syntax
  bool skipPixels = false;            // parse only: no samples are computed
};

}  // namespace vexlor::h264
