// Placeholder until motion vector prediction lands.
#include "h264/internal.h"

namespace vexlor::h264 {

void DeriveInterMotion(const MacroblockState*, const int32_t (*)[2], int, Picture* const*,
                       PictureMbInfo*, int) {}
bool DerivePSkipMotion(const MacroblockState*, Picture* const*, PictureMbInfo*, int) {
  return true;
}

}  // namespace vexlor::h264
