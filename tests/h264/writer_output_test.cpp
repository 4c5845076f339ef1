// Picture order count of every type across wrap-around, output order with and without
// reordering promises, the picture buffer's capacity limits, a change of picture size, and the
// entry's handling of slices it must defer, skip or reject.
#include <gtest/gtest.h>

#include <algorithm>

#include "h264/writer/harness.h"

namespace vexlor::h264w {
namespace {

// Reference pictures of fresh content alternating with non-reference pictures whose order
// count lies between the two reference pictures around them, decoded out of order; the lsb
// field wraps every 16. Output must follow the order count (0, 4, 8, ...) whether the buffer
// bumps at a small capacity promised by the VUI or only when its level-sized capacity is full.
void CheckReorderedOutput(const Sps& sps, int pairs) {
  Pps pps;
  Stream s;
  s.AddParams(sps, pps);
  std::deque<Frame> frames;
  std::vector<std::pair<int, const Frame*>> byPoc;
  auto pcm = [&](const SliceHeader& h, int poc) {
    frames.push_back(NoiseFrame(sps.Width(), sps.Height(), 100 + static_cast<uint32_t>(poc)));
    s.Add(EncodePicture(sps, pps, PcmPicture(sps, &frames.back(), h)));
    byPoc.emplace_back(poc, &frames.back());
  };
  pcm(IdrHeader(0, 0), 0);
  for (int n = 1; n <= pairs; ++n) {
    const int refPoc = 8 * n, nonRefPoc = 8 * n - 4;
    pcm(RefHeader(n % 16, refPoc % 16, kSliceI), refPoc);
    pcm(NonRefHeader((n + 1) % 16, nonRefPoc % 16, kSliceI), nonRefPoc);
  }
  std::sort(byPoc.begin(), byPoc.end());
  std::vector<Expected> want;
  for (const auto& [poc, f] : byPoc) want.push_back({f, poc});
  EXPECT_TRUE(DecodesTo(s, want));
}

TEST(OutputOrder, BumpingWithNumReorderFrames) {
  Sps sps;
  sps.log2_max_pic_order_cnt_lsb_minus4 = 0;
  sps.SetReorder(1, 2);
  CheckReorderedOutput(sps, 6);
}

TEST(OutputOrder, BumpingAtLevelCapacityWithoutVui) {
  Sps sps;  // level 3.0 holds far more than 16 pictures of this size: capacity 16
  sps.log2_max_pic_order_cnt_lsb_minus4 = 0;
  CheckReorderedOutput(sps, 12);
}

// Sixteen reference pictures wait for output when a non-reference picture with the highest
// order count is finished: one bumping pass queues all sixteen and the picture itself.
TEST(OutputOrder, BumpingPassQueuesCapacityPlusOne) {
  Sps sps;
  sps.pic_width_in_mbs_minus1 = 1;
  sps.pic_height_in_map_units_minus1 = 1;
  sps.num_ref_frames = 16;
  sps.log2_max_frame_num_minus4 = 1;
  KnownStream k(sps, Pps{});
  k.Pcm(IdrHeader(0, 0), 1);
  for (int n = 1; n < 16; ++n) k.Pcm(RefHeader(n, 2 * n, kSliceI), 1 + n);
  k.Pcm(NonRefHeader(16, 100, kSliceI), 50);
  k.Pcm(IdrHeader(1, 0), 51);
  EXPECT_TRUE(k.Decodes());
}

// Type 1: a cycle of two reference offsets (3, 5), +1 for non-reference pictures, and some
// delta_pic_order_cnt[0]; frame_num wraps twice (MaxFrameNum 16).
TEST(PictureOrderCount, Type1AcrossFrameNumWrap) {
  Sps sps;
  sps.pic_order_cnt_type = 1;
  sps.offset_for_ref_frame = {3, 5};
  sps.offset_for_non_ref_pic = 1;
  sps.offset_for_top_to_bottom_field = -7;  // read, no effect on frames
  sps.SetReorder(0, 1);
  Pps pps;
  pps.pic_order_present_flag = 1;  // delta_pic_order_cnt[1] present, no effect on frames
  KnownStream k(sps, pps);
  auto expectedPoc = [](int absFrameNum, bool ref, int delta0) {
    if (!ref && absFrameNum > 0) --absFrameNum;
    int poc = 0;
    if (absFrameNum > 0) poc = 8 * ((absFrameNum - 1) / 2) + ((absFrameNum - 1) % 2 == 0 ? 3 : 8);
    return poc + (ref ? 0 : 1) + delta0;
  };
  const Frame* prev = k.Pcm(IdrHeader(0), 1, 0);
  for (int n = 1; n <= 36; ++n) {  // n counts frame numbers without wrapping
    SliceHeader nonRef = NonRefHeader(n % 16, 0);
    nonRef.delta_pic_order_cnt[0] = n % 5 == 2 ? 1 : 0;
    nonRef.delta_pic_order_cnt[1] = -3;
    k.Add(CopyPicture(k.sps(), 0, nonRef), {prev},
          expectedPoc(n, false, nonRef.delta_pic_order_cnt[0]));
    SliceHeader ref = RefHeader(n % 16, 0, kSliceI);
    ref.delta_pic_order_cnt[0] = n % 5 == 0 ? -1 : 0;
    prev = k.Pcm(ref, 10 + n, expectedPoc(n, true, ref.delta_pic_order_cnt[0]));
  }
  EXPECT_TRUE(k.Decodes());
}

// Type 1 without a cycle: every non-IDR picture takes delta_pic_order_cnt[0], plus the
// non-reference offset.
TEST(PictureOrderCount, Type1WithoutCycle) {
  Sps sps;
  sps.pic_order_cnt_type = 1;
  sps.offset_for_non_ref_pic = -5;
  sps.SetReorder(0, 1);
  KnownStream k(sps, Pps{});
  const Frame* prev = k.Pcm(IdrHeader(0), 1, 0);
  for (int n = 1; n <= 4; ++n) {
    SliceHeader ref = RefHeader(n, 0);
    ref.delta_pic_order_cnt[0] = 10 * n;
    prev = k.Add(CopyPicture(k.sps(), 0, ref), {prev}, 10 * n);
    SliceHeader nonRef = NonRefHeader(n + 1, 0, kSliceI);
    nonRef.delta_pic_order_cnt[0] = 10 * n + 7;
    k.Pcm(nonRef, 20 + n, 10 * n + 2);
  }
  EXPECT_TRUE(k.Decodes());
}

// Type 2 without any VUI (output at once): 2 x frame number, minus 1 for non-reference
// pictures, across two frame_num wraps; an IDR restarts at 0.
TEST(PictureOrderCount, Type2AcrossFrameNumWrap) {
  Sps sps;
  sps.pic_order_cnt_type = 2;
  KnownStream k(sps, Pps{});
  const Frame* prev = k.Pcm(IdrHeader(0), 1, 0);
  for (int n = 1; n <= 35; ++n) {
    if (n % 3 == 0) {
      k.Add(CopyPicture(k.sps(), 0, NonRefHeader(n % 16, 0)), {prev}, 2 * n - 1);
    }
    prev = n % 4 == 0 ? k.Pcm(RefHeader(n % 16, 0, kSliceI), 10 + n, 2 * n)
                      : k.Add(CopyPicture(k.sps(), 0, RefHeader(n % 16, 0)), {prev}, 2 * n);
  }
  prev = k.Pcm(IdrHeader(1), 99, 0);
  k.Add(CopyPicture(k.sps(), 0, RefHeader(1, 0)), {prev}, 2);
  // After memory management operation 5 the frame numbers count from 0 again.
  SliceHeader five = RefHeader(2, 0, kSliceI);
  five.mmco = {{.op = 5}};
  prev = k.Pcm(five, 100, kAnyPoc);
  k.Add(CopyPicture(k.sps(), 0, RefHeader(1, 0)), {prev}, 2);
  k.Add(CopyPicture(k.sps(), 0, NonRefHeader(2, 0)), {prev}, 3);
  EXPECT_TRUE(k.Decodes());
}

// Type 0 with a 16-value lsb across many wraps, output at once.
TEST(PictureOrderCount, Type0AcrossLsbWrap) {
  Sps sps;
  sps.log2_max_pic_order_cnt_lsb_minus4 = 0;
  sps.SetReorder(0, 1);
  KnownStream k(sps, Pps{});
  const Frame* prev = k.Pcm(IdrHeader(0, 0), 1);
  for (int n = 1; n <= 20; ++n) {
    const int poc = 6 * n;  // steps of 6 land on every lsb residue
    prev = n % 3 == 0 ? k.Pcm(RefHeader(n % 16, poc % 16, kSliceI), 10 + n, poc)
                      : k.Add(CopyPicture(k.sps(), 0, RefHeader(n % 16, poc % 16)), {prev}, poc);
  }
  EXPECT_TRUE(k.Decodes());
}

// A picture with memory management operation 5 separates output runs as an IDR picture does:
// everything before it leaves first, even with a higher order count than what follows.
TEST(OutputOrder, Mmco5IsAnOutputBarrier) {
  Sps sps;  // no VUI: output at drain
  sps.num_ref_frames = 2;
  KnownStream k(sps, Pps{});
  k.Pcm(IdrHeader(0, 0), 1);
  k.Pcm(RefHeader(1, 20, kSliceI), 2);
  SliceHeader five = RefHeader(2, 30, kSliceI);
  five.mmco = {{.op = 5}};
  k.Pcm(five, 3, kAnyPoc);
  k.Pcm(RefHeader(1, 2, kSliceI), 4);
  k.Pcm(NonRefHeader(2, 4, kSliceI), 5);
  EXPECT_TRUE(k.Decodes());
}

// A new SPS of another size takes effect at the next IDR picture, whether it replaces the SPS
// in use or comes with its own id and PPS. Pictures of the old size still waiting for output
// leave with their own size.
TEST(PictureSize, ChangesAtIdr) {
  for (int variant = 0; variant < 3; ++variant) {
    const bool outputAtOnce = variant != 1;
    const bool newIds = variant == 2;
    SCOPED_TRACE(variant);
    Sps big;
    big.pic_width_in_mbs_minus1 = 4;
    big.pic_height_in_map_units_minus1 = 3;
    if (outputAtOnce) big.SetReorder(0, 1);
    Sps small = big;
    small.pic_width_in_mbs_minus1 = 1;
    small.pic_height_in_map_units_minus1 = 2;
    Pps pps;
    Stream s;
    s.AddParams(big, pps);
    const Frame a = NoiseFrame(big.Width(), big.Height(), 1);
    const Frame c = NoiseFrame(small.Width(), small.Height(), 2);
    s.Add(EncodePicture(big, pps, PcmPicture(big, &a, IdrHeader(0, 0))));
    s.Add(EncodePicture(big, pps, CopyPicture(big, 0, RefHeader(1, 2))));
    Pps smallPps = pps;
    SliceHeader idr = IdrHeader(1, 0), p = RefHeader(1, 2);
    if (newIds) {
      small.seq_parameter_set_id = 3;
      smallPps.seq_parameter_set_id = 3;
      smallPps.pic_parameter_set_id = idr.pic_parameter_set_id = p.pic_parameter_set_id = 7;
      s.Add(PpsNal(smallPps));
    }
    s.Add(SpsNal(small));  // without new ids: same id, replaces the first
    s.Add(EncodePicture(small, smallPps, PcmPicture(small, &c, idr)));
    s.Add(EncodePicture(small, smallPps, CopyPicture(small, 0, p)));
    EXPECT_TRUE(DecodesTo(s, {{&a, 0}, {&a, 2}, {&c, 0}, {&c, 2}}));
  }
}

// Capacity 0 (max_dec_frame_buffering 0): nothing can be stored, every picture is output
// through bumping, none lost or repeated.
TEST(OutputOrder, CapacityZero) {
  Sps sps;
  sps.num_ref_frames = 0;
  sps.SetReorder(0, 0);
  KnownStream k(sps, Pps{});
  k.Pcm(IdrHeader(0, 0), 1);
  k.Pcm(NonRefHeader(1, 2, kSliceI), 2);
  k.Pcm(NonRefHeader(1, 4, kSliceI), 3);
  k.Pcm(IdrHeader(1, 0), 4);
  k.Pcm(NonRefHeader(1, 2, kSliceI), 5);
  EXPECT_TRUE(k.Decodes());
}

// A buffer promised too small for the reference frames (capacity 1, two reference frames): the
// second reference picture cannot be stored. It must not be written through a missing frame;
// the decoder goes on and the next IDR picture decodes.
TEST(OutputOrder, FullBufferOfReferencesFailsTheStore) {
  Sps sps;
  sps.num_ref_frames = 2;
  sps.SetReorder(0, 1);
  Pps pps;
  Stream s;
  s.AddParams(sps, pps);
  const Frame a = NoiseFrame(sps.Width(), sps.Height(), 1);
  const Frame b = NoiseFrame(sps.Width(), sps.Height(), 2);
  const Frame c = NoiseFrame(sps.Width(), sps.Height(), 3);
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &a, IdrHeader(0, 0))));
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &b, RefHeader(1, 2, kSliceI))));
  s.Add(EncodePicture(sps, pps, PcmPicture(sps, &c, IdrHeader(1, 0))));
  const DecodeOutcome out = DecodeStream(s.bytes);
  ASSERT_GE(out.pictures.size(), 2u);
  EXPECT_EQ(out.pictures.front().frame, a);
  EXPECT_EQ(out.pictures.back().frame, c);
  for (const DecodedPicture& p : out.pictures) {
    EXPECT_TRUE(p.frame == a || p.frame == b || p.frame == c) << "picture of unknown content";
  }
}

