// SSE2 edge filters. The samples of a whole edge (16 luma lines, or 8 lines of Cb beside 8 of Cr)
// are loaded as eight vectors of 16 bytes, one per position p3..q3 across the edge: rows loaded
// as they are for a horizontal edge, a 16 x 8 byte transpose for a vertical one. The filter works
// on 16-bit lanes (eight lines at a time), so every intermediate value of the standard's
// equations is exact; the final clipping to 0..255 is the saturation of the pack back to bytes.
#include <emmintrin.h>

#include <cstring>

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

inline __m128i AbsDiff(__m128i a, __m128i b) {
  return _mm_max_epi16(_mm_sub_epi16(a, b), _mm_sub_epi16(b, a));
}
inline __m128i Clamp(__m128i v, __m128i lo, __m128i hi) {
  return _mm_min_epi16(_mm_max_epi16(v, lo), hi);
}
// a where mask is all ones, b where it is zero.
inline __m128i Select(__m128i mask, __m128i a, __m128i b) {
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}
inline __m128i Lo16(__m128i v) {
  return _mm_unpacklo_epi8(v, _mm_setzero_si128());
}
inline __m128i Hi16(__m128i v) {
  return _mm_unpackhi_epi8(v, _mm_setzero_si128());
}

// The lines an edge filter works on: t[0..7] = p3, p2, p1, p0, q0, q1, q2, q3, 16 lines each.
struct Edge {
  __m128i t[8];
};

// The bS < 4 luma filter on eight lines in 16-bit lanes, x[0..5] = p2, p1, p0, q0, q1, q2; tc0
// per lane, negative where the line is left alone.
inline void LumaNormal8(__m128i* x, __m128i alpha, __m128i beta, __m128i tc0) {
  const __m128i p2 = x[0], p1 = x[1], p0 = x[2], q0 = x[3], q1 = x[4], q2 = x[5];
  const __m128i zero = _mm_setzero_si128();
  __m128i m = _mm_cmplt_epi16(AbsDiff(p0, q0), alpha);
  m = _mm_and_si128(m, _mm_cmplt_epi16(AbsDiff(p1, p0), beta));
  m = _mm_and_si128(m, _mm_cmplt_epi16(AbsDiff(q1, q0), beta));
  m = _mm_and_si128(m, _mm_cmpgt_epi16(tc0, _mm_set1_epi16(-1)));
  const __m128i ap = _mm_cmplt_epi16(AbsDiff(p2, p0), beta);
  const __m128i aq = _mm_cmplt_epi16(AbsDiff(q2, q0), beta);
  const __m128i tc = _mm_sub_epi16(_mm_sub_epi16(tc0, ap), aq);
  const __m128i diff =
      _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1));
  const __m128i delta = _mm_and_si128(
      Clamp(_mm_srai_epi16(_mm_add_epi16(diff, _mm_set1_epi16(4)), 3), _mm_sub_epi16(zero, tc), tc),
      m);
  const __m128i avg = _mm_avg_epu16(p0, q0);
  const __m128i negTc0 = _mm_sub_epi16(zero, tc0);
  const __m128i dp1 = Clamp(
      _mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(p2, avg), _mm_add_epi16(p1, p1)), 1), negTc0, tc0);
  const __m128i dq1 = Clamp(
      _mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(q2, avg), _mm_add_epi16(q1, q1)), 1), negTc0, tc0);
  x[1] = _mm_add_epi16(p1, _mm_and_si128(dp1, _mm_and_si128(m, ap)));
  x[2] = _mm_add_epi16(p0, delta);
  x[3] = _mm_sub_epi16(q0, delta);
  x[4] = _mm_add_epi16(q1, _mm_and_si128(dq1, _mm_and_si128(m, aq)));
}

