// Motion compensation kernels (H.264 clause 8.4.2.2): quarter-sample luma interpolation with the
// six-tap filter and eighth-sample bilinear chroma interpolation, for blocks of 4, 8 or 16 luma
// samples wide (2, 4 or 8 chroma samples).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlor::h264 {

// dst: output block; src: the reference sample at the block's integer position (xInt, yInt).
// Reads src from column -2 to width + 2 and row -2 to height + 2 when the fraction in that
// direction is non-zero, else only the block itself in that direction.
using LumaMcFn = void (*)(uint8_t* dst, ptrdiff_t dstStride, const uint8_t* src,
                          ptrdiff_t srcStride, int height);
// Reads src columns 0 .. width and rows 0 .. height (always one more than the block) even when a
// fraction is zero. xFrac, yFrac are 0..7.
using ChromaMcFn = void (*)(uint8_t* dst, ptrdiff_t dstStride, const uint8_t* src,
                            ptrdiff_t srcStride, int height, int xFrac, int yFrac);

struct McKernels {
  LumaMcFn luma[3][16];  // [width 4, 8, 16][4 * yFrac + xFrac]
  ChromaMcFn chroma[3];  // [width 2, 4, 8]
};

// The portable reference, which defines the results.
void InitMcReference(McKernels* k);
// The fastest kernels the CPU flags allow (dsp::CpuFlag).
void InitMcKernels(McKernels* k, uint32_t cpuFlags);
// The table the decoder uses: InitMcKernels for dsp::CpuFlagsInUse(), built once.
const McKernels& McKernelsInUse();

// Copies the n x m window whose top-left corner is (x0, y0) of a w x h plane into dst, clamping
// every row index to 0..h-1 and every column index to 0..w-1 (samples outside the picture are
// those of the nearest edge sample).
void FetchClamped(const uint8_t* plane, int w, int h, int x0, int y0, int n, int m, uint8_t* dst,
                  ptrdiff_t dstStride);

}  // namespace vexlor::h264
