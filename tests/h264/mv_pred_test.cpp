// Motion vector prediction: hand-made neighbourhoods for the rules that are easy to get wrong,
// and random macroblocks against a model that locates neighbours by luma sample position and
// tracks which partitions of the macroblock are already decoded.
#include "recon/mv_pred.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace vexlor::h264 {
namespace {

constexpr int kW = 48, kH = 48;  // 3 x 3 macroblocks; tests work on the centre one
constexpr int kW4 = kW / 4;
constexpr int kAll = kAvailLeft | kAvailAbove | kAvailAboveRight | kAvailAboveLeft;

struct MotionFixture {
  PictureMbInfo info;
  Picture pics[3];
  Picture* refList[kMaxRefListEntries] = {};
  std::unique_ptr<MacroblockState> mb = std::make_unique<MacroblockState>();
  int32_t mvd[16][2] = {};

  MotionFixture() {
    info.widthMbs = kW / 16;
    info.heightMbs = kH / 16;
    info.refIdx4x4.assign(kW4 * (kH / 4), -1);
    info.refUid4x4.assign(kW4 * (kH / 4), 0);
    info.mv4x4.assign(2 * kW4 * (kH / 4), 0);
    for (int i = 0; i < 3; ++i) {
      pics[i].uid = 10 + static_cast<uint32_t>(i);
      refList[i] = &pics[i];
    }
    *mb = MacroblockState{};
    mb->mbX = 1;
    mb->mbY = 1;
    mb->neighbourFlags = kAll;
  }
  // Block (x, y) relative to the centre macroblock's top-left block.
  int Index(int x, int y) const { return (4 + y) * kW4 + 4 + x; }
  void Set(int x, int y, int ref, int mvx, int mvy) {
    const int i = Index(x, y);
    info.refIdx4x4[i] = static_cast<int8_t>(ref);
    info.mv4x4[2 * i] = static_cast<int16_t>(mvx);
    info.mv4x4[2 * i + 1] = static_cast<int16_t>(mvy);
  }
  int Ref(int x, int y) const { return info.refIdx4x4[Index(x, y)]; }
  std::pair<int, int> Mv(int x, int y) const {
    const int i = Index(x, y);
    return {info.mv4x4[2 * i], info.mv4x4[2 * i + 1]};
  }
  SliceContext Slice(int numActive = 3) {
    SliceContext s;
    s.refList = refList;
    s.numActive = numActive;
    s.info = &info;
    s.width = kW;
    s.height = kH;
    return s;
  }
  void Derive(int mode, int numActive = 3) {
    mb->partitionMode = mode;
    DeriveInterMotion(Slice(numActive), mb.get(), mvd);
  }
};

using Mv = std::pair<int, int>;

TEST(MotionVectorPrediction, MedianAndSingleMatch) {
  MotionFixture f;
  f.Set(-1, 0, 0, 1, 2);   // A
  f.Set(0, -1, 0, 5, -3);  // B
  f.Set(4, -1, 0, 3, 9);   // C
  f.mb->refIdx[0] = 0;
  f.mvd[0][0] = 1;
  f.mvd[0][1] = 1;
  f.Derive(1);
  EXPECT_EQ(f.Mv(0, 0), Mv(4, 3));  // median (3, 2) plus the difference
  EXPECT_EQ(f.Mv(3, 3), Mv(4, 3));
  EXPECT_EQ(f.Ref(3, 3), 0);

  // Only B uses reference 1: its vector wins over the median.
  f.Set(0, -1, 1, 5, -3);
  f.mb->refIdx[0] = 1;
  f.mvd[0][0] = f.mvd[0][1] = 0;
  f.Derive(1);
  EXPECT_EQ(f.Mv(0, 0), Mv(5, -3));
  EXPECT_EQ(f.info.refUid4x4[f.Index(2, 2)], 11u);
}

TEST(MotionVectorPrediction, UnavailableNeighbours) {
  MotionFixture f;
  f.Set(-1, 0, 1, 7, 7);
  f.Set(0, -1, 0, 5, 5);
  f.Set(4, -1, 0, 6, 6);
  f.Set(-1, -1, 0, -8, 0);
  f.mb->refIdx[0] = 0;
  // Top picture row (only the left macroblock): B and C take A's values, so mvp = mvA although
  // A uses another reference.
  f.mb->neighbourFlags = kAvailLeft;
  f.Derive(1);
  EXPECT_EQ(f.Mv(0, 0), Mv(7, 7));
  // Above-right missing: D replaces C; A does not match, B and D do: median (5, 5), (7, 7), (-8,
  // 0).
  f.mb->neighbourFlags = kAvailLeft | kAvailAbove | kAvailAboveLeft;
  f.Derive(1);
  EXPECT_EQ(f.Mv(0, 0), Mv(5, 5));
  // All neighbours intra: three zero vectors.
  f.Set(-1, 0, -1, 0, 0);
  f.Set(0, -1, -1, 0, 0);
  f.Set(4, -1, -1, 0, 0);
  f.mb->neighbourFlags = kAll;
  f.Derive(1);
  EXPECT_EQ(f.Mv(0, 0), Mv(0, 0));
}

TEST(MotionVectorPrediction, DirectionalPartitions) {
  MotionFixture f;
  f.Set(-1, 0, 0, 1, 1);    // A of the upper / left partition
  f.Set(-1, 2, 0, 2, 2);    // A of the lower partition
  f.Set(-1, 1, 0, 30, 30);  // D of the lower partition
  f.Set(0, -1, 0, 9, 9);    // B of upper / left
  f.Set(2, -1, 0, 8, 8);    // C of left, B of right
  f.Set(4, -1, 0, 4, 4);    // C of the upper and of the right partition
  f.mb->refIdx[0] = 0;
  f.mb->refIdx[1] = 0;
  // 16x8: the upper partition takes B, the lower one A, although all match.
  f.Derive(2);
  EXPECT_EQ(f.Mv(0, 0), Mv(9, 9));
  EXPECT_EQ(f.Mv(0, 2), Mv(2, 2));
  // Lower partition with another reference: no directional match; C is never taken, D is the
  // left macroblock's block (-1, 1): median of A (2, 2), B = upper partition (9, 9), D (30, 30).
  f.mb->refIdx[1] = 2;
  f.Derive(2);
  EXPECT_EQ(f.Mv(0, 2), Mv(9, 9));
  EXPECT_EQ(f.Ref(0, 2), 2);
  EXPECT_EQ(f.Ref(3, 1), 0);
  // 8x16: the left partition takes A, the right one C (the above-right macroblock).
  f.mb->refIdx[1] = 0;
  f.Derive(3);
  EXPECT_EQ(f.Mv(0, 0), Mv(1, 1));
  EXPECT_EQ(f.Mv(2, 0), Mv(4, 4));
  EXPECT_EQ(f.Ref(0, 3), 0);
}

TEST(MotionVectorPrediction, SubPartitionsUseOnlyDecodedNeighbours) {
  MotionFixture f;
  // 8x4 sub-partitions in quadrant 0: the second one's C = (2, 0) is not yet decoded, so D =
  // (-1, 0) is used. A = (-1, 1), B = first sub-partition.
  f.Set(-1, 0, 0, 100, 0);  // D of the second sub-partition
  f.Set(-1, 1, 0, 50, 0);   // A of the second
  f.Set(0, -1, 0, 0, 0);
  f.Set(2, -1, 0, 0, 0);
  f.mb->refIdx[0] = f.mb->refIdx[1] = f.mb->refIdx[2] = f.mb->refIdx[3] = 0;
  f.mb->subMbType[0] = 1;
  f.mb->subMbType[1] = f.mb->subMbType[2] = f.mb->subMbType[3] = 0;
  // First: A (100, 0), B (0, 0), C (2, -1) (0, 0) -> (0, 0); plus mvd (60, 0) -> (60, 0).
  f.mvd[0][0] = 60;
  f.Derive(4);
  EXPECT_EQ(f.Mv(0, 0), Mv(60, 0));
  // Second: A (50, 0), B (60, 0), D (100, 0) -> (60, 0).
  EXPECT_EQ(f.Mv(0, 1), Mv(60, 0));
}

TEST(MotionVectorPrediction, ReferenceIndicesAndPictures) {
  MotionFixture f;
  // With one active reference the parsed indices are not used.
  f.mb->subMbType[0] = f.mb->subMbType[1] = f.mb->subMbType[2] = f.mb->subMbType[3] = 0;
  f.mb->refIdx[0] = 2;
  f.mb->refIdx[3] = 1;
  f.Derive(4, 1);
  for (int k = 0; k < 16; ++k) EXPECT_EQ(f.Ref(k & 3, k >> 2), 0);
  // P_8x8ref0 uses 0 whatever is parsed.
  f.Derive(5, 3);
  EXPECT_EQ(f.Ref(3, 3), 0);
  // Quadrants keep their own index; a list holding one picture twice gives equal uids.
  f.refList[2] = f.refList[0];
  f.Derive(4, 3);
  EXPECT_EQ(f.Ref(0, 0), 2);
  EXPECT_EQ(f.Ref(3, 3), 1);
  EXPECT_EQ(f.Ref(2, 0), 0);
  EXPECT_EQ(f.info.refUid4x4[f.Index(0, 0)], f.info.refUid4x4[f.Index(2, 0)]);
  EXPECT_EQ(f.info.refUid4x4[f.Index(3, 3)], 11u);
  // Sums are truncated to 16 bits.
  f.Set(-1, 0, 0, 32767, 0);
  f.Set(0, -1, 0, 32767, 0);
  f.Set(4, -1, 0, 32767, 0);
  f.mb->refIdx[0] = 0;
  f.mvd[0][0] = 1;
  f.Derive(1, 1);
  EXPECT_EQ(f.Mv(0, 0), Mv(-32768, 0));
  // Differences of any size from a hostile stream wrap the same way, without overflow.
  f.mvd[0][0] = 2147483647;
  f.mvd[0][1] = -2147483647 - 1;
  f.Derive(1, 1);
  EXPECT_EQ(f.Mv(0, 0), Mv(static_cast<int16_t>(32767 + 65535), 0));
}

TEST(MotionVectorPrediction, SkipVector) {
  MotionFixture f;
  f.Set(-1, 0, 0, 3, 0);
  f.Set(0, -1, 1, -5, 2);
  f.Set(4, -1, 0, 7, 1);
  // Left picture edge: zero by rule.
  f.mb->neighbourFlags = kAll & ~kAvailLeft;
  EXPECT_TRUE(DerivePSkipMotion(f.Slice(), f.mb.get()));
  EXPECT_EQ(f.Mv(2, 2), Mv(0, 0));
  EXPECT_EQ(f.info.refUid4x4[f.Index(1, 3)], 10u);
  // Both neighbours non-zero: 16x16 prediction for reference 0; A and C match -> median
  // of (3, 0), (-5, 2), (7, 1) = (3, 1).
  f.mb->neighbourFlags = kAll;
  EXPECT_FALSE(DerivePSkipMotion(f.Slice(), f.mb.get()));
  EXPECT_EQ(f.Mv(3, 3), Mv(3, 1));
  // A with reference 0 and a zero vector: zero by rule.
  f.Set(-1, 0, 0, 0, 0);
  EXPECT_TRUE(DerivePSkipMotion(f.Slice(), f.mb.get()));
  // An intra neighbour counts as non-zero; a predicted (0, 0) still reports false.
  f.Set(-1, 0, -1, 0, 0);
  f.Set(0, -1, 0, 0, 4);
  f.Set(4, -1, 0, 0, 0);
  EXPECT_FALSE(DerivePSkipMotion(f.Slice(), f.mb.get()));
  EXPECT_EQ(f.Mv(0, 0), Mv(0, 0));
}

// ---- Random macroblocks against a position-based model -------------------------------------

struct ModelPart {
  int x, y, w, h;  // luma samples, relative to the macroblock
  int mbPartIdx;
};

struct ModelNeighbour {
  bool available;
  int ref, mvx, mvy;
};

// The model's view of the data: the fixture's arrays before the call, plus the blocks of the
// current macroblock decoded so far.
struct Model {
  const MotionFixture* f;
  std::vector<int8_t> ref;
  std::vector<int16_t> mv;
  int owner[16];  // decoding position of the partition covering each block
  int flags;

