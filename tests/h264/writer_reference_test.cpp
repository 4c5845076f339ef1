// Reference marking and reference lists, shown through pictures that copy from every index of
// their list: long-term references, every memory management operation, every kind of
// reordering command, a list holding one picture twice, and frame_num gaps in both modes.
#include <gtest/gtest.h>

#include "h264/writer/harness.h"

namespace vexlor::h264w {
namespace {

SliceHeader WithMmco(SliceHeader h, std::vector<Mmco> ops) {
  h.mmco = std::move(ops);
  return h;
}

SliceHeader WithReorder(SliceHeader h, std::vector<Reorder> cmds) {
  h.reorder = std::move(cmds);
  return h;
}

Sps SmallSps(int numRefFrames) {
  Sps sps;  // 4 x 3 macroblocks, MaxFrameNum 16
  sps.num_ref_frames = numRefFrames;
  sps.SetReorder(0, numRefFrames);
  return sps;
}

// Operations 1 to 6 in turn; after each marking a non-reference probe picture copies from
// every index of a list of exactly the expected length, so a frame marked wrongly shows up as
// a wrong list order, a wrong picture or a failing list.
TEST(ReferenceMarking, EveryMemoryManagementOperation) {
  KnownStream k(SmallSps(4), Pps{});
  const Frame* a = k.Pcm(IdrHeader(0, 0), 1);
  // 4: long-term indices 0 and 1 allowed; 6: the current picture becomes long-term index 1.
  const Frame* b =
      k.Pcm(WithMmco(RefHeader(1, 2, kSliceI), {{.op = 4, .max_long_term_frame_idx_plus1 = 2},
                                                {.op = 6, .long_term_frame_idx = 1}}),
            2);
  k.Probe(NonRefHeader(2, 4), {a, b});
  // 3: picNum 0 (A) becomes long-term index 0.
  const Frame* c =
      k.Pcm(WithMmco(RefHeader(2, 6, kSliceI),
                     {{.op = 3, .difference_of_pic_nums_minus1 = 1, .long_term_frame_idx = 0}}),
            3);
  k.Probe(NonRefHeader(3, 8), {c, a, b});
  // 2: long-term picture number 1 (B) and 1: picNum 2 (C) are no longer references.
  const Frame* d = k.Pcm(
      WithMmco(RefHeader(3, 10, kSliceI),
               {{.op = 2, .long_term_pic_num = 1}, {.op = 1, .difference_of_pic_nums_minus1 = 0}}),
      4);
  k.Probe(NonRefHeader(4, 12), {d, a});
  // 3 onto an index in use: A loses index 0 to D.
  const Frame* e =
      k.Pcm(WithMmco(RefHeader(4, 14, kSliceI),
                     {{.op = 3, .difference_of_pic_nums_minus1 = 0, .long_term_frame_idx = 0}}),
            5);
  k.Probe(NonRefHeader(5, 16), {e, d});
  // 4 with 0: no long-term index remains, D goes.
  const Frame* f = k.Pcm(
      WithMmco(RefHeader(5, 18, kSliceI), {{.op = 4, .max_long_term_frame_idx_plus1 = 0}}), 6);
  k.Probe(NonRefHeader(6, 20), {f, e});
  // 5: every reference goes and G continues as frame_num 0 (its own reported order count is
  // left open); the pictures after it count from frame_num 1 and picture order count 0.
  const Frame* g = k.Pcm(WithMmco(RefHeader(6, 22, kSliceI), {{.op = 5}}), 7, kAnyPoc);
  k.Probe(NonRefHeader(1, 2), {g});
  const Frame* h = k.Pcm(RefHeader(1, 4, kSliceI), 8);
  k.Probe(NonRefHeader(2, 6), {h, g});
  EXPECT_TRUE(k.Decodes());
}

// One command list makes a frame long-term (operation 3) and then releases it by its long-term
// picture number (operation 2): the number is its new long-term index. (Found by the random
// marking test: the decoder compared with a number computed before the list ran, failed the
// marking and lost the picture.)
TEST(ReferenceMarking, LongTermIndexGivenAndTakenInOneList) {
  KnownStream k(SmallSps(3), Pps{});
  const Frame* a = k.Pcm(IdrHeader(0, 0), 1);
  const Frame* b =
      k.Pcm(WithMmco(RefHeader(1, 2, kSliceI), {{.op = 4, .max_long_term_frame_idx_plus1 = 2}}), 2);
  // 3: picNum 1 (B) becomes long-term index 1; 2: long-term picture number 1 (B) released.
  const Frame* c =
      k.Pcm(WithMmco(RefHeader(2, 4, kSliceI),
                     {{.op = 3, .difference_of_pic_nums_minus1 = 0, .long_term_frame_idx = 1},
                      {.op = 2, .long_term_pic_num = 1}}),
            3);
  k.Probe(NonRefHeader(3, 6), {c, a});
  (void)b;
  EXPECT_TRUE(k.Decodes());
}

// The sliding window counts long-term frames: with two reference frames allowed and a long-term
// IDR picture, each new short-term picture pushes out the previous one.
TEST(ReferenceMarking, SlidingWindowCountsLongTermFrames) {
  KnownStream k(SmallSps(2), Pps{});
  SliceHeader idr = IdrHeader(0, 0);
  idr.long_term_reference_flag = 1;
  const Frame* a = k.Pcm(idr, 1);
  const Frame* b = k.Pcm(RefHeader(1, 2, kSliceI), 2);
  k.Probe(NonRefHeader(2, 4), {b, a});
  const Frame* c = k.Pcm(RefHeader(2, 6, kSliceI), 3);
  k.Probe(NonRefHeader(3, 8), {c, a});
  const Frame* d = k.Pcm(RefHeader(3, 10, kSliceI), 4);
  k.Probe(NonRefHeader(4, 12), {d, a});
  EXPECT_TRUE(k.Decodes());
}

// A long-term IDR picture and three short-term pictures, then lists reordered by each kind of
// command.
TEST(ReferenceLists, ReorderingCommandsOfEachKind) {
  KnownStream k(SmallSps(4), Pps{});
  SliceHeader idr = IdrHeader(0, 0);
  idr.long_term_reference_flag = 1;
  const Frame* a = k.Pcm(idr, 1);
  const Frame* b = k.Pcm(RefHeader(1, 2, kSliceI), 2);
  const Frame* c = k.Pcm(RefHeader(2, 4, kSliceI), 3);
  const Frame* d = k.Pcm(RefHeader(3, 6, kSliceI), 4);
  k.Probe(NonRefHeader(4, 8), {d, c, b, a});  // initial order
  // idc 0: 4 - 3 = picNum 1 (B) first; idc 1: 1 + 2 = picNum 3 (D) second.
  k.Probe(WithReorder(NonRefHeader(4, 10), {{.idc = 0, .abs_diff_pic_num_minus1 = 2},
                                            {.idc = 1, .abs_diff_pic_num_minus1 = 1}}),
          {b, d, c, a});
  // idc 2: long-term picture number 0 (A) first.
  k.Probe(WithReorder(NonRefHeader(4, 12), {{.idc = 2, .long_term_pic_num = 0}}), {a, d, c, b});
  // Two active entries: C moved to the front pushes D to the second place.
  k.Probe(WithReorder(NonRefHeader(4, 14), {{.idc = 0, .abs_diff_pic_num_minus1 = 1}}), {c, d});
  EXPECT_TRUE(k.Decodes());
}

// Sixteen active references, the most the list holds; reordering the oldest to the front
// shifts all sixteen.
TEST(ReferenceLists, SixteenActiveReferences) {
  Sps sps = SmallSps(16);
  sps.pic_width_in_mbs_minus1 = 3;
  sps.pic_height_in_map_units_minus1 = 3;  // 16 macroblocks
  sps.log2_max_frame_num_minus4 = 1;
  KnownStream k(sps, Pps{});
  std::vector<const Frame*> frames;
  frames.push_back(k.Pcm(IdrHeader(0, 0), 1));
  for (int n = 1; n < 16; ++n) frames.push_back(k.Pcm(RefHeader(n, 2 * n, kSliceI), 1 + n));
  const std::vector<const Frame*> initial(frames.rbegin(), frames.rend());  // newest first
  k.Probe(NonRefHeader(16, 40), initial);
  std::vector<const Frame*> reordered = {frames[0]};
  reordered.insert(reordered.end(), initial.begin(), initial.end() - 1);
  k.Probe(WithReorder(NonRefHeader(16, 42), {{.idc = 0, .abs_diff_pic_num_minus1 = 15}}),
          reordered);
  EXPECT_TRUE(k.Decodes());
}

// Reordering differences up to MaxPicNum are valid (abs_diff_pic_num_minus1 ranges over
// 0 .. MaxPicNum - 1), also above MaxFrameNum / 2 (8 for idc 0, 7 for idc 1 here). (Found by
// the random marking test: the decoder used to reject them and lose the picture.)
TEST(ReferenceLists, ReorderingDifferencesAboveHalfMaxFrameNum) {
  Sps sps = SmallSps(10);  // MaxFrameNum 16
  KnownStream k(sps, Pps{});
  std::vector<const Frame*> f = {k.Pcm(IdrHeader(0, 0), 1)};
  for (int n = 1; n <= 9; ++n) f.push_back(k.Pcm(RefHeader(n, 2 * n, kSliceI), 1 + n));
  // 10 - 9 = picNum 1 first, then 1 + 8 = picNum 9 second.
  k.Probe(WithReorder(NonRefHeader(10, 20), {{.idc = 0, .abs_diff_pic_num_minus1 = 8},
                                             {.idc = 1, .abs_diff_pic_num_minus1 = 7}}),
          {f[1], f[9], f[8], f[7], f[6], f[5], f[4], f[3], f[2], f[0]});
  EXPECT_TRUE(k.Decodes());
}

// Reordering after frame_num has wrapped: picture numbers of the older frames are negative.
TEST(ReferenceLists, ReorderingAcrossFrameNumWrap) {
  KnownStream k(SmallSps(3), Pps{});
  const Frame* prev = k.Pcm(IdrHeader(0, 0), 1);
  for (int n = 1; n <= 13; ++n) {
    prev = k.Add(CopyPicture(k.sps(), 0, RefHeader(n, 2 * n)), {prev});
  }
  const Frame* x = k.Pcm(RefHeader(14, 28, kSliceI), 2);
  const Frame* y = k.Pcm(RefHeader(15, 30, kSliceI), 3);
  const Frame* z = k.Pcm(RefHeader(0, 32, kSliceI), 4);
  k.Probe(NonRefHeader(1, 34), {z, y, x});
  // 1 - 3 wraps to 14: picNum -2 (X); then 14 + 1 = 15: picNum -1 (Y).
  k.Probe(WithReorder(NonRefHeader(1, 36), {{.idc = 0, .abs_diff_pic_num_minus1 = 2},
                                            {.idc = 1, .abs_diff_pic_num_minus1 = 0}}),
          {x, y, z});
  EXPECT_TRUE(k.Decodes());
}

// One picture twice in a list (by reordering): macroblocks predicted from the two indices
// reference the same picture, so with equal vectors and no coefficients the edges between them
// have boundary strength 0 and the loop filter, on at QP 40 over content it would visibly
// change, leaves the copy exact. A control picture takes the same content from two different
// pictures and must come out filtered.
TEST(ReferenceLists, PictureListedTwiceIsOneReferenceForTheLoopFilter) {
  Sps sps = SmallSps(3);
  Pps pps;
  Stream s;
  s.AddParams(sps, pps);
  const Frame f0 = SteppedFrame(sps.Width(), sps.Height(), 5);
  const Frame f1 = SteppedFrame(sps.Width(), sps.Height(), 6);
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &f0, IdrHeader(0, 0))));
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &f1, RefHeader(1, 2, kSliceI))));
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &f0, RefHeader(2, 4, kSliceI))));  // F0 again

  PictureCode dup;
  dup.header = NonRefHeader(3, 6);
  dup.header.SetActiveRefs(3);
  dup.header.slice_qp_delta = 30;  // QP 40
  // 3 - 3 = picNum 0 (F0), 0 + 2 = picNum 2 (the second F0 picture), 2 - 2 = picNum 0 again:
  // the list is {first F0, second F0, first F0}.
  dup.header.reorder = {{.idc = 0, .abs_diff_pic_num_minus1 = 2},
                        {.idc = 1, .abs_diff_pic_num_minus1 = 1},
                        {.idc = 0, .abs_diff_pic_num_minus1 = 1}};
  for (int i = 0; i < sps.SizeMbs(); ++i) {
    const bool odd = ((i % sps.WidthMbs()) + (i / sps.WidthMbs())) % 2 != 0;
    dup.mb.push_back({MbKind::kInter, odd ? 2 : 0});
  }
  s.Add(EncodePicture(sps, pps, dup));
  PictureCode control = dup;
  control.header.pic_order_cnt_lsb = 8;
  for (MbCode& mb : control.mb) mb.refIdx = mb.refIdx == 2 ? 1 : 0;  // two pictures
  s.Add(EncodePicture(sps, pps, control));

  const DecodeOutcome out = DecodeStream(s.bytes);
  ASSERT_EQ(out.pictures.size(), 5u);
  EXPECT_TRUE(out.pictures[3].frame == f0) << "the copy from one picture listed twice was filtered";
  EXPECT_FALSE(out.pictures[4].frame == f0)
      << "the control picture was not filtered: the stream does not exercise the loop filter";
}

