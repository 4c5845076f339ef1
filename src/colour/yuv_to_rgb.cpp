#include "colour/yuv_to_rgb.h"

#include <array>
#include <atomic>
#include <mutex>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexlor::colour {

int useMmxPath = 0;

namespace {

// ---- portable path ---------------------------------------------------------------------

struct Tables {
  std::array<int32_t, 256> y, crToRed, cbToGreen, crToGreen, cbToBlue;
  std::array<uint8_t, 1024> clamp;  // index + kClampBias, for indexes -384..639
};
constexpr int kClampBias = 384;

constexpr Tables BuildTables() {
  Tables t{};
  for (int s = 0; s < 256; ++s) {
    t.y[s] = 76309 * (s - 16);
    t.crToRed[s] = 104597 * (s - 128);
    t.cbToGreen[s] = 25675 * (s - 128);
    t.crToGreen[s] = 53279 * (s - 128);
    t.cbToBlue[s] = 132201 * (s - 128);
  }
  for (int i = 0; i < 1024; ++i) {
    const int v = i - kClampBias;
    t.clamp[i] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
  }
  return t;
}

// Built at compile time, so a conversion can never see half-built tables.
constexpr Tables kTables = BuildTables();

// The sums stay within -277..534, inside the clamp table.
inline void PortablePixel(int32_t t, int32_t bu, int32_t guv, int32_t rv, uint8_t* px) {
  const uint8_t* clamp = kTables.clamp.data() + kClampBias;
  px[0] = clamp[(t + bu) >> 16];
  px[1] = clamp[(t - guv) >> 16];
  px[2] = clamp[(t + rv) >> 16];
  px[3] = 0;
}

// ---- fast path: 16-bit arithmetic --------------------------------------------------------

constexpr int16_t kLumaCoef = 9576;
constexpr int16_t kRedFromV = 13123;
constexpr int16_t kGreenFromU = -3218;
constexpr int16_t kGreenFromV = -6686;
constexpr int16_t kBlueFromU = 16591;

inline int16_t MulHigh(int32_t a, int16_t b) {
  return static_cast<int16_t>((a * b) >> 16);  // arithmetic shift: floor
}
inline int16_t AddSat16(int32_t a, int32_t b) {
  const int32_t s = a + b;
  return static_cast<int16_t>(s < -32768 ? -32768 : (s > 32767 ? 32767 : s));
}
inline uint8_t SatU8(int32_t v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// One pixel of the fast path, used for the tail of a row and on processors without SSE2.
inline void FastPixel(uint8_t yv, uint8_t u, uint8_t v, uint8_t* px) {
  const int32_t ys = yv > 16 ? yv - 16 : 0;
  const int16_t luma = MulHigh(ys * 8, kLumaCoef);
  const int32_t u8 = (u - 128) * 8;
  const int32_t v8 = (v - 128) * 8;
  const int16_t red = AddSat16(luma, MulHigh(v8, kRedFromV));
  const int16_t green =
      AddSat16(luma, AddSat16(MulHigh(u8, kGreenFromU), MulHigh(v8, kGreenFromV)));
  const int16_t blue = AddSat16(luma, MulHigh(u8, kBlueFromU));
  px[0] = SatU8(blue);
  px[1] = SatU8(green);
  px[2] = SatU8(red);
  px[3] = 0;
}

void FastRowScalar(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out, int from,
                   int width) {
  for (int x = from; x < width; ++x) FastPixel(y[x], cb[x >> 1], cr[x >> 1], out + 4 * x);
}

#if defined(__SSE2__)
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

void FastRow(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out, int width) {
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
  FastRowScalar(y, cb, cr, out, x, width);
}
#else
void FastRow(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* out, int width) {
  FastRowScalar(y, cb, cr, out, 0, width);
}
#endif

bool ValidSize(int width, int height) {
  return width > 0 && height > 0 && (width & 1) == 0 && (height & 1) == 0;
}

std::once_flag tablesOnce;
std::once_flag detectOnce;

}  // namespace

void InitColourTables() {
  // The tables are constants built by the compiler; nothing is left to set up at run time.
  std::call_once(tablesOnce, [] {});
}

void DetectMmx() {
  std::call_once(detectOnce, [] {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
      const bool mmx = (edx >> 23) & 1;
      const bool sse2 = (edx >> 26) & 1;
      useMmxPath = (mmx && sse2) ? 1 : 0;
    }
#endif
  });
}

int ConvertPicturePortable(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int y_stride,
                           int cb_stride, int cr_stride, uint8_t* out, int width, int height,
                           int out_stride) {
  if (!ValidSize(width, height)) return 0;
  for (int k = 0; k < height / 2; ++k) {
    const uint8_t* y0 = y + static_cast<ptrdiff_t>(2 * k) * y_stride;
    const uint8_t* y1 = y0 + y_stride;
    const uint8_t* u = cb + static_cast<ptrdiff_t>(k) * cb_stride;
    const uint8_t* v = cr + static_cast<ptrdiff_t>(k) * cr_stride;
    uint8_t* o0 = out + static_cast<ptrdiff_t>(2 * k) * out_stride;
    uint8_t* o1 = o0 + out_stride;
    for (int j = 0; j < width / 2; ++j) {
      const int32_t rv = kTables.crToRed[v[j]];
      const int32_t guv = kTables.cbToGreen[u[j]] + kTables.crToGreen[v[j]];
      const int32_t bu = kTables.cbToBlue[u[j]];
      PortablePixel(kTables.y[y0[2 * j]], bu, guv, rv, o0 + 8 * j);
      PortablePixel(kTables.y[y0[2 * j + 1]], bu, guv, rv, o0 + 8 * j + 4);
      PortablePixel(kTables.y[y1[2 * j]], bu, guv, rv, o1 + 8 * j);
      PortablePixel(kTables.y[y1[2 * j + 1]], bu, guv, rv, o1 + 8 * j + 4);
    }
  }
  return 1;
}

int ConvertPictureMmx(const uint8_t* y, int y_stride, const uint8_t* cb, const uint8_t* cr,
                      int cb_stride, int cr_stride, uint8_t* out, int width, int height,
                      int out_stride) {
  if (!ValidSize(width, height)) return 0;
  for (int row = 0; row < height; ++row) {
    FastRow(y + static_cast<ptrdiff_t>(row) * y_stride,
            cb + static_cast<ptrdiff_t>(row / 2) * cb_stride,
            cr + static_cast<ptrdiff_t>(row / 2) * cr_stride,
            out + static_cast<ptrdiff_t>(row) * out_stride, width);
  }
  return 1;
}

int ConvertPicture(const uint8_t* y, int yStride, const uint8_t* cb, const uint8_t* cr, int cStride,
                   uint8_t* out, int width, int height) {
  DetectMmx();
  if (useMmxPath) {
    return ConvertPictureMmx(y, yStride, cb, cr, cStride, cStride, out, width, height, width * 4);
  }
  return ConvertPicturePortable(y, cb, cr, yStride, cStride, cStride, out, width, height,
                                width * 4);
}

}  // namespace vexlor::colour
