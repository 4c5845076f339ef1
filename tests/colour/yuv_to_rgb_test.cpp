// Both colour conversions against straightforward per-pixel models of their arithmetic.
#include "colour/yuv_to_rgb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace vexlor::colour {
namespace {

using Bgr = std::array<int, 3>;

int Clamp255(int64_t v) {
  return static_cast<int>(std::clamp<int64_t>(v, 0, 255));
}
int64_t FloorDiv65536(int64_t v) {
  return v >= 0 ? v / 65536 : -((-v + 65535) / 65536);
}

// 16.16 fixed point with one rounding per colour.
Bgr PortableModel(int y, int u, int v) {
  const int64_t t = 76309LL * (y - 16);
  return {Clamp255(FloorDiv65536(t + 132201LL * (u - 128))),
          Clamp255(FloorDiv65536(t - 25675LL * (u - 128) - 53279LL * (v - 128))),
          Clamp255(FloorDiv65536(t + 104597LL * (v - 128)))};
}

// Each product floored on its own, saturating 16-bit sums, then 0..255.
Bgr FastModel(int y, int u, int v) {
  auto term = [](int x, int coef) { return FloorDiv65536(int64_t{x} * 8 * coef); };
  auto sat16 = [](int64_t s) { return std::clamp<int64_t>(s, -32768, 32767); };
  const int64_t luma = term(std::max(y - 16, 0), 9576);
  const int64_t red = sat16(luma + term(v - 128, 13123));
  const int64_t green = sat16(luma + sat16(term(u - 128, -3218) + term(v - 128, -6686)));
  const int64_t blue = sat16(luma + term(u - 128, 16591));
  return {Clamp255(blue), Clamp255(green), Clamp255(red)};
}

struct Planes {
  int width, height;
  std::vector<uint8_t> y, cb, cr;
  Planes(int w, int h) : width(w), height(h), y(w * h), cb(w / 2 * (h / 2)), cr(w / 2 * (h / 2)) {}
  void Fill(std::mt19937* rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto* p : {&y, &cb, &cr})
      for (auto& s : *p) s = static_cast<uint8_t>(byte(*rng));
  }
  void FillUniform(int yv, int u, int v) {
    std::fill(y.begin(), y.end(), yv);
    std::fill(cb.begin(), cb.end(), u);
    std::fill(cr.begin(), cr.end(), v);
  }
};

enum class Path { kPortable, kFast };

// Converts into a buffer with a guard area behind the picture, checks that the guard is intact.
std::vector<uint8_t> Convert(const Planes& p, Path path) {
  const size_t bytes = size_t(p.width) * p.height * 4;
  std::vector<uint8_t> out(bytes + 64, 0xAB);
  const int w = p.width;
  const int r = path == Path::kPortable
                    ? ConvertPicturePortable(p.y.data(), p.cb.data(), p.cr.data(), w, w / 2, w / 2,
                                             out.data(), w, p.height, w * 4)
                    : ConvertPictureMmxArithmetic(p.y.data(), w, p.cb.data(), p.cr.data(), w / 2,
                                                  w / 2, out.data(), w, p.height, w * 4);
  EXPECT_EQ(r, 1);
  for (size_t i = bytes; i < out.size(); ++i) EXPECT_EQ(out[i], 0xAB) << "written past the end";
  out.resize(bytes);
  return out;
}