// Two slices predicted from two different pictures meet at QP 40: the edges between them have
// boundary strength 1, every other edge 0. disable_deblocking_filter_idc decides whether the
// edges between the slices are filtered; an edge belongs to the macroblock right of or below
// it, so only the second slice's mode counts.
TEST(LoopFilterControl, DisableIdcPerSlice) {
  Sps sps = SmallSps(2);
  Pps pps;
  Stream s;
  s.AddParams(sps, pps);
  const Frame f0 = SteppedFrame(sps.Width(), sps.Height(), 5);
  const Frame f1 = SteppedFrame(sps.Width(), sps.Height(), 6);
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &f0, IdrHeader(0, 0))));
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &f1, RefHeader(1, 2, kSliceI))));
  struct Case {
    int idc[2];
    bool exact;
  };
  const Case cases[] = {{{1, 1}, true},  {{2, 2}, true},  {{0, 1}, true}, {{0, 2}, true},
                        {{1, 0}, false}, {{2, 0}, false}, {{0, 0}, false}};
  PictureCode p;
  p.header = NonRefHeader(2, 0);
  p.header.SetActiveRefs(2);  // {F1, F0}
  p.header.slice_qp_delta = 30;
  for (int i = 0; i < sps.SizeMbs(); ++i) p.mb.push_back({MbKind::kInter, i < 6 ? 0 : 1});
  p.slicesPerGroup = 2;  // macroblocks 0-5 and 6-11
  int poc = 4;
  for (const Case& c : cases) {
    p.header.pic_order_cnt_lsb = poc;
    poc += 2;
    p.adjustSlice = [c](int slice, SliceHeader* h) {
      h->disable_deblocking_filter_idc = c.idc[slice];
    };
    s.Add(EncodePicture(sps, pps, p));
  }
  const Frame copy = ExpectedPicture(sps, p, {&f1, &f0});
  const DecodeOutcome out = DecodeStream(s.bytes);
  ASSERT_EQ(out.pictures.size(), 2 + std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(out.pictures[2 + i].frame == copy, c.exact)
        << "idc " << c.idc[0] << " then " << c.idc[1];
  }
}

