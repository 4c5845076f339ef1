// Damaged versions of rich writer streams (slice groups of every map type, reordering, marking
// operations, frame_num gaps): headers with changed bits, NAL units cut short or dropped. The
// decoder must get through each without crashing or hanging (the sanitizer build checks memory
// use); what it outputs is not judged.
#include <gtest/gtest.h>

#include <cstdlib>

#include "h264/writer/harness.h"

namespace vexlor::h264w {
namespace {

// NAL units of a stream that uses most of what the decoder supports.
std::vector<std::vector<uint8_t>> RichStream(int mapType) {
  Sps sps;
  sps.pic_width_in_mbs_minus1 = 4;
  sps.pic_height_in_map_units_minus1 = 3;
  sps.num_ref_frames = 3;
  sps.gaps_in_frame_num_value_allowed_flag = mapType % 2;
  sps.SetReorder(1, 3);
  Pps pps;
  pps.num_slice_groups_minus1 = mapType == 6 ? 4 : mapType >= 3 ? 1 : 2;
  pps.slice_group_map_type = mapType;
  pps.slice_group_change_rate_minus1 = 2;
  pps.run_length_minus1[0] = 1;
  pps.run_length_minus1[1] = 3;
  pps.top_left[0] = 6;
  pps.bottom_right[0] = 13;
  pps.top_left[1] = 0;
  pps.bottom_right[1] = 7;
  for (int i = 0; i < sps.SizeMbs(); ++i) pps.slice_group_id.push_back((i * 7) % 5);
  const Frame a = NoiseFrame(sps.Width(), sps.Height(), 1);
  const Frame b = NoiseFrame(sps.Width(), sps.Height(), 2);
  std::vector<std::vector<uint8_t>> nals = {SpsNal(sps), PpsNal(pps)};
  auto add = [&](PictureCode p) {
    p.slicesPerGroup = 2;
    p.shuffleSeed = static_cast<uint32_t>(nals.size()) + 1;
    p.header.slice_group_change_cycle = static_cast<int>(nals.size() % 5) + 1;
    for (auto& n : EncodePicture(sps, pps, p)) nals.push_back(std::move(n));
  };
  add(PcmPicture(sps, &a, IdrHeader(0, 0)));
  PictureCode p1 = CopyPicture(sps, 0, RefHeader(1, 2));
  p1.pcm = &b;
  for (size_t i = 0; i < p1.mb.size(); i += 3) p1.mb[i].kind = MbKind::kPcm;
  p1.header.mmco = {{.op = 4, .max_long_term_frame_idx_plus1 = 1},
                    {.op = 6, .long_term_frame_idx = 0}};
  add(p1);
  PictureCode p2 = CopyPicture(sps, 1, RefHeader(2, 4));
  p2.header.SetActiveRefs(2);
  p2.header.reorder = {{.idc = 2, .long_term_pic_num = 0}};
  add(p2);
  PictureCode p3 = CopyPicture(sps, 0, RefHeader(5, 10));  // a gap: 3 and 4 missing
  p3.header.SetActiveRefs(3);
  p3.header.reorder = {{.idc = 0, .abs_diff_pic_num_minus1 = 2}};
  p3.header.mmco = {{.op = 1, .difference_of_pic_nums_minus1 = 0}, {.op = 2}};
  add(p3);
  PictureCode p4 = PcmPicture(sps, &b, NonRefHeader(6, 8, kSliceI));
  add(p4);
  SliceHeader five = RefHeader(6, 12);
  five.mmco = {{.op = 5}};
  add(CopyPicture(sps, 0, five));
  add(CopyPicture(sps, 0, RefHeader(1, 2)));
  return nals;
}

uint32_t Next(uint32_t* s) {
  *s ^= *s << 13;
  *s ^= *s >> 17;
  *s ^= *s << 5;
  return *s;
}

TEST(WriterRobustness, DamagedStreamsDecodeWithoutCrashOrHang) {
  // VEXLOR_WRITER_DAMAGE_ROUNDS raises the number of damaged streams per map type for longer
  // searches.
  const char* env = std::getenv("VEXLOR_WRITER_DAMAGE_ROUNDS");
  const int rounds = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 300;
  uint32_t state = 0x9e3779b9u;
  for (int mapType = 0; mapType <= 6; ++mapType) {
    SCOPED_TRACE(mapType);
    const std::vector<std::vector<uint8_t>> nals = RichStream(mapType);
    for (int round = 0; round < rounds; ++round) {
      std::vector<std::vector<uint8_t>> damaged = nals;
      const int changes = 1 + static_cast<int>(Next(&state) % 4);
      for (int c = 0; c < changes; ++c) {
        std::vector<uint8_t>& nal = damaged[Next(&state) % damaged.size()];
        const uint32_t kind = Next(&state) % 8;
        if (kind == 0 && nal.size() > 6) {
          nal.resize(5 + Next(&state) % (nal.size() - 5));  // cut short
        } else if (kind == 1) {
          nal.resize(4);  // only the start code remains
        } else if (nal.size() > 5) {
          // Mostly the header bytes, where a changed bit changes the meaning of all that follows.
          const size_t span = kind < 6 ? std::min<size_t>(nal.size() - 5, 12) : nal.size() - 5;
          nal[5 + Next(&state) % span] ^= static_cast<uint8_t>(1u << (Next(&state) % 8));
        }
      }
      Stream s;
      s.Add(damaged);
      const DecodeOutcome out = DecodeStream(s.bytes);
      // At most one picture per slice, and what the buffer holds.
      EXPECT_LE(out.pictures.size(), damaged.size() + 17) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace vexlor::h264w
