// AVX2 deblocking kernels: the edge filters of dsp_deblock_simd.h on sixteen 16-bit lanes, a
// whole edge's lines in one register. Loading, transposing and storing an edge are the SSE2
// steps (here in their VEX encoding).
#include <immintrin.h>

#include "dsp/dsp_deblock.h"

namespace vexlor::h264 {
namespace {

using V = __m256i;
template <class T>
inline T Splat(int v);
template <>
inline __m256i Splat<__m256i>(int v) {
  return _mm256_set1_epi16(static_cast<int16_t>(v));
}
inline V Add(V a, V b) {
  return _mm256_add_epi16(a, b);
}
inline V Sub(V a, V b) {
  return _mm256_sub_epi16(a, b);
}
inline V Max(V a, V b) {
  return _mm256_max_epi16(a, b);
}
inline V Min(V a, V b) {
  return _mm256_min_epi16(a, b);
}
inline V Lt(V a, V b) {
  return _mm256_cmpgt_epi16(b, a);
}
inline V Gt(V a, V b) {
  return _mm256_cmpgt_epi16(a, b);
}
inline V And(V a, V b) {
  return _mm256_and_si256(a, b);
}
inline V AndNot(V a, V b) {
  return _mm256_andnot_si256(a, b);
}
inline V Or(V a, V b) {
  return _mm256_or_si256(a, b);
}
inline V Sra(V a, int n) {
  return _mm256_srai_epi16(a, n);
}
inline V Sll(V a, int n) {
  return _mm256_slli_epi16(a, n);
}
inline V Avg(V a, V b) {
  return _mm256_avg_epu16(a, b);
}

}  // namespace
}  // namespace vexlor::h264

#include "dsp/dsp_deblock_simd.h"

namespace vexlor::h264 {
namespace {

// Sixteen lanes: all of an edge's lines at once.
struct Lanes16 {
  using V = __m256i;
  template <int kFirst, int kCount, class Filter>
  static void Run(Edge* e, Filter filter) {
    __m256i x[kCount];
    for (int k = 0; k < kCount; ++k) x[k] = _mm256_cvtepu8_epi16(e->t[kFirst + k]);
    filter(x, 0);
    for (int k = 0; k < kCount; ++k) {
      e->t[kFirst + k] =
          _mm_packus_epi16(_mm256_castsi256_si128(x[k]), _mm256_extracti128_si256(x[k], 1));
    }
  }
  // Luma: the four segments of four lines; the filter runs once (half 0).
  static __m256i LumaTc0(const int8_t* tc0, int) {
    const int16_t a = tc0[0], b = tc0[1], c = tc0[2], d = tc0[3];
    return _mm256_setr_epi16(a, a, a, a, b, b, b, b, c, c, c, c, d, d, d, d);
  }
  // Chroma: Cb's eight lines, then Cr's, two lines per segment.
  static __m256i ChromaTc0(const int8_t* tc0) {
    const int16_t a = tc0[0], b = tc0[1], c = tc0[2], d = tc0[3];
    return _mm256_setr_epi16(a, a, b, b, c, c, d, d, a, a, b, b, c, c, d, d);
  }
};

}  // namespace

void InitDeblockAvx2(DeblockKernels* k) {
  SetDeblockKernels<SimdFilters<Lanes16>>(k);
}

}  // namespace vexlor::h264
