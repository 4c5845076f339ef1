// The read-back check: whole files of the writer pass, every file cut short or with its
// structure broken fails, and no byte of a file makes it misbehave.
#include "avi/avi_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "avi/avi_writer.h"

namespace vexlor::avi {
namespace {

using Bytes = std::vector<uint8_t>;

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "avi_check_" + std::to_string(getpid()) + "_" + name;
}

Bytes Frame(uint8_t stream_id, uint8_t nal_header, size_t payload) {
  Bytes f(32 + 5 + payload, 0x5A);
  std::fill(f.begin(), f.begin() + 36, uint8_t{0});
  f[2] = 1;
  f[3] = stream_id;
  f[35] = 1;
  f[36] = nal_header;
  return f;
}

Bytes ReadFile(const std::string& path) {
  Bytes b;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return b;
  uint8_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  std::fclose(f);
  return b;
}
void WriteFile(const std::string& path, const Bytes& b) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!b.empty()) {
    ASSERT_EQ(std::fwrite(b.data(), 1, b.size(), f), b.size());
  }
  std::fclose(f);
}

// A file of the writer: `frames` video frames (odd sizes among them) and an audio frame after
// every third; dwLength set as a finished pass sets it, or left as Open wrote it. `large`: the
// large-file form, every chunk in a RIFF of its own.
std::string Written(const std::string& name, int frames, bool finished, bool large) {
  const std::string path = TempPath(name);
  AviWriter w;
  w.settings.open_dml = large;
  w.settings.riff_limit = 0;
  EXPECT_EQ(w.Open(path.c_str()), kAviOk);
  for (int i = 0; i < frames; ++i) {
    const Bytes v = Frame(0xE1, i == 0 ? 0x65 : 0x41, 40 + i);
    EXPECT_EQ(w.WriteFrame(v.data(), uint32_t(v.size())), kAviOk);
    if (i % 3 == 2) {
      const Bytes a = Frame(0xC1, 0x80, 17);
      EXPECT_EQ(w.WriteFrame(a.data(), uint32_t(a.size())), kAviOk);
    }
  }
  if (finished) {
    w.videoHeader.dwScale = 100;
    w.videoHeader.dwRate = 2500;
    w.videoHeader.dwLength = uint32_t(frames);
  }
  EXPECT_EQ(w.Close(), kAviOk);
  return path;
}

// Where `tag` first appears in `b`.
size_t Find(const Bytes& b, const char* tag) {
  return size_t(std::search(b.begin(), b.end(), tag, tag + 4) - b.begin());
}

// Each test runs on both forms of the writer: the classic one and the large-file form.
class AviCheckTest : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(BothForms, AviCheckTest, ::testing::Bool());

TEST_P(AviCheckTest, WholeFilesPassAndTellWhatTheyHold) {
  const bool large = GetParam();
  AviFacts facts;
  const std::string done = Written("done.avi", 10, true, large);
  EXPECT_EQ(CheckAviFile(done.c_str(), &facts), kCheckOk);
  EXPECT_EQ(facts.video_chunks, 10u);
  EXPECT_EQ(facts.audio_chunks, 3u);
  EXPECT_EQ(facts.video_scale, 100u);
  EXPECT_EQ(facts.video_rate, 2500u);
  EXPECT_EQ(facts.video_length, 10u);
  EXPECT_EQ(facts.file_size, ReadFile(done).size());
  EXPECT_TRUE(IsFinishedAviFile(done.c_str(), &facts));

  // Closed where a cancel found it: valid, not finished. Empty: the same.
  for (int frames : {4, 0}) {
    const std::string cut = Written("cancelled.avi", frames, false, large);
    EXPECT_EQ(CheckAviFile(cut.c_str(), &facts), kCheckOk) << frames;
    EXPECT_EQ(facts.video_chunks, uint32_t(frames));
    EXPECT_EQ(facts.video_length, 0u);
    EXPECT_FALSE(IsFinishedAviFile(cut.c_str(), &facts));
    std::remove(cut.c_str());
  }
  EXPECT_EQ(CheckAviFile(TempPath("missing.avi").c_str(), &facts), kCheckMissing);
  EXPECT_FALSE(IsFinishedAviFile(::testing::TempDir().c_str(), &facts));  // a directory
  std::remove(done.c_str());
}

TEST_P(AviCheckTest, EveryCutAndBrokenStructureFails) {
  const bool large = GetParam();
  const std::string path = Written("whole.avi", 7, true, large);
  const Bytes whole = ReadFile(path);
  AviFacts facts;
  const std::string broken = TempPath("broken.avi");
  // Every length (in the large-file form every 37th and the end of every RIFF).
  for (size_t size = 0; size < whole.size(); ++size) {
    const bool riff = size + 4 <= whole.size() && std::memcmp(&whole[size], "RIFF", 4) == 0;
    if (large && size % 37 != 0 && !riff) continue;
    WriteFile(broken, Bytes(whole.begin(), whole.begin() + size));
    ASSERT_NE(CheckAviFile(broken.c_str(), &facts), kCheckOk) << "cut at " << size;
  }
  // The same length with the RIFF size patched to match: the index or the movi list is short.
  for (size_t size = 200; size < whole.size(); size += large ? 97 : 7) {
    Bytes b(whole.begin(), whole.begin() + size);
    const uint32_t riff = uint32_t(size - 8);
    for (int k = 0; k < 4; ++k) b[4 + k] = uint8_t(riff >> (8 * k));
    WriteFile(broken, b);
    ASSERT_NE(CheckAviFile(broken.c_str(), &facts), kCheckOk) << "cut at " << size;
  }
  // An index entry that points elsewhere or names another kind of chunk (idx1; in the large
  // form, where idx1 has one entry, also the first standard index and the super index), or a
  // frame count that is not the file's.
  const size_t idx1 = Find(whole, "idx1"), ix00 = Find(whole, "ix00"), indx = Find(whole, "indx");
  std::vector<size_t> changed = {idx1 + 56, idx1 + 64, idx1 + 68};
  if (large) {
    changed = {idx1 + 8,  idx1 + 16, ix00 + 32, ix00 + 36,
               ix00 + 24, indx + 32, indx + 40, Find(whole, "dmlh") + 8};
  }
  for (size_t at : changed) {
    Bytes b = whole;
    b[at] ^= 0x02;
    WriteFile(broken, b);
    EXPECT_EQ(CheckAviFile(broken.c_str(), &facts), kCheckMalformed) << at;
  }
  std::remove(broken.c_str());
  std::remove(path.c_str());
}

TEST_P(AviCheckTest, AnyByteChangedIsReadSafely) {
  const std::string path = Written("fuzz.avi", 5, true, GetParam());
  const Bytes whole = ReadFile(path);
  const std::string changed = TempPath("changed.avi");
  std::mt19937 random(7);
  AviFacts facts;
  int passed = 0;
  for (int round = 0; round < 600; ++round) {
    Bytes b = whole;
    for (int k = 0; k < 1 + round % 4; ++k) b[random() % b.size()] = uint8_t(random());
    WriteFile(changed, b);
    passed += CheckAviFile(changed.c_str(), &facts) == kCheckOk;
  }
  // Most changes land in frame data, which the check does not read.
  EXPECT_GT(passed, 0);
  EXPECT_LT(passed, 600);
  std::remove(changed.c_str());
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vexlor::avi
