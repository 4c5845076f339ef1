// Motion vector prediction for P macroblocks (H.264 clauses 8.4.1.1 and 8.4.1.3). Reference
// indices and vectors of every 4x4 block live in the picture-wide arrays of PictureMbInfo, so
// neighbours across macroblock edges are read straight from there; availability comes from the
// macroblock's neighbourFlags.
#include "recon/mv_pred.h"

#include <algorithm>

#include "picture/ref_lists.h"

namespace vexlor::h264 {
namespace {

// Decoding order of the 4x4 blocks inside a macroblock: 8x8 quadrants in raster order, blocks in
// raster order within each quadrant. A block inside the macroblock is usable as neighbour C of a
// partition exactly when it comes earlier in this order than the partition's top-left block.
constexpr int8_t kBlockOrder[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};

struct Neighbour {
  int ref;
  int mvx, mvy;
};

struct MotionFrame {
  PictureMbInfo* info;
  int w4;          // blocks per picture row
  int blkX, blkY;  // macroblock origin in 4x4 blocks
  int flags;       // neighbourFlags bits 0..3
};

inline int BlockIndex(const MotionFrame& f, int x, int y) {
  return (f.blkY + y) * f.w4 + f.blkX + x;
}

inline Neighbour Read(const MotionFrame& f, bool available, int x, int y) {
  if (!available) return {-1, 0, 0};
  const int i = BlockIndex(f, x, y);
  return {f.info->refIdx4x4[i], f.info->mv4x4[2 * i], f.info->mv4x4[2 * i + 1]};
}

inline int Median3(int a, int b, int c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// Predicted vector of the partition of w x h blocks whose top-left block is (x, y) of the current
// macroblock and whose reference index is cur.
void PredictMv(const MotionFrame& f, int x, int y, int w, int h, int cur, int* mvpX, int* mvpY) {
  const bool availA = x > 0 || (f.flags & kAvailLeft);
  const bool availB = y > 0 || (f.flags & kAvailAbove);
  int cx = x + w, cy = y - 1;
  bool availC;
  if (cy < 0) {
    availC = cx < 4 ? (f.flags & kAvailAbove) != 0 : (f.flags & kAvailAboveRight) != 0;
  } else {
    availC = cx < 4 && kBlockOrder[cy][cx] < kBlockOrder[y][x];
  }
  if (!availC) {  // D replaces C
    cx = x - 1;
    if (y > 0) {
      availC = x > 0 || (f.flags & kAvailLeft);
    } else {
      availC = x > 0 ? (f.flags & kAvailAbove) != 0 : (f.flags & kAvailAboveLeft) != 0;
    }
  }
  const Neighbour a = Read(f, availA, x - 1, y);
  Neighbour b = Read(f, availB, x, y - 1);
  Neighbour c = Read(f, availC, cx, cy);

  // Directional prediction of 16x8 and 8x16 partitions.
  if (w == 4 && h == 2) {
    if (y == 0 && b.ref == cur) {
      *mvpX = b.mvx, *mvpY = b.mvy;
      return;
    }
    if (y == 2 && a.ref == cur) {
      *mvpX = a.mvx, *mvpY = a.mvy;
      return;
    }
  } else if (w == 2 && h == 4) {
    if (x == 0 && a.ref == cur) {
      *mvpX = a.mvx, *mvpY = a.mvy;
      return;
    }
    if (x == 2 && c.ref == cur) {
      *mvpX = c.mvx, *mvpY = c.mvy;
      return;
    }
  }

  // Median prediction.
  if (!availB && !availC && availA) b = c = a;
  const int matches = (a.ref == cur) + (b.ref == cur) + (c.ref == cur);
  if (matches == 1) {
    const Neighbour& n = a.ref == cur ? a : (b.ref == cur ? b : c);
    *mvpX = n.mvx, *mvpY = n.mvy;
    return;
  }
  *mvpX = Median3(a.mvx, b.mvx, c.mvx);
  *mvpY = Median3(a.mvy, b.mvy, c.mvy);
}

// Stores reference and vector into the w x h blocks from (x, y).
void StoreMotion(const MotionFrame& f, int x, int y, int w, int h, int mvx, int mvy) {
  for (int j = 0; j < h; ++j) {
    const int i0 = BlockIndex(f, x, y + j);
    for (int i = i0; i < i0 + w; ++i) {
      f.info->mv4x4[2 * i] = static_cast<int16_t>(mvx);
      f.info->mv4x4[2 * i + 1] = static_cast<int16_t>(mvy);
    }
  }
}

void StoreReference(const MotionFrame& f, int x, int y, int w, int h, int ref, uint32_t uid) {
  for (int j = 0; j < h; ++j) {
    const int i0 = BlockIndex(f, x, y + j);
    for (int i = i0; i < i0 + w; ++i) {
      f.info->refIdx4x4[i] = static_cast<int8_t>(ref);
      f.info->refUid4x4[i] = uid;
    }
  }
}

inline uint32_t UidOf(Picture* const* refList, int ref) {
  const Picture* p = refList != nullptr ? refList[ref] : nullptr;
  return p != nullptr ? p->uid : 0;
}

MotionFrame FrameOf(const MacroblockState* mb, PictureMbInfo* info, int width) {
  return {info, width >> 2, 4 * mb->mbX, 4 * mb->mbY, mb->neighbourFlags & 0xF};
}

// Partition shapes (w, h in 4x4 blocks) by partitionMode 1..3 and by sub_mb_type.
constexpr int kPartShape[4][2] = {{4, 4}, {4, 4}, {4, 2}, {2, 4}};
constexpr int kSubShape[4][2] = {{2, 2}, {2, 1}, {1, 2}, {1, 1}};

}  // namespace

void DeriveInterMotion(const SliceContext& s, const MacroblockState* mb, const int32_t (*mvd)[2]) {
  const int numActive = s.numActive;
  const MotionFrame f = FrameOf(mb, s.info, s.width);
  const int mode = mb->partitionMode;

  // Reference index of each 8x8 quadrant.
  int quadRef[4] = {0, 0, 0, 0};
  if (numActive >= 2 && mode != 5) {
    switch (mode) {
      case 1:
        quadRef[0] = quadRef[1] = quadRef[2] = quadRef[3] = mb->refIdx[0];
        break;
      case 2:
        quadRef[0] = quadRef[1] = mb->refIdx[0];
        quadRef[2] = quadRef[3] = mb->refIdx[1];
        break;
      case 3:
        quadRef[0] = quadRef[2] = mb->refIdx[0];
        quadRef[1] = quadRef[3] = mb->refIdx[1];
        break;
      default:
        for (int q = 0; q < 4; ++q) quadRef[q] = mb->refIdx[q];
        break;
    }
  }
  for (int q = 0; q < 4; ++q) {
    // The parser range-checks the indices; a value outside the list still must not index past it.
    if (quadRef[q] < 0 || quadRef[q] >= std::max(numActive, 1) ||
        quadRef[q] >= kMaxRefListEntries) {
      quadRef[q] = 0;
    }
    StoreReference(f, 2 * (q & 1), 2 * (q >> 1), 2, 2, quadRef[q], UidOf(s.refList, quadRef[q]));
  }

  int next = 0;  // next vector difference
  auto predictAndStore = [&](int x, int y, int w, int h) {
    int mvx, mvy;
    PredictMv(f, x, y, w, h, f.info->refIdx4x4[BlockIndex(f, x, y)], &mvx, &mvy);
    // Sums are kept to 16 bits; the arithmetic is unsigned so that no difference overflows.
    mvx = static_cast<int16_t>(static_cast<uint32_t>(mvx) + static_cast<uint32_t>(mvd[next][0]));
    mvy = static_cast<int16_t>(static_cast<uint32_t>(mvy) + static_cast<uint32_t>(mvd[next][1]));
    ++next;
    StoreMotion(f, x, y, w, h, mvx, mvy);
  };

  if (mode >= 1 && mode <= 3) {
    const int w = kPartShape[mode][0], h = kPartShape[mode][1];
    for (int y = 0; y < 4; y += h) {
      for (int x = 0; x < 4; x += w) predictAndStore(x, y, w, h);
    }
    return;
  }
  for (int q = 0; q < 4; ++q) {
    const int qx = 2 * (q & 1), qy = 2 * (q >> 1);
    const int sub = mb->subMbType[q] & 3;
    const int w = kSubShape[sub][0], h = kSubShape[sub][1];
    for (int y = 0; y < 2; y += h) {
      for (int x = 0; x < 2; x += w) predictAndStore(qx + x, qy + y, w, h);
    }
  }
}

bool DerivePSkipMotion(const SliceContext& s, const MacroblockState* mb) {
  const MotionFrame f = FrameOf(mb, s.info, s.width);
  int mvx = 0, mvy = 0;
  bool zero = true;
  if ((f.flags & kAvailLeft) && (f.flags & kAvailAbove)) {
    const Neighbour a = Read(f, true, -1, 0);
    const Neighbour b = Read(f, true, 0, -1);
    const bool aZero = a.ref == 0 && a.mvx == 0 && a.mvy == 0;
    const bool bZero = b.ref == 0 && b.mvx == 0 && b.mvy == 0;
    if (!aZero && !bZero) {
      zero = false;
      PredictMv(f, 0, 0, 4, 4, 0, &mvx, &mvy);
    }
  }
  StoreReference(f, 0, 0, 4, 4, 0, UidOf(s.refList, 0));
  StoreMotion(f, 0, 0, 4, 4, mvx, mvy);
  return zero;
}

}  // namespace vexlor::h264
