// SSE2 motion compensation kernels. Luma: the six-tap sums in 16-bit lanes (an unrounded sum lies
// in -2550..10710), the centre position's second pass in 32-bit lanes (pmaddwd), the averages of
// the quarter positions with pavgb, which rounds as the standard does. Blocks are worked on in
// chunks of 8 columns (4 for 4-wide blocks), and no load reaches outside the samples the kernel
// contract allows (columns -2 .. width + 2, rows -2 .. height + 2, only in a direction with a
// fraction); 16-wide rows are loaded whole. Chroma: the bilinear weights in 16-bit lanes, two rows
// at a time for narrow blocks.
#include <emmintrin.h>

#include <cstring>

#include "dsp/dsp_mc.h"

namespace vexlor::h264 {
namespace {

// N bytes (4, 8 or 16) at p into the low bytes of a vector.
template <int N>
inline __m128i LoadBytes(const uint8_t* p) {
  if constexpr (N == 16) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  } else if constexpr (N == 8) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  } else {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
  }
}
template <int N>
inline void StoreBytes(uint8_t* p, __m128i v) {
  if constexpr (N == 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  } else if constexpr (N == 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
  } else {
    const int32_t out = _mm_cvtsi128_si32(v);
    std::memcpy(p, &out, 4);
  }
}
// N 16-bit values (4 or 8).
template <int N>
inline __m128i LoadI16(const int16_t* p) {
  if constexpr (N == 8) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  } else {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  }
}
template <int N>
inline void StoreI16(int16_t* p, __m128i v) {
  if constexpr (N == 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  } else {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
  }
}

// a + f - 5 (b + e) + 20 (c + d), the six-tap sum, unrounded.
inline __m128i Taps(__m128i a, __m128i b, __m128i c, __m128i d, __m128i e, __m128i f) {
  const __m128i cd = _mm_add_epi16(c, d), be = _mm_add_epi16(b, e);
  const __m128i x = _mm_sub_epi16(_mm_slli_epi16(cd, 2), be);  // 4 (c + d) - (b + e)
  return _mm_add_epi16(_mm_add_epi16(a, f), _mm_add_epi16(_mm_slli_epi16(x, 2), x));
}
// The six-tap sums across p[-2 * step] .. p[3 * step] for N samples (N = 16: lo holds the
// first eight, hi the last eight; otherwise lo holds them all).
template <int N>
inline void Tap6(const uint8_t* p, ptrdiff_t step, __m128i* lo, __m128i* hi) {
  const __m128i zero = _mm_setzero_si128();
  __m128i v[6];
  for (int k = 0; k < 6; ++k) v[k] = LoadBytes<N>(p + (k - 2) * step);
  *lo = Taps(_mm_unpacklo_epi8(v[0], zero), _mm_unpacklo_epi8(v[1], zero),
             _mm_unpacklo_epi8(v[2], zero), _mm_unpacklo_epi8(v[3], zero),
             _mm_unpacklo_epi8(v[4], zero), _mm_unpacklo_epi8(v[5], zero));
  if constexpr (N == 16) {
    *hi = Taps(_mm_unpackhi_epi8(v[0], zero), _mm_unpackhi_epi8(v[1], zero),
               _mm_unpackhi_epi8(v[2], zero), _mm_unpackhi_epi8(v[3], zero),
               _mm_unpackhi_epi8(v[4], zero), _mm_unpackhi_epi8(v[5], zero));
  }
}
// Clip((sum + 16) >> 5) as bytes, for 8 sums (lo) or 16 (lo, hi).
inline __m128i RoundHalf(__m128i lo, __m128i hi) {
  const __m128i r16 = _mm_set1_epi16(16);
  return _mm_packus_epi16(_mm_srai_epi16(_mm_add_epi16(lo, r16), 5),
                          _mm_srai_epi16(_mm_add_epi16(hi, r16), 5));
}
// The rounded half sample between p[0] and p[step], N samples.
template <int N>
inline __m128i HalfSample(const uint8_t* p, ptrdiff_t step) {
  __m128i lo, hi = _mm_setzero_si128();
  Tap6<N>(p, step, &lo, &hi);
  return RoundHalf(lo, hi);
}
// Clip((t0 - 5 t1 + 20 t2 + 20 t3 - 5 t4 + t5 + 512) >> 10) as bytes (the low eight), from
// unrounded sums.
inline __m128i Centre(__m128i t0, __m128i t1, __m128i t2, __m128i t3, __m128i t4, __m128i t5) {
  const __m128i s05 = _mm_add_epi16(t0, t5), s14 = _mm_add_epi16(t1, t4);
  const __m128i s23 = _mm_add_epi16(t2, t3);
  const __m128i k15 = _mm_setr_epi16(1, -5, 1, -5, 1, -5, 1, -5);
  const __m128i k20 = _mm_set1_epi16(10);
  const __m128i round = _mm_set1_epi32(512);
  const __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(s05, s14), k15),
                                   _mm_madd_epi16(_mm_unpacklo_epi16(s23, s23), k20));
  const __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(s05, s14), k15),
                                   _mm_madd_epi16(_mm_unpackhi_epi16(s23, s23), k20));
  const __m128i r = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, round), 10),
                                    _mm_srai_epi32(_mm_add_epi32(hi, round), 10));
  return _mm_packus_epi16(r, r);
}
// The centre sample from six unrounded sums t[0], t[step] .. t[5 * step], N of them (4 or 8).
template <int N>
inline __m128i CentreAt(const int16_t* t, ptrdiff_t step) {
  return Centre(LoadI16<N>(t), LoadI16<N>(t + step), LoadI16<N>(t + 2 * step),
                LoadI16<N>(t + 3 * step), LoadI16<N>(t + 4 * step), LoadI16<N>(t + 5 * step));
}

