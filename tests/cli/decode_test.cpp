// `vexlor decode`: the raw pictures it writes, the header listing, and the failures it reports
// (each with an `error:` line and exit status 1).
#include <algorithm>
#include <sstream>

#include "app/test_support.h"

namespace vexlor::cli {
namespace {

using testing::Bytes;
using testing::CliPath;
using testing::ReadAll;
using testing::RunProgram;
using testing::ScratchDir;

std::string X264Data(const std::string& name) {
  return std::string(VEXLOR_SOURCE_DIR) + "/tests/data/x264/" + name;
}

TEST(DecodeCommandTest, WritesEveryListedPictureAsRawI420) {
  ScratchDir dir;
  const std::string yuv = dir / "out.yuv";
  std::string out;
  ASSERT_EQ(RunProgram({CliPath(), "decode", X264Data("odd_size.264"), "--md5", "-o", yuv}, &out),
            0)
      << out;
  // One line per picture, as many as the reference lists (whose sizes are the cropped ones).
  const Bytes reference = ReadAll(X264Data("odd_size.md5"));
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'),
            std::count(reference.begin(), reference.end(), '\n'));
  size_t expected = 0;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    int index = 0, w = 0, h = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d %dx%d", &index, &w, &h), 3) << line;
    expected += size_t(w) * size_t(h) * 3 / 2;
  }
  EXPECT_GT(expected, 0u);
  EXPECT_EQ(ReadAll(yuv).size(), expected);
}

TEST(DecodeCommandTest, ListsParameterSetsAndSliceHeadersEvenOfADamagedStream) {
  std::string out;
  ASSERT_EQ(RunProgram({CliPath(), "decode", "--headers", X264Data("refs_slices.264")}, &out), 0);
  for (const char* expected :
       {"SPS 0 (result 0)\n", "  profile_idc = 66\n", "PPS 0 (result 0)\n", "slice (result 0)\n",
        "  first_mb_in_slice = ", "  num_ref_idx_l0_active_minus1 = "}) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected;
  }
  // Cut short, with bytes flipped all over: the listing goes on to the end without a fault.
  ScratchDir dir;
  Bytes damaged = ReadAll(X264Data("refs_slices.264"));
  damaged.resize(std::min<size_t>(damaged.size(), 3000));
  for (size_t i = 7; i < damaged.size(); i += 37) damaged[i] ^= 0x5A;
  std::FILE* f = std::fopen((dir / "damaged.264").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(damaged.data(), 1, damaged.size(), f);
  std::fclose(f);
  // No picture comes of it, which is said.
  EXPECT_EQ(RunProgram({CliPath(), "decode", "--headers", "--md5", dir / "damaged.264"}, &out), 1)
      << out;
  EXPECT_NE(out.find("error: no picture decoded from "), std::string::npos) << out;
}

TEST(DecodeCommandTest, SaysWhyAStreamOfAnotherProfileGivesNoPicture) {
  struct Row {
    const char* name;
    const char* reason;  // empty: every picture decodes
    const char* spsLine;
  };
  const Row rows[] = {
      {"baseline", "", "SPS 0 (result 0)"},
      {"main_cabac", "Main profile: CABAC", "SPS 0 (result -3: Main profile)"},
      {"main_bframes", "Main profile: B slices", "slice (result -3: Main profile: B slices)"},
      {"high_8x8", "High profile: CABAC, 8x8 transform", "SPS 0 (result -3: High profile)"},
      {"interlaced",
       "High profile: interlaced (MBAFF) frames, CABAC, B slices, 8x8 transform, weighted "
       "prediction",
       "SPS 0 (result -3: High profile: interlaced (MBAFF) frames)"},
  };
  for (const Row& row : rows) {
    const std::string stream =
        std::string(VEXLOR_SOURCE_DIR) + "/tests/data/profiles/" + row.name + ".264";
    const bool refused = *row.reason != 0;
    std::string out;
    EXPECT_EQ(RunProgram({CliPath(), "decode", "--md5", stream}, &out), refused ? 1 : 0) << out;
    if (refused) {
      EXPECT_EQ(
          out, "error: no picture decoded from " + stream + " (unsupported: " + row.reason + ")\n");
    } else {
      EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 12) << out;
    }
    EXPECT_EQ(RunProgram({CliPath(), "decode", "--headers", stream}, &out), refused ? 1 : 0);
    EXPECT_NE(out.find(std::string(row.spsLine) + "\n"), std::string::npos) << row.name;
  }
}

TEST(DecodeCommandTest, ReportsWhatItCannotReadOrWrite) {
  ScratchDir dir;
  std::string out;
  EXPECT_EQ(RunProgram({CliPath(), "decode", dir / "missing.264"}, &out), 1);
  EXPECT_NE(out.find("error: "), std::string::npos) << out;
  EXPECT_EQ(RunProgram({CliPath(), "decode", X264Data("qp51.264"), "-o", dir / "no/out.yuv"}, &out),
            1);
  EXPECT_NE(out.find("error: cannot create"), std::string::npos) << out;
  if (testing::Exists("/dev/full")) {
    // Every write fails on /dev/full: the failure is reported, not the pictures.
    EXPECT_EQ(RunProgram({CliPath(), "decode", X264Data("qp51.264"), "-o", "/dev/full"}, &out), 1);
    EXPECT_NE(out.find("error: cannot write /dev/full"), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace vexlor::cli
