// Windows files: UTF-8 paths become UTF-16 for the wide runtime functions, and a path too long
// for the classic 260-character limit is handed over in its extended ("\\?\") form.
#include <io.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/text_windows.h"

namespace vexlor::platform {
namespace {

// Below this length every Windows version takes a path as it is (MAX_PATH less room for a
// file name that the system may append, as for directories).
constexpr size_t kPlainPathLimit = MAX_PATH - 12;

// The extended form: absolute, backslashes only, "." and ".." resolved, "\\?\" or
// "\\?\UNC\" in front. Short paths and paths already in that form are returned as they are.
std::wstring SystemPath(const std::wstring& path) {
  if (path.size() < kPlainPathLimit || path.rfind(L"\\\\?\\", 0) == 0) return path;
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  if (full.rfind(L"\\\\.\\", 0) == 0) return full;  // a device name: no extended form
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

bool WidePath(const std::string& path, std::wstring* out) {
  if (!Utf8ToWide(path, out) || out->empty()) {
    errno = out->empty() && path.empty() ? ENOENT : EINVAL;
    return false;
  }
  *out = SystemPath(*out);
  return true;
}

}  // namespace

std::FILE* OpenFile(const std::string& path, const char* mode) {
  std::wstring wide_path;
  if (!WidePath(path, &wide_path)) return nullptr;
  std::wstring wide_mode;
  bool binary = false;
  for (const char* m = mode; *m != '\0'; ++m) {
    binary = binary || *m == 'b';
    if (*m != 't') wide_mode.push_back(wchar_t(*m));
  }
  if (!binary) wide_mode.push_back(L'b');
  return _wfopen(wide_path.c_str(), wide_mode.c_str());
}

int SeekFile(std::FILE* file, int64_t offset, int origin) {
  return _fseeki64(file, offset, origin) == 0 ? 0 : -1;
}

int64_t TellFile(std::FILE* file) {
  return _ftelli64(file);
}

bool IsRegularFile(std::FILE* file) {
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(h, &info) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int RemoveFile(const std::string& path) {
  std::wstring wide_path;
  if (!WidePath(path, &wide_path)) return -1;
  return _wremove(wide_path.c_str()) == 0 ? 0 : -1;
}

}  // namespace vexlor::platform