template <int W, int XF, int YF>
void LumaMc(uint8_t* __restrict dst, ptrdiff_t ds, const uint8_t* __restrict src, ptrdiff_t ss,
            int h) {
  // N: the columns of one step where whole rows are worked on; C: of the 16-bit passes.
  constexpr int N = W;
  constexpr int C = W == 4 ? 4 : 8;
  if constexpr (XF == 0 && YF == 0) {
    for (int y = 0; y < h; ++y, dst += ds, src += ss) StoreBytes<N>(dst, LoadBytes<N>(src));
  } else if constexpr (YF == 0) {
    for (int y = 0; y < h; ++y, dst += ds, src += ss) {
      __m128i b = HalfSample<N>(src, 1);
      if constexpr (XF != 2) b = _mm_avg_epu8(b, LoadBytes<N>(src + (XF >> 1)));
      StoreBytes<N>(dst, b);
    }
  } else if constexpr (XF == 0) {
    for (int y = 0; y < h; ++y, dst += ds, src += ss) {
      __m128i v = HalfSample<N>(src, ss);
      if constexpr (YF != 2) v = _mm_avg_epu8(v, LoadBytes<N>(src + (YF >> 1) * ss));
      StoreBytes<N>(dst, v);
    }
  } else if constexpr (XF == 2) {
    // f, j, q: horizontal sums of h + 5 rows, then the vertical pass over them.
    alignas(16) int16_t tmp[21][W];
    const uint8_t* s = src - 2 * ss;
    for (int r = 0; r < h + 5; ++r, s += ss) {
      __m128i lo, hi;
      Tap6<N>(s, 1, &lo, &hi);
      StoreI16<C>(&tmp[r][0], lo);
      if constexpr (N == 16) StoreI16<C>(&tmp[r][8], hi);
    }
    for (int y = 0; y < h; ++y, dst += ds) {
      for (int x = 0; x < W; x += C) {
        __m128i j = CentreAt<C>(&tmp[y][x], W);
        if constexpr (YF != 2) {
          const __m128i b = LoadI16<C>(&tmp[y + 2 + (YF >> 1)][x]);
          j = _mm_avg_epu8(j, RoundHalf(b, b));
        }
        StoreBytes<C>(dst + x, j);
      }
    }
  } else if constexpr (YF == 2) {
    // i, k: vertical sums of columns -2 .. W + 2, then the horizontal pass over them. The last
    // chunk of columns is moved left to end at column W + 2 (it overlaps the one before).
    constexpr int kCols = W + 5;
    alignas(16) int16_t tmp[16][W + 8];
    const uint8_t* s = src - 2;
    for (int y = 0; y < h; ++y, s += ss) {
      for (int x = 0; x < kCols; x += C) {
        const int c = x + C <= kCols ? x : kCols - C;
        __m128i lo, hi;
        Tap6<C>(s + c, ss, &lo, &hi);
        StoreI16<C>(&tmp[y][c], lo);
      }
    }
    for (int y = 0; y < h; ++y, dst += ds) {
      for (int x = 0; x < W; x += C) {
        const int16_t* t = &tmp[y][x];
        const __m128i v = LoadI16<C>(t + 2 + (XF >> 1));
        StoreBytes<C>(dst + x, _mm_avg_epu8(CentreAt<C>(t, 1), RoundHalf(v, v)));
      }
    }
  } else {
    // e, g, p, r: a horizontal and a vertical half sample averaged.
    const uint8_t* sb = src + (YF >> 1) * ss;
    const uint8_t* sh = src + (XF >> 1);
    for (int y = 0; y < h; ++y, dst += ds, sb += ss, sh += ss) {
      StoreBytes<N>(dst, _mm_avg_epu8(HalfSample<N>(sb, 1), HalfSample<N>(sh, ss)));
    }
  }
}

