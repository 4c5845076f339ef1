// Random output-order streams: reference anchors followed by up to three non-reference
// pictures whose order count lies between the previous anchor and theirs (decoded after the
// anchor, output before it), IDR pictures now and then, a small lsb range that wraps often,
// and a picture buffer sized by the level or by VUI promises. Output must follow the order
// count within each run between IDR pictures, every picture exactly once.
#include <gtest/gtest.h>

#include <algorithm>

#include "h264/writer/harness.h"

namespace vexlor::h264w {
namespace {

void RunRandomOutputStream(uint32_t seed) {
  uint32_t s = seed * 2654435761u + 7;
  auto below = [&s](int n) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return static_cast<int>(s % static_cast<uint32_t>(n));
  };
  Sps sps;
  sps.pic_width_in_mbs_minus1 = 1;
  sps.pic_height_in_map_units_minus1 = 1;
  sps.log2_max_pic_order_cnt_lsb_minus4 = below(2) * 2;  // MaxPicOrderCntLsb 16 or 64
  sps.num_ref_frames = 1 + below(3);
  const int maxGroup = below(4);  // non-reference pictures per anchor
  if (below(2) == 0) sps.SetReorder(maxGroup, sps.num_ref_frames + maxGroup + below(2));
  const int maxLsb = 1 << (sps.log2_max_pic_order_cnt_lsb_minus4 + 4);
  KnownStream k(sps, Pps{});
  std::vector<std::vector<std::pair<int, const Frame*>>> runs;  // pictures by IDR run
  uint32_t content = seed * 100;
  int frameNum = 0, poc = 0, idrId = 0;
  auto add = [&](const SliceHeader& h, int expectedPoc) {
    runs.back().emplace_back(expectedPoc, k.Pcm(h, ++content, expectedPoc));
  };
  for (int group = 0; group < 25; ++group) {
    if (group == 0 || below(8) == 0) {
      runs.emplace_back();
      frameNum = 0;
      poc = 0;
      add(IdrHeader(idrId++ % 2, 0), 0);
      continue;
    }
    const int n = below(maxGroup + 1);
    const int anchor = poc + 2 * (n + 1);
    frameNum = (frameNum + 1) % 16;
    add(RefHeader(frameNum, anchor % maxLsb, kSliceI), anchor);
    for (int i = 1; i <= n; ++i) {
      const int p = poc + 2 * i;
      add(NonRefHeader((frameNum + 1) % 16, p % maxLsb, kSliceI), p);
    }
    poc = anchor;
  }
  k.expected.clear();
  for (auto& run : runs) {
    std::sort(run.begin(), run.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [p, f] : run) k.expected.push_back({f, p});
  }
  EXPECT_TRUE(k.Decodes()) << "seed " << seed;
}

TEST(RandomOutput, OrderCountOrderWithinEachRun) {
  for (uint32_t seed = 1; seed <= 60; ++seed) RunRandomOutputStream(seed);
}

}  // namespace
}  // namespace vexlor::h264w
