// Decodes the committed x264 streams (tests/data/x264, made by tools/make_test_streams.sh)
// with the decoder and compares the visible area of every picture with the encoder's
// own reconstruction.
//
// Which streams must match is decided in tests/conformance/CMakeLists.txt: VEXLOR_X264_EXACT
// streams must match picture by picture, VEXLOR_X264_COUNT streams must deliver the right number
// of pictures; every stream must be decoded to the end without a fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "conformance/stream_feed.h"
#include "h264/md5.h"

namespace vexlor::testing {
namespace {

namespace fs = std::filesystem;

fs::path StreamDir() {
  return fs::path(VEXLOR_SOURCE_DIR) / "tests" / "data" / "x264";
}

std::set<std::string> SplitList(const std::string& csv) {
  std::set<std::string> out;
  std::stringstream in(csv);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) out.insert(item);
  }
  return out;
}

const std::set<std::string>& ExactStreams() {
  static const std::set<std::string> s = SplitList(VEXLOR_X264_EXACT);
  return s;
}
const std::set<std::string>& CountStreams() {
  static const std::set<std::string> s = SplitList(VEXLOR_X264_COUNT);
  return s;
}

std::vector<std::string> ListStreams() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(StreamDir(), ec)) {
    if (e.path().extension() == ".264") names.push_back(e.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<uint8_t> ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// "WxH md5" of each reference picture.
std::vector<std::string> ReadReference(const fs::path& p) {
  std::vector<std::string> out;
  std::ifstream f(p);
  for (std::string index, size, md5; f >> index >> size >> md5;) out.push_back(size + " " + md5);
  return out;
}

// The visible area of a delivered picture: the frame cropping offsets are in units of two luma
// samples (4:2:0) and one chroma sample.
std::string VisibleMd5(const h264::PictureView& r) {
  int left = 2 * r.cropLeft, top = 2 * r.cropTop;
  int w = r.width - 2 * (r.cropLeft + r.cropRight);
  int h = r.height - 2 * (r.cropTop + r.cropBottom);
  if (w <= 0 || h <= 0 || left < 0 || top < 0) return "bad-crop";
  h264::Md5 md5;
  for (int y = 0; y < h; ++y) md5.Update(r.luma + (top + y) * r.lumaStride + left, w);
  for (const uint8_t* plane : {r.cb, r.cr}) {
    for (int y = 0; y < h / 2; ++y) {
      md5.Update(plane + (top / 2 + y) * r.chromaStride + left / 2, w / 2);
    }
  }
  return std::to_string(w) + "x" + std::to_string(h) + " " + md5.HexDigest();
}

class X264StreamTest : public ::testing::TestWithParam<std::string> {};

TEST_P(X264StreamTest, MatchesEncoderReconstruction) {
  const std::string name = GetParam();
  const std::vector<std::string> want = ReadReference(StreamDir() / (name + ".md5"));
  ASSERT_FALSE(want.empty()) << "no reference for " << name;

  std::vector<std::string> got;
  const std::vector<uint8_t> stream = ReadFile(StreamDir() / (name + ".264"));
  const h264::StreamSummary fed =
      h264::DecodeStream(stream, [&](const h264::PictureView& r) { got.push_back(VisibleMd5(r)); });
  EXPECT_FALSE(fed.endless) << "the decoder did not come to an end";

  size_t firstDiff = 0;
  while (firstDiff < std::min(got.size(), want.size()) && got[firstDiff] == want[firstDiff]) {
    ++firstDiff;
  }
  const bool exact = got == want;
  const bool required = ExactStreams().count(name) || ExactStreams().count("all");
  if (required) {
    EXPECT_EQ(got.size(), want.size()) << "pictures delivered";
    if (firstDiff < std::min(got.size(), want.size())) {
      ADD_FAILURE() << "first differing picture " << firstDiff << ": got " << got[firstDiff]
                    << ", expected " << want[firstDiff];
    }
  } else if (CountStreams().count(name) || CountStreams().count("all")) {
    EXPECT_EQ(got.size(), want.size()) << "pictures delivered";
  }
  if (exact && !required) {
    std::printf("note: %s matches the reconstruction: it can join VEXLOR_X264_EXACT\n",
                name.c_str());
  } else if (!exact) {
    std::printf("note: %s: %zu/%zu pictures, %zu match before the first difference\n", name.c_str(),
                got.size(), want.size(), firstDiff);
  }
}

INSTANTIATE_TEST_SUITE_P(X264, X264StreamTest, ::testing::ValuesIn(ListStreams()),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

TEST(X264StreamList, RequiredStreamsExist) {
  const std::vector<std::string> all = ListStreams();
  EXPECT_GE(all.size(), 10u);
  for (const auto& list : {ExactStreams(), CountStreams()}) {
    for (const std::string& name : list) {
      if (name == "all") continue;
      EXPECT_TRUE(std::find(all.begin(), all.end(), name) != all.end())
          << name << " is required but not in " << StreamDir();
    }
  }
}

}  // namespace
}  // namespace vexlor::testing
