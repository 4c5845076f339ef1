// Slice groups of every map type, several slices per group sent in arbitrary order: each
// macroblock must land where its group's map puts it, in I and P pictures.
#include <gtest/gtest.h>

#include "h264/writer/harness.h"

namespace vexlor::h264w {
namespace {

struct MapCase {
  const char* name;
  int groups;
  int type;
  int direction = 0;
  int rateMinus1 = 0;
  int cycles[3] = {0, 0, 0};  // slice_group_change_cycle of the three pictures (types 3 to 5)
};

Pps MapPps(const MapCase& c, const Sps& sps) {
  Pps pps;
  pps.num_slice_groups_minus1 = c.groups - 1;
  pps.slice_group_map_type = c.type;
  pps.slice_group_change_direction_flag = c.direction;
  pps.slice_group_change_rate_minus1 = c.rateMinus1;
  if (c.type == 0) {
    const int runs[8] = {2, 0, 4, 1, 0, 3, 6, 1};
    for (int g = 0; g < c.groups; ++g) pps.run_length_minus1[g] = runs[g];
  } else if (c.type == 2) {
    // Rectangles on a 7 x 5 picture (address = 7 y + x), some overlapping; the rest of the
    // picture is the last group.
    const int rects[7][2] = {{0, 8}, {8, 17}, {5, 34}, {23, 32}, {28, 28}, {3, 3}, {14, 20}};
    for (int g = 0; g < c.groups - 1; ++g) {
      pps.top_left[g] = rects[g][0];
      pps.bottom_right[g] = rects[g][1];
    }
  } else if (c.type == 6) {
    uint32_t state = 12345;
    for (int i = 0; i < sps.SizeMbs(); ++i) {
      state = state * 1103515245u + 12345u;
      pps.slice_group_id.push_back(static_cast<int>((state >> 16) % c.groups));
    }
  }
  return pps;
}

void PrintTo(const MapCase& c, std::ostream* os) {
  *os << c.name;
}

class SliceGroupMapStream : public ::testing::TestWithParam<MapCase> {};

// An IDR picture of I_PCM macroblocks, then a reference P picture and a non-reference P
// picture mixing I_PCM, skipped and P_L0_16x16 macroblocks, each with two slices per group
// sent in shuffled order; types 3 to 5 change slice_group_change_cycle between pictures.
TEST_P(SliceGroupMapStream, MacroblocksLandWhereTheMapPutsThem) {
  const MapCase& c = GetParam();
  Sps sps;
  sps.pic_width_in_mbs_minus1 = 6;
  sps.pic_height_in_map_units_minus1 = 4;
  sps.num_ref_frames = 2;
  sps.SetReorder(0, 2);
  const Pps pps = MapPps(c, sps);
  const Frame a = NoiseFrame(sps.Width(), sps.Height(), 11);
  const Frame b = NoiseFrame(sps.Width(), sps.Height(), 12);
  const Frame d = NoiseFrame(sps.Width(), sps.Height(), 13);
  Stream s;
  s.AddParams(sps, pps);

  PictureCode idr = PcmPicture(sps, &a, IdrHeader(0, 0));
  idr.header.slice_group_change_cycle = c.cycles[0];
  idr.slicesPerGroup = 2;
  idr.shuffleSeed = 101;
  s.Add(EncodePicture(sps, pps, idr));

  PictureCode p1;
  p1.header = RefHeader(1, 2);
  p1.header.slice_group_change_cycle = c.cycles[1];
  p1.pcm = &b;
  for (int i = 0; i < sps.SizeMbs(); ++i) {
    p1.mb.push_back(i % 3 == 0 ? MbCode{MbKind::kPcm}
                               : MbCode{i % 3 == 1 ? MbKind::kSkip : MbKind::kInter});
  }
  p1.slicesPerGroup = 2;
  p1.shuffleSeed = 202;
  s.Add(EncodePicture(sps, pps, p1));
  const Frame p1Out = ExpectedPicture(sps, p1, {&a});

  PictureCode p2;
  p2.header = NonRefHeader(2, 4);
  p2.header.SetActiveRefs(2);
  p2.header.slice_group_change_cycle = c.cycles[2];
  p2.pcm = &d;
  for (int i = 0; i < sps.SizeMbs(); ++i) {
    p2.mb.push_back(i % 4 == 1 ? MbCode{MbKind::kPcm} : MbCode{MbKind::kInter, (i / 2) % 2});
  }
  p2.slicesPerGroup = 3;
  p2.shuffleSeed = 303;
  s.Add(EncodePicture(sps, pps, p2));
  const Frame p2Out = ExpectedPicture(sps, p2, {&p1Out, &a});

  EXPECT_TRUE(DecodesTo(s, {{&a, 0}, {&p1Out, 2}, {&p2Out, 4}}));
}

// Intra 16x16 DC macroblocks predict from the neighbours of their own slice only (and, with
// constrained_intra_pred_flag, only from intra neighbours): the prediction, and the coefficient
// context of the empty DC block, depend on which neighbours the slice groups leave available.
TEST_P(SliceGroupMapStream, IntraPredictionSeesOnlyItsSlice) {
  const MapCase& c = GetParam();
  for (int constrained : {0, 1}) {
    SCOPED_TRACE(constrained ? "constrained intra prediction" : "intra prediction");
    Sps sps;
    sps.pic_width_in_mbs_minus1 = 6;
    sps.pic_height_in_map_units_minus1 = 4;
    sps.SetReorder(0, 1);
    Pps pps = MapPps(c, sps);
    pps.constrained_intra_pred_flag = constrained;
    KnownStream k(sps, pps);
    PictureCode idr;
    idr.header = IdrHeader(0, 0);
    idr.header.slice_group_change_cycle = c.cycles[0];
    idr.pcm = k.NewFrame(31);
    for (int i = 0; i < sps.SizeMbs(); ++i) {
      idr.mb.push_back({i % 3 == 0 ? MbKind::kPcm : MbKind::kIntraDc});
    }
    idr.slicesPerGroup = 2;
    idr.shuffleSeed = 7;
    const Frame* a = k.Add(idr, {});
    PictureCode p;
    p.header = RefHeader(1, 2);
    p.header.slice_group_change_cycle = c.cycles[1];
    p.pcm = k.NewFrame(32);
    const MbKind kinds[4] = {MbKind::kIntraDc, MbKind::kPcm, MbKind::kInter, MbKind::kSkip};
    for (int i = 0; i < sps.SizeMbs(); ++i) p.mb.push_back({kinds[(i + i / 7) % 4]});
    p.slicesPerGroup = 2;
    p.shuffleSeed = 8;
    k.Add(p, {a});
    EXPECT_TRUE(k.Decodes());
  }
}

// Vectors predicted from the neighbours each slice leaves available: P_L0_16x16 macroblocks
// with chosen vectors (some far outside the picture), skipped macroblocks that take the
// predicted vector, and intra macroblocks between them, in two reference pictures.
TEST_P(SliceGroupMapStream, VectorsArePredictedWithinTheSlice) {
  const MapCase& c = GetParam();
  Sps sps;
  sps.pic_width_in_mbs_minus1 = 6;
  sps.pic_height_in_map_units_minus1 = 4;
  sps.num_ref_frames = 2;
  sps.SetReorder(0, 2);
  KnownStream k(sps, MapPps(c, sps));
  const Frame* a = k.Pcm(IdrHeader(0, 0), 41);
  uint32_t state = 4242;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state >> 16) & 0x7fff);
  };
  auto vector = [&] {
    return next() % 10 == 0 ? (next() % 2 ? 2048 : -2048) : 8 * (next() % 41 - 20);
  };
  const Frame* prev = a;
  for (int n = 1; n <= 2; ++n) {
    PictureCode p;
    p.header = n == 1 ? RefHeader(1, 2) : NonRefHeader(2, 4);
    p.header.slice_group_change_cycle = c.cycles[n];
    p.header.SetActiveRefs(n);
    p.pcm = k.NewFrame(42 + n);
    for (int i = 0; i < sps.SizeMbs(); ++i) {
      const int r = next() % 10;
      MbCode mb{r < 5   ? MbKind::kInter
                : r < 8 ? MbKind::kSkip
                : r < 9 ? MbKind::kIntraDc
                        : MbKind::kPcm};
      if (mb.kind == MbKind::kInter) {
        mb.refIdx = next() % n;
        mb.mvx = vector();
        mb.mvy = vector();
      }
      p.mb.push_back(mb);
    }
    p.slicesPerGroup = 2;
    p.shuffleSeed = 50 + n;
    prev = n == 1 ? k.Add(p, {a}) : k.Add(p, {prev, a});
  }
  EXPECT_TRUE(k.Decodes());
}

