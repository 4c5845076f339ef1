// SSE2 deblocking kernels: the edge filters of dsp_deblock_simd.h on eight 16-bit lanes (two
// groups per edge), and the boundary strengths of inter macroblocks.
#include <emmintrin.h>

#include <cstring>

#include "dsp/dsp_deblock.h"

namespace vexlor::h264 {
namespace {

using V = __m128i;
template <class T>
inline T Splat(int v);
template <>
inline __m128i Splat<__m128i>(int v) {
  return _mm_set1_epi16(static_cast<int16_t>(v));
}
inline V Add(V a, V b) {
  return _mm_add_epi16(a, b);
}
inline V Sub(V a, V b) {
  return _mm_sub_epi16(a, b);
}
inline V Max(V a, V b) {
  return _mm_max_epi16(a, b);
}
inline V Min(V a, V b) {
  return _mm_min_epi16(a, b);
}
inline V Lt(V a, V b) {
  return _mm_cmplt_epi16(a, b);
}
inline V Gt(V a, V b) {
  return _mm_cmpgt_epi16(a, b);
}
inline V And(V a, V b) {
  return _mm_and_si128(a, b);
}
inline V AndNot(V a, V b) {
  return _mm_andnot_si128(a, b);
}
inline V Or(V a, V b) {
  return _mm_or_si128(a, b);
}
inline V Sra(V a, int n) {
  return _mm_srai_epi16(a, n);
}
inline V Sll(V a, int n) {
  return _mm_slli_epi16(a, n);
}
inline V Avg(V a, V b) {
  return _mm_avg_epu16(a, b);
}

}  // namespace
}  // namespace vexlor::h264

#include "dsp/dsp_deblock_simd.h"

namespace vexlor::h264 {
namespace {

inline __m128i Lo16(__m128i v) {
  return _mm_unpacklo_epi8(v, _mm_setzero_si128());
}
inline __m128i Hi16(__m128i v) {
  return _mm_unpackhi_epi8(v, _mm_setzero_si128());
}

// Eight lanes: the low and the high half of an edge's lines in turn.
struct Lanes8 {
  using V = __m128i;
  // Runs a filter over rows [first, first + n) of an edge, both halves of its 16 lines.
  template <int kFirst, int kCount, class Filter>
  static void Run(Edge* e, Filter filter) {
    __m128i lo[kCount], hi[kCount];
    for (int k = 0; k < kCount; ++k) {
      lo[k] = Lo16(e->t[kFirst + k]);
      hi[k] = Hi16(e->t[kFirst + k]);
    }
    filter(lo, 0);
    filter(hi, 1);
    for (int k = 0; k < kCount; ++k) e->t[kFirst + k] = _mm_packus_epi16(lo[k], hi[k]);
  }
  static __m128i LumaTc0(const int8_t* tc0, int half) {
    const int16_t a = tc0[2 * half], b = tc0[2 * half + 1];
    return _mm_setr_epi16(a, a, a, a, b, b, b, b);
  }
  static __m128i ChromaTc0(const int8_t* tc0) {
    const int16_t a = tc0[0], b = tc0[1], c = tc0[2], d = tc0[3];
    return _mm_setr_epi16(a, a, b, b, c, c, d, d);
  }
};

using Sse2Filters = SimdFilters<Lanes8>;

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