void ExpectMatchesModel(const Planes& p, Path path) {
  const std::vector<uint8_t> out = Convert(p, path);
  int mismatches = 0;
  for (int row = 0; row < p.height; ++row) {
    for (int x = 0; x < p.width; ++x) {
      const int yv = p.y[row * p.width + x];
      const int c = (row / 2) * (p.width / 2) + x / 2;
      const Bgr want = path == Path::kPortable ? PortableModel(yv, p.cb[c], p.cr[c])
                                               : FastModel(yv, p.cb[c], p.cr[c]);
      const uint8_t* px = &out[(size_t(row) * p.width + x) * 4];
      if ((px[0] != want[0] || px[1] != want[1] || px[2] != want[2] || px[3] != 0) &&
          ++mismatches <= 5) {
        ADD_FAILURE() << p.width << "x" << p.height << " pixel (" << x << "," << row << ") Y " << yv
                      << " Cb " << int(p.cb[c]) << " Cr " << int(p.cr[c]) << ": got " << int(px[0])
                      << "," << int(px[1]) << "," << int(px[2]) << "," << int(px[3]) << " want "
                      << want[0] << "," << want[1] << "," << want[2] << ",0";
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(ColourConversion, RandomPlanesMatchTheirModels) {
  std::mt19937 rng(1234);
  // Widths exercise the 16- and 8-pixel steps and the one-pixel tail of the fast path.
  for (auto [w, h] :
       {std::pair{16, 16}, {352, 240}, {8, 2}, {24, 6}, {18, 4}, {2, 2}, {30, 10}, {176, 144}}) {
    Planes p(w, h);
    p.Fill(&rng);
    ExpectMatchesModel(p, Path::kPortable);
    ExpectMatchesModel(p, Path::kFast);
  }
}

TEST(ColourConversion, EverySampleCombinationMatchesTheModels) {
  // All 256 luma values against a sweep of chroma pairs, including both extremes.
  Planes p(256, 2);
  for (int uv = 0; uv < 256; uv += 5) {
    for (int x = 0; x < 256; ++x) p.y[x] = p.y[256 + x] = static_cast<uint8_t>(x);
    for (int j = 0; j < 128; ++j) {
      p.cb[j] = static_cast<uint8_t>(uv);
      p.cr[j] = static_cast<uint8_t>((uv * 7 + j) & 255);
    }
    ExpectMatchesModel(p, Path::kPortable);
    ExpectMatchesModel(p, Path::kFast);
  }
}

TEST(ColourConversion, KnownColours) {
  struct Case {
    int y, u, v;
    Bgr portable, fast;
  };
  const Case cases[] = {
      {16, 128, 128, {0, 0, 0}, {0, 0, 0}},               // black
      {235, 128, 128, {254, 254, 254}, {255, 255, 255}},  // white differs by one level
      {0, 128, 128, {0, 0, 0}, {0, 0, 0}},                // below black
      {255, 255, 255, {255, 125, 255}, {255, 125, 255}},  // red and blue clamp
  };
  for (const Case& c : cases) {
    Planes p(16, 2);
    p.FillUniform(c.y, c.u, c.v);
    for (Path path : {Path::kPortable, Path::kFast}) {
      const std::vector<uint8_t> out = Convert(p, path);
      const Bgr& want = path == Path::kPortable ? c.portable : c.fast;
      for (size_t i = 0; i < out.size(); i += 4) {
        ASSERT_EQ((Bgr{out[i], out[i + 1], out[i + 2]}), want)
            << "Y " << c.y << " Cb " << c.u << " Cr " << c.v << " path " << int(path);
        ASSERT_EQ(out[i + 3], 0);
      }
    }
  }
}

TEST(ColourConversion, RejectsSizesItCannotConvertWithoutWriting) {
  std::vector<uint8_t> plane(64, 128), out(64 * 4, 0x11);
  for (auto [w, h] : {std::pair{0, 2}, {2, 0}, {3, 2}, {4, 3}, {-2, 2}}) {
    EXPECT_EQ(ConvertPicturePortable(plane.data(), plane.data(), plane.data(), 8, 4, 4, out.data(),
                                     w, h, 32),
              0);
    EXPECT_EQ(ConvertPictureMmxArithmetic(plane.data(), 8, plane.data(), plane.data(), 4, 4,
                                          out.data(), w, h, 32),
              0);
  }
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0x11; }));
}

TEST(ColourConversion, DispatchFollowsTheFeatureTest) {
  DetectMmx();
  const int chosen = useMmxArithmetic;
  DetectMmx();  // runs once: a later call changes nothing
  EXPECT_EQ(useMmxArithmetic, chosen);
#if defined(__x86_64__)
  EXPECT_EQ(useMmxArithmetic, 1);
#endif
  std::mt19937 rng(7);
  Planes p(48, 6);
  p.Fill(&rng);
  std::vector<uint8_t> out(48 * 6 * 4);
  ASSERT_EQ(ConvertPicture(p.y.data(), p.cb.data(), p.cr.data(), out.data(), 48, 6), 1);
  EXPECT_EQ(out, Convert(p, chosen ? Path::kFast : Path::kPortable));
}

}  // namespace
}  // namespace vexlor::colour
