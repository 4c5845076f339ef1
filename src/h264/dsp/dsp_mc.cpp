// Portable motion compensation kernels. Each block shape and fractional position is its own
// instantiation, so the inner loops have fixed trip counts and no per-sample branches.
#include "dsp/dsp_mc.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "h264/cpu.h"

namespace vexlor::h264 {
namespace {

inline int Clip255(int v) {
  return v < 0 ? 0 : (v > 255 ? 255 : v);
}

// Six-tap sum (1, -5, 20, 20, -5, 1) around p[0] and p[step], unrounded.
inline int Tap6(const uint8_t* p, ptrdiff_t step) {
  return p[-2 * step] - 5 * p[-step] + 20 * p[0] + 20 * p[step] - 5 * p[2 * step] + p[3 * step];
}

template <int W, int XF, int YF>
void LumaMc(uint8_t* __restrict dst, ptrdiff_t ds, const uint8_t* __restrict src, ptrdiff_t ss,
            int h) {
  if constexpr (XF == 0 && YF == 0) {
    for (int y = 0; y < h; ++y, dst += ds, src += ss) std::memcpy(dst, src, W);
  } else if constexpr (YF == 0) {
    // a, b, c: horizontal half sample, averaged with the nearer integer sample.
    for (int y = 0; y < h; ++y, dst += ds, src += ss) {
      for (int x = 0; x < W; ++x) {
        int b = Clip255((Tap6(src + x, 1) + 16) >> 5);
        if constexpr (XF == 2) {
          dst[x] = static_cast<uint8_t>(b);
        } else {
          dst[x] = static_cast<uint8_t>((src[x + (XF >> 1)] + b + 1) >> 1);
        }
      }
    }
  } else if constexpr (XF == 0) {
    // d, h, n: vertical half sample, averaged with the nearer integer sample.
    for (int y = 0; y < h; ++y, dst += ds, src += ss) {
      for (int x = 0; x < W; ++x) {
        int v = Clip255((Tap6(src + x, ss) + 16) >> 5);
        if constexpr (YF == 2) {
          dst[x] = static_cast<uint8_t>(v);
        } else {
          dst[x] = static_cast<uint8_t>((src[x + (YF >> 1) * ss] + v + 1) >> 1);
        }
      }
    }
  } else if constexpr (XF == 2) {
    // f, j, q: the centre sample from unrounded horizontal sums of h + 5 rows.
    int16_t tmp[21][W];
    const uint8_t* s = src - 2 * ss;
    for (int r = 0; r < h + 5; ++r, s += ss) {
      for (int x = 0; x < W; ++x) tmp[r][x] = static_cast<int16_t>(Tap6(s + x, 1));
    }
    for (int y = 0; y < h; ++y, dst += ds) {
      for (int x = 0; x < W; ++x) {
        int j1 = tmp[y][x] - 5 * tmp[y + 1][x] + 20 * tmp[y + 2][x] + 20 * tmp[y + 3][x] -
                 5 * tmp[y + 4][x] + tmp[y + 5][x];
        int j = Clip255((j1 + 512) >> 10);
        if constexpr (YF == 2) {
          dst[x] = static_cast<uint8_t>(j);
        } else {
          int b = Clip255((tmp[y + 2 + (YF >> 1)][x] + 16) >> 5);
          dst[x] = static_cast<uint8_t>((j + b + 1) >> 1);
        }
      }
    }
  } else if constexpr (YF == 2) {
    // i, k: the centre sample from unrounded vertical sums of W + 5 columns.
    int16_t tmp[16][W + 5];
    const uint8_t* s = src - 2;
    for (int y = 0; y < h; ++y, s += ss) {
      for (int c = 0; c < W + 5; ++c) tmp[y][c] = static_cast<int16_t>(Tap6(s + c, ss));
    }
    for (int y = 0; y < h; ++y, dst += ds) {
      for (int x = 0; x < W; ++x) {
        const int16_t* t = &tmp[y][x];
        int j1 = t[0] - 5 * t[1] + 20 * t[2] + 20 * t[3] - 5 * t[4] + t[5];
        int j = Clip255((j1 + 512) >> 10);
        int v = Clip255((t[2 + (XF >> 1)] + 16) >> 5);
        dst[x] = static_cast<uint8_t>((j + v + 1) >> 1);
      }
    }
  } else {
    // e, g, p, r: a horizontal and a vertical half sample averaged.
    const uint8_t* sb = src + (YF >> 1) * ss;
    const uint8_t* sh = src + (XF >> 1);
    for (int y = 0; y < h; ++y, dst += ds, sb += ss, sh += ss) {
      for (int x = 0; x < W; ++x) {
        int b = Clip255((Tap6(sb + x, 1) + 16) >> 5);
        int v = Clip255((Tap6(sh + x, ss) + 16) >> 5);
        dst[x] = static_cast<uint8_t>((b + v + 1) >> 1);
      }
    }
  }
}

template <int W>
void ChromaMc(uint8_t* __restrict dst, ptrdiff_t ds, const uint8_t* __restrict src, ptrdiff_t ss,
              int h, int xFrac, int yFrac) {
  // The weights sum to 64, so every sum fits in 16 bits.
  const uint16_t a = static_cast<uint16_t>((8 - xFrac) * (8 - yFrac));
  const uint16_t b = static_cast<uint16_t>(xFrac * (8 - yFrac));
  const uint16_t c = static_cast<uint16_t>((8 - xFrac) * yFrac);
  const uint16_t d = static_cast<uint16_t>(xFrac * yFrac);
  for (int y = 0; y < h; ++y, dst += ds, src += ss) {
    const uint8_t* s1 = src + ss;
    // Kept as a loop (not unrolled into scalar code) so that it is vectorised.
#pragma GCC unroll 1
    for (int x = 0; x < W; ++x) {
      dst[x] = static_cast<uint8_t>(
          static_cast<uint16_t>(a * src[x] + b * src[x + 1] + c * s1[x] + d * s1[x + 1] + 32) >> 6);
    }
  }
}

template <int W, int... F>
constexpr void FillLuma(LumaMcFn* row, std::integer_sequence<int, F...>) {
  ((row[F] = &LumaMc<W, (F & 3), (F >> 2)>), ...);
}

}  // namespace

void InitMcReference(McKernels* k) {
  FillLuma<4>(k->luma[0], std::make_integer_sequence<int, 16>{});
  FillLuma<8>(k->luma[1], std::make_integer_sequence<int, 16>{});
  FillLuma<16>(k->luma[2], std::make_integer_sequence<int, 16>{});
  k->chroma[0] = &ChromaMc<2>;
  k->chroma[1] = &ChromaMc<4>;
  k->chroma[2] = &ChromaMc<8>;
}

void InitMcKernels(McKernels* k, uint32_t cpuFlags) {
  (void)cpuFlags;  // no SIMD versions yet
  InitMcReference(k);
}

const McKernels& McKernelsInUse() {
  return dsp::KernelsInUse<McKernels, InitMcKernels>();
}

void FetchClamped(const uint8_t* plane, int w, int h, int x0, int y0, int n, int m, uint8_t* dst,
                  ptrdiff_t dstStride) {
  // Columns left of, inside and right of the plane.
  const int left = std::clamp(-x0, 0, n);
  const int right = std::clamp(x0 + n - w, 0, n - left);
  const int inside = n - left - right;
  for (int k = 0; k < m; ++k, dst += dstStride) {
    const uint8_t* row = plane + static_cast<ptrdiff_t>(std::clamp(y0 + k, 0, h - 1)) * w;
    if (inside > 0) {
      std::memcpy(dst + left, row + x0 + left, static_cast<size_t>(inside));
      std::memset(dst, row[0], static_cast<size_t>(left));
      std::memset(dst + left + inside, row[w - 1], static_cast<size_t>(right));
    } else {
      // The whole window lies left or right of the plane.
      std::memset(dst, x0 < 0 ? row[0] : row[w - 1], static_cast<size_t>(n));
    }
  }
}

}  // namespace vexlor::h264
