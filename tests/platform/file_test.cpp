// Files through the platform layer: names outside ASCII and beyond 260 characters, binary
// mode, offsets past 2 and 4 GB, what counts as a regular file.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/conversion_plan.h"
#include "app/test_support.h"

namespace vexlor::platform {
namespace {

using testing::Fs;
using testing::ScratchDir;

std::string WriteAndRead(const std::string& path, const std::string& bytes, const char* mode) {
  std::FILE* f = OpenFile(path, mode);
  if (f == nullptr) return "<cannot create>";
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  f = OpenFile(path, "r");
  if (f == nullptr) return "<cannot open>";
  std::string back(bytes.size() + 8, '\0');
  back.resize(std::fread(back.data(), 1, back.size(), f));
  std::fclose(f);
  return back;
}

TEST(PlatformFileTest, NamesOutsideAsciiAndBeyond260Characters) {
  ScratchDir dir;
  const std::string folder = dir / "Aufnahmen/März 2024";
  std::filesystem::create_directories(Fs(folder));
  const std::string name = folder + "/Überwachung_東口.kvr";
  EXPECT_EQ(WriteAndRead(name, "abc", "wb"), "abc");
  // The name on disk is the one given (the directory listing agrees).
  bool listed = false;
  for (const auto& e : std::filesystem::directory_iterator(Fs(folder))) {
    const std::u8string n = e.path().filename().u8string();
    listed = listed || std::string(n.begin(), n.end()) == "Überwachung_東口.kvr";
  }
  EXPECT_TRUE(listed);
  EXPECT_EQ(RemoveFile(name), 0);
  EXPECT_FALSE(testing::Exists(name));
  EXPECT_EQ(OpenFile(name, "rb"), nullptr);

  std::string deep = dir.path();
  while (deep.size() < 300) deep += "/ein Ordner mit einem längeren Namen";
  std::filesystem::create_directories(Fs(deep));
  const std::string long_name = deep + "/lang.kvr";
  ASSERT_GT(long_name.size(), 300u);
  EXPECT_EQ(WriteAndRead(long_name, "xyz", "wb"), "xyz");
  std::FILE* f = OpenFile(long_name, "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(IsRegularFile(f));
  std::fclose(f);
  EXPECT_EQ(RemoveFile(long_name), 0);
#ifdef _WIN32
  // A name that is not UTF-8 is refused (POSIX takes any bytes).
  EXPECT_EQ(OpenFile(dir / "bad \xff utf-8", "wb"), nullptr);
  // Backslashes, and "." and ".." inside a long path.
  std::string windows = deep + "/./../" + deep.substr(deep.find_last_of('/') + 1) + "/b.kvr";
  for (char& c : windows) c = c == '/' ? '\\' : c;
  EXPECT_EQ(WriteAndRead(windows, "123", "wb"), "123");
  EXPECT_TRUE(testing::Exists(deep + "/b.kvr"));
#endif
}

TEST(PlatformFileTest, BinaryModeAlways) {
  ScratchDir dir;
  // Line ends and a ^Z pass through unchanged, whatever mode letter is given.
  const std::string bytes =
      "a\nb\r\nc\x1a"
      "d\n";
  EXPECT_EQ(WriteAndRead(dir / "t.bin", bytes, "w"), bytes);
  EXPECT_EQ(WriteAndRead(dir / "t.bin", bytes, "wt"), bytes);
  EXPECT_EQ(testing::ReadAll(dir / "t.bin").size(), bytes.size());
}

TEST(PlatformFileTest, OffsetsPast2And4Gigabytes) {
  ScratchDir dir;
  const std::string big = dir / "big.kvr";
  const int64_t size = (int64_t{4} << 30) + 4096;
  ASSERT_TRUE(testing::MakeSparseFile(big, size));
  std::FILE* f = OpenFile(big, "r+b");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(IsRegularFile(f));
  ASSERT_EQ(SeekFile(f, 0, SEEK_END), 0);
  EXPECT_EQ(TellFile(f), size);
  for (int64_t at : {int64_t{2147483647}, int64_t{2147483648}, (int64_t{1} << 32) + 3}) {
    ASSERT_EQ(SeekFile(f, at, SEEK_SET), 0) << at;
    EXPECT_EQ(TellFile(f), at);
    ASSERT_EQ(std::fputc('v', f), 'v');
    ASSERT_EQ(SeekFile(f, -1, SEEK_CUR), 0);
    EXPECT_EQ(std::fgetc(f), 'v') << at;
    EXPECT_EQ(TellFile(f), at + 1);
  }
  std::fclose(f);
  EXPECT_EQ(RemoveFile(big), 0);
}

TEST(PlatformFileTest, OnlyDiskFilesAreRegular) {
  ScratchDir dir;
#ifndef _WIN32
  std::FILE* d = OpenFile(dir.path(), "rb");  // POSIX opens a directory for reading
  if (d != nullptr) {
    EXPECT_FALSE(IsRegularFile(d));
    std::fclose(d);
  }
  std::FILE* n = OpenFile("/dev/null", "rb");
#else
  EXPECT_EQ(OpenFile(dir.path(), "rb"), nullptr);
  std::FILE* n = OpenFile("NUL", "rb");
#endif
  ASSERT_NE(n, nullptr);
  EXPECT_FALSE(IsRegularFile(n));
  std::fclose(n);
}

TEST(PlatformFileTest, OutputNamesFollowThePlatformsSeparators) {
  EXPECT_EQ(app::OutputName("/rec.d/cam", 0), "/rec.d/cam_01.avi");
#ifdef _WIN32
  EXPECT_EQ(app::OutputName("C:\\rec.d\\cam", 1), "C:\\rec.d\\cam_02.avi");
  EXPECT_EQ(app::OutputName("C:\\rec.d\\cam.kvr", 15), "C:\\rec.d\\cam_16.avi");
  EXPECT_EQ(app::OutputName("D:cam", 2, ".png"), "D:cam_03.png");
#else
  EXPECT_EQ(app::OutputName("rec.d\\cam", 0), "rec_01.avi");  // a backslash is a letter here
#endif
}

}  // namespace
}  // namespace vexlor::platform
