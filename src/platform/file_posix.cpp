// POSIX files: paths are bytes, off_t is 64 bits wide.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/file.h"

namespace vexlor::platform {

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

int SeekFile(std::FILE* file, int64_t offset, int origin) {
  return fseeko(file, off_t(offset), origin) == 0 ? 0 : -1;
}

int64_t TellFile(std::FILE* file) {
  return int64_t(ftello(file));
}

bool IsRegularFile(std::FILE* file) {
  struct stat st;
  return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
}

int RemoveFile(const std::string& path) {
  return std::remove(path.c_str()) == 0 ? 0 : -1;
}

PathKind KindOf(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISREG(st.st_mode)) return PathKind::kRegular;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  if (S_ISFIFO(st.st_mode)) return PathKind::kFifo;
  return PathKind::kOther;
}

bool IsSymbolicLink(const std::string& path) {
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (a.empty() || b.empty() || stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) {
    return false;
  }
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

std::FILE* CreateNewFile(const std::string& path) {
  // O_EXCL: fails when anything of that name exists, a link included, so nothing else is ever
  // opened through it.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    close(fd);
    unlink(path.c_str());
  }
  return f;
}

}  // namespace vexlor::platform