// Slice groups at QP 40: with the dispersed map every macroblock's left and upper neighbours
// belong to the other group, and the two groups predict from two different pictures. With
// disable_deblocking_filter_idc 2 no edge between slices is filtered, so the copy is exact;
// with 0 the same stream is filtered.
TEST(LoopFilterControl, EdgesBetweenSliceGroups) {
  Sps sps = SmallSps(2);
  Pps pps;
  pps.num_slice_groups_minus1 = 1;
  pps.slice_group_map_type = 1;
  Stream s;
  s.AddParams(sps, pps);
  const Frame f0 = SteppedFrame(sps.Width(), sps.Height(), 7);
  const Frame f1 = SteppedFrame(sps.Width(), sps.Height(), 8);
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &f0, IdrHeader(0, 0))));
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &f1, RefHeader(1, 2, kSliceI))));
  const std::vector<int> map = SliceGroupMap(sps, pps, 0);
  PictureCode p;
  p.header = NonRefHeader(2, 4);
  p.header.SetActiveRefs(2);  // {F1, F0}
  p.header.slice_qp_delta = 30;
  for (int i = 0; i < sps.SizeMbs(); ++i) p.mb.push_back({MbKind::kInter, map[i]});
  p.slicesPerGroup = 2;
  p.shuffleSeed = 9;
  p.header.disable_deblocking_filter_idc = 2;
  s.Add(EncodePicture(sps, pps, p));
  p.header.pic_order_cnt_lsb = 6;
  p.header.disable_deblocking_filter_idc = 0;
  s.Add(EncodePicture(sps, pps, p));
  const Frame copy = ExpectedPicture(sps, p, {&f1, &f0});
  const DecodeOutcome out = DecodeStream(s.bytes);
  ASSERT_EQ(out.pictures.size(), 4u);
  EXPECT_TRUE(out.pictures[2].frame == copy) << "edges between slice groups filtered with idc 2";
  EXPECT_FALSE(out.pictures[3].frame == copy) << "the same edges not filtered with idc 0";
}

