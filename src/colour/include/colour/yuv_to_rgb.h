// 4:2:0 YUV pictures to 32-bit pixels (bytes blue, green, red, 0).
//
// Two conversions exist and they do not give identical pixels:
//  - the portable table path: 16.16 fixed-point lookup tables, one arithmetic shift of a sum per
//    colour (Y table 76309 x (s - 16), Cr->red 104597, Cb->green 25675, Cr->green 53279,
//    Cb->blue 132201, chroma tables x (s - 128));
//  - the MMX arithmetic: 16-bit arithmetic as the MMX instructions do it, eight pixels at a
//    time. Luma is first reduced by 16 with unsigned saturation; each term is multiplied by 8
//    and the high half of the signed 16 x 16 product with a coefficient in 1/8192 units is kept
//    (luma 9576, red from V 13123, green from U -3218, green from V -6686, blue from U 16591);
//    sums saturate to 16 bits and the results to 0..255. It runs as SSE2 code where the
//    processor has SSE2 and as portable code elsewhere (dsp_colour.h), bit-identical.
// The MMX arithmetic is used when the processor reports MMX (every x86 processor does).
// Rows of the output run top to bottom in the order of the planes.
#pragma once

#include <cstdint>

namespace vexlor::colour {

// Set once per process by DetectMmx: 1 when the MMX arithmetic is used.
extern int useMmxArithmetic;

// Runs the processor feature test (the MMX flag) once; later calls do nothing.
void DetectMmx();

// Portable table path (16.16 fixed point). Returns 1; returns 0 and writes nothing when width
// or height is not a positive even number.
int ConvertPicturePortable(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int y_stride,
                           int cb_stride, int cr_stride, uint8_t* out, int width, int height,
                           int out_stride);

// The MMX arithmetic. Returns 1; returns 0 and writes nothing when width or height is not a
// positive even number. Widths that are not a multiple of 8 are finished with the same
// arithmetic one pixel at a time, so every pixel is written.
int ConvertPictureMmxArithmetic(const uint8_t* y, int y_stride, const uint8_t* cb,
                                const uint8_t* cr, int cb_stride, int cr_stride, uint8_t* out,
                                int width, int height, int out_stride);

// Converts a width x height picture (luma rows yStride bytes apart, chroma rows cStride) into out
// (width x 4 bytes per row) with the path chosen by useMmxArithmetic. Runs the feature test
// first if that has not happened yet.
int ConvertPicture(const uint8_t* y, int yStride, const uint8_t* cb, const uint8_t* cr, int cStride,
                   uint8_t* out, int width, int height);
// The same for tightly packed planes (strides width, width/2, width/2).
inline int ConvertPicture(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out,
                          int width, int height) {
  return ConvertPicture(y, width, cb, cr, width / 2, out, width, height);
}

}  // namespace vexlor::colour
