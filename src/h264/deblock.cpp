// Placeholder until the deblocking filter lands.
#include "h264/internal.h"

namespace vexlor::h264 {

void DeblockPicture(Picture*, const PictureMbInfo*, int, int, int) {}

}  // namespace vexlor::h264