inline void LumaStrong8(__m128i* x, __m128i alpha, __m128i beta) {
  const __m128i p3 = x[0], p2 = x[1], p1 = x[2], p0 = x[3];
  const __m128i q0 = x[4], q1 = x[5], q2 = x[6], q3 = x[7];
  const __m128i two = _mm_set1_epi16(2), four = _mm_set1_epi16(4);
  const __m128i a0 = AbsDiff(p0, q0);
  __m128i m = _mm_cmplt_epi16(a0, alpha);
  m = _mm_and_si128(m, _mm_cmplt_epi16(AbsDiff(p1, p0), beta));
  m = _mm_and_si128(m, _mm_cmplt_epi16(AbsDiff(q1, q0), beta));
  const __m128i small =
      _mm_and_si128(m, _mm_cmplt_epi16(a0, _mm_add_epi16(_mm_srai_epi16(alpha, 2), two)));
  const __m128i sp = _mm_and_si128(small, _mm_cmplt_epi16(AbsDiff(p2, p0), beta));
  const __m128i sq = _mm_and_si128(small, _mm_cmplt_epi16(AbsDiff(q2, q0), beta));
  const __m128i p0q0 = _mm_add_epi16(p0, q0);
  const __m128i weakP0 = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(p1, p1), _mm_add_epi16(p0, q1)), two), 2);
  const __m128i weakQ0 = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(q1, q1), _mm_add_epi16(q0, p1)), two), 2);
  // p2 + 2p1 + 2p0 + 2q0 + q1 + 4 and its mirror.
  const __m128i sumP = _mm_add_epi16(_mm_add_epi16(p1, p0q0), p0q0);  // p1 + 2p0 + 2q0 (+p1 below)
  const __m128i strongP0 = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(sumP, p1), _mm_add_epi16(_mm_add_epi16(p2, q1), four)), 3);
  const __m128i sumQ = _mm_add_epi16(_mm_add_epi16(q1, p0q0), p0q0);
  const __m128i strongQ0 = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(sumQ, q1), _mm_add_epi16(_mm_add_epi16(q2, p1), four)), 3);
  const __m128i strongP1 =
      _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p2, p1), _mm_add_epi16(p0q0, two)), 2);
  const __m128i strongQ1 =
      _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(q2, q1), _mm_add_epi16(p0q0, two)), 2);
  const __m128i strongP2 = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(p3, p3), _mm_add_epi16(p2, p2)),
                                  _mm_add_epi16(p2, p1)),
                    _mm_add_epi16(p0q0, four)),
      3);
  const __m128i strongQ2 = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(q3, q3), _mm_add_epi16(q2, q2)),
                                  _mm_add_epi16(q2, q1)),
                    _mm_add_epi16(p0q0, four)),
      3);
  x[1] = Select(sp, strongP2, p2);
  x[2] = Select(sp, strongP1, p1);
  x[3] = Select(sp, strongP0, Select(m, weakP0, p0));
  x[4] = Select(sq, strongQ0, Select(m, weakQ0, q0));
  x[5] = Select(sq, strongQ1, q1);
  x[6] = Select(sq, strongQ2, q2);
}

// Chroma: x[0..3] = p1, p0, q0, q1.
inline void ChromaNormal8(__m128i* x, __m128i alpha, __m128i beta, __m128i tc0) {
  const __m128i p1 = x[0], p0 = x[1], q0 = x[2], q1 = x[3];
  const __m128i zero = _mm_setzero_si128();
  __m128i m = _mm_cmplt_epi16(AbsDiff(p0, q0), alpha);
  m = _mm_and_si128(m, _mm_cmplt_epi16(AbsDiff(p1, p0), beta));
  m = _mm_and_si128(m, _mm_cmplt_epi16(AbsDiff(q1, q0), beta));
  m = _mm_and_si128(m, _mm_cmpgt_epi16(tc0, _mm_set1_epi16(-1)));
  const __m128i tc = _mm_add_epi16(tc0, _mm_set1_epi16(1));
  const __m128i diff =
      _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1));
  const __m128i delta = _mm_and_si128(
      Clamp(_mm_srai_epi16(_mm_add_epi16(diff, _mm_set1_epi16(4)), 3), _mm_sub_epi16(zero, tc), tc),
      m);
  x[1] = _mm_add_epi16(p0, delta);
  x[2] = _mm_sub_epi16(q0, delta);
}

inline void ChromaStrong8(__m128i* x, __m128i alpha, __m128i beta) {
  const __m128i p1 = x[0], p0 = x[1], q0 = x[2], q1 = x[3];
  const __m128i two = _mm_set1_epi16(2);
  __m128i m = _mm_cmplt_epi16(AbsDiff(p0, q0), alpha);
  m = _mm_and_si128(m, _mm_cmplt_epi16(AbsDiff(p1, p0), beta));
  m = _mm_and_si128(m, _mm_cmplt_epi16(AbsDiff(q1, q0), beta));
  const __m128i fp = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(p1, p1), _mm_add_epi16(p0, q1)), two), 2);
  const __m128i fq = _mm_srai_epi16(
      _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(q1, q1), _mm_add_epi16(q0, p1)), two), 2);
  x[1] = Select(m, fp, p0);
  x[2] = Select(m, fq, q0);
}