struct GapCase {
  const char* name;
  int gapsAllowed;
  int numRefFrames;
  int numReorderFrames;
};

void PrintTo(const GapCase& c, std::ostream* os) {
  *os << c.name;
}

class FrameNumGap : public ::testing::TestWithParam<GapCase> {};

// frame_num jumps from 1 to 4. With gaps allowed, frames 2 and 3 are non-existing: they fill
// the list but their samples are unknown, so the next picture copies only from the real frame
// behind them. With gaps not allowed they are copies of the newest frame (B), so every index
// holds B. The synthesised frames are never output. Variants store them into a DPB that
// outputs at once, and into one that has to bump while filling the gap.
TEST_P(FrameNumGap, FillsTheGap) {
  const GapCase& c = GetParam();
  Sps sps;
  sps.num_ref_frames = c.numRefFrames;
  sps.gaps_in_frame_num_value_allowed_flag = c.gapsAllowed;
  sps.SetReorder(c.numReorderFrames, c.numRefFrames);
  KnownStream k(sps, Pps{});
  const Frame* a = k.Pcm(IdrHeader(0, 0), 1);
  const Frame* b = k.Pcm(RefHeader(1, 2, kSliceI), 2);
  const Frame* fresh = k.NewFrame(3);
  PictureCode p;
  p.header = RefHeader(4, 8);
  p.header.SetActiveRefs(3);  // {frame 3, frame 2, B}
  p.pcm = fresh;
  for (int i = 0; i < k.sps().SizeMbs(); ++i) {
    if (i % 3 == 0) {
      p.mb.push_back({MbKind::kPcm});
    } else {
      p.mb.push_back({MbKind::kInter, c.gapsAllowed ? 2 : i % 3});
    }
  }
  k.Add(p, {b, b, b});
  (void)a;
  EXPECT_TRUE(k.Decodes());
}