// Capacity 1 with reordering allowed: at every picture boundary the finished picture bumps the
// previous one, so the first slice of each picture is deferred. Pictures of three slices
// carrying I_PCM macroblocks alternate with pictures of one slice, whose deferred slice is
// followed by the next picture's first slice; the NAL unit passed with the call that takes up
// a deferred slice must not be lost, and the stream ends with a deferred slice. DecodesTo also
// overwrites the caller's buffer after each call.
TEST(DeferredSlice, KeepsItsBytesAndTheNextNalUnit) {
  Sps sps;
  sps.SetReorder(1, 1);
  KnownStream k(sps, Pps{});
  const Frame* prev = k.Pcm(IdrHeader(0, 0), 1);
  for (int n = 1; n <= 8; ++n) {
    PictureCode p;
    p.header = RefHeader(n, 2 * n);
    p.pcm = k.NewFrame(10 + n);
    for (int i = 0; i < k.sps().SizeMbs(); ++i) {
      p.mb.push_back({(i + n) % 2 == 0 ? MbKind::kPcm : MbKind::kSkip});
    }
    p.slicesPerGroup = n % 3 == 0 ? 3 : 1;
    prev = k.Add(p, {prev});
  }
  EXPECT_TRUE(k.Decodes());
}

// Slices before the first IDR picture are skipped; B slices (slice_type 1 and 6) are
// rejected before they make a picture, although they are written so that a decoder taking
// them for P slices would decode them.
TEST(SliceAcceptance, SkipsSlicesBeforeFirstIdrAndRejectsB) {
  Sps sps;
  sps.num_ref_frames = 1;
  sps.SetReorder(0, 1);
  KnownStream k(sps, Pps{});
  const Frame* early = k.NewFrame(50);
  k.AddSilently(PcmPicture(k.sps(), early, RefHeader(0, 0, kSliceI)));
  k.AddSilently(CopyPicture(k.sps(), 0, RefHeader(1, 2)));
  const Frame* a = k.Pcm(IdrHeader(0, 0), 1);
  k.AddSilently(CopyPicture(k.sps(), 0, NonRefHeader(1, 2, kSliceB)));
  SliceHeader b6 = NonRefHeader(1, 4, kSliceB + 5);
  k.AddSilently(CopyPicture(k.sps(), 0, b6));
  PictureCode p;
  p.header = RefHeader(1, 6);
  p.pcm = k.NewFrame(2);
  for (int i = 0; i < k.sps().SizeMbs(); ++i)
    p.mb.push_back({i % 2 ? MbKind::kPcm : MbKind::kSkip});
  k.Add(p, {a});
  EXPECT_TRUE(k.Decodes());
}

