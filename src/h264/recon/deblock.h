// The in-loop deblocking filter (H.264 clause 8.7) for frame pictures.
#pragma once

#include "picture/picture.h"
#include "slice/macroblock.h"

namespace vexlor::h264 {

// Filters the whole picture in place, macroblock by macroblock in raster order, once its last
// macroblock is decoded. Pictures synthesised for a frame_num gap are left alone.
void DeblockPicture(Picture* pic, const PictureMbInfo* info, int width, int height,
                    int chromaQpOffset);

}  // namespace vexlor::h264
