#include "h264/writer/picture.h"

#include <algorithm>
#include <cassert>

namespace vexlor::h264w {
namespace {

uint32_t NextRandom(uint32_t* state) {  // xorshift32
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return *state = x;
}

void WritePcmMacroblock(BitWriter* w, const Frame& f, int mbAddr) {
  w->AlignWithZeros();  // pcm_alignment_zero_bit
  const int mbW = f.width / 16;
  const int x0 = (mbAddr % mbW) * 16, y0 = (mbAddr / mbW) * 16;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) w->PutBits(f.y[(y0 + y) * f.width + x0 + x], 8);
  }
  for (const std::vector<uint8_t>* plane : {&f.cb, &f.cr}) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x)
        w->PutBits((*plane)[(y0 / 2 + y) * (f.width / 2) + x0 / 2 + x], 8);
    }
  }
}

// The macroblocks of each slice, slices numbered group by group.
std::vector<std::vector<int>> CutSlices(const Sps& sps, const Pps& pps, const PictureCode& pic) {
  const std::vector<int> map = SliceGroupMap(sps, pps, pic.header.slice_group_change_cycle);
  std::vector<std::vector<int>> slices;
  for (int g = 0; g <= pps.num_slice_groups_minus1; ++g) {
    std::vector<int> groupMbs;
    for (int i = 0; i < sps.SizeMbs(); ++i) {
      if (map[i] == g) groupMbs.push_back(i);
    }
    const int n = static_cast<int>(groupMbs.size());
    const int parts = std::max(1, std::min(pic.slicesPerGroup, n));
    for (int p = 0; p < parts && n > 0; ++p) {
      const int begin = p * n / parts, end = (p + 1) * n / parts;
      slices.emplace_back(groupMbs.begin() + begin, groupMbs.begin() + end);
    }
  }
  return slices;
}

bool IsIntra(MbKind k) {
  return k == MbKind::kPcm || k == MbKind::kIntraDc;
}

// The left (dx = -1) or upper (dy = -1) neighbour of mbAddr when it lies in the picture and in
// the same slice, else -1.
int Neighbour(const Sps& sps, const std::vector<int>& sliceOf, int mbAddr, int dx, int dy) {
  const int w = sps.WidthMbs();
  const int x = mbAddr % w + dx, y = mbAddr / w + dy;
  if (x < 0 || y < 0 || x >= w) return -1;
  const int n = y * w + x;
  return sliceOf[n] == sliceOf[mbAddr] ? n : -1;
}

// coeff_token of an empty block for the context nC.
void PutEmptyCoeffToken(BitWriter* w, int nC) {
  if (nC < 2) {
    w->PutBits(1, 1);
  } else if (nC < 4) {
    w->PutBits(3, 2);
  } else if (nC < 8) {
    w->PutBits(15, 4);
  } else {
    w->PutBits(3, 6);
  }
}

int ActiveRefs(const Pps& pps, const SliceHeader& h) {
  return (h.num_ref_idx_active_override_flag ? h.num_ref_idx_l0_active_minus1
                                             : pps.num_ref_idx_l0_active_minus1) +
         1;
}

std::vector<uint8_t> EncodeSlice(const Sps& sps, const Pps& pps, const PictureCode& pic, int slice,
                                 const std::vector<int>& mbs, const std::vector<int>& sliceOf,
                                 const std::vector<MbMotion>& motion) {
  SliceHeader h = pic.header;
  h.first_mb_in_slice = mbs.front();
  if (pic.adjustSlice) pic.adjustSlice(slice, &h);
  BitWriter w;
  WriteSliceHeader(&w, sps, pps, h);
  const bool intraSlice = h.IsIntraSlice();
  const int numActive = ActiveRefs(pps, h);
  int skipRun = 0;
  for (int addr : mbs) {
    const MbCode& mb = pic.mb[addr];
    if (mb.kind == MbKind::kSkip) {
      assert(!intraSlice);
      ++skipRun;
      continue;
    }
    if (!intraSlice) {
      w.PutUe(skipRun);  // mb_skip_run
      skipRun = 0;
    }
    if (mb.kind == MbKind::kPcm) {
      assert(pic.pcm != nullptr);
      w.PutUe(intraSlice ? 25 : 30);  // I_PCM
      WritePcmMacroblock(&w, *pic.pcm, addr);
    } else if (mb.kind == MbKind::kIntraDc) {
      w.PutUe(intraSlice ? 3 : 8);  // Intra 16x16, DC prediction, no coded blocks
      w.PutUe(0);                   // intra_chroma_pred_mode: DC
      w.PutSe(0);                   // mb_qp_delta
      // The empty Intra16x16DCLevel block. Its nC comes from the neighbouring blocks' counts:
      // 16 for I_PCM, 0 for every other kind written here.
      const int left = Neighbour(sps, sliceOf, addr, -1, 0);
      const int up = Neighbour(sps, sliceOf, addr, 0, -1);
      const int nA = left >= 0 && pic.mb[left].kind == MbKind::kPcm ? 16 : 0;
      const int nB = up >= 0 && pic.mb[up].kind == MbKind::kPcm ? 16 : 0;
      const int nC = left >= 0 && up >= 0 ? (nA + nB + 1) >> 1 : left >= 0 ? nA : nB;
      PutEmptyCoeffToken(&w, nC);
    } else {
      assert(!intraSlice && mb.refIdx >= 0 && mb.refIdx < numActive);
      w.PutUe(0);  // P_L0_16x16
      if (numActive == 2) {
        w.PutBit(mb.refIdx == 0 ? 1 : 0);  // te(v) with range 1: the inverted bit
      } else if (numActive > 2) {
        w.PutUe(mb.refIdx);
      }
      int mvpx = 0, mvpy = 0;
      PredictVector(sps, sliceOf, motion, addr, mb.refIdx, &mvpx, &mvpy);
      w.PutSe(mb.mvx - mvpx);  // mvd_l0
      w.PutSe(mb.mvy - mvpy);
      w.PutUe(0);  // coded_block_pattern 0 (inter mapping)
    }
  }
  if (skipRun > 0) w.PutUe(skipRun);
  w.PutTrailingBits();
  return MakeNalUnit(h.nal_ref_idc, h.nal_unit_type, w.Bytes());
}

}  // namespace

