// What a name refers to, file identity, exclusive creation, rename with replace, and the rule of
// every output file on top of them, on each platform (under wine for Windows).
#include "platform/output_file.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/test_support.h"
#include "platform/file.h"

namespace vexlor::platform {
namespace {

using testing::Bytes;
using testing::Fs;
using testing::ScratchDir;

#ifdef _WIN32
const char* const kDevice = "NUL";
#else
const char* const kDevice = "/dev/null";
#endif

bool Write(const std::string& path, const std::string& text) {
  std::FILE* f = OpenFile(path, "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

std::string Read(const std::string& path) {
  const Bytes b = testing::ReadAll(path);
  return std::string(b.begin(), b.end());
}

// A symbolic link, where the system lets us make one (Windows asks for a privilege); false with
// a note otherwise.
bool MakeSymlink(const std::string& target, const std::string& link) {
  std::error_code ec;
  std::filesystem::create_symlink(Fs(target), Fs(link), ec);
  if (ec) std::printf("no symbolic links here (%s): that part is skipped\n", ec.message().c_str());
  return !ec;
}

TEST(PlatformPathTest, KindsIdentitiesAndRenames) {
  ScratchDir dir;
  const std::string file = dir / "a.avi", other = dir / "b.avi";
  ASSERT_TRUE(Write(file, "a"));
  ASSERT_TRUE(Write(other, "b"));
  EXPECT_EQ(KindOf(file), PathKind::kRegular);
  EXPECT_EQ(KindOf(dir.path()), PathKind::kDirectory);
  EXPECT_EQ(KindOf(dir / "missing"), PathKind::kMissing);
  EXPECT_EQ(KindOf(dir / "missing/deeper"), PathKind::kMissing);
  EXPECT_EQ(KindOf(""), PathKind::kMissing);
  EXPECT_EQ(KindOf(kDevice), PathKind::kOther);
#ifdef _WIN32
  EXPECT_EQ(KindOf("\\\\.\\pipe\\vexlor-no-such-pipe"), PathKind::kFifo);
  EXPECT_EQ(KindOf("CON"), PathKind::kOther);
  EXPECT_EQ(KindOf("\\\\.\\C:"), PathKind::kOther);  // a raw volume, never opened
#else
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  EXPECT_EQ(KindOf(dir / "fifo"), PathKind::kFifo);  // not opened: this would block
#endif

  // Identity, not names: a hard link is the same file; another file with the same bytes is not.
  EXPECT_TRUE(SameFile(file, file));
  EXPECT_TRUE(SameFile(file, dir.path() + "/./a.avi"));
  EXPECT_FALSE(SameFile(file, other));
  EXPECT_FALSE(SameFile(file, dir / "missing"));
  EXPECT_FALSE(SameFile(dir / "missing", dir / "missing"));
  std::error_code ec;
  std::filesystem::create_hard_link(Fs(file), Fs(dir / "hard.avi"), ec);
  if (!ec) {
    EXPECT_TRUE(SameFile(file, dir / "hard.avi"));
    EXPECT_FALSE(IsSymbolicLink(dir / "hard.avi"));
  } else {
    std::printf("no hard links here (%s): that part is skipped\n", ec.message().c_str());
  }

  // Exclusive creation: never over anything that exists.
  EXPECT_EQ(CreateNewFile(file), nullptr);
  EXPECT_EQ(CreateNewFile(dir.path()), nullptr);
  EXPECT_EQ(CreateNewFile(dir / "missing/c.avi"), nullptr);
  std::FILE* created = CreateNewFile(dir / "c.avi");
  ASSERT_NE(created, nullptr);
  EXPECT_TRUE(IsRegularFile(created));
  ASSERT_GE(std::fputs("c\r\n", created), 0);
  std::fclose(created);
  EXPECT_EQ(Read(dir / "c.avi"), "c\r\n");  // binary: no byte added or taken

  // Rename with replace: one step, the earlier file of that name gone.
  EXPECT_TRUE(RenameReplacing(dir / "c.avi", other));
  EXPECT_EQ(Read(other), "c\r\n");
  EXPECT_FALSE(testing::Exists(dir / "c.avi"));
  EXPECT_FALSE(RenameReplacing(dir / "c.avi", other));  // gone
  EXPECT_EQ(Read(other), "c\r\n");

  // Symbolic links: followed to see what they name, told apart, never created through.
  if (!MakeSymlink(file, dir / "link.avi")) return;
  EXPECT_TRUE(IsSymbolicLink(dir / "link.avi"));
  EXPECT_FALSE(IsSymbolicLink(file));
  EXPECT_FALSE(IsSymbolicLink(dir / "missing"));
  EXPECT_EQ(KindOf(dir / "link.avi"), PathKind::kRegular);
  EXPECT_TRUE(SameFile(dir / "link.avi", file));
  // Identity through a link, or of the link itself; a folder's through a link to it.
  FileIdentity target, through, itself, folder, folder_link;
  ASSERT_TRUE(IdentityOf(file, &target) && IdentityOf(dir / "link.avi", &through) &&
              IdentityOf(dir / "link.avi", &itself, false));
  EXPECT_EQ(through, target);
  EXPECT_NE(itself, target);
  ASSERT_TRUE(MakeSymlink(dir.path(), dir / "alias"));
  ASSERT_TRUE(IdentityOf(dir.path(), &folder) && IdentityOf(dir / "alias", &folder_link));
  EXPECT_EQ(folder, folder_link);
  ASSERT_TRUE(MakeSymlink(dir / "nowhere", dir / "dangling.avi"));
  EXPECT_TRUE(IsSymbolicLink(dir / "dangling.avi"));
  EXPECT_EQ(KindOf(dir / "dangling.avi"), PathKind::kMissing);
  EXPECT_EQ(CreateNewFile(dir / "dangling.avi"), nullptr);
  EXPECT_FALSE(testing::Exists(dir / "nowhere"));
  // Renaming over a link replaces the link, not the file it names.
  ASSERT_TRUE(Write(dir / "d.avi", "d"));
  EXPECT_TRUE(RenameReplacing(dir / "d.avi", dir / "link.avi"));
  EXPECT_FALSE(IsSymbolicLink(dir / "link.avi"));
  EXPECT_EQ(Read(dir / "link.avi"), "d");
  EXPECT_EQ(Read(file), "a");
}

class OutputFileTest : public ::testing::Test {
 protected:
  // Writes `text` through an OutputFile to `name`; the result of Finish.
  OutputFile::Result WriteOutput(const std::string& name, const std::string& text,
                                 const std::string& keep = std::string()) {
    OutputFile out;
    const OutputFile::Result created = out.Create(name, keep);
    if (created != OutputFile::kOk) return created;
    std::fputs(text.c_str(), out.file());
    return out.Finish(true);
  }
  std::vector<std::string> Names() const { return testing::ListDir(dir_.path()); }
  ScratchDir dir_;
};

TEST_F(OutputFileTest, AFileAppearsOnlyCompleteUnderItsName) {
  const std::string name = dir_ / "cam_01.avi";
  ASSERT_TRUE(Write(name, "earlier"));
  OutputFile out;
  ASSERT_EQ(out.Create(name), OutputFile::kOk);
  ASSERT_NE(out.file(), nullptr);
  ASSERT_GE(std::fputs("new", out.file()), 0);
  std::fflush(out.file());
  // Meanwhile the name holds the earlier file; the new one is beside it under its own name.
  EXPECT_EQ(Read(name), "earlier");
  const std::vector<std::string> during = Names();
  ASSERT_EQ(during.size(), 2u);
  EXPECT_EQ(during[1], "cam_01.avi");
  EXPECT_EQ(during[0].rfind(".cam_01.avi.", 0), 0u) << during[0];
  EXPECT_EQ(Read(dir_ / during[0]), "new");
  EXPECT_EQ(TemporariesBeside(name), std::vector<std::string>{dir_ / during[0]});

  EXPECT_EQ(out.Finish(true), OutputFile::kOk);
  EXPECT_TRUE(TemporariesBeside(name).empty());
  EXPECT_EQ(out.file(), nullptr);
  EXPECT_EQ(Read(name), "new");
  EXPECT_EQ(Names(), std::vector<std::string>{"cam_01.avi"});
  EXPECT_EQ(out.Finish(true), OutputFile::kWriteFailed);  // nothing open any more

  // A new name; and one written twice in a row.
  EXPECT_EQ(WriteOutput(dir_ / "cam_02.avi", "first"), OutputFile::kOk);
  EXPECT_EQ(WriteOutput(dir_ / "cam_02.avi", "second"), OutputFile::kOk);
  EXPECT_EQ(Read(dir_ / "cam_02.avi"), "second");
  EXPECT_EQ(Names(), (std::vector<std::string>{"cam_01.avi", "cam_02.avi"}));
}

TEST_F(OutputFileTest, AFailedFileLeavesTheEarlierOne) {
  const std::string name = dir_ / "cam_01.avi";
  ASSERT_TRUE(Write(name, "earlier"));
  {
    OutputFile out;
    ASSERT_EQ(out.Create(name), OutputFile::kOk);
    std::fputs("half", out.file());
    EXPECT_EQ(out.Finish(false), OutputFile::kWriteFailed);
  }
  {
    OutputFile abandoned;  // destroyed while open: as a failure
    ASSERT_EQ(abandoned.Create(name), OutputFile::kOk);
    std::fputs("half", abandoned.file());
  }
  EXPECT_EQ(Read(name), "earlier");
  EXPECT_EQ(Names(), std::vector<std::string>{"cam_01.avi"});

#ifdef _WIN32
  // The earlier file held open elsewhere, as a player holds it, without leave to delete it:
  // the complete file cannot take its name and is removed; the earlier file stays whole.
  std::FILE* held = _wfopen(Fs(name).c_str(), L"rb");
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(WriteOutput(name, "new"), OutputFile::kWriteFailed);
  std::fclose(held);
  EXPECT_EQ(Read(name), "earlier");
  EXPECT_EQ(Names(), std::vector<std::string>{"cam_01.avi"});
#endif
}

TEST_F(OutputFileTest, OnlyRegularFilesAndNeverTheKeptOne) {
  const std::string keep = dir_ / "rec.kvr";
  ASSERT_TRUE(Write(keep, "recording"));
  OutputFile out;
  EXPECT_EQ(out.Create(dir_.path()), OutputFile::kIsDirectory);
  EXPECT_EQ(out.file(), nullptr);
  EXPECT_EQ(out.Create(kDevice), OutputFile::kNotRegular);
  EXPECT_EQ(out.Create(keep, keep), OutputFile::kIsKept);
  EXPECT_EQ(out.Create(dir_ / "missing/cam_01.avi"), OutputFile::kCannotCreate);
  EXPECT_EQ(out.ErrorText(OutputFile::kCannotCreate),
            std::string("cannot be created: ") + std::strerror(ENOENT));
  EXPECT_STREQ(OutputFileError(OutputFile::kIsKept), "is the recording being converted");
  EXPECT_STREQ(OutputFileError(OutputFile::kNotRegular), "is not a regular file");
  EXPECT_EQ(Names(), std::vector<std::string>{"rec.kvr"});

  // A hard link to the kept file is the kept file.
  std::error_code ec;
  std::filesystem::create_hard_link(Fs(keep), Fs(dir_ / "rec_01.avi"), ec);
  if (!ec) {
    EXPECT_EQ(WriteOutput(dir_ / "rec_01.avi", "avi", keep), OutputFile::kIsKept);
    EXPECT_EQ(Read(keep), "recording");
    ASSERT_TRUE(std::filesystem::remove(Fs(dir_ / "rec_01.avi")));
  } else {
    std::printf("no hard links here (%s): that part is skipped\n", ec.message().c_str());
  }
  // The name turned into a hard link to the kept file while the output was written.
  ASSERT_EQ(out.Create(dir_ / "rec_02.avi", keep), OutputFile::kOk);
  std::filesystem::create_hard_link(Fs(keep), Fs(dir_ / "rec_02.avi"), ec);
  if (!ec) {
    EXPECT_EQ(out.Finish(true), OutputFile::kIsKept);
    EXPECT_EQ(Read(keep), "recording");
    ASSERT_TRUE(std::filesystem::remove(Fs(dir_ / "rec_02.avi")));
  }
  out.Finish(false);
  EXPECT_EQ(Names(), std::vector<std::string>{"rec.kvr"});

  // A symbolic link at the name, even one to the kept file, is replaced, never written through.
  if (!MakeSymlink(keep, dir_ / "rec_03.avi")) return;
  EXPECT_EQ(WriteOutput(dir_ / "rec_03.avi", "avi", keep), OutputFile::kOk);
  EXPECT_FALSE(IsSymbolicLink(dir_ / "rec_03.avi"));
  EXPECT_EQ(Read(dir_ / "rec_03.avi"), "avi");
  EXPECT_EQ(Read(keep), "recording");
}

// The names in a folder whose path may be longer than 260 characters. The Windows runtime's
// directory listing stops there; the extended ("\\?\") form of the path does not.
std::vector<std::string> ListLongDir(const std::string& dir) {
#ifdef _WIN32
  std::wstring pattern = L"\\\\?\\" + Fs(dir).wstring() + L"\\*";
  std::replace(pattern.begin() + 4, pattern.end(), L'/', L'\\');
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry;
  const HANDLE h = FindFirstFileW(pattern.c_str(), &entry);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::u8string utf8 = std::filesystem::path(name).u8string();
    names.emplace_back(utf8.begin(), utf8.end());
  } while (FindNextFileW(h, &entry) != 0);
  FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
#else
  return testing::ListDir(dir);
#endif
}

TEST_F(OutputFileTest, NamesAreComparedAsTheFolderComparesThem) {
  EXPECT_EQ(FoldCase("cam_01.avi"), "CAM_01.AVI");
  EXPECT_EQ(FoldCase("Überwachung_東口"), "ÜBERWACHUNG_東口");
#ifndef _WIN32
  EXPECT_EQ(FoldCase("cam\xff.kvr"), "CAM\xff.KVR");  // bytes that are not UTF-8 stay
#endif
  // The scratch folder is on the system's usual file system; the probe leaves nothing behind.
  EXPECT_EQ(FolderIgnoresCase(dir_.path()), kFoldersIgnoreCase);
  EXPECT_EQ(FolderIgnoresCase(dir_ / "missing"), kFoldersIgnoreCase);
  EXPECT_TRUE(Names().empty());
}

TEST_F(OutputFileTest, TemporariesLeftBesideANameAreFoundByTheirPattern) {
  // What a killed writer leaves, next to names that only look alike.
  const std::string name = dir_ / "Überwachung_01.avi";
  for (const char* other :
       {"Überwachung_01.avi", ".Überwachung_01.avi.0123abc.part",
        ".Überwachung_01.avi.0123abcg.part", ".Überwachung_01.avi.0123abcd.partial",
        "Überwachung_01.avi.0123abcd.part", ".Überwachung_011.avi.0123abcd.part",
        ".Überwachung_02.avi.0123abcd.part"}) {
    ASSERT_TRUE(Write(dir_ / other, "x"));
  }
  EXPECT_TRUE(TemporariesBeside(name).empty());
  ASSERT_TRUE(Write(dir_ / ".Überwachung_01.avi.0123ABcd.part", "left"));
  EXPECT_EQ(TemporariesBeside(name),
            std::vector<std::string>{dir_ / ".Überwachung_01.avi.0123ABcd.part"});
  EXPECT_TRUE(TemporariesBeside(dir_ / "gone/Überwachung_01.avi").empty());
}

TEST_F(OutputFileTest, NamesOutsideAsciiAndBeyond260Characters) {
  std::string deep = dir_ / "März 2024";
  while (deep.size() < 300) deep += "/ein Ordner mit einem längeren Namen";
  std::filesystem::create_directories(Fs(deep));
  const std::string name = deep + "/Überwachung_東口_01.avi";
  ASSERT_GT(name.size(), 300u);
  ASSERT_TRUE(Write(name, "earlier"));
  EXPECT_EQ(WriteOutput(name, "new"), OutputFile::kOk);
  EXPECT_EQ(Read(name), "new");
  EXPECT_EQ(ListLongDir(deep), std::vector<std::string>{"Überwachung_東口_01.avi"});
}

}  // namespace
}  // namespace vexlor::platform
