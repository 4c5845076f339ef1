// Deblocking filter: whole pictures against a direct, line-by-line model of the filtering
// process (boundary strength per sample line, thresholds from the averaged QPs, the edge
// equations), plus the boundary strength cases that matter most.
#include "recon/deblock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "common/qp_chroma.h"
#include "dsp/dsp_deblock.h"

namespace vexlor::h264 {
namespace {

struct TestFrame {
  Picture pic;
  PictureMbInfo info;
  TestFrame(int wMbs, int hMbs) {
    const int w = 16 * wMbs, h = 16 * hMbs;
    pic.width = w;
    pic.height = h;
    pic.planes.assign(static_cast<size_t>(w * h * 3 / 2), 128);
    pic.luma = pic.planes.data();
    pic.cb = pic.luma + w * h;
    pic.cr = pic.cb + w * h / 4;
    info.widthMbs = wMbs;
    info.heightMbs = hMbs;
    const size_t mbs = static_cast<size_t>(wMbs * hMbs);
    info.sliceMap.assign(mbs, 1);
    info.mbInterFlag.assign(mbs, 1);
    info.mbQp.assign(mbs, 30);
    info.mbCodedMask.assign(mbs, 0);
    info.mbDeblockIdc.assign(mbs, 0);
    info.mbAlphaOffset.assign(mbs, 0);
    info.mbBetaOffset.assign(mbs, 0);
    info.refIdx4x4.assign(16 * mbs, 0);
    info.refUid4x4.assign(16 * mbs, 1);
    info.mv4x4.assign(32 * mbs, 0);
  }
  int W4() const { return pic.width / 4; }
};

// ---- The model ---------------------------------------------------------------------------

struct ModelLine {
  uint8_t* q0;
  ptrdiff_t step;  // from q0 away from the edge; p side is negative
};

void ModelFilterLine(ModelLine l, int bS, bool chroma, int indexA, int indexB) {
  auto P = [&](int i) -> uint8_t& { return l.q0[-(i + 1) * l.step]; };
  auto Q = [&](int i) -> uint8_t& { return l.q0[i * l.step]; };
  const int alpha = kDeblockAlpha[indexA], beta = kDeblockBeta[indexB];
  const int p0 = P(0), p1 = P(1), q0 = Q(0), q1 = Q(1);
  if (!(bS != 0 && std::abs(p0 - q0) < alpha && std::abs(p1 - p0) < beta &&
        std::abs(q1 - q0) < beta)) {
    return;
  }
  const int p2 = chroma ? 0 : P(2), q2 = chroma ? 0 : Q(2);
  const int ap = std::abs(p2 - p0), aq = std::abs(q2 - q0);
  auto clip3 = [](int lo, int hi, int v) { return std::clamp(v, lo, hi); };
  if (bS < 4) {
    const int tc0 = kDeblockTc0[indexA][bS - 1];
    const int tc = chroma ? tc0 + 1 : tc0 + (ap < beta ? 1 : 0) + (aq < beta ? 1 : 0);
    const int delta = clip3(-tc, tc, (((q0 - p0) << 2) + (p1 - q1) + 4) >> 3);
    P(0) = static_cast<uint8_t>(clip3(0, 255, p0 + delta));
    Q(0) = static_cast<uint8_t>(clip3(0, 255, q0 - delta));
    if (!chroma && ap < beta) {
      P(1) =
          static_cast<uint8_t>(p1 + clip3(-tc0, tc0, (p2 + ((p0 + q0 + 1) >> 1) - (p1 << 1)) >> 1));
    }
    if (!chroma && aq < beta) {
      Q(1) =
          static_cast<uint8_t>(q1 + clip3(-tc0, tc0, (q2 + ((p0 + q0 + 1) >> 1) - (q1 << 1)) >> 1));
    }
    return;
  }
  const bool small = std::abs(p0 - q0) < ((alpha >> 2) + 2);
  if (!chroma && ap < beta && small) {
    const int p3 = P(3);
    P(0) = static_cast<uint8_t>((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
    P(1) = static_cast<uint8_t>((p2 + p1 + p0 + q0 + 2) >> 2);
    P(2) = static_cast<uint8_t>((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
  } else {
    P(0) = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
  }
  if (!chroma && aq < beta && small) {
    const int q3 = Q(3);
    Q(0) = static_cast<uint8_t>((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
    Q(1) = static_cast<uint8_t>((p0 + q0 + q1 + q2 + 2) >> 2);
    Q(2) = static_cast<uint8_t>((2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3);
  } else {
    Q(0) = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
  }
}

// Boundary strength between the luma samples p (xp, yp) and q (xq, yq).
int ModelBs(const TestFrame& f, int xp, int yp, int xq, int yq, bool mbEdge) {
  const PictureMbInfo& in = f.info;
  const int mbP = (yp / 16) * in.widthMbs + xp / 16, mbQ = (yq / 16) * in.widthMbs + xq / 16;
  if (in.mbInterFlag[mbP] == 0 || in.mbInterFlag[mbQ] == 0) return mbEdge ? 4 : 3;
  auto coded = [&](int mb, int x, int y) {
    return (in.mbCodedMask[mb] >> (((y % 16) / 4) * 4 + (x % 16) / 4)) & 1;
  };
  if (coded(mbP, xp, yp) || coded(mbQ, xq, yq)) return 2;
  const int bp = (yp / 4) * f.W4() + xp / 4, bq = (yq / 4) * f.W4() + xq / 4;
  if (in.refUid4x4[bp] != in.refUid4x4[bq]) return 1;
  if (std::abs(in.mv4x4[2 * bp] - in.mv4x4[2 * bq]) >= 4) return 1;
  if (std::abs(in.mv4x4[2 * bp + 1] - in.mv4x4[2 * bq + 1]) >= 4) return 1;
  return 0;
}

void ModelDeblock(TestFrame* f, int chromaQpOffset) {
  const PictureMbInfo& in = f->info;
  const int w = f->pic.width, cw = w / 2;
  auto qpc = [&](int qp) { return kQpChromaTable[std::clamp(qp + chromaQpOffset, 0, 51)]; };
  for (int mbY = 0; mbY < in.heightMbs; ++mbY) {
    for (int mbX = 0; mbX < in.widthMbs; ++mbX) {
      const int mb = mbY * in.widthMbs + mbX;
      const int idc = in.mbDeblockIdc[mb];
      if (idc == 1) continue;
      const bool fLeft = mbX > 0 && (idc == 0 || in.sliceMap[mb - 1] == in.sliceMap[mb]);
      const bool fTop = mbY > 0 && (idc == 0 || in.sliceMap[mb - in.widthMbs] == in.sliceMap[mb]);
      const int offA = in.mbAlphaOffset[mb], offB = in.mbBetaOffset[mb];
      for (int chroma = 0; chroma < 2; ++chroma) {
        for (int dir = 0; dir < 2; ++dir) {  // vertical edges first
          const int size = chroma ? 8 : 16;
          for (int e = 0; e < size; e += 4) {
            if (e == 0 && !(dir == 0 ? fLeft : fTop)) continue;
            for (int k = 0; k < size; ++k) {
              // q sample in plane coordinates, and the luma samples deciding bS.
              const int s = chroma ? 2 : 1;
              const int xq = dir == 0 ? size * mbX + e : size * mbX + k;
              const int yq = dir == 0 ? size * mbY + k : size * mbY + e;
              const int lxq = s * xq, lyq = s * yq;
              const int lxp = dir == 0 ? lxq - 1 : lxq, lyp = dir == 0 ? lyq : lyq - 1;
              const int bS = ModelBs(*f, lxp, lyp, lxq, lyq, e == 0);
              const int mbP = (lyp / 16) * in.widthMbs + lxp / 16;
              const int qpP = in.mbQp[mbP], qpQ = in.mbQp[mb];
              const int qPav = chroma ? (qpc(qpP) + qpc(qpQ) + 1) >> 1 : (qpP + qpQ + 1) >> 1;
              const int indexA = std::clamp(qPav + offA, 0, 51);
              const int indexB = std::clamp(qPav + offB, 0, 51);
              const ptrdiff_t step = dir == 0 ? 1 : (chroma ? cw : w);
              if (chroma) {
                for (uint8_t* plane : {f->pic.cb, f->pic.cr}) {
                  ModelFilterLine({plane + yq * cw + xq, step}, bS, true, indexA, indexB);
                }
              } else {
                ModelFilterLine({f->pic.luma + yq * w + xq, step}, bS, false, indexA, indexB);
              }
            }
          }
        }
      }
    }
  }
}

// Blocky content with small noise, so that edges carry steps the filters act on.
void FillBlocky(TestFrame* f, std::mt19937* rng, int noise) {
  const int w = f->pic.width, h = f->pic.height;
  std::vector<int> base(static_cast<size_t>((w / 4) * (h / 4)));
  for (int& b : base) b = 60 + static_cast<int>((*rng)() % 130);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      f->pic.luma[y * w + x] = static_cast<uint8_t>(
          base[(y / 4) * (w / 4) + x / 4] + static_cast<int>((*rng)() % (2 * noise + 1)) - noise);
    }
  }
  for (uint8_t* c : {f->pic.cb, f->pic.cr}) {
    for (int y = 0; y < h / 2; ++y) {
      for (int x = 0; x < w / 2; ++x) {
        c[y * (w / 2) + x] = static_cast<uint8_t>(
            base[(y / 2) * (w / 4) + x / 2] + static_cast<int>((*rng)() % (2 * noise + 1)) - noise);
      }
    }
  }
}

void RandomSideInfo(TestFrame* f, std::mt19937* rng) {
  PictureMbInfo& in = f->info;
  const int mbs = in.widthMbs * in.heightMbs;
  const int idc = static_cast<int>((*rng)() % 3);
  for (int mb = 0; mb < mbs; ++mb) {
    const int mbX = mb % in.widthMbs, mbY = mb / in.widthMbs;
    const int kind = static_cast<int>((*rng)() % 8);                     // 0, 1: intra
    in.mbInterFlag[mb] = static_cast<uint8_t>(kind < 2 ? 0 : kind - 1);  // 1..6
    in.mbQp[mb] = static_cast<uint8_t>((*rng)() % 4 == 0 ? (*rng)() % 52 : 24 + (*rng)() % 28);
    int mask = 0;
    for (int b = 0; b < 16; ++b) mask |= ((*rng)() % 5 == 0) << b;
    in.mbCodedMask[mb] = mask;
    in.sliceMap[mb] = 1 + static_cast<int>((*rng)() % 2);
    in.mbDeblockIdc[mb] = static_cast<uint8_t>((*rng)() % 4 == 0 ? (*rng)() % 3 : idc);
    in.mbAlphaOffset[mb] = static_cast<int8_t>(2 * (static_cast<int>((*rng)() % 13) - 6));
    in.mbBetaOffset[mb] = static_cast<int8_t>(2 * (static_cast<int>((*rng)() % 13) - 6));
    // Motion as partitions carry it: intra blocks have no reference; P_Skip and 16x16 one
    // motion for all blocks, 16x8 and 8x16 one per half, 8x8 partitions one per block (their
    // sub-partitions may be as small as 4x4).
    struct Motion {
      int uid, mvx, mvy;
    } part[16];
    for (Motion& m : part) {
      m = {1 + static_cast<int>((*rng)() % 2), static_cast<int>((*rng)() % 11) - 5,
           static_cast<int>((*rng)() % 11) - 5};
    }
    const int flag = in.mbInterFlag[mb];
    for (int b = 0; b < 16; ++b) {
      const int i = (4 * mbY + b / 4) * f->W4() + 4 * mbX + b % 4;
      if (flag == 0) {
        in.refIdx4x4[i] = -1;
        in.refUid4x4[i] = 0;
        in.mv4x4[2 * i] = in.mv4x4[2 * i + 1] = 0;
        continue;
      }
      const int owner = flag <= 2 ? 0 : (flag == 3 ? b / 8 : (flag == 4 ? (b % 4) / 2 : b));
      in.refUid4x4[i] = static_cast<uint32_t>(part[owner].uid);
      in.refIdx4x4[i] = static_cast<int8_t>(part[owner].uid - 1);
      in.mv4x4[2 * i] = static_cast<int16_t>(part[owner].mvx);
      in.mv4x4[2 * i + 1] = static_cast<int16_t>(part[owner].mvy);
    }
  }
}

TEST(Deblocking, RandomPicturesMatchModel) {
  std::mt19937 rng(2024);
  for (int iter = 0; iter < 300; ++iter) {
    TestFrame f(4, 3);
    FillBlocky(&f, &rng, 1 + iter % 4);
    RandomSideInfo(&f, &rng);
    const int cqo = static_cast<int>(rng() % 25) - 12;
    TestFrame expected = f;
    expected.pic.luma = expected.pic.planes.data();
    expected.pic.cb = expected.pic.luma + 64 * 48;
    expected.pic.cr = expected.pic.cb + 32 * 24;
    ModelDeblock(&expected, cqo);
    DeblockPicture(&f.pic, &f.info, 64, 48, cqo);
    ASSERT_EQ(f.pic.planes, expected.pic.planes) << "iteration " << iter;
  }
}

// Two P macroblocks side by side with a vertical step at their common edge and no
// coefficients; returns how many luma samples the filter changed.
int ChangedAcrossPEdge(int refLeft, uint32_t uidLeft, int mvLeft, int refRight, uint32_t uidRight,
                       int mvRight) {
  TestFrame f(2, 1);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 32; ++x) f.pic.luma[y * 32 + x] = x < 16 ? 100 : 108;
  }
  f.info.mbInterFlag[0] = f.info.mbInterFlag[1] = 2;
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) {
      const int i = y * 8 + x;
      f.info.refIdx4x4[i] = static_cast<int8_t>(x < 4 ? refLeft : refRight);
      f.info.refUid4x4[i] = x < 4 ? uidLeft : uidRight;
      f.info.mv4x4[2 * i] = static_cast<int16_t>(x < 4 ? mvLeft : mvRight);
    }
  }
  const std::vector<uint8_t> before = f.pic.planes;
  DeblockPicture(&f.pic, &f.info, 32, 16, 0);
  int changed = 0;
  for (size_t i = 0; i < before.size(); ++i) changed += before[i] != f.pic.planes[i];
  return changed;
}

TEST(Deblocking, BoundaryStrengthOfPredictedEdges) {
  // Vectors 3 quarter samples apart: bS 0; 4 apart: bS 1.
  EXPECT_EQ(ChangedAcrossPEdge(0, 5, 0, 0, 5, 3), 0);
  EXPECT_GT(ChangedAcrossPEdge(0, 5, 0, 0, 5, 4), 0);
  // Different pictures: filtered. One picture reached through two list entries: the same
  // reference, so the edge stays as it is.
  EXPECT_GT(ChangedAcrossPEdge(0, 5, 0, 1, 6, 0), 0);
  EXPECT_EQ(ChangedAcrossPEdge(0, 5, 0, 1, 5, 0), 0);
}

TEST(Deblocking, SliceBoundariesAndDisabledSlices) {
  // Three macroblocks in a row, each an intra macroblock over a flat area with steps at the
  // macroblock edges; the middle one is its own slice.
  auto run = [](int idcLeft, int idcMiddle) {
    TestFrame f(3, 1);
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 48; ++x)
        f.pic.luma[y * 48 + x] = static_cast<uint8_t>(100 + 6 * (x / 16));
    }
    f.info.mbInterFlag.assign(3, 0);
    f.info.sliceMap = {1, 2, 1};
    f.info.mbDeblockIdc = {static_cast<uint8_t>(idcLeft), static_cast<uint8_t>(idcMiddle),
                           static_cast<uint8_t>(idcLeft)};
    DeblockPicture(&f.pic, &f.info, 48, 16, 0);
    return std::vector<int>{f.pic.luma[15], f.pic.luma[16], f.pic.luma[31], f.pic.luma[32]};
  };
  // idc 0 everywhere: both macroblock edges filtered.
  std::vector<int> all = run(0, 0);
  EXPECT_NE(all[0], 100);
  EXPECT_NE(all[3], 112);
  // idc 2: edges to other slices are not filtered.
  EXPECT_EQ(run(2, 2), (std::vector<int>{100, 106, 106, 112}));
  // The middle slice disabled (idc 1): its left edge stays; its right edge belongs to the third
  // macroblock, which filters it.
  std::vector<int> mid = run(0, 1);
  EXPECT_EQ(mid[0], 100);
  EXPECT_EQ(mid[1], 106);
  EXPECT_NE(mid[2], 106);
  EXPECT_NE(mid[3], 112);
}

TEST(Deblocking, ThresholdTablesAtKnownPoints) {
  // Spot values of the standard's tables where a shifted row would go unnoticed elsewhere.
  EXPECT_EQ(kDeblockAlpha[15], 0);
  EXPECT_EQ(kDeblockAlpha[16], 4);
  EXPECT_EQ(kDeblockAlpha[51], 255);
  EXPECT_EQ(kDeblockBeta[16], 2);
  EXPECT_EQ(kDeblockBeta[51], 18);
  EXPECT_EQ(kDeblockTc0[17][2], 1);
  EXPECT_EQ(kDeblockTc0[37][0], 3);
  EXPECT_EQ(kDeblockTc0[51][0], 13);
  EXPECT_EQ(kDeblockTc0[51][2], 25);
  EXPECT_EQ(kQpChromaTable[29], 29);
  EXPECT_EQ(kQpChromaTable[30], 29);
  EXPECT_EQ(kQpChromaTable[51], 39);
}

TEST(Deblocking, NonExistingPicturesAreLeftAlone) {
  TestFrame f(2, 1);
  for (int i = 0; i < 32 * 16; ++i) f.pic.luma[i] = static_cast<uint8_t>(i % 32 < 16 ? 100 : 110);
  f.info.mbInterFlag.assign(2, 0);
  f.pic.nonExisting = 1;
  const std::vector<uint8_t> before = f.pic.planes;
  DeblockPicture(&f.pic, &f.info, 32, 16, 0);
  EXPECT_EQ(f.pic.planes, before);
}

}  // namespace
}  // namespace vexlor::h264