// Runs a filter over rows [first, first + n) of an edge, both halves of its 16 lines.
template <int kFirst, int kCount, class Filter>
inline void Filter16(Edge* e, Filter filter) {
  __m128i lo[kCount], hi[kCount];
  for (int k = 0; k < kCount; ++k) {
    lo[k] = Lo16(e->t[kFirst + k]);
    hi[k] = Hi16(e->t[kFirst + k]);
  }
  filter(lo, 0);
  filter(hi, 1);
  for (int k = 0; k < kCount; ++k) e->t[kFirst + k] = _mm_packus_epi16(lo[k], hi[k]);
}

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

inline __m128i LumaTc0(const int8_t* tc0, int half) {
  const int16_t a = tc0[2 * half], b = tc0[2 * half + 1];
  return _mm_setr_epi16(a, a, a, a, b, b, b, b);
}
inline __m128i ChromaTc0(const int8_t* tc0) {
  const int16_t a = tc0[0], b = tc0[1], c = tc0[2], d = tc0[3];
  return _mm_setr_epi16(a, a, b, b, c, c, d, d);
}

struct Sse2Filters {
  template <bool kVertical>
  static void LumaNormal(uint8_t* pix, ptrdiff_t stride, int alpha, int beta, const int8_t* tc0) {
    const __m128i va = _mm_set1_epi16(static_cast<int16_t>(alpha));
    const __m128i vb = _mm_set1_epi16(static_cast<int16_t>(beta));
    const __m128i tcs[2] = {LumaTc0(tc0, 0), LumaTc0(tc0, 1)};
    auto filter = [&](__m128i* x, int half) { LumaNormal8(x, va, vb, tcs[half]); };
    Edge e;
    if constexpr (kVertical) {
      LoadVertical(pix, pix + 8 * stride, stride, &e);
      Filter16<1, 6>(&e, filter);
      StoreVertical(pix, pix + 8 * stride, stride, e);
    } else {
      for (int k = 1; k < 7; ++k) e.t[k] = Load16(pix + (k - 4) * stride);
      Filter16<1, 6>(&e, filter);
      for (int k = 2; k < 6; ++k) Store16(pix + (k - 4) * stride, e.t[k]);
    }
  }

  template <bool kVertical>
  static void LumaStrong(uint8_t* pix, ptrdiff_t stride, int alpha, int beta) {
    const __m128i va = _mm_set1_epi16(static_cast<int16_t>(alpha));
    const __m128i vb = _mm_set1_epi16(static_cast<int16_t>(beta));
    auto filter = [&](__m128i* x, int) { LumaStrong8(x, va, vb); };
    Edge e;
    if constexpr (kVertical) {
      LoadVertical(pix, pix + 8 * stride, stride, &e);
      Filter16<0, 8>(&e, filter);
      StoreVertical(pix, pix + 8 * stride, stride, e);
    } else {
      for (int k = 0; k < 8; ++k) e.t[k] = Load16(pix + (k - 4) * stride);
      Filter16<0, 8>(&e, filter);
      for (int k = 1; k < 7; ++k) Store16(pix + (k - 4) * stride, e.t[k]);
    }
  }

  // Chroma: Cb in lanes 0..7, Cr in lanes 8..15 (the low and high halves of the filter).
  template <bool kVertical>
  static void ChromaNormal(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta,
                           const int8_t* tc0) {
    const __m128i va = _mm_set1_epi16(static_cast<int16_t>(alpha));
    const __m128i vb = _mm_set1_epi16(static_cast<int16_t>(beta));
    const __m128i tc = ChromaTc0(tc0);
    auto filter = [&](__m128i* x, int) { ChromaNormal8(x, va, vb, tc); };
    Edge e;
    if constexpr (kVertical) {
      LoadVertical(cb, cr, stride, &e);
      Filter16<2, 4>(&e, filter);
      StoreVertical(cb, cr, stride, e);
    } else {
      for (int k = 2; k < 6; ++k) {
        e.t[k] = _mm_unpacklo_epi64(Load8(cb + (k - 4) * stride), Load8(cr + (k - 4) * stride));
      }
      Filter16<2, 4>(&e, filter);
      for (int k = 3; k < 5; ++k) {
        Store8(cb + (k - 4) * stride, e.t[k]);
        Store8(cr + (k - 4) * stride, _mm_unpackhi_epi64(e.t[k], e.t[k]));
      }
    }
  }

