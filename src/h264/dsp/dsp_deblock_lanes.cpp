// Edge filters written lane-parallel: the samples of one edge are gathered into a small block
// whose rows are p3..q3 and whose 16 columns are the lines across the edge (a plain copy for
// horizontal edges, a transpose for vertical ones), filtered with select instead of branches so
// that the compiler turns each step into vector instructions, and written back. Results equal the
// line-by-line reference exactly.
#include <bit>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "dsp/dsp_deblock.h"

namespace vexlor::h264 {
namespace {

// All lane arithmetic stays within 16 bits (samples 0..255, sums below 2^13), which lets the
// compiler use 8 lanes per 128-bit register with 16-bit min, max and compares.
using S16 = int16_t;
inline S16 Abs16(S16 v) {
  return static_cast<S16>(v < 0 ? -v : v);
}
inline S16 Min16(S16 a, S16 b) {
  return a < b ? a : b;
}
inline S16 Max16(S16 a, S16 b) {
  return a > b ? a : b;
}
inline S16 Clamp16(S16 v, S16 lo, S16 hi) {
  return Min16(Max16(v, lo), hi);
}
// a where mask is all ones, b where it is zero.
inline S16 Sel16(S16 mask, S16 a, S16 b) {
  return static_cast<S16>(b ^ ((a ^ b) & mask));
}
inline S16 Mask16(int c) {
  return static_cast<S16>(-c);
}

// t[0..7] = p3, p2, p1, p0, q0, q1, q2, q3; tc0 per lane, negative for lanes left alone.
void LumaNormalBlock(uint8_t (*__restrict t)[16], int alphaIn, int betaIn,
                     const int8_t* __restrict tc0) {
  const S16 alpha = static_cast<S16>(alphaIn), beta = static_cast<S16>(betaIn);
  for (int i = 0; i < 16; ++i) {
    const S16 p2 = t[1][i], p1 = t[2][i], p0 = t[3][i];
    const S16 q0 = t[4][i], q1 = t[5][i], q2 = t[6][i];
    const S16 c0 = tc0[i];
    const S16 m = Mask16(static_cast<int>(c0 >= 0) &
                         static_cast<int>(Abs16(static_cast<S16>(p0 - q0)) < alpha) &
                         static_cast<int>(Abs16(static_cast<S16>(p1 - p0)) < beta) &
                         static_cast<int>(Abs16(static_cast<S16>(q1 - q0)) < beta));
    const S16 ap = Mask16(Abs16(static_cast<S16>(p2 - p0)) < beta);
    const S16 aq = Mask16(Abs16(static_cast<S16>(q2 - q0)) < beta);
    const S16 tc = static_cast<S16>(c0 - ap - aq);
    const S16 d = static_cast<S16>(Clamp16(static_cast<S16>((((q0 - p0) * 4) + (p1 - q1) + 4) >> 3),
                                           static_cast<S16>(-tc), tc) &
                                   m);
    const S16 avg = static_cast<S16>((p0 + q0 + 1) >> 1);
    const S16 dp1 = static_cast<S16>(
        Clamp16(static_cast<S16>((p2 + avg - 2 * p1) >> 1), static_cast<S16>(-c0), c0) & m & ap);
    const S16 dq1 = static_cast<S16>(
        Clamp16(static_cast<S16>((q2 + avg - 2 * q1) >> 1), static_cast<S16>(-c0), c0) & m & aq);
    t[2][i] = static_cast<uint8_t>(p1 + dp1);
    t[3][i] = static_cast<uint8_t>(Clamp16(static_cast<S16>(p0 + d), 0, 255));
    t[4][i] = static_cast<uint8_t>(Clamp16(static_cast<S16>(q0 - d), 0, 255));
    t[5][i] = static_cast<uint8_t>(q1 + dq1);
  }
}

void LumaStrongBlock(uint8_t (*__restrict t)[16], int alphaIn, int betaIn) {
  const S16 alpha = static_cast<S16>(alphaIn), beta = static_cast<S16>(betaIn);
  const S16 smallLimit = static_cast<S16>((alphaIn >> 2) + 2);
  for (int i = 0; i < 16; ++i) {
    const S16 p3 = t[0][i], p2 = t[1][i], p1 = t[2][i], p0 = t[3][i];
    const S16 q0 = t[4][i], q1 = t[5][i], q2 = t[6][i], q3 = t[7][i];
    const S16 a0 = Abs16(static_cast<S16>(p0 - q0));
    const S16 m = Mask16(static_cast<int>(a0 < alpha) &
                         static_cast<int>(Abs16(static_cast<S16>(p1 - p0)) < beta) &
                         static_cast<int>(Abs16(static_cast<S16>(q1 - q0)) < beta));
    const S16 small = static_cast<S16>(m & Mask16(a0 < smallLimit));
    const S16 sp = static_cast<S16>(small & Mask16(Abs16(static_cast<S16>(p2 - p0)) < beta));
    const S16 sq = static_cast<S16>(small & Mask16(Abs16(static_cast<S16>(q2 - q0)) < beta));
    const S16 weakP0 = static_cast<S16>((2 * p1 + p0 + q1 + 2) >> 2);
    const S16 weakQ0 = static_cast<S16>((2 * q1 + q0 + p1 + 2) >> 2);
    const S16 strongP0 = static_cast<S16>((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
    const S16 strongQ0 = static_cast<S16>((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
    const S16 strongP1 = static_cast<S16>((p2 + p1 + p0 + q0 + 2) >> 2);
    const S16 strongQ1 = static_cast<S16>((p0 + q0 + q1 + q2 + 2) >> 2);
    const S16 strongP2 = static_cast<S16>((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
    const S16 strongQ2 = static_cast<S16>((2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3);
    t[1][i] = static_cast<uint8_t>(Sel16(sp, strongP2, p2));
    t[2][i] = static_cast<uint8_t>(Sel16(sp, strongP1, p1));
    t[3][i] = static_cast<uint8_t>(Sel16(sp, strongP0, Sel16(m, weakP0, p0)));
    t[4][i] = static_cast<uint8_t>(Sel16(sq, strongQ0, Sel16(m, weakQ0, q0)));
    t[5][i] = static_cast<uint8_t>(Sel16(sq, strongQ1, q1));
    t[6][i] = static_cast<uint8_t>(Sel16(sq, strongQ2, q2));
  }
}

// Chroma: t[0..3] = p1, p0, q0, q1.
void ChromaNormalBlock(uint8_t (*__restrict t)[16], int alphaIn, int betaIn,
                       const int8_t* __restrict tc0) {
  const S16 alpha = static_cast<S16>(alphaIn), beta = static_cast<S16>(betaIn);
  for (int i = 0; i < 16; ++i) {
    const S16 p1 = t[0][i], p0 = t[1][i], q0 = t[2][i], q1 = t[3][i];
    const S16 c0 = tc0[i];
    const S16 m = Mask16(static_cast<int>(c0 >= 0) &
                         static_cast<int>(Abs16(static_cast<S16>(p0 - q0)) < alpha) &
                         static_cast<int>(Abs16(static_cast<S16>(p1 - p0)) < beta) &
                         static_cast<int>(Abs16(static_cast<S16>(q1 - q0)) < beta));
    const S16 tc = static_cast<S16>(c0 + 1);
    const S16 d = static_cast<S16>(Clamp16(static_cast<S16>((((q0 - p0) * 4) + (p1 - q1) + 4) >> 3),
                                           static_cast<S16>(-tc), tc) &
                                   m);
    t[1][i] = static_cast<uint8_t>(Clamp16(static_cast<S16>(p0 + d), 0, 255));
    t[2][i] = static_cast<uint8_t>(Clamp16(static_cast<S16>(q0 - d), 0, 255));
  }
}

void ChromaStrongBlock(uint8_t (*__restrict t)[16], int alphaIn, int betaIn) {
  const S16 alpha = static_cast<S16>(alphaIn), beta = static_cast<S16>(betaIn);
  for (int i = 0; i < 16; ++i) {
    const S16 p1 = t[0][i], p0 = t[1][i], q0 = t[2][i], q1 = t[3][i];
    const S16 m = Mask16(static_cast<int>(Abs16(static_cast<S16>(p0 - q0)) < alpha) &
                         static_cast<int>(Abs16(static_cast<S16>(p1 - p0)) < beta) &
                         static_cast<int>(Abs16(static_cast<S16>(q1 - q0)) < beta));
    t[1][i] = static_cast<uint8_t>(Sel16(m, static_cast<S16>((2 * p1 + p0 + q1 + 2) >> 2), p0));
    t[2][i] = static_cast<uint8_t>(Sel16(m, static_cast<S16>((2 * q1 + q0 + p1 + 2) >> 2), q0));
  }
}

// Gathers `rows` samples across the edge (starting `rows / 2` before it) for `lines` lines.
// Horizontal edges: the lines are columns, each row a contiguous copy.
inline void GatherH(const uint8_t* pix, ptrdiff_t stride, int rows, int lines, uint8_t (*t)[16],
                    int lane0) {
  const uint8_t* s = pix - (rows / 2) * stride;
  for (int k = 0; k < rows; ++k, s += stride) std::memcpy(&t[k][lane0], s, lines);
}
inline void ScatterH(uint8_t* pix, ptrdiff_t stride, int rows, int first, int last, int lines,
                     const uint8_t (*t)[16], int lane0) {
  uint8_t* d = pix - (rows / 2) * stride;
  for (int k = first; k <= last; ++k) std::memcpy(d + k * stride, &t[k][lane0], lines);
}
// Vertical edges: the lines are rows, so 8 lines of the 8 samples p3..q3 are transposed as one
// 8 x 8 byte matrix held in eight 64-bit words (three rounds of swapping halves, quarters and
// bytes). The word layout assumes little-endian byte order; other machines take the byte loop.
inline void Transpose8x8(uint64_t* r) {
  for (int i = 0; i < 4; ++i) {
    const uint64_t a = r[i], b = r[i + 4];
    r[i] = (a & 0xFFFFFFFFull) | (b << 32);
    r[i + 4] = (a >> 32) | (b & 0xFFFFFFFF00000000ull);
  }
  constexpr uint64_t m16 = 0x0000FFFF0000FFFFull;
  for (int i : {0, 1, 4, 5}) {
    const uint64_t a = r[i], b = r[i + 2];
    r[i] = (a & m16) | ((b & m16) << 16);
    r[i + 2] = ((a >> 16) & m16) | (b & ~m16);
  }
  constexpr uint64_t m8 = 0x00FF00FF00FF00FFull;
  for (int i : {0, 2, 4, 6}) {
    const uint64_t a = r[i], b = r[i + 1];
    r[i] = (a & m8) | ((b & m8) << 8);
    r[i + 1] = ((a >> 8) & m8) | (b & ~m8);
  }
}

// t[k][i] = sample k - 4 across the edge on line i, lines 0..7 from `a`, lines 8..15 from `b`.
// Each row of t is written with one 16-byte copy, so the filter's 16-byte loads are served
// straight from the store.
inline void GatherV(const uint8_t* a, const uint8_t* b, ptrdiff_t stride, uint8_t (*t)[16]) {
  a -= 4;
  b -= 4;
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t ra[8], rb[8];
    for (int i = 0; i < 8; ++i) {
      std::memcpy(&ra[i], a + i * stride, 8);
      std::memcpy(&rb[i], b + i * stride, 8);
    }
    Transpose8x8(ra);
    Transpose8x8(rb);
    for (int k = 0; k < 8; ++k) {
      const uint64_t row[2] = {ra[k], rb[k]};
      std::memcpy(t[k], row, 16);
    }
  } else {
    for (int i = 0; i < 8; ++i) {
      for (int k = 0; k < 8; ++k) {
        t[k][i] = a[i * stride + k];
        t[k][8 + i] = b[i * stride + k];
      }
    }
  }
}

inline void ScatterV(uint8_t* a, uint8_t* b, ptrdiff_t stride, const uint8_t (*t)[16]) {
  a -= 4;
  b -= 4;
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t ra[8], rb[8];
    for (int k = 0; k < 8; ++k) {
      uint64_t row[2];
      std::memcpy(row, t[k], 16);
      ra[k] = row[0];
      rb[k] = row[1];
    }
    Transpose8x8(ra);
    Transpose8x8(rb);
    for (int i = 0; i < 8; ++i) {
      std::memcpy(a + i * stride, &ra[i], 8);
      std::memcpy(b + i * stride, &rb[i], 8);
    }
  } else {
    for (int i = 0; i < 8; ++i) {
      for (int k = 0; k < 8; ++k) {
        a[i * stride + k] = t[k][i];
        b[i * stride + k] = t[k][8 + i];
      }
    }
  }
}

struct LaneFilters {
  template <bool kVertical>
  static void LumaNormal(uint8_t* pix, ptrdiff_t stride, int alpha, int beta, const int8_t* tc0) {
    alignas(16) uint8_t t[8][16];
    alignas(16) int8_t lanes[16];
    for (int i = 0; i < 16; ++i) lanes[i] = tc0[i >> 2];
    if constexpr (kVertical) {
      GatherV(pix, pix + 8 * stride, stride, t);
      LumaNormalBlock(t, alpha, beta, lanes);
      ScatterV(pix, pix + 8 * stride, stride, t);
    } else {
      GatherH(pix, stride, 8, 16, t, 0);
      LumaNormalBlock(t, alpha, beta, lanes);
      ScatterH(pix, stride, 8, 2, 5, 16, t, 0);
    }
  }

  template <bool kVertical>
  static void LumaStrong(uint8_t* pix, ptrdiff_t stride, int alpha, int beta) {
    alignas(16) uint8_t t[8][16];
    if constexpr (kVertical) {
      GatherV(pix, pix + 8 * stride, stride, t);
      LumaStrongBlock(t, alpha, beta);
      ScatterV(pix, pix + 8 * stride, stride, t);
    } else {
      GatherH(pix, stride, 8, 16, t, 0);
      LumaStrongBlock(t, alpha, beta);
      ScatterH(pix, stride, 8, 1, 6, 16, t, 0);
    }
  }

  // Chroma: Cb in lanes 0..7, Cr in lanes 8..15.
  template <bool kVertical>
  static void ChromaNormal(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta,
                           const int8_t* tc0) {
    alignas(16) uint8_t t[8][16];
    alignas(16) int8_t lanes[16];
    for (int i = 0; i < 16; ++i) lanes[i] = tc0[(i & 7) >> 1];
    if constexpr (kVertical) {
      GatherV(cb, cr, stride, t);
      ChromaNormalBlock(t + 2, alpha, beta, lanes);
      ScatterV(cb, cr, stride, t);
    } else {
      GatherH(cb, stride, 4, 8, t, 0);
      GatherH(cr, stride, 4, 8, t, 8);
      ChromaNormalBlock(t, alpha, beta, lanes);
      ScatterH(cb, stride, 4, 1, 2, 8, t, 0);
      ScatterH(cr, stride, 4, 1, 2, 8, t, 8);
    }
  }

  template <bool kVertical>
  static void ChromaStrong(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta) {
    alignas(16) uint8_t t[8][16];
    if constexpr (kVertical) {
      GatherV(cb, cr, stride, t);
      ChromaStrongBlock(t + 2, alpha, beta);
      ScatterV(cb, cr, stride, t);
    } else {
      GatherH(cb, stride, 4, 8, t, 0);
      GatherH(cr, stride, 4, 8, t, 8);
      ChromaStrongBlock(t, alpha, beta);
      ScatterH(cb, stride, 4, 1, 2, 8, t, 0);
      ScatterH(cr, stride, 4, 1, 2, 8, t, 8);
    }
  }
};

}  // namespace

void InitDeblockLanes(DeblockKernels* k) {
  k->interBs = InterBsC;
  SetDeblockKernels<LaneFilters>(k);
}

}  // namespace vexlor::h264
