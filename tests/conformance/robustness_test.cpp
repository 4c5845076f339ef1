// Hostile input through the decoder: a few hand-made degenerate byte streams and deterministic
// damage to the committed x264 streams (the fuzz reproducers are replayed by tests/fuzz). Each
// must be decoded to the end: the drain ends, and every delivered picture is readable at its
// reported size (the sanitizer build checks the memory side).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "conformance/stream_feed.h"

namespace vexlor::testing {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> FilesIn(const fs::path& dir, const std::string& extension) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_regular_file() && (extension.empty() || e.path().extension() == extension)) {
      out.push_back(e.path());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

uint64_t Next(uint64_t* s) {
  *s ^= *s << 13;
  *s ^= *s >> 7;
  *s ^= *s << 17;
  return *s;
}

// One of four kinds of damage, chosen and placed by the generator.
std::vector<uint8_t> Damage(std::vector<uint8_t> d, uint64_t* rng) {
  if (d.empty()) return d;
  auto at = [&] { return static_cast<size_t>(Next(rng) % d.size()); };
  switch (Next(rng) % 4) {
    case 0:  // scattered byte errors
      for (int i = 0, n = 1 + static_cast<int>(Next(rng) % 8); i < n; ++i) {
        d[at()] ^= static_cast<uint8_t>(1 + Next(rng) % 255);
      }
      break;
    case 1:  // cut short
      d.resize(at());
      break;
    case 2: {  // a lost stretch
      size_t from = at(), len = std::min(d.size() - from, size_t{1} + Next(rng) % 2000);
      d.erase(d.begin() + static_cast<std::ptrdiff_t>(from),
              d.begin() + static_cast<std::ptrdiff_t>(from + len));
      break;
    }
    default: {  // a stretch repeated further on
      size_t from = at(), len = std::min(d.size() - from, size_t{1} + Next(rng) % 3000);
      std::vector<uint8_t> piece(d.begin() + static_cast<std::ptrdiff_t>(from),
                                 d.begin() + static_cast<std::ptrdiff_t>(from + len));
      d.insert(d.begin() + static_cast<std::ptrdiff_t>(at()), piece.begin(), piece.end());
      break;
    }
  }
  return d;
}

TEST(Robustness, DegenerateByteStreamsEndNormally) {
  std::vector<std::vector<uint8_t>> inputs = {
      {},
      std::vector<uint8_t>(5000, 0),
      {0, 0, 1},
      {0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1},
      std::vector<uint8_t>(3000, 0xff),
  };
  // Every NAL unit type, alone with a short all-ones payload and then with an empty one.
  std::vector<uint8_t> everyType;
  for (int type = 0; type < 32; ++type) {
    for (uint8_t b : {0, 0, 1, 0x60 | type, 0xff, 0xff, 0xff, 0, 0, 1, 0x60 | type}) {
      everyType.push_back(b);
    }
  }
  inputs.push_back(everyType);
  for (size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(DecoderInputProblem(inputs[i]), "") << "input " << i;
  }
}

// The conformance streams, when present: without their samples they give the same pictures.
TEST(Robustness, ConformanceStreamsGiveTheSamePicturesWithoutSamples) {
  const char* env = std::getenv("VEXLOR_CONFORMANCE_DIR");
  const fs::path dir =
      env != nullptr ? fs::path(env) : fs::path(VEXLOR_SOURCE_DIR) / "../shared/conformance";
  std::error_code ec;
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(dir / "streams", ec)) {
    EXPECT_EQ(DecoderInputProblem(ReadFile(entry.path())), "") << entry.path().filename();
    ++checked;
  }
  if (checked == 0) GTEST_SKIP() << "no conformance streams in " << dir.string();
}

TEST(Robustness, DamagedStreamsEndNormally) {
  auto streams = FilesIn(fs::path(VEXLOR_SOURCE_DIR) / "tests/data/x264", ".264");
  for (const fs::path& p : FilesIn(fs::path(VEXLOR_SOURCE_DIR) / "tests/data/profiles", ".264")) {
    streams.push_back(p);
  }
  ASSERT_FALSE(streams.empty());
  uint64_t rng = 0x9e3779b97f4a7c15ull;
  for (const fs::path& p : streams) {
    const std::vector<uint8_t> clean = ReadFile(p);
    // The clean stream first, then damaged ones.
    EXPECT_EQ(DecoderInputProblem(clean), "") << p.filename();
    for (int round = 0; round < 12; ++round) {
      uint64_t seed = rng;
      std::vector<uint8_t> damaged = Damage(clean, &rng);
      EXPECT_EQ(DecoderInputProblem(std::move(damaged)), "")
          << p.filename() << ", damage seed " << std::hex << seed;
    }
  }
}

}  // namespace
}  // namespace vexlor::testing