  ModelNeighbour At(int xN, int yN, int current) const {
    bool available;
    if (xN < 0 && yN < 0) {
      available = flags & kAvailAboveLeft;
    } else if (xN < 0 && yN < 16) {
      available = flags & kAvailLeft;
    } else if (xN < 16 && yN < 0) {
      available = flags & kAvailAbove;
    } else if (xN < 16 && yN < 16) {
      available = owner[(yN >> 2) * 4 + (xN >> 2)] < current;
    } else if (yN < 0) {
      available = flags & kAvailAboveRight;
    } else {
      available = false;
    }
    if (!available) return {false, -1, 0, 0};
    const int i = f->Index(xN >> 2, yN >> 2);
    return {true, ref[i], mv[2 * i], mv[2 * i + 1]};
  }

  void Predict(const ModelPart& p, int mbW, int mbH, int current, int cur, int* mx, int* my) const {
    ModelNeighbour a = At(p.x - 1, p.y, current);
    ModelNeighbour b = At(p.x, p.y - 1, current);
    ModelNeighbour c = At(p.x + p.w, p.y - 1, current);
    if (!c.available) c = At(p.x - 1, p.y - 1, current);
    if (mbW == 16 && mbH == 8 && p.mbPartIdx == 0 && b.ref == cur) {
      *mx = b.mvx, *my = b.mvy;
    } else if (mbW == 16 && mbH == 8 && p.mbPartIdx == 1 && a.ref == cur) {
      *mx = a.mvx, *my = a.mvy;
    } else if (mbW == 8 && mbH == 16 && p.mbPartIdx == 0 && a.ref == cur) {
      *mx = a.mvx, *my = a.mvy;
    } else if (mbW == 8 && mbH == 16 && p.mbPartIdx == 1 && c.ref == cur) {
      *mx = c.mvx, *my = c.mvy;
    } else {
      if (!b.available && !c.available && a.available) b = c = a;
      const int n = (a.ref == cur) + (b.ref == cur) + (c.ref == cur);
      if (n == 1) {
        const ModelNeighbour& m = a.ref == cur ? a : (b.ref == cur ? b : c);
        *mx = m.mvx, *my = m.mvy;
      } else {
        auto med = [](int u, int v, int w) {
          return u + v + w - std::min({u, v, w}) - std::max({u, v, w});
        };
        *mx = med(a.mvx, b.mvx, c.mvx);
        *my = med(a.mvy, b.mvy, c.mvy);
      }
    }
  }
};

TEST(MotionVectorPrediction, RandomMacroblocksMatchModel) {
  std::mt19937 rng(77);
  for (int iter = 0; iter < 3000; ++iter) {
    MotionFixture f;
    // Random neighbourhood: intra or one of three references, small vectors so that equal
    // components and matches are common.
    for (int y = -1; y < 4; ++y) {
      for (int x = -1; x < 5; ++x) {
        if (x >= 0 && x < 4 && y >= 0) continue;
        const int ref = static_cast<int>(rng() % 4) - 1;
        f.Set(x, y, ref, ref < 0 ? 0 : static_cast<int>(rng() % 9) - 4,
              ref < 0 ? 0 : static_cast<int>(rng() % 9) - 4);
      }
    }
    f.mb->neighbourFlags = static_cast<int>(rng() % 16);
    const int mode = 1 + static_cast<int>(rng() % 5);
    const int numActive = 1 + static_cast<int>(rng() % 3);
    for (int q = 0; q < 4; ++q) {
      f.mb->refIdx[q] = static_cast<int>(rng() % numActive);
      f.mb->subMbType[q] = static_cast<int>(rng() % 4);
    }
    for (auto& d : f.mvd)
      d[0] = static_cast<int>(rng() % 7) - 3, d[1] = static_cast<int>(rng() % 7) - 3;

    // Model: partitions in decoding order with their reference.
    Model m{&f, f.info.refIdx4x4, f.info.mv4x4, {}, f.mb->neighbourFlags};
    std::vector<ModelPart> parts;
    std::vector<int> partRef;
    int mbW = 8, mbH = 8;
    auto quadRef = [&](int q) {
      if (numActive < 2 || mode == 5) return 0;
      if (mode == 1) return f.mb->refIdx[0];
      if (mode == 2) return f.mb->refIdx[q >> 1];
      if (mode == 3) return f.mb->refIdx[q & 1];
      return f.mb->refIdx[q];
    };
    if (mode <= 3) {
      mbW = mode == 3 ? 8 : 16;
      mbH = mode == 2 ? 8 : 16;
      for (int y = 0, idx = 0; y < 16; y += mbH) {
        for (int x = 0; x < 16; x += mbW, ++idx) {
          parts.push_back({x, y, mbW, mbH, idx});
          partRef.push_back(quadRef((y / 8) * 2 + x / 8));
        }
      }
    } else {
      for (int q = 0; q < 4; ++q) {
        const int t = f.mb->subMbType[q];
        const int sw = (t == 0 || t == 1) ? 8 : 4, sh = (t == 0 || t == 2) ? 8 : 4;
        for (int y = 0; y < 8; y += sh) {
          for (int x = 0; x < 8; x += sw) {
            parts.push_back({8 * (q & 1) + x, 8 * (q >> 1) + y, sw, sh, q});
            partRef.push_back(quadRef(q));
          }
        }
      }
    }
    for (int k = 0; k < 16; ++k) m.owner[k] = 99;
    for (size_t p = 0; p < parts.size(); ++p) {
      for (int y = parts[p].y; y < parts[p].y + parts[p].h; y += 4) {
        for (int x = parts[p].x; x < parts[p].x + parts[p].w; x += 4) {
          m.owner[(y / 4) * 4 + x / 4] = static_cast<int>(p);
        }
      }
    }
    for (size_t p = 0; p < parts.size(); ++p) {
      int mx, my;
      m.Predict(parts[p], mbW, mbH, static_cast<int>(p), partRef[p], &mx, &my);
      mx = static_cast<int16_t>(mx + f.mvd[p][0]);
      my = static_cast<int16_t>(my + f.mvd[p][1]);
      for (int y = parts[p].y; y < parts[p].y + parts[p].h; y += 4) {
        for (int x = parts[p].x; x < parts[p].x + parts[p].w; x += 4) {
          const int i = f.Index(x / 4, y / 4);
          m.ref[i] = static_cast<int8_t>(partRef[p]);
          m.mv[2 * i] = static_cast<int16_t>(mx);
          m.mv[2 * i + 1] = static_cast<int16_t>(my);
        }
      }
    }

    f.Derive(mode, numActive);
    for (int k = 0; k < 16; ++k) {
      const int i = f.Index(k & 3, k >> 2);
      ASSERT_EQ(f.info.refIdx4x4[i], m.ref[i]) << "iter " << iter << " block " << k;
      ASSERT_EQ(f.info.mv4x4[2 * i], m.mv[2 * i])
          << "iter " << iter << " mode " << mode << " block " << k;
      ASSERT_EQ(f.info.mv4x4[2 * i + 1], m.mv[2 * i + 1]) << "iter " << iter << " block " << k;
      ASSERT_EQ(f.info.refUid4x4[i], 10u + static_cast<uint32_t>(m.ref[i]));
    }
  }
}

}  // namespace
}  // namespace vexlor::h264