// Elements the decoder reads but does not act on (VUI with every part, HRD parameters,
// redundant_pic_cnt, delta_pic_order_cnt_bottom, the highest parameter set ids) must not
// disturb parsing; cropping offsets are reported with the full-size picture.
TEST(Headers, EveryOptionalElementIsReadPast) {
  Sps sps;
  sps.seq_parameter_set_id = 31;
  sps.log2_max_frame_num_minus4 = 12;
  sps.log2_max_pic_order_cnt_lsb_minus4 = 12;
  sps.frame_cropping_flag = 1;
  sps.frame_crop_left_offset = 1;
  sps.frame_crop_right_offset = 2;
  sps.frame_crop_top_offset = 3;
  sps.frame_crop_bottom_offset = 4;
  sps.vui_parameters_present_flag = 1;
  Vui& v = sps.vui;
  v.aspect_ratio_info_present_flag = 1;
  v.aspect_ratio_idc = 255;
  v.sar_width = 0xFFFF;
  v.sar_height = 1;
  v.overscan_info_present_flag = 1;
  v.overscan_appropriate_flag = 1;
  v.video_signal_type_present_flag = 1;
  v.colour_description_present_flag = 1;
  v.chroma_loc_info_present_flag = 1;
  v.chroma_sample_loc_type_top_field = 5;
  v.chroma_sample_loc_type_bottom_field = 3;
  v.timing_info_present_flag = 1;
  v.num_units_in_tick = 0x80000001u;
  v.time_scale = 0xFFFFFFFFu;
  v.fixed_frame_rate_flag = 1;
  v.nal_hrd_parameters_present_flag = 1;
  v.nal_hrd.cpb_cnt_minus1 = 2;
  v.nal_hrd.bit_rate_value_minus1 = {0, 4294967294u, 77};
  v.nal_hrd.cpb_size_value_minus1 = {4294967294u, 0, 5};
  v.nal_hrd.cbr_flag = {1, 0, 1};
  v.vcl_hrd_parameters_present_flag = 1;
  v.low_delay_hrd_flag = 1;
  v.pic_struct_present_flag = 1;
  v.bitstream_restriction_flag = 1;
  v.max_bytes_per_pic_denom = 16;
  v.log2_max_mv_length_vertical = 16;
  v.num_reorder_frames = 0;
  v.max_dec_frame_buffering = 1;
  Pps pps;
  pps.pic_parameter_set_id = 255;
  pps.seq_parameter_set_id = 31;
  pps.pic_order_present_flag = 1;
  pps.redundant_pic_cnt_present_flag = 1;
  pps.constrained_intra_pred_flag = 1;
  pps.chroma_qp_index_offset = -12;
  pps.pic_init_qs_minus26 = 25;
  KnownStream k(sps, pps);
  SliceHeader idr = IdrHeader(65535, 0);
  idr.pic_parameter_set_id = 255;
  idr.delta_pic_order_cnt_bottom = -100000;
  const Frame* a = k.Pcm(idr, 1);
  SliceHeader p = RefHeader(1, 3);
  p.pic_parameter_set_id = 255;
  p.delta_pic_order_cnt_bottom = 7;
  p.disable_deblocking_filter_idc = 2;
  p.slice_alpha_c0_offset_div2 = -6;
  p.slice_beta_offset_div2 = 6;
  k.Add(CopyPicture(k.sps(), 0, p), {a});
  const DecodeOutcome out = DecodeStream(k.stream.bytes);
  EXPECT_TRUE(SameOutput(out, k.expected));
  ASSERT_FALSE(out.pictures.empty());
  EXPECT_EQ(out.pictures[0].cropLeft, 1);
  EXPECT_EQ(out.pictures[0].cropRight, 2);
  EXPECT_EQ(out.pictures[0].cropTop, 3);
  EXPECT_EQ(out.pictures[0].cropBottom, 4);
}

}  // namespace
}  // namespace vexlor::h264w
