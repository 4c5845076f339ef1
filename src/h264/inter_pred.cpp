// Placeholder until motion-compensated prediction lands.
#include "h264/internal.h"

namespace vexlor::h264 {

void PredictInter(MacroblockState*, Picture* const*, const PictureMbInfo*, int, int) {}

}  // namespace vexlor::h264
