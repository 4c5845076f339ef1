// Motion-compensated prediction against a sample-by-sample model of the interpolation equations,
// with every reference coordinate clamped to the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "dsp/dsp_mc.h"
#include "recon/inter_pred.h"

namespace vexlor::h264 {
namespace {

struct Plane {
  const uint8_t* p;
  int w, h;
  int At(int x, int y) const { return p[std::clamp(y, 0, h - 1) * w + std::clamp(x, 0, w - 1)]; }
};

int Clip1(int v) {
  return std::clamp(v, 0, 255);
}

// Luma sample at integer position (x, y) plus fraction (xf, yf), named as in the standard's
// figure: G integer, b/h half samples, j centre, the rest quarter samples.
int ModelLuma(const Plane& g, int x, int y, int xf, int yf) {
  auto b1 = [&](int xx, int yy) {
    return g.At(xx - 2, yy) - 5 * g.At(xx - 1, yy) + 20 * g.At(xx, yy) + 20 * g.At(xx + 1, yy) -
           5 * g.At(xx + 2, yy) + g.At(xx + 3, yy);
  };
  auto h1 = [&](int xx, int yy) {
    return g.At(xx, yy - 2) - 5 * g.At(xx, yy - 1) + 20 * g.At(xx, yy) + 20 * g.At(xx, yy + 1) -
           5 * g.At(xx, yy + 2) + g.At(xx, yy + 3);
  };
  const int G = g.At(x, y);
  const int b = Clip1((b1(x, y) + 16) >> 5);
  const int h = Clip1((h1(x, y) + 16) >> 5);
  const int m = Clip1((h1(x + 1, y) + 16) >> 5);
  const int s = Clip1((b1(x, y + 1) + 16) >> 5);
  const int j1 = h1(x - 2, y) - 5 * h1(x - 1, y) + 20 * h1(x, y) + 20 * h1(x + 1, y) -
                 5 * h1(x + 2, y) + h1(x + 3, y);
  const int j = Clip1((j1 + 512) >> 10);
  auto avg = [](int u, int v) { return (u + v + 1) >> 1; };
  switch (4 * yf + xf) {
    case 0:
      return G;
    case 1:
      return avg(G, b);  // a
    case 2:
      return b;
    case 3:
      return avg(g.At(x + 1, y), b);  // c
    case 4:
      return avg(G, h);  // d
    case 5:
      return avg(b, h);  // e
    case 6:
      return avg(b, j);  // f
    case 7:
      return avg(b, m);  // g
    case 8:
      return h;
    case 9:
      return avg(h, j);  // i
    case 10:
      return j;
    case 11:
      return avg(j, m);  // k
    case 12:
      return avg(g.At(x, y + 1), h);  // n
    case 13:
      return avg(h, s);  // p
    case 14:
      return avg(j, s);  // q
    default:
      return avg(m, s);  // r
  }
}

int ModelChroma(const Plane& c, int x, int y, int xf, int yf) {
  return ((8 - xf) * (8 - yf) * c.At(x, y) + xf * (8 - yf) * c.At(x + 1, y) +
          (8 - xf) * yf * c.At(x, y + 1) + xf * yf * c.At(x + 1, y + 1) + 32) >>
         6;
}

struct TestPicture {
  Picture pic;
  explicit TestPicture(int w, int h, std::mt19937* rng, uint32_t uid) {
    pic.width = w;
    pic.height = h;
    pic.uid = uid;
    pic.planes.resize(static_cast<size_t>(w * h * 3 / 2));
    // Smooth content with noise, so that the filters see both flat areas and steps.
    for (size_t i = 0; i < pic.planes.size(); ++i) {
      pic.planes[i] = static_cast<uint8_t>((*rng)() & 0xFF);
    }
    pic.luma = pic.planes.data();
    pic.cb = pic.luma + w * h;
    pic.cr = pic.cb + w * h / 4;
  }
};

PictureMbInfo MakeInfo(int w, int h) {
  PictureMbInfo info;
  info.widthMbs = w / 16;
  info.heightMbs = h / 16;
  const size_t blocks = static_cast<size_t>(w / 4) * static_cast<size_t>(h / 4);
  info.refIdx4x4.assign(blocks, 0);
  info.refUid4x4.assign(blocks, 0);
  info.mv4x4.assign(2 * blocks, 0);
  return info;
}

// What PredictInter reads of the slice: the references, the side information and the size.
SliceContext InterSlice(PictureMbInfo* info, Picture* const* refs, int w, int h) {
  SliceContext s;
  s.refList = refs;
  s.info = info;
  s.width = w;
  s.height = h;
  return s;
}

// Predicts macroblock (mbX, mbY) and compares it with the model, block by block.
void CheckMacroblock(PictureMbInfo& info, Picture* const* refs, int w, int h, int mbX, int mbY) {
  auto mb = std::make_unique<MacroblockState>();
  mb->mbX = mbX;
  mb->mbY = mbY;
  PredictInter(InterSlice(&info, refs, w, h), mb.get());
  for (int by = 0; by < 4; ++by) {
    for (int bx = 0; bx < 4; ++bx) {
      const int i = (4 * mbY + by) * (w / 4) + 4 * mbX + bx;
      const Picture* r = refs[info.refIdx4x4[i]];
      const int mvx = info.mv4x4[2 * i], mvy = info.mv4x4[2 * i + 1];
      const Plane luma{r->luma, w, h};
      for (int k = 0; k < 4; ++k) {
        for (int l = 0; l < 4; ++l) {
          const int qx = 4 * (16 * mbX + 4 * bx + l) + mvx;
          const int qy = 4 * (16 * mbY + 4 * by + k) + mvy;
          ASSERT_EQ(mb->pred[(4 * by + k) * 16 + 4 * bx + l],
                    ModelLuma(luma, qx >> 2, qy >> 2, qx & 3, qy & 3))
              << "mb " << mbX << "," << mbY << " block " << bx << "," << by << " mv " << mvx << ","
              << mvy;
        }
      }
      for (int plane = 0; plane < 2; ++plane) {
        const Plane c{plane ? r->cr : r->cb, w / 2, h / 2};
        for (int k = 0; k < 2; ++k) {
          for (int l = 0; l < 2; ++l) {
            const int cx = 8 * (8 * mbX + 2 * bx + l) + mvx;
            const int cy = 8 * (8 * mbY + 2 * by + k) + mvy;
            ASSERT_EQ(mb->pred[256 + (2 * by + k) * 16 + 8 * plane + 2 * bx + l],
                      ModelChroma(c, cx >> 3, cy >> 3, cx & 7, cy & 7))
                << "chroma " << plane << " mb " << mbX << "," << mbY << " block " << bx << "," << by
                << " mv " << mvx << "," << mvy;
          }
        }
      }
    }
  }
}

// Gives the macroblock a random partition structure: 16x16, 16x8, 8x16, or per quadrant 8x8,
// 8x4, 4x8 or 4x4, each part with its own reference and vector.
void RandomMotion(PictureMbInfo* info, int w, int mbX, int mbY, int numRefs, std::mt19937* rng,
                  int range) {
  std::uniform_int_distribution<int> mvDist(-range, range);
  std::uniform_int_distribution<int> far(-4096, 4095);
  auto setRect = [&](int x, int y, int bw, int bh) {
    const int ref = static_cast<int>((*rng)() % numRefs);
    const bool wild = (*rng)() % 8 == 0;
    const int mvx = wild ? far(*rng) : mvDist(*rng);
    const int mvy = wild ? far(*rng) : mvDist(*rng);
    for (int j = 0; j < bh; ++j) {
      for (int i = 0; i < bw; ++i) {
        const int k = (4 * mbY + y + j) * (w / 4) + 4 * mbX + x + i;
        info->refIdx4x4[k] = static_cast<int8_t>(ref);
        info->mv4x4[2 * k] = static_cast<int16_t>(mvx);
        info->mv4x4[2 * k + 1] = static_cast<int16_t>(mvy);
      }
    }
  };
  switch ((*rng)() % 4) {
    case 0:
      setRect(0, 0, 4, 4);
      break;
    case 1:
      setRect(0, 0, 4, 2), setRect(0, 2, 4, 2);
      break;
    case 2:
      setRect(0, 0, 2, 4), setRect(2, 0, 2, 4);
      break;
    default:
      for (int q = 0; q < 4; ++q) {
        const int qx = 2 * (q & 1), qy = 2 * (q >> 1);
        switch ((*rng)() % 4) {
          case 0:
            setRect(qx, qy, 2, 2);
            break;
          case 1:
            setRect(qx, qy, 2, 1), setRect(qx, qy + 1, 2, 1);
            break;
          case 2:
            setRect(qx, qy, 1, 2), setRect(qx + 1, qy, 1, 2);
            break;
          default:
            for (int b = 0; b < 4; ++b) setRect(qx + (b & 1), qy + (b >> 1), 1, 1);
        }
      }
  }
}

TEST(MotionCompensation, MatchesModelForRandomPartitionsAndVectors) {
  std::mt19937 rng(1234);
  // A picture of several macroblocks, and one narrower than a filter window.
  for (auto [w, h] : {std::pair{64, 48}, std::pair{16, 16}}) {
    TestPicture r0(w, h, &rng, 1), r1(w, h, &rng, 2);
    Picture* refs[3] = {&r0.pic, &r1.pic, nullptr};
    PictureMbInfo info = MakeInfo(w, h);
    // Small vectors keep most windows inside the picture (read in place), larger ones cross the
    // edges, and one vector in eight points far outside.
    for (int range : {8, 40, 200}) {
      for (int iter = 0; iter < 60; ++iter) {
        for (int mbY = 0; mbY < h / 16; ++mbY) {
          for (int mbX = 0; mbX < w / 16; ++mbX) {
            RandomMotion(&info, w, mbX, mbY, 2, &rng, range);
            CheckMacroblock(info, refs, w, h, mbX, mbY);
            if (HasFatalFailure()) return;
          }
        }
      }
    }
  }
}

TEST(MotionCompensation, WindowsAtThePictureEdge) {
  // Every fraction at every integer offset around the right and bottom edges, where the choice
  // between reading in place and the clamped copy is made, for every block size.
  std::mt19937 rng(99);
  const int w = 32, h = 32;
  TestPicture r0(w, h, &rng, 1);
  Picture* refs[2] = {&r0.pic, nullptr};
  PictureMbInfo info = MakeInfo(w, h);
  for (int shape = 0; shape < 3; ++shape) {
    for (int dx = -12; dx <= 12; ++dx) {
      for (int frac = 0; frac < 16; ++frac) {
        const int mvx = 4 * dx + (frac & 3);
        const int mvy = 4 * (dx / 2) + (frac >> 2);
        for (int k = 0; k < 16 * 4 * 2; k += 2) {
          info.mv4x4[k] = static_cast<int16_t>(mvx);
          info.mv4x4[k + 1] = static_cast<int16_t>(mvy);
        }
        // Break the macroblocks into smaller rectangles by giving some blocks another vector.
        auto setX = [&](int bx, int by, int v) {
          info.mv4x4[2 * (by * (w / 4) + bx)] = static_cast<int16_t>(v);
        };
        if (shape >= 1) setX(7, 5, mvx + 1), setX(3, 1, mvx + 1);
        if (shape >= 2) setX(4, 4, -mvx), setX(0, 2, -mvx - 3);
        CheckMacroblock(info, refs, w, h, 1, 1);
        CheckMacroblock(info, refs, w, h, 0, 0);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(MotionCompensation, FarOutsideReplicatesTheEdge) {
  std::mt19937 rng(5);
  const int w = 32, h = 16;
  TestPicture r0(w, h, &rng, 1);
  Picture* refs[2] = {&r0.pic, nullptr};
  PictureMbInfo info = MakeInfo(w, h);
  for (int k = 0; k < static_cast<int>(info.mv4x4.size()); k += 2) {
    info.mv4x4[k] = -4096;
    info.mv4x4[k + 1] = 0;
  }
  auto mb = std::make_unique<MacroblockState>();
  mb->mbX = 0;
  mb->mbY = 0;
  PredictInter(InterSlice(&info, refs, w, h), mb.get());
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) ASSERT_EQ(mb->pred[16 * y + x], r0.pic.luma[y * w]);
  }
}

TEST(MotionCompensation, MissingReferencePredictsGrey) {
  const int w = 16, h = 16;
  PictureMbInfo info = MakeInfo(w, h);
  Picture* refs[2] = {nullptr, nullptr};
  auto mb = std::make_unique<MacroblockState>();
  mb->mbX = 0;
  mb->mbY = 0;
  PredictInter(InterSlice(&info, refs, w, h), mb.get());
  for (int i = 0; i < 384; ++i) ASSERT_EQ(mb->pred[i], 128) << i;
}

}  // namespace
}  // namespace vexlor::h264