Frame MakeFrame(int width, int height) {
  Frame f;
  f.width = width;
  f.height = height;
  f.y.assign(static_cast<size_t>(width) * height, 0);
  f.cb.assign(static_cast<size_t>(width / 2) * (height / 2), 0);
  f.cr.assign(f.cb.size(), 0);
  return f;
}

Frame NoiseFrame(int width, int height, uint32_t seed) {
  Frame f = MakeFrame(width, height);
  uint32_t state = seed * 2654435761u + 12345u;
  if (state == 0) state = 1;
  for (std::vector<uint8_t>* plane : {&f.y, &f.cb, &f.cr}) {
    for (uint8_t& s : *plane) {
      const uint32_t r = NextRandom(&state);
      s = (r & 0x700) == 0 ? 0 : static_cast<uint8_t>(r >> 24);  // about one zero in eight
    }
  }
  return f;
}

Frame SteppedFrame(int width, int height, uint32_t seed) {
  Frame f = MakeFrame(width, height);
  uint32_t state = seed * 2654435761u + 777u;
  if (state == 0) state = 1;
  const int mbW = width / 16, mbH = height / 16;
  for (int my = 0; my < mbH; ++my) {
    for (int mx = 0; mx < mbW; ++mx) {
      const int base = 96 + 8 * ((mx + my) % 4) + static_cast<int>(NextRandom(&state) % 3);
      for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x)
          f.y[(my * 16 + y) * width + mx * 16 + x] = static_cast<uint8_t>(base);
      }
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          const size_t i = (my * 8 + y) * (width / 2) + mx * 8 + x;
          f.cb[i] = static_cast<uint8_t>(base + 20);
          f.cr[i] = static_cast<uint8_t>(base - 20);
        }
      }
    }
  }
  return f;
}

void CopyMacroblock(const Frame& from, Frame* to, int mbAddr) {
  const int mbW = to->width / 16;
  const int x0 = (mbAddr % mbW) * 16, y0 = (mbAddr / mbW) * 16;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const size_t i = static_cast<size_t>(y0 + y) * to->width + x0 + x;
      to->y[i] = from.y[i];
    }
  }
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      const size_t i = static_cast<size_t>(y0 / 2 + y) * (to->width / 2) + x0 / 2 + x;
      to->cb[i] = from.cb[i];
      to->cr[i] = from.cr[i];
    }
  }
}

std::vector<MbCode> AllPcm(const Sps& sps) {
  return std::vector<MbCode>(sps.SizeMbs(), {MbKind::kPcm, 0});
}
std::vector<MbCode> AllSkip(const Sps& sps) {
  return std::vector<MbCode>(sps.SizeMbs(), {MbKind::kSkip, 0});
}
std::vector<MbCode> AllInter(const Sps& sps, int refIdx) {
  return std::vector<MbCode>(sps.SizeMbs(), {MbKind::kInter, refIdx});
}

