// Intra prediction: mode derivation and the availability rules of the Intra 4x4 loop, the 16x16
// and chroma modes with missing neighbours, and plane prediction.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dsp/dsp_transform.h"
#include "recon/intra_pred.h"

namespace vexlor::h264 {
namespace {

TEST(IntraModes, DerivationFollowsNeighboursAndAvailability) {
  uint8_t left[4] = {8, 0, 3, 2};
  uint8_t top[4] = {1, 4, 2, 6};
  int8_t modes[16];
  std::memset(modes, -1, sizeof(modes));
  modes[1] = 0;  // rem 0 < predicted 1: mode 0
  modes[6] = 1;  // rem 1 >= predicted 0 (min of left 0, above 0): mode 2
  DeriveIntra4x4Modes(3, modes, left, top);
  const int8_t want[16] = {1, 0, 0, 0,  // min(8,1)=1; rem 0; min(0,2)=0; min(0,6)=0
                           0, 0, 2, 0,  // min(0,1)=0; 0; rem 1 -> 2; min(2,0)=0
                           0, 0, 0, 0,  // left 3: min(3,0)=0 ...
                           0, 0, 0, 0};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(modes[i], want[i]) << i;
  EXPECT_EQ(left[0], 0);
  EXPECT_EQ(left[3], 0);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(top[x], want[12 + x]);

  // Without the left macroblock, column 0 predicts 2; without either, row 0 too.
  uint8_t left2[4] = {0, 0, 0, 0}, top2[4] = {0, 0, 0, 0};
  std::memset(modes, -1, sizeof(modes));
  DeriveIntra4x4Modes(2, modes, left2, top2);  // above only
  EXPECT_EQ(modes[0], 2);
  EXPECT_EQ(modes[1], 0);  // min(left = block 0 = 2, above 0)
  EXPECT_EQ(modes[4], 2);
  std::memset(modes, -1, sizeof(modes));
  DeriveIntra4x4Modes(0, modes, left2, top2);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(modes[i], 2);
  // rem codes at or above the predicted mode skip it: predicted 2, rem 2 -> 3, rem 7 -> 8.
  std::memset(modes, -1, sizeof(modes));
  modes[0] = 2;
  modes[5] = 7;
  DeriveIntra4x4Modes(0, modes, left2, top2);
  EXPECT_EQ(modes[0], 3);
  EXPECT_EQ(modes[5], 8);
}

// A 48x48 luma plane with a recognisable pattern around macroblock (1, 1).
struct TestPlane {
  static constexpr int kW = 48;
  std::vector<uint8_t> p = std::vector<uint8_t>(kW * kW);
  TestPlane() {
    for (int i = 0; i < kW * kW; ++i) p[i] = static_cast<uint8_t>((i * 37 + i / kW * 11) & 0xFF);
  }
  uint8_t At(int x, int y) const { return p[y * kW + x]; }
};

MacroblockState IntraMb(int mbX, int mbY) {
  MacroblockState mb;
  std::memset(static_cast<void*>(&mb), 0, sizeof(mb));
  mb.mbX = mbX;
  mb.mbY = mbY;
  mb.pixX = 16 * mbX;
  mb.pixY = 16 * mbY;
  mb.qp = 28;
  return mb;
}

// Diagonal down-left from eight above samples.
uint8_t Ddl(const uint8_t* t, int x, int y) {
  if (x == 3 && y == 3) return static_cast<uint8_t>((t[6] + 3 * t[7] + 2) >> 2);
  return static_cast<uint8_t>((t[x + y] + 2 * t[x + y + 1] + t[x + y + 2] + 2) >> 2);
}

TEST(Intra4x4, AboveRightSamplesFollowDecodingOrder) {
  // Blocks 0..4 vertical (copies of the row above the macroblock); blocks 3 and 5 diagonal
  // down-left. Block 5's above-right block (2, 0) comes later in decoding order, so its E..H
  // repeat D; block 3 takes them from the above-right macroblock only when that is available.
  for (int avail : {0xF, 0xB}) {
    TestPlane pl;
    MacroblockState mb = IntraMb(1, 1);
    int8_t modes[16];
    std::memset(modes, 2, sizeof(modes));
    for (int b = 0; b <= 4; ++b) modes[b] = 0;
    modes[3] = 3;
    modes[5] = 3;
    const std::vector<uint8_t> before = pl.p;
    ReconstructIntra4x4(&mb, pl.p.data(), TestPlane::kW, modes, avail);
    auto above = [&](int x) { return before[15 * TestPlane::kW + 16 + x]; };
    // Block 5 at (4, 4): A..D = row 3 of block 1 = above(4..7); E..H = D.
    uint8_t t5[8];
    for (int i = 0; i < 4; ++i) t5[i] = above(4 + i);
    for (int i = 4; i < 8; ++i) t5[i] = above(7);
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) EXPECT_EQ(pl.At(16 + 4 + x, 16 + 4 + y), Ddl(t5, x, y));
    }
    // Block 3 at (12, 0): E..H from the above-right macroblock when available.
    uint8_t t3[8];
    for (int i = 0; i < 8; ++i) t3[i] = (i < 4 || (avail & 4)) ? above(12 + i) : above(15);
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(pl.At(16 + 12 + x, 16 + y), Ddl(t3, x, y)) << "avail " << avail;
      }
    }
  }
}

