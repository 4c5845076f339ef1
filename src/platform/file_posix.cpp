// POSIX files: paths are bytes, off_t is 64 bits wide.
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/utf8.h"

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

bool IdentityOf(const std::string& path, FileIdentity* id, bool follow_link) {
  struct stat st;
  if (path.empty() || (follow_link ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) {
    return false;
  }
  id->volume = uint64_t(st.st_dev);
  id->index = uint64_t(st.st_ino);
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  FileIdentity ia, ib;
  return IdentityOf(a, &ia) && IdentityOf(b, &ib) && ia == ib;
}

std::string FoldCase(const std::string& name) {
  // The case rules of Unicode, whatever locale the program runs in.
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    uint32_t c = 0;
    const size_t n = Utf8SequenceAt(name, i, &c);
    if (n == 0) {
      out.push_back(name[i++]);
      continue;
    }
    if (c < 0x80) {
      c = c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
    } else if (utf8 != locale_t(0)) {
      c = uint32_t(towupper_l(wint_t(c), utf8));
    }
    AppendUtf8(c, &out);
    i += n;
  }
  return out;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool SyncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  // A file system that cannot sync (some network and FUSE ones) has nothing more to write.
  return fsync(fileno(file)) == 0 || errno == EINVAL || errno == ENOTSUP || errno == ENOSYS;
}

bool SyncFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // a folder that cannot be opened for reading cannot be synced
  const bool ok = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP || errno == ENOSYS;
  close(fd);
  return ok;
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

std::string AbsolutePath(const std::string& path) {
  std::string joined = path;
  if (path.empty() || path[0] != '/') {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) == nullptr) return path;
    joined = std::string(buffer) + "/" + path;
  }
  std::vector<std::string> parts;
  size_t start = 1;
  while (start <= joined.size()) {
    size_t slash = joined.find('/', start);
    if (slash == std::string::npos) slash = joined.size();
    const std::string part = joined.substr(start, slash - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string absolute;
  for (const std::string& part : parts) absolute += "/" + part;
  return absolute.empty() ? "/" : absolute;
}

std::string ProgramFolder() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || size_t(n) >= sizeof buffer) return "";
  const std::string program(buffer, size_t(n));
  const size_t slash = program.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : program.substr(0, slash);
}

}  // namespace vexlor::platform
