// Stream facts and the reasons the decoder gives: x264 streams of several profiles against what
// ffprobe says of them (tests/data/profiles, made by tools/make_test_streams.sh), and made-up
// streams for the picture order counts and cropping x264 does not produce.
#include "h264/stream_facts.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "h264/access_units.h"
#include "h264/annexb.h"
#include "h264/api.h"
#include "h264/frontend_streams.h"

namespace vexlor::h264 {
namespace {

using testing::Bits;
using testing::Nal;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// NAME.probe: key=value lines.
std::map<std::string, std::string> ReadProbe(const std::string& path) {
  std::map<std::string, std::string> out;
  std::ifstream f(path);
  for (std::string line; std::getline(f, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

// The decoding index of every frame in presentation order, as the probe's "order" line has it.
std::string PresentationOrder(const std::vector<AccessUnitFacts>& units) {
  const std::vector<int32_t> ranks = PresentationRanks(units);
  std::vector<int> order(units.size(), -1);
  for (size_t i = 0; i < ranks.size(); ++i) {
    if (ranks[i] >= 0) order[static_cast<size_t>(ranks[i])] = static_cast<int>(i);
  }
  std::string text;
  for (int index : order) {
    if (index < 0) continue;
    if (!text.empty()) text += ' ';
    text += std::to_string(index);
  }
  return text;
}

TEST(StreamFacts, ProfileStreamsAsFfprobeSeesThemAndTheReasonsTheDecoderGives) {
  struct Row {
    const char* name;
    int codedWidth, codedHeight;
    bool cabac, transform8x8;
    const char* reason;
  };
  const Row rows[] = {
      {"baseline", 640, 368, false, false, ""},
      {"main_cabac", 640, 368, true, false, "Main profile: CABAC"},
      {"main_bframes", 480, 272, false, false, "Main profile: B slices"},
      {"high_8x8", 640, 368, true, true, "High profile: CABAC, 8x8 transform"},
      {"interlaced", 640, 384, true, true,
       "High profile: interlaced (MBAFF) frames, CABAC, B slices, 8x8 transform, weighted "
       "prediction"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string base = std::string(VEXLOR_SOURCE_DIR) + "/tests/data/profiles/" + row.name;
    const std::vector<uint8_t> stream = ReadFile(base + ".264");
    auto probe = ReadProbe(base + ".probe");
    ASSERT_FALSE(stream.empty());
    ASSERT_FALSE(probe["order"].empty());

    PictureOrderTracker tracker;
    std::vector<AccessUnitFacts> units;
    for (const AccessUnit& au : SplitAccessUnits(stream)) units.push_back(tracker.Add(au.bytes));
    const SequenceFacts* f = tracker.ActiveSequence();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->profile, probe["profile"]);
    EXPECT_EQ(std::to_string(f->levelIdc), probe["level"]);
    EXPECT_EQ(std::to_string(f->width), probe["width"]);
    EXPECT_EQ(std::to_string(f->height), probe["height"]);
    EXPECT_EQ(std::to_string(f->maxNumReorderFrames), probe["has_b_frames"]);
    EXPECT_EQ(f->codedWidth, row.codedWidth);
    EXPECT_EQ(f->codedHeight, row.codedHeight);
    EXPECT_EQ(PresentationOrder(units), probe["order"]);
    EXPECT_EQ(tracker.UnsupportedReason(), row.reason);
    EXPECT_EQ(f->decodable, std::string(row.reason).empty());

    // The picture parameter set read on its own.
    std::span<const uint8_t> rest(stream);
    PictureSetFacts pps;
    while (!rest.empty() && !ReadPictureSetFacts(NextNalUnit(rest), &pps, f)) {
      rest = rest.subspan(NextNalUnit(rest).size());
    }
    EXPECT_EQ(pps.cabac, row.cabac);
    EXPECT_EQ(pps.transform8x8, row.transform8x8);

    // The decoder delivers every picture, or none and says why.
    const StreamSummary decoded = DecodeStream(stream, [](const PictureView&) {});
    EXPECT_EQ(decoded.pictures, std::string(row.reason).empty() ? 12 : 0);
    EXPECT_EQ(decoded.unsupported, row.reason);
  }
}

// Made-up streams in the High profile's syntax: 16 frame numbers, 16 order count lsbs, and for
// order count type 1 offsets of 4 per reference frame, -2 for a non-reference picture and -1
// from top to bottom field.
struct SeqOptions {
  int profile = 100;
  int chroma = 1;
  int bitDepth = 8;
  int pocType = 0;
  int frameMbsOnly = 0;
  int heightMapUnits = 2;
  int cropRight = 0, cropBottom = 0;
};

std::vector<uint8_t> MakeSps(const SeqOptions& o) {
  Bits b;
  b.U(8, o.profile);
  b.U(8, 0);
  b.U(8, 30);
  b.Ue(0);
  if (o.profile >= 100) {
    b.Ue(o.chroma);
    if (o.chroma == 3) b.U(1, 0);
    b.Ue(o.bitDepth - 8);
    b.Ue(o.bitDepth - 8);
    b.U(2, 0);
  }
  b.Ue(0);
  b.Ue(o.pocType);
  if (o.pocType == 0) b.Ue(0);
  if (o.pocType == 1) {
    b.U(1, 0);
    b.Se(-2);
    b.Se(-1);
    b.Ue(1);
    b.Se(4);
  }
  b.Ue(2);
  b.U(1, 0);
  b.Ue(1);
  b.Ue(o.heightMapUnits - 1);
  b.U(1, o.frameMbsOnly);
  if (!o.frameMbsOnly) b.U(1, 0);
  b.U(1, 1);
  b.U(1, o.cropRight || o.cropBottom ? 1 : 0);
  if (o.cropRight || o.cropBottom) {
    b.Ue(0);
    b.Ue(o.cropRight);
    b.Ue(0);
    b.Ue(o.cropBottom);
  }
  b.U(1, 0);
  b.Trailing();
  return Nal(3, 7, b.bytes());
}

// CAVLC, bottom field order present, no weighted prediction.
std::vector<uint8_t> MakePps() {
  Bits b;
  b.Ue(0);
  b.Ue(0);
  b.U(1, 0);
  b.U(1, 1);
  b.Ue(0);
  b.Ue(0);
  b.Ue(0);
  b.U(3, 0);
  b.Se(0);
  b.Se(0);
  b.Se(0);
  b.U(3, 0);
  b.Trailing();
  return Nal(3, 8, b.bytes());
}

enum { kFrame, kTop, kBottom };

// One picture (one slice): an IDR picture is an I slice, another reference picture a P slice, a
// non-reference picture a B slice. `order` is pic_order_cnt_lsb, or delta_pic_order_cnt[0].
struct Pic {
  bool newUnit;
  int idr, ref, structure, frameNum, order;
  bool mmco5 = false;
};

std::vector<uint8_t> MakeSlice(const SeqOptions& o, const Pic& p) {
  const int type = p.idr ? 2 : p.ref ? 0 : 1;
  Bits b;
  b.Ue(0);
  b.Ue(type + 5);
  b.Ue(0);
  b.U(4, p.frameNum);
  if (!o.frameMbsOnly) {
    b.U(1, p.structure != kFrame);
    if (p.structure != kFrame) b.U(1, p.structure == kBottom);
  }
  if (p.idr) b.Ue(0);
  if (o.pocType == 0) b.U(4, p.order);
  if (o.pocType == 1) b.Se(p.order);
  if (o.pocType != 2 && p.structure == kFrame) b.Se(0);
  if (type == 1) b.U(1, 1);
  if (type != 2) b.U(1, 0);
  if (type != 2) b.U(1, 0);
  if (type == 1) b.U(1, 0);
  if (p.ref && p.idr) b.U(2, 0);
  if (p.ref && !p.idr) b.U(1, p.mmco5);
  if (p.ref && p.mmco5) {
    b.Ue(5);
    b.Ue(0);
  }
  b.Se(0);
  b.Trailing();
  return Nal(p.ref, p.idr ? 5 : 1, b.bytes());
}

TEST(StreamFacts, PictureOrderOfFieldsFramesAndResets) {
  constexpr const char* kFieldsReason = "High profile: interlaced (field) pictures, B slices";
  const Pic fieldPairs[] = {
      {true, 1, 1, kTop, 0, 0},     {false, 0, 1, kBottom, 0, 1},  {true, 0, 1, kTop, 1, 8},
      {false, 0, 1, kBottom, 1, 9}, {true, 0, 0, kTop, 2, 4},      {false, 0, 0, kBottom, 2, 5},
      {true, 0, 1, kTop, 2, 12},    {false, 0, 1, kBottom, 2, 13},
  };
  std::vector<Pic> fieldsApart(std::begin(fieldPairs), std::end(fieldPairs));
  for (Pic& p : fieldsApart) p.newUnit = true;
  std::vector<Pic> typeOne(std::begin(fieldPairs), std::begin(fieldPairs) + 6);
  for (Pic& p : typeOne) p.order = 0;
  std::vector<Pic> typeTwo = {{true, 1, 1, kFrame, 0, 0}};
  for (int n = 1; n <= 16; ++n) typeTwo.push_back({true, 0, 1, kFrame, n % 16, 0});
  typeTwo.push_back({true, 0, 0, kFrame, 1, 0});
  const std::vector<Pic> resets = {
      {true, 1, 1, kFrame, 0, 0}, {true, 0, 1, kFrame, 1, 4}, {true, 0, 1, kFrame, 2, 8, true},
      {true, 0, 1, kFrame, 1, 4}, {true, 0, 0, kFrame, 2, 2}, {true, 0, 1, kFrame, 2, 12},
      {true, 0, 1, kFrame, 3, 0}, {true, 1, 1, kFrame, 0, 0},
  };
  struct Row {
    const char* what;
    SeqOptions sps;
    std::vector<Pic> pictures;
    std::vector<int64_t> pocs;  // per unit
    std::vector<int32_t> ranks;
    const char* reason;
  };
  const Row rows[] = {
      {"field pairs, a unit each",
       {},
       {std::begin(fieldPairs), std::end(fieldPairs)},
       {0, 8, 4, 12},
       {0, 2, 1, 3},
       kFieldsReason},
      {"fields in units of their own",
       {},
       fieldsApart,
       {0, 0, 8, 8, 4, 4, 12, 12},
       {0, -1, 2, -1, 1, -1, 3, -1},
       kFieldsReason},
      {"order count type 1, fields", {.pocType = 1}, typeOne, {-1, 3, 1}, {0, 2, 1}, kFieldsReason},
      {"order count type 2, frame_num wraps",
       {.pocType = 2, .frameMbsOnly = 1},
       typeTwo,
       {0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 33},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
       "High profile: B slices"},
      {"memory management 5, lsb wrap, IDR",
       {.frameMbsOnly = 1},
       resets,
       {0, 4, 0, 4, 2, 12, 16, 0},
       {0, 1, 2, 4, 3, 5, 6, 7},
       "High profile: B slices"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PictureOrderTracker tracker;
    std::vector<uint8_t> sets = MakeSps(row.sps);
    testing::Append(&sets, MakePps());
    (void)tracker.Add(sets);
    std::vector<std::vector<uint8_t>> bytes;
    for (const Pic& p : row.pictures) {
      if (p.newUnit) bytes.emplace_back();
      testing::Append(&bytes.back(), MakeSlice(row.sps, p));
    }
    std::vector<AccessUnitFacts> units;
    std::vector<int64_t> pocs;
    for (const auto& unit : bytes) {
      units.push_back(tracker.Add(unit));
      EXPECT_EQ(units.back().unreadSlices, 0);
      pocs.push_back(units.back().poc);
      testing::Append(&sets, unit);
    }
    EXPECT_EQ(pocs, row.pocs);
    EXPECT_EQ(PresentationRanks(units), row.ranks);
    // The tracker and the decoder name the same tools.
    EXPECT_EQ(tracker.UnsupportedReason(), row.reason);
    EXPECT_EQ(DecodeStream(sets, [](const PictureView&) {}).unsupported, row.reason);
  }
}

TEST(StreamFacts, CroppingInLumaSamplesAndWhatTheDecoderLacks) {
  struct Row {
    SeqOptions sps;
    int codedHeight, width, height;
    const char* reason;
  };
  const Row rows[] = {
      {{.profile = 66, .frameMbsOnly = 1, .cropRight = 1, .cropBottom = 2}, 32, 30, 28, ""},
      {{.chroma = 0, .frameMbsOnly = 1, .cropRight = 1, .cropBottom = 2},
       32,
       31,
       30,
       "High profile: monochrome"},
      {{.profile = 122, .chroma = 2, .frameMbsOnly = 1, .cropRight = 1, .cropBottom = 2},
       32,
       30,
       30,
       "High 4:2:2 profile: 4:2:2 chroma"},
      {{.profile = 244, .chroma = 3, .frameMbsOnly = 1, .cropRight = 1},
       32,
       31,
       32,
       "High 4:4:4 Predictive profile: 4:4:4 chroma"},
      {{.profile = 110, .bitDepth = 10, .frameMbsOnly = 1, .cropBottom = 2},
       32,
       32,
       28,
       "High 10 profile: 10-bit samples"},
      {{.heightMapUnits = 1, .cropBottom = 2}, 32, 32, 24, "High profile: interlaced coding"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reason);
    SequenceFacts f;
    ASSERT_TRUE(ReadSequenceFacts(MakeSps(row.sps), &f));
    EXPECT_EQ(f.codedWidth, 32);
    EXPECT_EQ(f.codedHeight, row.codedHeight);
    EXPECT_EQ(f.width, row.width);
    EXPECT_EQ(f.height, row.height);
    EXPECT_EQ(f.reason, row.reason);
    EXPECT_EQ(f.decodable, std::string(row.reason).empty());
  }
}

}  // namespace
}  // namespace vexlor::h264