std::vector<std::vector<uint8_t>> EncodePicture(const Sps& sps, const Pps& pps,
                                                const PictureCode& pic) {
  assert(static_cast<int>(pic.mb.size()) == sps.SizeMbs());
  const std::vector<std::vector<int>> slices = CutSlices(sps, pps, pic);
  const std::vector<int> sliceOf = SliceNumbers(sps, pps, pic);
  const std::vector<MbMotion> motion = DeriveMotion(sps, pps, pic);
  std::vector<int> order = pic.sliceOrder;
  if (order.empty()) {
    for (size_t k = 0; k < slices.size(); ++k) order.push_back(static_cast<int>(k));
    uint32_t state = pic.shuffleSeed;
    for (size_t k = order.size(); state != 0 && k > 1; --k) {
      std::swap(order[k - 1], order[NextRandom(&state) % k]);
    }
  }
  assert(order.size() == slices.size());
  std::vector<std::vector<uint8_t>> nals;
  for (int s : order) nals.push_back(EncodeSlice(sps, pps, pic, s, slices.at(s), sliceOf, motion));
  return nals;
}

std::vector<int> SliceNumbers(const Sps& sps, const Pps& pps, const PictureCode& pic) {
  std::vector<int> sliceOf(sps.SizeMbs(), -1);
  const std::vector<std::vector<int>> slices = CutSlices(sps, pps, pic);
  for (size_t s = 0; s < slices.size(); ++s) {
    for (int addr : slices[s]) sliceOf[addr] = static_cast<int>(s);
  }
  return sliceOf;
}

void PredictVector(const Sps& sps, const std::vector<int>& sliceOf,
                   const std::vector<MbMotion>& motion, int mbAddr, int refIdx, int* mvx,
                   int* mvy) {
  const int a = Neighbour(sps, sliceOf, mbAddr, -1, 0);
  const int b = Neighbour(sps, sliceOf, mbAddr, 0, -1);
  int c = Neighbour(sps, sliceOf, mbAddr, 1, -1);
  if (c < 0) c = Neighbour(sps, sliceOf, mbAddr, -1, -1);  // D stands in for C
  auto data = [&](int n) { return n >= 0 ? motion[n] : MbMotion{}; };
  MbMotion ma = data(a), mb = data(b), mc = data(c);
  if (b < 0 && c < 0 && a >= 0) mb = mc = ma;
  const int matches = (ma.refIdx == refIdx) + (mb.refIdx == refIdx) + (mc.refIdx == refIdx);
  if (matches == 1) {
    const MbMotion& m = ma.refIdx == refIdx ? ma : mb.refIdx == refIdx ? mb : mc;
    *mvx = m.mvx;
    *mvy = m.mvy;
    return;
  }
  auto median = [](int p, int q, int r) {
    return std::max(std::min(p, q), std::min(std::max(p, q), r));
  };
  *mvx = median(ma.mvx, mb.mvx, mc.mvx);
  *mvy = median(ma.mvy, mb.mvy, mc.mvy);
}

std::vector<MbMotion> DeriveMotion(const Sps& sps, const Pps& pps, const PictureCode& pic) {
  const std::vector<int> sliceOf = SliceNumbers(sps, pps, pic);
  std::vector<MbMotion> motion(sps.SizeMbs());
  for (int i = 0; i < sps.SizeMbs(); ++i) {  // raster order: every neighbour comes first
    const MbCode& mb = pic.mb[i];
    MbMotion& m = motion[i];
    if (mb.kind == MbKind::kInter) {
      assert(mb.mvx % 8 == 0 && mb.mvy % 8 == 0);
      m = {mb.refIdx, mb.mvx, mb.mvy};
    } else if (mb.kind == MbKind::kSkip) {
      m.refIdx = 0;
      const int a = Neighbour(sps, sliceOf, i, -1, 0);
      const int b = Neighbour(sps, sliceOf, i, 0, -1);
      const bool zero = a < 0 || b < 0 ||
                        (motion[a].refIdx == 0 && motion[a].mvx == 0 && motion[a].mvy == 0) ||
                        (motion[b].refIdx == 0 && motion[b].mvx == 0 && motion[b].mvy == 0);
      if (!zero) PredictVector(sps, sliceOf, motion, i, 0, &m.mvx, &m.mvy);
    }
  }
  return motion;
}

namespace {

// A copy of one macroblock of ref displaced by (mvx, mvy) quarter samples (multiples of 8),
// reading outside the picture from its nearest edge sample.
void MotionCopy(const Frame& ref, Frame* to, int mbAddr, int mvx, int mvy) {
  const int mbW = to->width / 16;
  const int x0 = (mbAddr % mbW) * 16, y0 = (mbAddr / mbW) * 16;
  auto clamp = [](int v, int hi) { return std::min(std::max(v, 0), hi); };
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const int sy = clamp(y0 + y + mvy / 4, ref.height - 1);
      const int sx = clamp(x0 + x + mvx / 4, ref.width - 1);
      to->y[(y0 + y) * to->width + x0 + x] = ref.y[sy * ref.width + sx];
    }
  }
  const int cw = to->width / 2, ch = to->height / 2;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      const int sy = clamp(y0 / 2 + y + mvy / 8, ch - 1);
      const int sx = clamp(x0 / 2 + x + mvx / 8, cw - 1);
      to->cb[(y0 / 2 + y) * cw + x0 / 2 + x] = ref.cb[sy * cw + sx];
      to->cr[(y0 / 2 + y) * cw + x0 / 2 + x] = ref.cr[sy * cw + sx];
    }
  }
}