  template <bool kVertical>
  static void ChromaStrong(uint8_t* cb, uint8_t* cr, ptrdiff_t stride, int alpha, int beta) {
    const __m128i va = _mm_set1_epi16(static_cast<int16_t>(alpha));
    const __m128i vb = _mm_set1_epi16(static_cast<int16_t>(beta));
    auto filter = [&](__m128i* x, int) { ChromaStrong8(x, va, vb); };
    Edge e;
    if constexpr (kVertical) {
      LoadVertical(cb, cr, stride, &e);
      Filter16<2, 4>(&e, filter);
      StoreVertical(cb, cr, stride, e);
    } else {
      for (int k = 2; k < 6; ++k) {
        e.t[k] = _mm_unpacklo_epi64(Load8(cb + (k - 4) * stride), Load8(cr + (k - 4) * stride));
      }
      Filter16<2, 4>(&e, filter);
      for (int k = 3; k < 5; ++k) {
        Store8(cb + (k - 4) * stride, e.t[k]);
        Store8(cr + (k - 4) * stride, _mm_unpackhi_epi64(e.t[k], e.t[k]));
      }
    }
  }
};

// Boundary strengths: one row of four blocks at a time against the row above it or against the
// same row moved one block right. Vector differences saturate, so extreme vectors compare as the
// standard's integer arithmetic does.
inline __m128i MotionDiffers(const int16_t* mv, const uint32_t* ref, ptrdiff_t q, ptrdiff_t p) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mv + 2 * q));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mv + 2 * p));
  const __m128i d = _mm_max_epi16(_mm_subs_epi16(a, b), _mm_subs_epi16(b, a));
  const __m128i far = _mm_cmpgt_epi16(d, _mm_set1_epi16(3));
  const __m128i zero = _mm_setzero_si128();
  const __m128i same =
      _mm_and_si128(_mm_cmpeq_epi32(far, zero),
                    _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ref + q)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(ref + p))));
  return _mm_andnot_si128(same, _mm_set1_epi32(1));
}
// A row against itself moved one block right (block 0's result is discarded by the caller).
inline __m128i MotionDiffersInside(const int16_t* mv, const uint32_t* ref, ptrdiff_t q) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mv + 2 * q));
  const __m128i b = _mm_slli_si128(a, 4);
  const __m128i d = _mm_max_epi16(_mm_subs_epi16(a, b), _mm_subs_epi16(b, a));
  const __m128i far = _mm_cmpgt_epi16(d, _mm_set1_epi16(3));
  const __m128i ra = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ref + q));
  const __m128i same = _mm_and_si128(_mm_cmpeq_epi32(far, _mm_setzero_si128()),
                                     _mm_cmpeq_epi32(ra, _mm_slli_si128(ra, 4)));
  return _mm_andnot_si128(same, _mm_set1_epi32(1));
}
// The 16 bits of mask as 16 bytes, 2 where the bit is set.
inline __m128i CodedBytes(int mask) {
  const __m128i bytes = _mm_unpacklo_epi64(_mm_set1_epi8(static_cast<char>(mask & 0xFF)),
                                           _mm_set1_epi8(static_cast<char>((mask >> 8) & 0xFF)));
  const __m128i bits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
  return _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(bytes, bits), bits), _mm_set1_epi8(2));
}

void InterBsSse2(uint8_t (*bs)[4][4], const int16_t* mv, const uint32_t* ref, ptrdiff_t stride,
                 const int* coded, int outer) {
  __m128i v[4], h[4];
  for (int s = 0; s < 4; ++s) {
    const ptrdiff_t row = s * stride;
    v[s] = (outer & 1) ? MotionDiffers(mv, ref, row, row - 1) : MotionDiffersInside(mv, ref, row);
    h[s] = (s > 0 || (outer & 2)) ? MotionDiffers(mv, ref, row, row - stride) : _mm_setzero_si128();
  }
  // Bytes [s][e] for the vertical edges, [e][s] for the horizontal ones.
  __m128i bv = _mm_packs_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3]));
  __m128i bh = _mm_packs_epi16(_mm_packs_epi32(h[0], h[1]), _mm_packs_epi32(h[2], h[3]));
  bv = _mm_max_epu8(bv, CodedBytes(coded[0]));
  bh = _mm_max_epu8(bh, CodedBytes(coded[1]));
  if (!(outer & 1)) bv = _mm_and_si128(bv, _mm_set1_epi32(static_cast<int>(0xFFFFFF00u)));
  if (!(outer & 2)) bh = _mm_and_si128(bh, _mm_setr_epi32(0, -1, -1, -1));
  // Vertical: [s][e] to [e][s].
  const __m128i u = _mm_unpacklo_epi8(bv, _mm_srli_si128(bv, 8));
  bv = _mm_unpacklo_epi8(u, _mm_srli_si128(u, 8));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(bs[0]), bv);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(bs[1]), bh);
}

}  // namespace

void InitDeblockSse2(DeblockKernels* k) {
  k->interBs = InterBsSse2;
  SetDeblockKernels<Sse2Filters>(k);
}

}  // namespace vexlor::h264
