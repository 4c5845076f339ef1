// SSE2 versions of the residual kernels. They give the reference kernels' results bit for bit for
// every input the parser can produce (levels of at most 4095 in magnitude, which CAVLC bounds
// well below; any DC value); the kernel test compares them on random and extreme blocks.
#include <emmintrin.h>

#include <cstring>

#include "dsp/dsp_transform.h"

namespace vexlor::h264 {
namespace {

inline void Transpose4x4(__m128i* r0, __m128i* r1, __m128i* r2, __m128i* r3) {
  const __m128i t0 = _mm_unpacklo_epi32(*r0, *r1);  // a0 b0 a1 b1
  const __m128i t1 = _mm_unpacklo_epi32(*r2, *r3);  // c0 d0 c1 d1
  const __m128i t2 = _mm_unpackhi_epi32(*r0, *r1);  // a2 b2 a3 b3
  const __m128i t3 = _mm_unpackhi_epi32(*r2, *r3);  // c2 d2 c3 d3
  *r0 = _mm_unpacklo_epi64(t0, t1);
  *r1 = _mm_unpackhi_epi64(t0, t1);
  *r2 = _mm_unpacklo_epi64(t2, t3);
  *r3 = _mm_unpackhi_epi64(t2, t3);
}

// The one-dimensional inverse transform across four vectors (one element per lane).
inline void Butterfly(__m128i* x0, __m128i* x1, __m128i* x2, __m128i* x3) {
  const __m128i e0 = _mm_add_epi32(*x0, *x2);
  const __m128i e1 = _mm_sub_epi32(*x0, *x2);
  const __m128i e2 = _mm_sub_epi32(_mm_srai_epi32(*x1, 1), *x3);
  const __m128i e3 = _mm_add_epi32(*x1, _mm_srai_epi32(*x3, 1));
  *x0 = _mm_add_epi32(e0, e3);
  *x1 = _mm_add_epi32(e1, e2);
  *x2 = _mm_sub_epi32(e1, e2);
  *x3 = _mm_sub_epi32(e0, e3);
}

// Two rows of levels times their factors, as 32-bit products.
inline void ScaleRows(const int32_t* c, __m128i factors, __m128i* lo, __m128i* hi) {
  const __m128i v = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 4)));
  const __m128i pl = _mm_mullo_epi16(v, factors);
  const __m128i ph = _mm_mulhi_epi16(v, factors);
  *lo = _mm_unpacklo_epi16(pl, ph);
  *hi = _mm_unpackhi_epi16(pl, ph);
}

inline void StoreRow(uint8_t* dst, const uint8_t* pred, __m128i r) {
  int32_t p;
  std::memcpy(&p, pred, 4);
  const __m128i pv = _mm_unpacklo_epi8(_mm_cvtsi32_si128(p), _mm_setzero_si128());
  const __m128i sum = _mm_adds_epi16(pv, _mm_packs_epi32(r, r));
  const int32_t out = _mm_cvtsi128_si32(_mm_packus_epi16(sum, sum));
  std::memcpy(dst, &out, 4);
}

void AddResidual4x4Sse2(uint8_t* dst, int stride, const uint8_t* pred, int32_t* c, int qp,
                        int dcSupplied, int32_t dcValue) {
  const int s = (qp * 43) >> 8;
  const int m = qp - 6 * s;
  const int16_t a = static_cast<int16_t>(levelScalePairs[m][0][0] << s);
  const int16_t b = static_cast<int16_t>(levelScalePairs[m][1][1] << s);
  const int16_t x = static_cast<int16_t>(levelScalePairs[m][0][1] << s);
  // Rows 0 and 2: (a, x, a, x); rows 1 and 3: (x, b, x, b).
  const __m128i f = _mm_setr_epi16(a, x, a, x, x, b, x, b);
  __m128i r0, r1, r2, r3;
  ScaleRows(c, f, &r0, &r1);
  ScaleRows(c + 8, f, &r2, &r3);
  if (dcSupplied) {
    r0 = _mm_or_si128(_mm_and_si128(r0, _mm_setr_epi32(0, -1, -1, -1)), _mm_cvtsi32_si128(dcValue));
  }
  const __m128i zero = _mm_setzero_si128();
  __m128i* cv = reinterpret_cast<__m128i*>(c);
  _mm_storeu_si128(cv, zero);
  _mm_storeu_si128(cv + 1, zero);
  _mm_storeu_si128(cv + 2, zero);
  _mm_storeu_si128(cv + 3, zero);

  Transpose4x4(&r0, &r1, &r2, &r3);  // r_j: column j, lane i = row i
  Butterfly(&r0, &r1, &r2, &r3);     // the row transforms
  Transpose4x4(&r0, &r1, &r2, &r3);  // r_i: row i, lane j
  Butterfly(&r0, &r1, &r2, &r3);     // the column transforms
  const __m128i round = _mm_set1_epi32(32);
  StoreRow(dst, pred, _mm_srai_epi32(_mm_add_epi32(r0, round), 6));
  StoreRow(dst + stride, pred + kPredStride, _mm_srai_epi32(_mm_add_epi32(r1, round), 6));
  StoreRow(dst + 2 * stride, pred + 2 * kPredStride, _mm_srai_epi32(_mm_add_epi32(r2, round), 6));
  StoreRow(dst + 3 * stride, pred + 3 * kPredStride, _mm_srai_epi32(_mm_add_epi32(r3, round), 6));
}

void AddDcOnly4x4Sse2(uint8_t* dst, int stride, const uint8_t* pred, int32_t dcValue) {
  int add = (dcValue + 32) >> 6;
  add = add < -32768 ? -32768 : (add > 32767 ? 32767 : add);
  const __m128i av = _mm_set1_epi16(static_cast<int16_t>(add));
  const __m128i zero = _mm_setzero_si128();
  for (int y = 0; y < 4; ++y) {
    int32_t p;
    std::memcpy(&p, pred + y * kPredStride, 4);
    const __m128i sum = _mm_adds_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(p), zero), av);
    const int32_t out = _mm_cvtsi128_si32(_mm_packus_epi16(sum, sum));
    std::memcpy(dst + y * stride, &out, 4);
  }
}

}  // namespace

void InitTransformSse2(TransformKernels* k) {
  k->addResidual4x4 = AddResidual4x4Sse2;
  k->addDcOnly4x4 = AddDcOnly4x4Sse2;
}

}  // namespace vexlor::h264
