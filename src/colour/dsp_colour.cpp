// Portable colour conversion kernels: the reference versions of both conversions.
#include "dsp_colour.h"

#include <array>

#include "h264/cpu.h"

namespace vexlor::colour {
namespace {

// ---- the table path ----------------------------------------------------------------------

struct Tables {
  std::array<int32_t, 256> y, crToRed, cbToGreen, crToGreen, cbToBlue;
  std::array<uint8_t, 1024> clamp;  // index + kClampBias, for indexes -384..639
};
constexpr int kClampBias = 384;

constexpr Tables BuildTables() {
  Tables t{};
  for (int s = 0; s < 256; ++s) {
    t.y[s] = 76309 * (s - 16);
    t.crToRed[s] = 104597 * (s - 128);
    t.cbToGreen[s] = 25675 * (s - 128);
    t.crToGreen[s] = 53279 * (s - 128);
    t.cbToBlue[s] = 132201 * (s - 128);
  }
  for (int i = 0; i < 1024; ++i) {
    const int v = i - kClampBias;
    t.clamp[i] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
  }
  return t;
}

// Built at compile time, so a conversion can never see half-built tables.
constexpr Tables kTables = BuildTables();

// The sums stay within -277..534, inside the clamp table.
inline void PortablePixel(int32_t t, int32_t bu, int32_t guv, int32_t rv, uint8_t* px) {
  const uint8_t* clamp = kTables.clamp.data() + kClampBias;
  px[0] = clamp[(t + bu) >> 16];
  px[1] = clamp[(t - guv) >> 16];
  px[2] = clamp[(t + rv) >> 16];
  px[3] = 0;
}

void TableRowPair(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                  uint8_t* o0, uint8_t* o1, int width) {
  for (int j = 0; j < width / 2; ++j) {
    const int32_t rv = kTables.crToRed[v[j]];
    const int32_t guv = kTables.cbToGreen[u[j]] + kTables.crToGreen[v[j]];
    const int32_t bu = kTables.cbToBlue[u[j]];
    PortablePixel(kTables.y[y0[2 * j]], bu, guv, rv, o0 + 8 * j);
    PortablePixel(kTables.y[y0[2 * j + 1]], bu, guv, rv, o0 + 8 * j + 4);
    PortablePixel(kTables.y[y1[2 * j]], bu, guv, rv, o1 + 8 * j);
    PortablePixel(kTables.y[y1[2 * j + 1]], bu, guv, rv, o1 + 8 * j + 4);
  }
}

// ---- the MMX arithmetic ------------------------------------------------------------------

inline int16_t MulHigh(int32_t a, int16_t b) {
  return static_cast<int16_t>((a * b) >> 16);  // arithmetic shift: floor
}
inline int16_t AddSat16(int32_t a, int32_t b) {
  const int32_t s = a + b;
  return static_cast<int16_t>(s < -32768 ? -32768 : (s > 32767 ? 32767 : s));
}
inline uint8_t SatU8(int32_t v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// One pixel of the MMX arithmetic.
inline void MmxArithmeticPixel(uint8_t yv, uint8_t u, uint8_t v, uint8_t* px) {
  const int32_t ys = yv > 16 ? yv - 16 : 0;
  const int16_t luma = MulHigh(ys * 8, kLumaCoef);
  const int32_t u8 = (u - 128) * 8;
  const int32_t v8 = (v - 128) * 8;
  const int16_t red = AddSat16(luma, MulHigh(v8, kRedFromV));
  const int16_t green =
      AddSat16(luma, AddSat16(MulHigh(u8, kGreenFromU), MulHigh(v8, kGreenFromV)));
  const int16_t blue = AddSat16(luma, MulHigh(u8, kBlueFromU));
  px[0] = SatU8(blue);
  px[1] = SatU8(green);
  px[2] = SatU8(red);
  px[3] = 0;
}

void MmxArithmeticRow(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out,
                      int width) {
  MmxArithmeticPixels(y, cb, cr, out, 0, width);
}

}  // namespace

void MmxArithmeticPixels(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out,
                         int from, int width) {
  for (int x = from; x < width; ++x) MmxArithmeticPixel(y[x], cb[x >> 1], cr[x >> 1], out + 4 * x);
}

void InitColourReference(ColourKernels* k) {
  k->tableRowPair = TableRowPair;
  k->mmxArithmeticRow = MmxArithmeticRow;
}

void InitColourKernels(ColourKernels* k, uint32_t cpuFlags) {
  InitColourReference(k);
#if VEXLOR_X86_SIMD
  if (cpuFlags & dsp::kCpuSse2) InitColourSse2(k);
#else
  (void)cpuFlags;
#endif
}

const ColourKernels& ColourKernelsInUse() {
  return dsp::KernelsInUse<ColourKernels, InitColourKernels>();
}

}  // namespace vexlor::colour
