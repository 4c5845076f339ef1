// AVX2 motion compensation kernels, where the wider registers pay: luma blocks 16 wide at the
// positions made of one or two half-sample filters (a, b, c, d, h, n and the diagonal e, g, p,
// r), sixteen samples in one register of 16-bit lanes; chroma with pmaddubsw on interleaved
// sample pairs (the weights are at most 64 and a weighted pair at most 16320, so nothing
// saturates), two rows per register. The other entries stay the SSE2 ones. Loads stay within
// the samples the kernel contract allows, as in the SSE2 kernels.
#include <immintrin.h>

#include <cstring>

#include "dsp/dsp_mc.h"

namespace vexlor::h264 {
namespace {

inline __m256i Widen16(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// The rounded half sample between p[0] and p[step] for sixteen samples, as bytes.
inline __m128i HalfSample16(const uint8_t* p, ptrdiff_t step) {
  const __m256i a = Widen16(p - 2 * step), b = Widen16(p - step), c = Widen16(p);
  const __m256i d = Widen16(p + step), e = Widen16(p + 2 * step), f = Widen16(p + 3 * step);
  const __m256i cd = _mm256_add_epi16(c, d), be = _mm256_add_epi16(b, e);
  const __m256i x = _mm256_sub_epi16(_mm256_slli_epi16(cd, 2), be);
  const __m256i sum =
      _mm256_add_epi16(_mm256_add_epi16(a, f), _mm256_add_epi16(_mm256_slli_epi16(x, 2), x));
  const __m256i r = _mm256_srai_epi16(_mm256_add_epi16(sum, _mm256_set1_epi16(16)), 5);
  return _mm_packus_epi16(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1));
}

inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void Store16(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

template <int XF, int YF>
void Luma16(uint8_t* __restrict dst, ptrdiff_t ds, const uint8_t* __restrict src, ptrdiff_t ss,
            int h) {
  if constexpr (YF == 0) {
    for (int y = 0; y < h; ++y, dst += ds, src += ss) {
      __m128i b = HalfSample16(src, 1);
      if constexpr (XF != 2) b = _mm_avg_epu8(b, Load16(src + (XF >> 1)));
      Store16(dst, b);
    }
  } else if constexpr (XF == 0) {
    for (int y = 0; y < h; ++y, dst += ds, src += ss) {
      __m128i v = HalfSample16(src, ss);
      if constexpr (YF != 2) v = _mm_avg_epu8(v, Load16(src + (YF >> 1) * ss));
      Store16(dst, v);
    }
  } else {
    static_assert(XF != 2 && YF != 2, "the centre positions stay SSE2");
    const uint8_t* sb = src + (YF >> 1) * ss;
    const uint8_t* sh = src + (XF >> 1);
    for (int y = 0; y < h; ++y, dst += ds, sb += ss, sh += ss) {
      Store16(dst, _mm_avg_epu8(HalfSample16(sb, 1), HalfSample16(sh, ss)));
    }
  }
}

// Bytes s[0], s[1], s[1], s[2] ... s[n - 1], s[n] for the n = 8 samples of a row at p.
inline __m128i Pairs8(const uint8_t* p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 1)));
}
// The same for n = 4 or 2 (8 or 4 bytes of pairs, in the low bytes).
template <int W>
inline __m128i PairsNarrow(const uint8_t* p) {
  if constexpr (W == 4) {
    int32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + 1, 4);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(a), _mm_cvtsi32_si128(b));
  } else {
    uint16_t a, b;
    std::memcpy(&a, p, 2);
    std::memcpy(&b, p + 1, 2);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(a), _mm_cvtsi32_si128(b));
  }
}

