// Motion-compensated prediction of a P macroblock (H.264 clause 8.4.2). The 4x4 blocks are
// grouped into the largest rectangles whose blocks share reference and vector (16x16, 16x8, 8x16,
// 8x8, 8x4, 4x8, 4x4), and each rectangle is predicted with one kernel call. Reference samples
// outside the picture are those of the nearest edge sample: a window that crosses the picture
// edge is first copied with clamped coordinates, every other window is read in place.
#include "recon/inter_pred.h"

#include <cstring>

#include "dsp/dsp_mc.h"
#include "picture/ref_lists.h"

namespace vexlor::h264 {
namespace {

struct InterContext {
  const McKernels* mc;
  uint8_t* pred;
  Picture* const* refList;
  const PictureMbInfo* info;
  int width, height;
  int w4;          // width / 4
  int blkX, blkY;  // macroblock origin in 4x4 blocks
};

// Predicts the bw x bh (in 4x4 blocks) rectangle at block (bx, by) of the macroblock.
void PredictRect(const InterContext& c, int bx, int by, int bw, int bh) {
  const int idx = (c.blkY + by) * c.w4 + c.blkX + bx;
  const int r = c.info->refIdx4x4[idx];
  const Picture* ref = (r >= 0 && r < kMaxRefListEntries) ? c.refList[r] : nullptr;
  uint8_t* dstY = c.pred + 64 * by + 4 * bx;
  uint8_t* dstC = c.pred + 256 + 32 * by + 2 * bx;
  const int pw = 4 * bw, ph = 4 * bh;
  const int cw = 2 * bw, ch = 2 * bh;
  if (ref == nullptr || ref->luma == nullptr || ref->width != c.width || ref->height != c.height) {
    // A reference the stream does not provide: predict mid-grey rather than read anything.
    for (int y = 0; y < ph; ++y) std::memset(dstY + 16 * y, 128, static_cast<size_t>(pw));
    for (int y = 0; y < ch; ++y) {
      std::memset(dstC + 16 * y, 128, static_cast<size_t>(cw));
      std::memset(dstC + 16 * y + 8, 128, static_cast<size_t>(cw));
    }
    return;
  }
  const int mvx = c.info->mv4x4[2 * idx];
  const int mvy = c.info->mv4x4[2 * idx + 1];
  const int W = c.width, H = c.height;
  const int sizeIdx = bw >> 1;  // 1, 2, 4 blocks -> 0, 1, 2

  // Luma, in quarter samples.
  const int qx = 4 * (4 * (c.blkX + bx)) + mvx;
  const int qy = 4 * (4 * (c.blkY + by)) + mvy;
  const int xInt = qx >> 2, yInt = qy >> 2;
  const int xFrac = qx & 3, yFrac = qy & 3;
  const int padX = xFrac ? 2 : 0, padY = yFrac ? 2 : 0;
  alignas(16) uint8_t window[21 * 32];
  const uint8_t* src;
  ptrdiff_t stride;
  if (xInt - padX >= 0 && xInt + pw + (padX ? 3 : 0) <= W && yInt - padY >= 0 &&
      yInt + ph + (padY ? 3 : 0) <= H) {
    src = ref->luma + static_cast<ptrdiff_t>(yInt) * W + xInt;
    stride = W;
  } else {
    FetchClamped(ref->luma, W, H, xInt - 2, yInt - 2, pw + 5, ph + 5, window, 32);
    src = window + 2 * 32 + 2;
    stride = 32;
  }
  c.mc->luma[sizeIdx][4 * yFrac + xFrac](dstY, 16, src, stride, ph);

  // Chroma: the same vector read in eighth chroma samples.
  const int cW = W >> 1, cH = H >> 1;
  const int xIntC = qx >> 3, yIntC = qy >> 3;
  const int xF = qx & 7, yF = qy & 7;
  const ChromaMcFn chroma = c.mc->chroma[sizeIdx];
  if (xIntC >= 0 && xIntC + cw + 1 <= cW && yIntC >= 0 && yIntC + ch + 1 <= cH) {
    const ptrdiff_t off = static_cast<ptrdiff_t>(yIntC) * cW + xIntC;
    chroma(dstC, 16, ref->cb + off, cW, ch, xF, yF);
    chroma(dstC + 8, 16, ref->cr + off, cW, ch, xF, yF);
  } else {
    alignas(16) uint8_t cwin[9 * 16];
    FetchClamped(ref->cb, cW, cH, xIntC, yIntC, cw + 1, ch + 1, cwin, 16);
    chroma(dstC, 16, cwin, 16, ch, xF, yF);
    FetchClamped(ref->cr, cW, cH, xIntC, yIntC, cw + 1, ch + 1, cwin, 16);
    chroma(dstC + 8, 16, cwin, 16, ch, xF, yF);
  }
}

}  // namespace

void PredictInter(const SliceContext& s, MacroblockState* mb) {
  const PictureMbInfo* info = s.info;
  InterContext c;
  c.mc = &McKernelsInUse();
  c.pred = mb->pred;
  c.refList = s.refList;
  c.info = info;
  c.width = s.width;
  c.height = s.height;
  c.w4 = s.width >> 2;
  c.blkX = 4 * mb->mbX;
  c.blkY = 4 * mb->mbY;

  // Motion of the 16 blocks as one comparable key each (reference index and both components).
  uint64_t key[16];
  for (int y = 0; y < 4; ++y) {
    const int base = (c.blkY + y) * c.w4 + c.blkX;
    for (int x = 0; x < 4; ++x) {
      const int i = base + x;
      key[4 * y + x] = (static_cast<uint64_t>(static_cast<uint8_t>(info->refIdx4x4[i])) << 32) |
                       (static_cast<uint64_t>(static_cast<uint16_t>(info->mv4x4[2 * i])) << 16) |
                       static_cast<uint16_t>(info->mv4x4[2 * i + 1]);
    }
  }
  auto quadrantSame = [&](int k) {  // the 2x2 blocks from k
    return key[k] == key[k + 1] && key[k] == key[k + 4] && key[k] == key[k + 5];
  };
  auto rectSame = [&key](int k, int w, int h) {  // the w x h blocks from k
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        if (key[k + 4 * y + x] != key[k]) return false;
      }
    }
    return true;
  };

  if (rectSame(0, 4, 4)) {
    PredictRect(c, 0, 0, 4, 4);
    return;
  }
  if (rectSame(0, 4, 2) && rectSame(8, 4, 2)) {
    PredictRect(c, 0, 0, 4, 2);
    PredictRect(c, 0, 2, 4, 2);
    return;
  }
  if (rectSame(0, 2, 4) && rectSame(2, 2, 4)) {
    PredictRect(c, 0, 0, 2, 4);
    PredictRect(c, 2, 0, 2, 4);
    return;
  }
  for (int q = 0; q < 4; ++q) {
    const int qx = 2 * (q & 1), qy = 2 * (q >> 1);
    const int k = 4 * qy + qx;
    if (quadrantSame(k)) {
      PredictRect(c, qx, qy, 2, 2);
    } else if (key[k] == key[k + 1] && key[k + 4] == key[k + 5]) {
      PredictRect(c, qx, qy, 2, 1);
      PredictRect(c, qx, qy + 1, 2, 1);
    } else if (key[k] == key[k + 4] && key[k + 1] == key[k + 5]) {
      PredictRect(c, qx, qy, 1, 2);
      PredictRect(c, qx + 1, qy, 1, 2);
    } else {
      PredictRect(c, qx, qy, 1, 1);
      PredictRect(c, qx + 1, qy, 1, 1);
      PredictRect(c, qx, qy + 1, 1, 1);
      PredictRect(c, qx + 1, qy + 1, 1, 1);
    }
  }
}

}  // namespace vexlor::h264
