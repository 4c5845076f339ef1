// POSIX files: paths are bytes, off_t is 64 bits wide.
#include <sys/stat.h>

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

}  // namespace vexlor::platform