TEST(Intra4x4, DcAtThePictureCorner) {
  // Macroblock (0, 0) in DC mode: block 0 has no neighbours (128 plus its residual); blocks of
  // row 0 see only their left neighbour and blocks of column 0 only the one above, so all take
  // block 0's value. The DC-only shortcut and the full transform agree.
  for (int dcOnly : {0, 1}) {
    TestPlane pl;
    MacroblockState mb = IntraMb(0, 0);
    mb.lumaCodedMask = 1;
    mb.lumaDcOnlyMask = dcOnly;
    mb.lumaCoeff[0][0] = 5;  // qp 28: 5 * (16 << 4) -> +20
    int8_t modes[16];
    std::memset(modes, 2, sizeof(modes));
    ReconstructIntra4x4(&mb, pl.p.data(), TestPlane::kW, modes, 0);
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) ASSERT_EQ(pl.At(x, y), 148) << x << "," << y;
    }
    EXPECT_EQ(mb.lumaCoeff[0][0], 0);
    // The macroblock to its right is untouched.
    EXPECT_EQ(pl.At(16, 0), TestPlane().At(16, 0));
  }
}

TEST(Intra4x4, MissingNeighboursReadAs128) {
  TestPlane pl;
  uint8_t dst[4 * kPredStride];
  const uint8_t* o = pl.p.data() + 16 * TestPlane::kW + 16;
  // Vertical with no above: 128. Above without above-right: E..H = D (visible in mode 7).
  PredictIntra4x4(dst, 0, o, TestPlane::kW, kBlkLeft);
  EXPECT_EQ(dst[0], 128);
  PredictIntra4x4(dst, 7, o, TestPlane::kW, kBlkAbove);
  const uint8_t d = pl.At(19, 15);
  EXPECT_EQ(dst[3 * kPredStride + 3], d);
  // Horizontal-up only uses the left column; L repeats below.
  PredictIntra4x4(dst, 8, o, TestPlane::kW, kBlkLeft);
  EXPECT_EQ(dst[3 * kPredStride + 3], pl.At(15, 19));
}

