// Replays every committed fuzz input through the check its target runs: the reproducers of
// faults the fuzzers found (tests/data/fuzz/<target>) and the seed corpora (fuzz/corpus/<target>),
// so that a fault once found stays fixed and the corpora keep passing in the ordinary build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "conformance/stream_feed.h"
#include "fuzz/avi_writer_check.h"
#include "fuzz/conversion_check.h"
#include "fuzz/mkv_muxer_check.h"
#include "fuzz/mp4_muxer_check.h"
#include "fuzz/reader_check.h"
#include "fuzz/scratch.h"

namespace vexlor::testing {
namespace {

namespace fs = std::filesystem;

using Check = std::function<std::string(const std::vector<uint8_t>&)>;

// Runs `check` on every file of tests/data/fuzz/<target> and fuzz/corpus/<target>; returns how
// many there were.
size_t ReplayAll(const std::string& target, const Check& check) {
  const fs::path root(VEXLOR_SOURCE_DIR);
  std::vector<fs::path> inputs;
  for (const fs::path& dir : {root / "tests/data/fuzz" / target, root / "fuzz/corpus" / target}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      if (e.is_regular_file()) inputs.push_back(e.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& p : inputs) {
    std::ifstream f(p, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(f),
                                     std::istreambuf_iterator<char>()};
    EXPECT_EQ(check(bytes), "") << p.lexically_relative(root);
  }
  return inputs.size();
}

TEST(FuzzReplay, DecoderInputs) {
  EXPECT_GT(
      ReplayAll("decoder", [](const std::vector<uint8_t>& b) { return DecoderInputProblem(b); }),
      0u);
}

TEST(FuzzReplay, ReaderInputs) {
  EXPECT_GT(ReplayAll("reader",
                      [](const std::vector<uint8_t>& b) {
                        return ReaderInputProblem(b.data(), b.size());
                      }),
            0u);
}

TEST(FuzzReplay, ConversionInputs) {
  ScratchFolder folder("vexlor-conversion-replay");
  ASSERT_TRUE(folder.ok());
  EXPECT_GT(ReplayAll("conversion",
                      [&](const std::vector<uint8_t>& b) {
                        return ConversionInputProblem(b.data(), b.size(), folder.path());
                      }),
            0u);
}

TEST(FuzzReplay, AviWriterPrograms) {
  ScratchFolder folder("vexlor-avi-replay");
  ASSERT_TRUE(folder.ok());
  EXPECT_GT(ReplayAll("avi_writer",
                      [&](const std::vector<uint8_t>& b) {
                        return AviWriterProgramProblem(b.data(), b.size(), folder.path());
                      }),
            0u);
}

TEST(FuzzReplay, Mp4MuxerRecordings) {
  ScratchFolder folder("vexlor-mp4-replay");
  ASSERT_TRUE(folder.ok());
  const bool ffprobe = HaveTool("ffprobe");
  EXPECT_GT(ReplayAll("mp4_muxer",
                      [&](const std::vector<uint8_t>& b) {
                        return Mp4MuxerProgramProblem(b.data(), b.size(), folder.path(), ffprobe);
                       }),
             0u);
}

TEST(FuzzReplay, MkvMuxerPrograms) {
  ScratchFolder folder("vexlor-mkv-replay");
  ASSERT_TRUE(folder.ok());
  EXPECT_GT(ReplayAll("mkv_muxer",
                      [&](const std::vector<uint8_t>& b) {
                        return MkvMuxerProgramProblem(b.data(), b.size(), folder.path());
                      }),
            0u);
}

}  // namespace
}  // namespace vexlor::testing
