// SSE2 versions of the Intra 16x16 and chroma DC and plane modes. Plane prediction works in
// 16-bit lanes: a + b (x - h + 1) + c (y - h + 1) + 16 stays within -11500..19700 for any edge
// samples, so the sums are exact, and the clip to 0..255 is the saturation of the pack to bytes.
#include <emmintrin.h>

#include "dsp/dsp_intra.h"
#include "dsp/dsp_transform.h"

namespace vexlor::h264 {
namespace {

inline void Store16(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
inline void Store8(uint8_t* p, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}

void Dc16x16Sse2(uint8_t* d, const uint8_t* top, const uint8_t* left, int, int avail) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i st = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top)), zero);
  const __m128i sl = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(left)), zero);
  const int sumT = _mm_cvtsi128_si32(st) + _mm_extract_epi16(st, 4);
  const int sumL = _mm_cvtsi128_si32(sl) + _mm_extract_epi16(sl, 4);
  int v = 128;
  if ((avail & 3) == 3) {
    v = (sumT + sumL + 16) >> 5;
  } else if (avail & kIntraLeft) {
    v = (sumL + 8) >> 4;
  } else if (avail & kIntraAbove) {
    v = (sumT + 8) >> 4;
  }
  const __m128i fill = _mm_set1_epi8(static_cast<char>(v));
  for (int y = 0; y < 16; ++y) Store16(d + y * kPredStride, fill);
}

template <int N>
void PlaneSse2(uint8_t* d, const uint8_t* top, const uint8_t* left, int corner, int) {
  constexpr int h = N / 2;
  int a, b, c;
  PlaneParameters<N>(top, left, corner, &a, &b, &c);
  // Row 0: a - (h - 1) (b + c) + 16 + b x.
  const __m128i vb = _mm_set1_epi16(static_cast<int16_t>(b));
  const __m128i x0 = _mm_mullo_epi16(vb, _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
  __m128i lo = _mm_add_epi16(_mm_set1_epi16(static_cast<int16_t>(a - (h - 1) * (b + c) + 16)), x0);
  __m128i hi = _mm_add_epi16(lo, _mm_slli_epi16(vb, 3));
  const __m128i vc = _mm_set1_epi16(static_cast<int16_t>(c));
  for (int y = 0; y < N; ++y) {
    const __m128i bytes = _mm_packus_epi16(_mm_srai_epi16(lo, 5), _mm_srai_epi16(hi, 5));
    if constexpr (N == 16) {
      Store16(d + y * kPredStride, bytes);
    } else {
      Store8(d + y * kPredStride, bytes);
    }
    lo = _mm_add_epi16(lo, vc);
    hi = _mm_add_epi16(hi, vc);
  }
}

}  // namespace

void InitIntraSse2(IntraKernels* k) {
  k->intra16x16[2] = Dc16x16Sse2;
  k->intra16x16[3] = PlaneSse2<16>;
  k->intraChroma[3] = PlaneSse2<8>;
}

}  // namespace vexlor::h264
