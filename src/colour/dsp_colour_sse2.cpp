// The MMX arithmetic of the colour conversion with SSE2 instructions, eight pixels at a time:
// bit for bit the portable version's results (the kernel test compares them).
#include <emmintrin.h>

#include "dsp_colour.h"

namespace vexlor::colour {
namespace {

// Eight pixels: y holds eight luma bytes in its low half, uv the four chroma samples of each
// plane as 16-bit values already reduced by 128 and scaled by 8, duplicated per pixel pair.
inline void FastEightSse2(__m128i y8, __m128i u, __m128i v, uint8_t* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i ys =
      _mm_slli_epi16(_mm_unpacklo_epi8(_mm_subs_epu8(y8, _mm_set1_epi8(16)), zero), 3);
  const __m128i luma = _mm_mulhi_epi16(ys, _mm_set1_epi16(kLumaCoef));
  const __m128i red = _mm_adds_epi16(luma, _mm_mulhi_epi16(v, _mm_set1_epi16(kRedFromV)));
  const __m128i green =
      _mm_adds_epi16(luma, _mm_adds_epi16(_mm_mulhi_epi16(u, _mm_set1_epi16(kGreenFromU)),
                                          _mm_mulhi_epi16(v, _mm_set1_epi16(kGreenFromV))));
  const __m128i blue = _mm_adds_epi16(luma, _mm_mulhi_epi16(u, _mm_set1_epi16(kBlueFromU)));
  const __m128i b = _mm_packus_epi16(blue, blue);
  const __m128i g = _mm_packus_epi16(green, green);
  const __m128i r = _mm_packus_epi16(red, red);
  const __m128i bg = _mm_unpacklo_epi8(b, g);
  const __m128i r0 = _mm_unpacklo_epi8(r, zero);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(bg, r0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi16(bg, r0));
}

inline __m128i LoadChroma4(const uint8_t* p) {
  int32_t v;
  __builtin_memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}

// Chroma bytes (low four or eight) to 16-bit (c - 128) * 8.
inline __m128i ChromaTerms(__m128i c8) {
  const __m128i c = _mm_sub_epi16(_mm_unpacklo_epi8(c8, _mm_setzero_si128()), _mm_set1_epi16(128));
  return _mm_slli_epi16(c, 3);
}

void MmxArithmeticRowSse2(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out,
                          int width) {
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i y16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
    const __m128i u = ChromaTerms(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + x / 2)));
    const __m128i v = ChromaTerms(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + x / 2)));
    FastEightSse2(y16, _mm_unpacklo_epi16(u, u), _mm_unpacklo_epi16(v, v), out + 4 * x);
    FastEightSse2(_mm_srli_si128(y16, 8), _mm_unpackhi_epi16(u, u), _mm_unpackhi_epi16(v, v),
                  out + 4 * x + 32);
  }
  for (; x + 8 <= width; x += 8) {
    const __m128i y8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(y + x));
    const __m128i u = ChromaTerms(LoadChroma4(cb + x / 2));
    const __m128i v = ChromaTerms(LoadChroma4(cr + x / 2));
    FastEightSse2(y8, _mm_unpacklo_epi16(u, u), _mm_unpacklo_epi16(v, v), out + 4 * x);
  }
  MmxArithmeticPixels(y, cb, cr, out, x, width);
}
}  // namespace

void InitColourSse2(ColourKernels* k) {
  k->mmxArithmeticRow = MmxArithmeticRowSse2;
}

}  // namespace vexlor::colour
