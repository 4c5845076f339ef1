// The picture-level conversions over the colour kernels, and the choice between them.
#include "colour/yuv_to_rgb.h"

#include <cstddef>
#include <mutex>

#include "dsp_colour.h"
#include "h264/cpu.h"

namespace vexlor::colour {

int useMmxArithmetic = 0;

namespace {

bool ValidSize(int width, int height) {
  return width > 0 && height > 0 && (width & 1) == 0 && (height & 1) == 0;
}

std::once_flag detectOnce;

}  // namespace

void DetectMmx() {
  std::call_once(detectOnce,
                 [] { useMmxArithmetic = (dsp::DetectCpuFlags() & dsp::kCpuMmx) != 0 ? 1 : 0; });
}

int ConvertPicturePortable(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int y_stride,
                           int cb_stride, int cr_stride, uint8_t* out, int width, int height,
                           int out_stride) {
  if (!ValidSize(width, height)) return 0;
  const ColourKernels& k = ColourKernelsInUse();
  for (int row = 0; row < height / 2; ++row) {
    const uint8_t* y0 = y + static_cast<ptrdiff_t>(2 * row) * y_stride;
    uint8_t* o0 = out + static_cast<ptrdiff_t>(2 * row) * out_stride;
    k.tableRowPair(y0, y0 + y_stride, cb + static_cast<ptrdiff_t>(row) * cb_stride,
                   cr + static_cast<ptrdiff_t>(row) * cr_stride, o0, o0 + out_stride, width);
  }
  return 1;
}

int ConvertPictureMmxArithmetic(const uint8_t* y, int y_stride, const uint8_t* cb,
                                const uint8_t* cr, int cb_stride, int cr_stride, uint8_t* out,
                                int width, int height, int out_stride) {
  if (!ValidSize(width, height)) return 0;
  const ColourKernels& k = ColourKernelsInUse();
  for (int row = 0; row < height; ++row) {
    k.mmxArithmeticRow(y + static_cast<ptrdiff_t>(row) * y_stride,
                       cb + static_cast<ptrdiff_t>(row / 2) * cb_stride,
                       cr + static_cast<ptrdiff_t>(row / 2) * cr_stride,
                       out + static_cast<ptrdiff_t>(row) * out_stride, width);
  }
  return 1;
}

int ConvertPicture(const uint8_t* y, int yStride, const uint8_t* cb, const uint8_t* cr, int cStride,
                   uint8_t* out, int width, int height) {
  DetectMmx();
  if (useMmxArithmetic) {
    return ConvertPictureMmxArithmetic(y, yStride, cb, cr, cStride, cStride, out, width, height,
                                       width * 4);
  }
  return ConvertPicturePortable(y, cb, cr, yStride, cStride, cStride, out, width, height,
                                width * 4);
}

}  // namespace vexlor::colour
