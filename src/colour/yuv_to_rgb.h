// 4:2:0 YUV pictures to 32-bit pixels (bytes blue, green, red, 0).
#pragma once

#include <cstdint>

namespace vexlor::colour {

// Set once per process by DetectMmx: the eight-pixels-at-a-time path is used.
extern int useMmxPath;

void InitColourTables();  // builds the lookup tables once; later calls do nothing
void DetectMmx();         // runs the processor feature test once

// Portable table path (16.16 fixed point). Returns 1.
int ConvertPicturePortable(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int y_stride,
                           int cb_stride, int cr_stride, uint8_t* out, int width, int height,
                           int out_stride);
// Eight pixels at a time with 16-bit arithmetic; width must be a multiple of 8. Returns 1.
int ConvertPictureMmx(const uint8_t* y, int y_stride, const uint8_t* cb, const uint8_t* cr,
                      int cb_stride, int cr_stride, uint8_t* out, int width, int height,
                      int out_stride);

}  // namespace vexlor::colour
