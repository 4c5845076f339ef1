// AVX2 versions of both colour conversions, bit for bit the portable versions' results (the
// kernel test compares them). The table path computes the table entries instead of loading
// them: the same 32-bit products and sums, eight pixels at a time; the MMX arithmetic is the
// SSE2 version's sixteen pixels at a time.
#include <immintrin.h>

#include <cstring>

#include "dsp_colour.h"

namespace vexlor::colour {
namespace {

// ---- the table path ----------------------------------------------------------------------

// Eight pixels of one row: y holds their 32-bit luma terms 76309 (Y - 16); bu, guv, rv the
// chroma terms of each pixel.
inline void TableEight(__m256i t, __m256i bu, __m256i guv, __m256i rv, uint8_t* out) {
  const __m256i zero = _mm256_setzero_si256(), max = _mm256_set1_epi32(255);
  const __m256i b =
      _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(_mm256_add_epi32(t, bu), 16), zero), max);
  const __m256i g = _mm256_min_epi32(
      _mm256_max_epi32(_mm256_srai_epi32(_mm256_sub_epi32(t, guv), 16), zero), max);
  const __m256i r =
      _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(_mm256_add_epi32(t, rv), 16), zero), max);
  const __m256i px =
      _mm256_or_si256(b, _mm256_or_si256(_mm256_slli_epi32(g, 8), _mm256_slli_epi32(r, 16)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), px);
}

inline __m256i LumaTerms(const uint8_t* y) {
  const __m256i ys =
      _mm256_sub_epi32(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y))),
                       _mm256_set1_epi32(16));
  return _mm256_mullo_epi32(ys, _mm256_set1_epi32(76309));
}

void TableRowPairAvx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                      uint8_t* o0, uint8_t* o1, int width) {
  // Eight pixels at a time; a last group that would run past the end is moved back to end at
  // the row's end (width is even), recomputing a few pixels with the same results.
  if (width < 8) {
    ColourKernels c;
    InitColourReference(&c);
    c.tableRowPair(y0, y1, u, v, o0, o1, width);
    return;
  }
  for (int next = 0; next < width; next += 8) {
    const int x = next + 8 <= width ? next : width - 8;
    int32_t u4, v4;
    std::memcpy(&u4, u + x / 2, 4);
    std::memcpy(&v4, v + x / 2, 4);
    // Each chroma sample twice (one per pixel of its pair), less 128.
    const __m128i uu = _mm_cvtsi32_si128(u4), vv = _mm_cvtsi32_si128(v4);
    const __m256i c128 = _mm256_set1_epi32(128);
    const __m256i us = _mm256_sub_epi32(_mm256_cvtepu8_epi32(_mm_unpacklo_epi8(uu, uu)), c128);
    const __m256i vs = _mm256_sub_epi32(_mm256_cvtepu8_epi32(_mm_unpacklo_epi8(vv, vv)), c128);
    const __m256i rv = _mm256_mullo_epi32(vs, _mm256_set1_epi32(104597));
    const __m256i guv = _mm256_add_epi32(_mm256_mullo_epi32(us, _mm256_set1_epi32(25675)),
                                         _mm256_mullo_epi32(vs, _mm256_set1_epi32(53279)));
    const __m256i bu = _mm256_mullo_epi32(us, _mm256_set1_epi32(132201));
    TableEight(LumaTerms(y0 + x), bu, guv, rv, o0 + 4 * x);
    TableEight(LumaTerms(y1 + x), bu, guv, rv, o1 + 4 * x);
  }
}

// ---- the MMX arithmetic ------------------------------------------------------------------

// Sixteen pixels: y16 their luma bytes; u, v the chroma terms (c - 128) * 8 of each pixel.
inline void ArithmeticSixteen(__m128i y16, __m256i u, __m256i v, uint8_t* out) {
  const __m256i ys =
      _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_subs_epu8(y16, _mm_set1_epi8(16))), 3);
  const __m256i luma = _mm256_mulhi_epi16(ys, _mm256_set1_epi16(kLumaCoef));
  const __m256i red = _mm256_adds_epi16(luma, _mm256_mulhi_epi16(v, _mm256_set1_epi16(kRedFromV)));
  const __m256i green = _mm256_adds_epi16(
      luma, _mm256_adds_epi16(_mm256_mulhi_epi16(u, _mm256_set1_epi16(kGreenFromU)),
                              _mm256_mulhi_epi16(v, _mm256_set1_epi16(kGreenFromV))));
  const __m256i blue =
      _mm256_adds_epi16(luma, _mm256_mulhi_epi16(u, _mm256_set1_epi16(kBlueFromU)));
  // Per 128-bit lane (pixels 0..7 and 8..15): bytes b g r 0 per pixel.
  const __m256i zero = _mm256_setzero_si256();
  const __m256i b = _mm256_packus_epi16(blue, blue);
  const __m256i g = _mm256_packus_epi16(green, green);
  const __m256i r = _mm256_packus_epi16(red, red);
  const __m256i bg = _mm256_unpacklo_epi8(b, g);
  const __m256i r0 = _mm256_unpacklo_epi8(r, zero);
  const __m256i lo = _mm256_unpacklo_epi16(bg, r0);  // pixels 0..3 | 8..11
  const __m256i hi = _mm256_unpackhi_epi16(bg, r0);  // pixels 4..7 | 12..15
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(lo, hi, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                      _mm256_permute2x128_si256(lo, hi, 0x31));
}

// Eight chroma bytes as sixteen 16-bit terms (c - 128) * 8, each twice.
inline __m256i ChromaTerms(const uint8_t* c) {
  const __m128i c8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c));
  const __m256i c16 = _mm256_cvtepu8_epi16(_mm_unpacklo_epi8(c8, c8));
  return _mm256_slli_epi16(_mm256_sub_epi16(c16, _mm256_set1_epi16(128)), 3);
}

void MmxArithmeticRowAvx2(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out,
                          int width) {
  // Sixteen pixels at a time; the last group moved back to end at the row's end (or one pixel
  // before it, keeping to the chroma pairs), recomputing a few pixels with the same results.
  if (width < 16) {
    MmxArithmeticPixels(y, cb, cr, out, 0, width);
    return;
  }
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    ArithmeticSixteen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x)),
                      ChromaTerms(cb + x / 2), ChromaTerms(cr + x / 2), out + 4 * x);
  }
  if (x < width) {
    x = (width - 16) & ~1;
    ArithmeticSixteen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x)),
                      ChromaTerms(cb + x / 2), ChromaTerms(cr + x / 2), out + 4 * x);
    MmxArithmeticPixels(y, cb, cr, out, x + 16, width);
  }
}

}  // namespace

void InitColourAvx2(ColourKernels* k) {
  k->tableRowPair = TableRowPairAvx2;
  k->mmxArithmeticRow = MmxArithmeticRowAvx2;
}

}  // namespace vexlor::colour
