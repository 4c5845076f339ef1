#include "colour/yuv_to_rgb.h"

namespace vexlor::colour {

int useMmxPath = 0;

void InitColourTables() {}
void DetectMmx() {}

int ConvertPicturePortable(const uint8_t*, const uint8_t*, const uint8_t*, int, int, int, uint8_t*,
                           int, int, int) {
  return 1;
}
int ConvertPictureMmx(const uint8_t*, int, const uint8_t*, const uint8_t*, int, int, uint8_t*, int,
                      int, int) {
  return 1;
}

}  // namespace vexlor::colour