TEST(Intra16x16, ModesNeedTheirNeighbours) {
  TestPlane pl;
  const uint8_t* o = pl.p.data() + 16 * TestPlane::kW + 16;
  alignas(16) uint8_t pred[384];
  std::memset(pred, 7, sizeof(pred));
  EXPECT_EQ(PredictIntra16x16(pred, 0, o, TestPlane::kW, 1), -1);  // vertical, no above
  EXPECT_EQ(PredictIntra16x16(pred, 1, o, TestPlane::kW, 2), -1);  // horizontal, no left
  EXPECT_EQ(PredictIntra16x16(pred, 3, o, TestPlane::kW, 3), -1);  // plane, no above-left
  EXPECT_EQ(PredictIntraChroma(pred, o, o, TestPlane::kW, 2, 1), -1);
  EXPECT_EQ(PredictIntraChroma(pred, o, o, TestPlane::kW, 1, 2), -1);
  EXPECT_EQ(PredictIntraChroma(pred, o, o, TestPlane::kW, 3, 3), -1);
  for (uint8_t v : pred) ASSERT_EQ(v, 7);  // nothing written
  EXPECT_EQ(PredictIntra16x16(pred, 2, o, TestPlane::kW, 0), 1);
  EXPECT_EQ(pred[255], 128);
  int sumLeft = 0;
  for (int y = 0; y < 16; ++y) sumLeft += pl.At(15, 16 + y);
  EXPECT_EQ(PredictIntra16x16(pred, 2, o, TestPlane::kW, 1), 1);
  EXPECT_EQ(pred[0], (sumLeft + 8) >> 4);
  EXPECT_EQ(PredictIntra16x16(pred, 1, o, TestPlane::kW, 1), 1);
  EXPECT_EQ(pred[5 * 16 + 9], pl.At(15, 21));
}

// Fills a plane with f(x, y) around an N x N area at (16, 16) and returns its origin.
template <typename F>
const uint8_t* Ramp(TestPlane* pl, F f) {
  for (int y = -1; y < 16; ++y) {
    for (int x = -1; x < 16; ++x)
      pl->p[(16 + y) * TestPlane::kW + 16 + x] = static_cast<uint8_t>(f(x, y));
  }
  return pl->p.data() + 16 * TestPlane::kW + 16;
}

TEST(Intra16x16, PlaneReproducesALinearRampAndClips) {
  TestPlane pl;
  alignas(16) uint8_t pred[384];
  const uint8_t* o = Ramp(&pl, [](int x, int y) { return 16 + 4 * x + 2 * y; });
  ASSERT_EQ(PredictIntra16x16(pred, 3, o, TestPlane::kW, 0xF), 1);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) ASSERT_EQ(pred[y * 16 + x], 16 + 4 * x + 2 * y);
  }
  o = Ramp(&pl, [](int x, int y) { return 20 + 3 * x + 4 * y; });
  ASSERT_EQ(PredictIntraChroma(pred, o, o, TestPlane::kW, 0xF, 3), 1);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 16; ++x) ASSERT_EQ(pred[256 + y * 16 + x], 20 + 3 * (x & 7) + 4 * y);
  }
  // A step edge: the plane overshoots on both sides and clips.
  o = Ramp(&pl, [](int x, int y) { return (x >= 8 || y >= 8) ? 255 : 0; });
  ASSERT_EQ(PredictIntra16x16(pred, 3, o, TestPlane::kW, 0xF), 1);
  EXPECT_EQ(pred[0], 0);
  EXPECT_EQ(pred[255], 255);
}

TEST(IntraChroma, DcPerBlockAvailability) {
  TestPlane pl;
  const uint8_t* o = Ramp(&pl, [](int x, int y) {
    if (y < 0) return x < 4 ? 10 : 50;
    if (x < 0) return y < 4 ? 100 : 200;
    return 0;
  });
  alignas(16) uint8_t pred[384];
  struct Case {
    int avail;
    int v[4];  // blocks (0,0), (1,0), (0,1), (1,1)
  };
  const Case cases[] = {{3, {55, 50, 200, 125}},
                        {2, {10, 50, 10, 50}},
                        {1, {100, 100, 200, 200}},
                        {0, {128, 128, 128, 128}}};
  for (const Case& c : cases) {
    ASSERT_EQ(PredictIntraChroma(pred, o, o, TestPlane::kW, c.avail, 0), 1);
    for (int comp = 0; comp < 2; ++comp) {
      for (int j = 0; j < 4; ++j) {
        const int x = 8 * comp + (j & 1) * 4 + 3, y = (j >> 1) * 4 + 3;
        EXPECT_EQ(pred[256 + y * 16 + x], c.v[j]) << "avail " << c.avail << " block " << j;
      }
    }
  }
}

}  // namespace
}  // namespace vexlor::h264