INSTANTIATE_TEST_SUITE_P(
    AllTypes, SliceGroupMapStream,
    ::testing::Values(MapCase{"OneGroup", 1, 0}, MapCase{"Interleaved2", 2, 0},
                      MapCase{"Interleaved8", 8, 0}, MapCase{"Dispersed2", 2, 1},
                      MapCase{"Dispersed3", 3, 1}, MapCase{"Dispersed8", 8, 1},
                      MapCase{"Foreground3", 3, 2}, MapCase{"Foreground8", 8, 2},
                      MapCase{"BoxOutClockwise", 2, 3, 0, 0, {1, 9, 35}},
                      MapCase{"BoxOutCounterClockwise", 2, 3, 1, 1, {4, 0, 11}},
                      MapCase{"RasterScan", 2, 4, 0, 2, {3, 12, 7}},
                      MapCase{"RasterScanReversed", 2, 4, 1, 0, {30, 1, 34}},
                      // 35 / 9 + 1 = 4.9: three bits of slice_group_change_cycle, not two
                      MapCase{"RasterScanCoarse", 2, 4, 0, 8, {1, 4, 2}},
                      MapCase{"Wipe", 2, 5, 0, 1, {5, 18, 2}},
                      MapCase{"WipeReversed", 2, 5, 1, 3, {2, 9, 4}}, MapCase{"Explicit4", 4, 6},
                      MapCase{"Explicit8", 8, 6}),
    [](const ::testing::TestParamInfo<MapCase>& p) { return std::string(p.param.name); });