template <int W>
void Chroma(uint8_t* __restrict dst, ptrdiff_t ds, const uint8_t* __restrict src, ptrdiff_t ss,
            int h, int xFrac, int yFrac) {
  // Weight pairs (A, B) for the upper row and (C, D) for the lower one, as bytes.
  const int a = (8 - xFrac) * (8 - yFrac), b = xFrac * (8 - yFrac);
  const int c = (8 - xFrac) * yFrac, d = xFrac * yFrac;
  const __m128i ab = _mm_set1_epi16(static_cast<int16_t>(a | (b << 8)));
  const __m128i cd = _mm_set1_epi16(static_cast<int16_t>(c | (d << 8)));
  if constexpr (W == 8) {
    const __m256i ab2 = _mm256_broadcastsi128_si256(ab), cd2 = _mm256_broadcastsi128_si256(cd);
    const __m256i round = _mm256_set1_epi16(32);
    __m128i upper = Pairs8(src);
    for (int y = 0; y < h; y += 2, dst += 2 * ds) {
      const __m128i mid = Pairs8(src + (y + 1) * ss);
      const __m128i lower = Pairs8(src + (y + 2) * ss);
      const __m256i top = _mm256_inserti128_si256(_mm256_castsi128_si256(upper), mid, 1);
      const __m256i bottom = _mm256_inserti128_si256(_mm256_castsi128_si256(mid), lower, 1);
      const __m256i sum = _mm256_add_epi16(
          _mm256_add_epi16(_mm256_maddubs_epi16(top, ab2), _mm256_maddubs_epi16(bottom, cd2)),
          round);
      const __m256i r = _mm256_srli_epi16(sum, 6);
      const __m128i bytes =
          _mm_packus_epi16(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), bytes);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + ds), _mm_unpackhi_epi64(bytes, bytes));
      upper = lower;
    }
  } else {
    // Two rows per register: rows y, y + 1 above and y + 1, y + 2 below.
    constexpr int kPairBytes = 2 * W;
    const __m128i round = _mm_set1_epi16(32);
    __m128i upper = PairsNarrow<W>(src);
    for (int y = 0; y < h; y += 2, dst += 2 * ds) {
      const __m128i mid = PairsNarrow<W>(src + (y + 1) * ss);
      const __m128i lower = PairsNarrow<W>(src + (y + 2) * ss);
      __m128i top, bottom;
      if constexpr (kPairBytes == 8) {
        top = _mm_unpacklo_epi64(upper, mid);
        bottom = _mm_unpacklo_epi64(mid, lower);
      } else {
        top = _mm_unpacklo_epi32(upper, mid);
        bottom = _mm_unpacklo_epi32(mid, lower);
      }
      const __m128i sum = _mm_add_epi16(
          _mm_add_epi16(_mm_maddubs_epi16(top, ab), _mm_maddubs_epi16(bottom, cd)), round);
      const __m128i r = _mm_srli_epi16(sum, 6);
      const __m128i bytes = _mm_packus_epi16(r, r);
      if constexpr (W == 4) {
        const int32_t r0 = _mm_cvtsi128_si32(bytes),
                      r1 = _mm_cvtsi128_si32(_mm_srli_si128(bytes, 4));
        std::memcpy(dst, &r0, 4);
        std::memcpy(dst + ds, &r1, 4);
      } else {
        const uint32_t v = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes));
        const uint16_t r0 = static_cast<uint16_t>(v), r1 = static_cast<uint16_t>(v >> 16);
        std::memcpy(dst, &r0, 2);
        std::memcpy(dst + ds, &r1, 2);
      }
      upper = lower;
    }
  }
}

}  // namespace

void InitMcAvx2(McKernels* k) {
  LumaMcFn* row = k->luma[2];
  row[1] = Luma16<1, 0>;
  row[2] = Luma16<2, 0>;
  row[3] = Luma16<3, 0>;
  row[4] = Luma16<0, 1>;
  row[8] = Luma16<0, 2>;
  row[12] = Luma16<0, 3>;
  row[5] = Luma16<1, 1>;
  row[7] = Luma16<3, 1>;
  row[13] = Luma16<1, 3>;
  row[15] = Luma16<3, 3>;
  k->chroma[0] = Chroma<2>;
  k->chroma[1] = Chroma<4>;
  k->chroma[2] = Chroma<8>;
}

}  // namespace vexlor::h264