// Intra 16x16 DC prediction of luma and chroma DC prediction (intra_chroma_pred_mode 0) of one
// macroblock, from the samples of f already reconstructed.
void PredictIntraDc(Frame* f, int mbAddr, bool leftOk, bool upOk) {
  const int mbW = f->width / 16;
  const int x0 = (mbAddr % mbW) * 16, y0 = (mbAddr / mbW) * 16;
  {
    int sumLeft = 0, sumUp = 0;
    for (int i = 0; i < 16; ++i) {
      if (leftOk) sumLeft += f->y[(y0 + i) * f->width + x0 - 1];
      if (upOk) sumUp += f->y[(y0 - 1) * f->width + x0 + i];
    }
    const int dc = leftOk && upOk ? (sumLeft + sumUp + 16) >> 5
                   : leftOk       ? (sumLeft + 8) >> 4
                   : upOk         ? (sumUp + 8) >> 4
                                  : 128;
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) f->y[(y0 + y) * f->width + x0 + x] = static_cast<uint8_t>(dc);
    }
  }
  const int cw = f->width / 2, cx0 = x0 / 2, cy0 = y0 / 2;
  for (std::vector<uint8_t>* plane : {&f->cb, &f->cr}) {
    uint8_t dcs[4];
    for (int b = 0; b < 4; ++b) {
      const int xO = (b % 2) * 4, yO = (b / 2) * 4;
      int sumLeft = 0, sumUp = 0;
      for (int i = 0; i < 4; ++i) {
        if (leftOk) sumLeft += (*plane)[(cy0 + yO + i) * cw + cx0 - 1];
        if (upOk) sumUp += (*plane)[(cy0 - 1) * cw + cx0 + xO + i];
      }
      int dc = 128;
      if (b == 0 || b == 3) {
        dc = leftOk && upOk ? (sumLeft + sumUp + 4) >> 3
             : leftOk       ? (sumLeft + 2) >> 2
             : upOk         ? (sumUp + 2) >> 2
                            : 128;
      } else if (b == 1) {  // upper right: the row above first
        dc = upOk ? (sumUp + 2) >> 2 : leftOk ? (sumLeft + 2) >> 2 : 128;
      } else {  // lower left: the column to the left first
        dc = leftOk ? (sumLeft + 2) >> 2 : upOk ? (sumUp + 2) >> 2 : 128;
      }
      dcs[b] = static_cast<uint8_t>(dc);
    }
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        (*plane)[(cy0 + y) * cw + cx0 + x] = dcs[(y / 4) * 2 + x / 4];
      }
    }
  }
}

}  // namespace

Frame ExpectedPicture(const Sps& sps, const Pps& pps, const PictureCode& pic,
                      const std::vector<const Frame*>& refList) {
  Frame f = MakeFrame(sps.Width(), sps.Height());
  const std::vector<int> sliceOf = SliceNumbers(sps, pps, pic);
  const std::vector<MbMotion> motion = DeriveMotion(sps, pps, pic);
  // Raster order reconstructs every macroblock after its left and upper neighbours.
  for (int i = 0; i < sps.SizeMbs(); ++i) {
    const MbCode& mb = pic.mb[i];
    if (mb.kind == MbKind::kIntraDc) {
      auto usable = [&](int n) {
        return n >= 0 && (!pps.constrained_intra_pred_flag || IsIntra(pic.mb[n].kind));
      };
      PredictIntraDc(&f, i, usable(Neighbour(sps, sliceOf, i, -1, 0)),
                     usable(Neighbour(sps, sliceOf, i, 0, -1)));
      continue;
    }
    if (mb.kind == MbKind::kPcm) {
      CopyMacroblock(*pic.pcm, &f, i);
    } else {
      MotionCopy(*refList.at(motion[i].refIdx), &f, i, motion[i].mvx, motion[i].mvy);
    }
  }
  return f;
}

Frame ExpectedPicture(const Sps& sps, const PictureCode& pic,
                      const std::vector<const Frame*>& refList) {
  assert(std::none_of(pic.mb.begin(), pic.mb.end(),
                      [](const MbCode& mb) { return mb.kind == MbKind::kIntraDc; }));
  return ExpectedPicture(sps, Pps{}, pic, refList);
}

}  // namespace vexlor::h264w
