// Placeholder until the macroblock layer lands.
#include "h264/internal.h"

namespace vexlor::h264 {

int DecodeSliceData(const SliceHeader*, Picture*, DecodedPictureBuffer*, const PicParamSet*,
                    PictureMbInfo*, int32_t, BitReader*) {
  return kErrUnsupported;
}

}  // namespace vexlor::h264