// A picture whose map type 6 PPS carries fewer slice_group_id entries than the picture has
// macroblocks: its slices are rejected (never placed by reading past the array), and the
// pictures around it decode normally.
TEST(SliceGroupStream, ShortExplicitMapIsRejected) {
  Sps sps;
  sps.pic_width_in_mbs_minus1 = 6;
  sps.pic_height_in_map_units_minus1 = 4;
  sps.SetReorder(0, 1);
  Pps plain;
  Pps shortMap;
  shortMap.pic_parameter_set_id = 1;
  shortMap.num_slice_groups_minus1 = 1;
  shortMap.slice_group_map_type = 6;
  shortMap.slice_group_id = {0, 1, 0, 1, 1, 0};  // 6 of 35 macroblocks
  const Frame a = NoiseFrame(sps.Width(), sps.Height(), 21);
  const Frame b = NoiseFrame(sps.Width(), sps.Height(), 22);
  const Frame c = NoiseFrame(sps.Width(), sps.Height(), 23);
  Stream s;
  s.AddParams(sps, plain);
  s.Add(PpsNal(shortMap));
  s.Add(EncodePicture(sps, plain, PcmPicture(sps, &a, IdrHeader(0, 0))));
  // Written as the writer would place it with group 0 beyond the array.
  PictureCode bad = PcmPicture(sps, &b, NonRefHeader(1, 2, kSliceI));
  bad.header.pic_parameter_set_id = 1;
  s.Add(EncodePicture(sps, shortMap, bad));
  s.Add(EncodePicture(sps, plain, PcmPicture(sps, &c, RefHeader(1, 4, kSliceI))));
  const DecodeOutcome out = DecodeStream(s.bytes);
  ASSERT_GE(out.pictures.size(), 2u);
  EXPECT_EQ(out.pictures.front().frame, a);
  EXPECT_EQ(out.pictures.back().frame, c);
  for (const DecodedPicture& p : out.pictures) EXPECT_NE(p.frame, b);
}

}  // namespace
}  // namespace vexlor::h264w