// (a s[x] + b s[x + 1] + c s1[x] + d s1[x + 1] + 32) >> 6 in 16-bit lanes (the weights sum to
// 64, so no sum exceeds 16 bits).
inline __m128i Bilinear(__m128i s0, __m128i s0r, __m128i s1, __m128i s1r, __m128i a, __m128i b,
                        __m128i c, __m128i d) {
  const __m128i sum =
      _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(s0, a), _mm_mullo_epi16(s0r, b)),
                    _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(s1, c), _mm_mullo_epi16(s1r, d)),
                                  _mm_set1_epi16(32)));
  return _mm_srli_epi16(sum, 6);
}

// Columns 0 .. W - 1 of two rows side by side as 16-bit lanes (W = 2 or 4).
template <int W>
inline __m128i LoadRowPair(const uint8_t* p, ptrdiff_t stride) {
  __m128i r0, r1;
  if constexpr (W == 4) {
    r0 = LoadBytes<4>(p);
    r1 = LoadBytes<4>(p + stride);
    return _mm_unpacklo_epi8(_mm_unpacklo_epi32(r0, r1), _mm_setzero_si128());
  } else {
    uint16_t a, b;
    std::memcpy(&a, p, 2);
    std::memcpy(&b, p + stride, 2);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(a | (b << 16)), _mm_setzero_si128());
  }
}

template <int W>
void ChromaMc(uint8_t* __restrict dst, ptrdiff_t ds, const uint8_t* __restrict src, ptrdiff_t ss,
              int h, int xFrac, int yFrac) {
  const __m128i a = _mm_set1_epi16(static_cast<int16_t>((8 - xFrac) * (8 - yFrac)));
  const __m128i b = _mm_set1_epi16(static_cast<int16_t>(xFrac * (8 - yFrac)));
  const __m128i c = _mm_set1_epi16(static_cast<int16_t>((8 - xFrac) * yFrac));
  const __m128i d = _mm_set1_epi16(static_cast<int16_t>(xFrac * yFrac));
  if constexpr (W == 8) {
    const __m128i zero = _mm_setzero_si128();
    __m128i s0 = _mm_unpacklo_epi8(LoadBytes<8>(src), zero);
    __m128i s0r = _mm_unpacklo_epi8(LoadBytes<8>(src + 1), zero);
    for (int y = 0; y < h; ++y, dst += ds) {
      src += ss;
      const __m128i s1 = _mm_unpacklo_epi8(LoadBytes<8>(src), zero);
      const __m128i s1r = _mm_unpacklo_epi8(LoadBytes<8>(src + 1), zero);
      const __m128i r = Bilinear(s0, s0r, s1, s1r, a, b, c, d);
      StoreBytes<8>(dst, _mm_packus_epi16(r, r));
      s0 = s1;
      s0r = s1r;
    }
  } else {
    // Two rows per step: rows y, y + 1 and, below them, rows y + 1, y + 2.
    for (int y = 0; y < h; y += 2, dst += 2 * ds, src += 2 * ss) {
      const __m128i s0 = LoadRowPair<W>(src, ss), s0r = LoadRowPair<W>(src + 1, ss);
      const __m128i s1 = LoadRowPair<W>(src + ss, ss), s1r = LoadRowPair<W>(src + ss + 1, ss);
      const __m128i r = Bilinear(s0, s0r, s1, s1r, a, b, c, d);
      const __m128i bytes = _mm_packus_epi16(r, r);
      if constexpr (W == 4) {
        StoreBytes<4>(dst, bytes);
        StoreBytes<4>(dst + ds, _mm_srli_si128(bytes, 4));
      } else {
        const uint32_t v = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes));
        const uint16_t r0 = static_cast<uint16_t>(v), r1 = static_cast<uint16_t>(v >> 16);
        std::memcpy(dst, &r0, 2);
        std::memcpy(dst + ds, &r1, 2);
      }
    }
  }
}

struct Kernels {
  template <int W, int XF, int YF>
  static constexpr LumaMcFn Luma = &LumaMc<W, XF, YF>;
  template <int W>
  static constexpr ChromaMcFn Chroma = &ChromaMc<W>;
};

}  // namespace

void InitMcSse2(McKernels* k) {
  SetMcKernels<Kernels>(k);
}

}  // namespace vexlor::h264