INSTANTIATE_TEST_SUITE_P(BothModes, FrameNumGap,
                         ::testing::Values(GapCase{"NonExisting", 1, 4, 0},
                                           GapCase{"NonExistingWhileBumping", 1, 3, 1},
                                           GapCase{"CopiesOfNewest", 0, 4, 0},
                                           GapCase{"CopiesOfNewestWhileBumping", 0, 3, 1}),
                         [](const ::testing::TestParamInfo<GapCase>& p) {
                           return std::string(p.param.name);
                         });

// A gap across the frame_num wrap: 14 is followed by 2, so 15, 0 and 1 are missing. Behind them
// in the list is frame 14 (X); the older frames hold A.
TEST(FrameNumGapWrap, MissingFramesAcrossTheWrap) {
  for (int gapsAllowed : {1, 0}) {
    SCOPED_TRACE(gapsAllowed ? "non-existing frames" : "copies of the newest frame");
    Sps sps;
    sps.num_ref_frames = 4;
    sps.gaps_in_frame_num_value_allowed_flag = gapsAllowed;
    sps.SetReorder(0, 4);
    KnownStream k(sps, Pps{});
    const Frame* prev = k.Pcm(IdrHeader(0, 0), 1);
    for (int n = 1; n <= 13; ++n)
      prev = k.Add(CopyPicture(k.sps(), 0, RefHeader(n, 2 * n)), {prev});
    const Frame* x = k.Pcm(RefHeader(14, 28, kSliceI), 2);
    PictureCode p;
    p.header = RefHeader(2, 40);
    p.header.SetActiveRefs(4);  // {1, 0, 15, 14}
    for (int i = 0; i < k.sps().SizeMbs(); ++i)
      p.mb.push_back({MbKind::kInter, gapsAllowed ? 3 : i % 4});
    k.Add(p, {x, x, x, x});
    EXPECT_TRUE(k.Decodes());
  }
}

// The frame numbers synthesised for a gap count in the order count of types 1 and 2: after a
// gap across the wrap the order count keeps growing, so output (here only at the end, without
// VUI) stays in decoding order. Type 1 with one offset of 2 per frame counts like type 2.
TEST(FrameNumGapWrap, OrderCountCountsTheWrapInsideTheGap) {
  for (int type : {1, 2}) {
    SCOPED_TRACE(type == 1 ? "type 1" : "type 2");
    Sps sps;
    sps.num_ref_frames = 3;
    sps.gaps_in_frame_num_value_allowed_flag = 1;
    sps.pic_order_cnt_type = type;
    sps.offset_for_ref_frame = {2};
    KnownStream k(sps, Pps{});
    const Frame* prev = k.Pcm(IdrHeader(0), 1, 0);
    for (int n = 1; n <= 14; ++n) {
      prev = n % 5 == 0 ? k.Pcm(RefHeader(n, 0, kSliceI), 10 + n, 2 * n)
                        : k.Add(CopyPicture(k.sps(), 0, RefHeader(n, 0)), {prev}, 2 * n);
    }
    const Frame* x = k.Pcm(RefHeader(2, 0, kSliceI), 30, 2 * 18);  // 15, 0 and 1 missing
    k.Add(CopyPicture(k.sps(), 0, RefHeader(3, 0)), {x}, 2 * 19);
    EXPECT_TRUE(k.Decodes());
  }
}

}  // namespace
}  // namespace vexlor::h264w
