// What the stream tests check of every picture the decoder delivers (h264::DecodeStream feeds
// the streams; h264::PictureMd5 reads every sample).
#pragma once

#include "h264/api.h"

namespace vexlor::testing {

// What every caller relies on for a delivered picture: a positive size in whole macroblocks and
// all three planes.
inline bool PictureLooksSane(const h264::PictureView& p) {
  return p.width > 0 && p.height > 0 && p.width % 16 == 0 && p.height % 16 == 0 &&
         p.luma != nullptr && p.cb != nullptr && p.cr != nullptr && p.lumaStride >= p.width &&
         p.chromaStride >= p.width / 2;
}

}  // namespace vexlor::testing
