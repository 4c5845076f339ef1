// Colour conversion kernels: rows of 32-bit pixels (blue, green, red, 0) from 4:2:0 planes, for
// the two conversions of yuv_to_rgb.h.
#pragma once

#include <cstdint>

namespace vexlor::colour {

struct ColourKernels {
  // The table path: output rows out0 and out1 from luma rows y0 and y1, which share the chroma
  // rows cb and cr; width even.
  void (*tableRowPair)(const uint8_t* y0, const uint8_t* y1, const uint8_t* cb, const uint8_t* cr,
                       uint8_t* out0, uint8_t* out1, int width);
  // The MMX arithmetic: one output row from one luma row and its chroma rows; any width.
  void (*mmxArithmeticRow)(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out,
                           int width);
};

// The portable reference, which defines the results.
void InitColourReference(ColourKernels* k);
// The fastest kernels the CPU flags allow (dsp::CpuFlag of h264/cpu.h).
void InitColourKernels(ColourKernels* k, uint32_t cpuFlags);
// The table the conversions use: InitColourKernels for dsp::CpuFlagsInUse(), built once.
const ColourKernels& ColourKernelsInUse();

// Coefficients of the MMX arithmetic, in units of 1/8192.
constexpr int16_t kLumaCoef = 9576;
constexpr int16_t kRedFromV = 13123;
constexpr int16_t kGreenFromU = -3218;
constexpr int16_t kGreenFromV = -6686;
constexpr int16_t kBlueFromU = 16591;

// The MMX arithmetic one pixel at a time, for pixels from .. width - 1 of a row (the SSE2 row
// finishes a row with it).
void MmxArithmeticPixels(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out,
                         int from, int width);

// The SSE2 versions (dsp_colour_sse2.cpp), on x86 only.
void InitColourSse2(ColourKernels* k);

}  // namespace vexlor::colour
