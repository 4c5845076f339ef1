// The SIMD edge filters of the deblocking filter, shared by the SSE2 and AVX2 kernels and
// compiled into each of them (everything here has internal linkage, so the two instruction
// sets never meet in one function). The samples of a whole edge (16 luma lines, or 8 lines of
// Cb beside 8 of Cr) are loaded as eight vectors of 16 bytes, one per position p3..q3 across
// the edge: rows loaded as they are for a horizontal edge, a 16 x 8 byte transpose for a
// vertical one. The filters work on 16-bit lanes, so every intermediate value of the
// standard's equations is exact; the final clipping to 0..255 is the saturation of the pack
// back to bytes.
//
// The including file defines, for its vector type V of 16-bit lanes, the operations Add, Sub,
// Max, Min, Lt, Gt (compares), And, AndNot, Or, Sra, Sll (shifts), Avg (unsigned rounding
// average) and Splat<V>, and a Lanes class: V, Run<kFirst, kCount>(Edge*, filter) (widens rows
// kFirst .. kFirst + kCount - 1 of an edge to V, calls filter(V* rows, int half) once per
// group of lanes and narrows them back), LumaTc0(tc0, half) and ChromaTc0(tc0).
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "dsp/dsp_deblock.h"

namespace vexlor::h264 {
namespace {

inline __m128i Load8(const uint8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
inline void Store8(uint8_t* p, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}
inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void Store16(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// 16 rows of 8 bytes (r[i] in the low half) into 8 columns of 16 bytes: c[k] byte i = r[i][k].
inline void Transpose16x8(const __m128i* r, __m128i* c) {
  __m128i a[8], b[8], d[8];
  for (int i = 0; i < 8; ++i) a[i] = _mm_unpacklo_epi8(r[2 * i], r[2 * i + 1]);
  for (int i = 0; i < 4; ++i) {
    b[2 * i] = _mm_unpacklo_epi16(a[2 * i], a[2 * i + 1]);      // columns 0..3 of 4 rows
    b[2 * i + 1] = _mm_unpackhi_epi16(a[2 * i], a[2 * i + 1]);  // columns 4..7
  }
  // d[0..3]: rows 0..7, column pairs (0,1) (2,3) (4,5) (6,7); d[4..7]: rows 8..15.
  for (int h = 0; h < 2; ++h) {
    const __m128i* bb = b + 4 * h;
    d[4 * h + 0] = _mm_unpacklo_epi32(bb[0], bb[2]);
    d[4 * h + 1] = _mm_unpackhi_epi32(bb[0], bb[2]);
    d[4 * h + 2] = _mm_unpacklo_epi32(bb[1], bb[3]);
    d[4 * h + 3] = _mm_unpackhi_epi32(bb[1], bb[3]);
  }
  for (int k = 0; k < 4; ++k) {
    c[2 * k] = _mm_unpacklo_epi64(d[k], d[4 + k]);
    c[2 * k + 1] = _mm_unpackhi_epi64(d[k], d[4 + k]);
  }
}

// The inverse: 8 columns of 16 bytes into 16 rows of 8 bytes (r[i] in the low half).
inline void Transpose8x16(const __m128i* c, __m128i* r) {
  __m128i a[8], b[8], d[8];
  for (int k = 0; k < 4; ++k) {
    a[2 * k] = _mm_unpacklo_epi8(c[2 * k], c[2 * k + 1]);      // rows 0..7, columns 2k, 2k+1
    a[2 * k + 1] = _mm_unpackhi_epi8(c[2 * k], c[2 * k + 1]);  // rows 8..15
  }
  for (int h = 0; h < 2; ++h) {
    // b[4h + 0]: rows 8h..8h+3, columns 0..3; +1: rows 8h+4.., columns 0..3; +2, +3: columns 4..7.
    b[4 * h + 0] = _mm_unpacklo_epi16(a[h], a[2 + h]);
    b[4 * h + 1] = _mm_unpackhi_epi16(a[h], a[2 + h]);
    b[4 * h + 2] = _mm_unpacklo_epi16(a[4 + h], a[6 + h]);
    b[4 * h + 3] = _mm_unpackhi_epi16(a[4 + h], a[6 + h]);
  }
  for (int h = 0; h < 2; ++h) {
    const __m128i* bb = b + 4 * h;
    d[4 * h + 0] = _mm_unpacklo_epi32(bb[0], bb[2]);  // rows 0, 1 of the group
    d[4 * h + 1] = _mm_unpackhi_epi32(bb[0], bb[2]);  // rows 2, 3
    d[4 * h + 2] = _mm_unpacklo_epi32(bb[1], bb[3]);  // rows 4, 5
    d[4 * h + 3] = _mm_unpackhi_epi32(bb[1], bb[3]);  // rows 6, 7
  }
  for (int i = 0; i < 8; ++i) {
    r[2 * i] = d[i];
    r[2 * i + 1] = _mm_unpackhi_epi64(d[i], d[i]);
  }
}

// The lines an edge filter works on: t[0..7] = p3, p2, p1, p0, q0, q1, q2, q3, 16 lines each.
struct Edge {
  __m128i t[8];
};

// Loading and storing an edge. Vertical edges: lines are rows, 8 bytes from p3 (pix - 4); lines
// 0..7 from `a`, 8..15 from `b`. Horizontal edges: rows of the picture, 16 bytes, or 8 bytes of
// each chroma plane side by side.
inline void LoadVertical(const uint8_t* a, const uint8_t* b, ptrdiff_t stride, Edge* e) {
  __m128i r[16];
  for (int i = 0; i < 8; ++i) {
    r[i] = Load8(a - 4 + i * stride);
    r[8 + i] = Load8(b - 4 + i * stride);
  }
  Transpose16x8(r, e->t);
}
inline void StoreVertical(uint8_t* a, uint8_t* b, ptrdiff_t stride, const Edge& e) {
  __m128i r[16];
  Transpose8x16(e.t, r);
  for (int i = 0; i < 8; ++i) {
    Store8(a - 4 + i * stride, r[i]);
    Store8(b - 4 + i * stride, r[8 + i]);
  }
}

template <class V>
inline V AbsDiff(V a, V b) {
  return Max(Sub(a, b), Sub(b, a));
}
template <class V>
inline V Clamp(V v, V lo, V hi) {
  return Min(Max(v, lo), hi);
}
// a where mask is all ones, b where it is zero.
template <class V>
inline V Select(V mask, V a, V b) {
  return Or(And(mask, a), AndNot(mask, b));
}
// The bS < 4 luma filter on eight lines in 16-bit lanes, x[0..5] = p2, p1, p0, q0, q1, q2; tc0
// per lane, negative where the line is left alone.
template <class V>
inline void LumaNormal8(V* x, V alpha, V beta, V tc0) {
  const V p2 = x[0], p1 = x[1], p0 = x[2], q0 = x[3], q1 = x[4], q2 = x[5];
  const V zero = Splat<V>(0);
  V m = Lt(AbsDiff(p0, q0), alpha);
  m = And(m, Lt(AbsDiff(p1, p0), beta));
  m = And(m, Lt(AbsDiff(q1, q0), beta));
  m = And(m, Gt(tc0, Splat<V>(-1)));
  const V ap = Lt(AbsDiff(p2, p0), beta);
  const V aq = Lt(AbsDiff(q2, q0), beta);
  const V tc = Sub(Sub(tc0, ap), aq);
  const V diff = Add(Sll(Sub(q0, p0), 2), Sub(p1, q1));
  const V delta = And(Clamp(Sra(Add(diff, Splat<V>(4)), 3), Sub(zero, tc), tc), m);
  const V avg = Avg(p0, q0);
  const V negTc0 = Sub(zero, tc0);
  const V dp1 = Clamp(Sra(Sub(Add(p2, avg), Add(p1, p1)), 1), negTc0, tc0);
  const V dq1 = Clamp(Sra(Sub(Add(q2, avg), Add(q1, q1)), 1), negTc0, tc0);
  x[1] = Add(p1, And(dp1, And(m, ap)));
  x[2] = Add(p0, delta);
  x[3] = Sub(q0, delta);
  x[4] = Add(q1, And(dq1, And(m, aq)));
}

template <class V>
inline void LumaStrong8(V* x, V alpha, V beta) {
  const V p3 = x[0], p2 = x[1], p1 = x[2], p0 = x[3];
  const V q0 = x[4], q1 = x[5], q2 = x[6], q3 = x[7];
  const V two = Splat<V>(2), four = Splat<V>(4);
  const V a0 = AbsDiff(p0, q0);
  V m = Lt(a0, alpha);
  m = And(m, Lt(AbsDiff(p1, p0), beta));
  m = And(m, Lt(AbsDiff(q1, q0), beta));
  const V small = And(m, Lt(a0, Add(Sra(alpha, 2), two)));
  const V sp = And(small, Lt(AbsDiff(p2, p0), beta));
  const V sq = And(small, Lt(AbsDiff(q2, q0), beta));
  const V p0q0 = Add(p0, q0);
  const V weakP0 = Sra(Add(Add(Add(p1, p1), Add(p0, q1)), two), 2);
  const V weakQ0 = Sra(Add(Add(Add(q1, q1), Add(q0, p1)), two), 2);
  // p2 + 2p1 + 2p0 + 2q0 + q1 + 4 and its mirror.
  const V sumP = Add(Add(p1, p0q0), p0q0);  // p1 + 2p0 + 2q0 (+p1 below)
  const V strongP0 = Sra(Add(Add(sumP, p1), Add(Add(p2, q1), four)), 3);
  const V sumQ = Add(Add(q1, p0q0), p0q0);
  const V strongQ0 = Sra(Add(Add(sumQ, q1), Add(Add(q2, p1), four)), 3);
  const V strongP1 = Sra(Add(Add(p2, p1), Add(p0q0, two)), 2);
  const V strongQ1 = Sra(Add(Add(q2, q1), Add(p0q0, two)), 2);
  const V strongP2 = Sra(Add(Add(Add(Add(p3, p3), Add(p2, p2)), Add(p2, p1)), Add(p0q0, four)), 3);
  const V strongQ2 = Sra(Add(Add(Add(Add(q3, q3), Add(q2, q2)), Add(q2, q1)), Add(p0q0, four)), 3);
  x[1] = Select(sp, strongP2, p2);
  x[2] = Select(sp, strongP1, p1);
  x[3] = Select(sp, strongP0, Select(m, weakP0, p0));
  x[4] = Select(sq, strongQ0, Select(m, weakQ0, q0));
  x[5] = Select(sq, strongQ1, q1);
  x[6] = Select(sq, strongQ2, q2);
}

// Chroma: x[0..3] = p1, p0, q0, q1.
template <class V>
inline void ChromaNormal8(V* x, V alpha, V beta, V tc0) {
  const V p1 = x[0], p0 = x[1], q0 = x[2], q1 = x[3];
  const V zero = Splat<V>(0);
  V m = Lt(AbsDiff(p0, q0), alpha);
  m = And(m, Lt(AbsDiff(p1, p0), beta));
  m = And(m, Lt(AbsDiff(q1, q0), beta));
  m = And(m, Gt(tc0, Splat<V>(-1)));
  const V tc = Add(tc0, Splat<V>(1));
  const V diff = Add(Sll(Sub(q0, p0), 2), Sub(p1, q1));
  const V delta = And(Clamp(Sra(Add(diff, Splat<V>(4)), 3), Sub(zero, tc), tc), m);
  x[1] = Add(p0, delta);
  x[2] = Sub(q0, delta);
}

template <class V>
inline void ChromaStrong8(V* x, V alpha, V beta) {
  const V p1 = x[0], p0 = x[1], q0 = x[2], q1 = x[3];
  const V two = Splat<V>(2);
  V m = Lt(AbsDiff(p0, q0), alpha);
  m = And(m, Lt(AbsDiff(p1, p0), beta));
  m = And(m, Lt(AbsDiff(q1, q0), beta));
  const V fp = Sra(Add(Add(Add(p1, p1), Add(p0, q1)), two), 2);
  const V fq = Sra(Add(Add(Add(q1, q1), Add(q0, p1)), two), 2);
  x[1] = Select(m, fp, p0);
  x[2] = Select(m, fq, q0);
}

template <class Lanes>
struct SimdFilters {
  using V = typename Lanes::V;

  // A luma edge: rows kFirst .. kFirst + kCount - 1 (of p3..q3) filtered, rows kFirstOut ..
  // kLastOut written back (all eight for vertical edges, whose rows are transposed).
  template <bool kVertical, int kFirst, int kCount, int kFirstOut, int kLastOut, class Filter>
  static void LumaEdge(uint8_t* pix, ptrdiff_t stride, Filter filter) {
    Edge e;
    if constexpr (kVertical) {
      LoadVertical(pix, pix + 8 * stride, stride, &e);
      Lanes::template Run<kFirst, kCount>(&e, filter);
      StoreVertical(pix, pix + 8 * stride, stride, e);
    } else {
      for (int k = kFirst; k < kFirst + kCount; ++k) e.t[k] = Load16(pix + (k - 4) * stride);
      Lanes::template Run<kFirst, kCount>(&e, filter);
      for (int k = kFirstOut; k <= kLastOut; ++k) Store16(pix + (k - 4) * stride, e.t[k]);
    }
  }

  // A chroma edge: p1..q1 of Cb in lanes 0..7, of Cr in lanes 8..15; p0 and q0 written back.
  template <bool kVertical, class Filter>
  static void ChromaEdge(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, Filter filter) {
    Edge e;
    if constexpr (kVertical) {
      LoadVertical(cb, cr, stride, &e);
      Lanes::template Run<2, 4>(&e, filter);
      StoreVertical(cb, cr, stride, e);
    } else {
      for (int k = 2; k < 6; ++k) {
        e.t[k] = _mm_unpacklo_epi64(Load8(cb + (k - 4) * stride), Load8(cr + (k - 4) * stride));
      }
      Lanes::template Run<2, 4>(&e, filter);
      for (int k = 3; k < 5; ++k) {
        Store8(cb + (k - 4) * stride, e.t[k]);
        Store8(cr + (k - 4) * stride, _mm_unpackhi_epi64(e.t[k], e.t[k]));
      }
    }
  }

  template <bool kVertical>
  static void LumaNormal(uint8_t* pix, ptrdiff_t stride, int alpha, int beta, const int8_t* tc0) {
    const V va = Splat<V>(alpha), vb = Splat<V>(beta);
    const V tcs[2] = {Lanes::LumaTc0(tc0, 0), Lanes::LumaTc0(tc0, 1)};
    LumaEdge<kVertical, 1, 6, 2, 5>(pix, stride,
                                    [&](V* x, int half) { LumaNormal8(x, va, vb, tcs[half]); });
  }

  template <bool kVertical>
  static void LumaStrong(uint8_t* pix, ptrdiff_t stride, int alpha, int beta) {
    const V va = Splat<V>(alpha), vb = Splat<V>(beta);
    LumaEdge<kVertical, 0, 8, 1, 6>(pix, stride, [&](V* x, int) { LumaStrong8(x, va, vb); });
  }

  template <bool kVertical>
  static void ChromaNormal(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta,
                           const int8_t* tc0) {
    const V va = Splat<V>(alpha), vb = Splat<V>(beta);
    const V tc = Lanes::ChromaTc0(tc0);
    ChromaEdge<kVertical>(cb, cr, stride, [&](V* x, int) { ChromaNormal8(x, va, vb, tc); });
  }

  template <bool kVertical>
  static void ChromaStrong(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta) {
    const V va = Splat<V>(alpha), vb = Splat<V>(beta);
    ChromaEdge<kVertical>(cb, cr, stride, [&](V* x, int) { ChromaStrong8(x, va, vb); });
  }
};

}  // namespace
}  // namespace vexlor::h264
