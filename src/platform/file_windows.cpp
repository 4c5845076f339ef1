// Windows files: UTF-8 paths become UTF-16 for the wide runtime functions, and a path too long
// for the classic 260-character limit is handed over in its extended ("\\?\") form.
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cwchar>
#include <cwctype>

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

// errno for the system's latest error, so that callers give the same reasons as on POSIX.
void SetErrnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      errno = EACCES;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_FILENAME_EXCED_RANGE:
      errno = ENAMETOOLONG;
      break;
    case ERROR_INVALID_NAME:
      errno = EINVAL;
      break;
    default:
      errno = EIO;
      break;
  }
}

bool StartsWithNoCase(const std::wstring& text, size_t at, const wchar_t* prefix) {
  const size_t n = std::wcslen(prefix);
  return text.size() >= at + n && _wcsnicmp(text.c_str() + at, prefix, n) == 0;
}

// True when `path` names a device rather than something in a file system, told from the name
// alone, since opening a device may block or consume something: a named pipe, local or remote
// (*kind = kFifo), or any other device such as NUL, CON, COM1 or a raw disk (kOther).
bool IsDevicePath(const std::wstring& path, PathKind* kind) {
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return false;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return false;
  full.resize(n);
  size_t share = std::wstring::npos;  // where a UNC path's share name begins
  if (StartsWithNoCase(full, 0, L"\\\\.\\")) {
    // The device namespace: "\\.\C:\folder" is still a path on a drive.
    const bool on_drive =
        full.size() >= 7 && std::iswalpha(full[4]) && full[5] == L':' && full[6] == L'\\';
    if (on_drive) return false;
    *kind = StartsWithNoCase(full, 4, L"pipe\\") ? PathKind::kFifo : PathKind::kOther;
    return true;
  }
  if (StartsWithNoCase(full, 0, L"\\\\?\\UNC\\")) {
    share = full.find(L'\\', 8);
  } else if (StartsWithNoCase(full, 0, L"\\\\") && !StartsWithNoCase(full, 0, L"\\\\?\\")) {
    share = full.find(L'\\', 2);
  }
  if (share != std::wstring::npos && StartsWithNoCase(full, share + 1, L"pipe") &&
      (full.size() == share + 5 || full[share + 5] == L'\\')) {
    *kind = PathKind::kFifo;  // \\server\pipe\name
    return true;
  }
  return false;
}

// Opens what `path` names (links followed) without any access to its contents, to ask about
// it; directories included. INVALID_HANDLE_VALUE on failure.
HANDLE OpenForQuery(const std::wstring& path, DWORD flags = 0) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// The wide form of a path that names something in a file system (not a device).
bool FileSystemPath(const std::string& path, std::wstring* wide) {
  PathKind device_kind;
  return WidePath(path, wide) && !IsDevicePath(*wide, &device_kind);
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

PathKind KindOf(const std::string& path) {
  std::wstring wide;
  if (!WidePath(path, &wide)) return PathKind::kMissing;
  PathKind kind;
  if (IsDevicePath(wide, &kind)) return kind;
  const HANDLE h = OpenForQuery(wide);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return PathKind::kMissing;
    // Something that cannot be opened at all may still be looked at.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory : PathKind::kRegular;
  }
  kind = PathKind::kOther;
  switch (GetFileType(h)) {
    case FILE_TYPE_DISK: {
      BY_HANDLE_FILE_INFORMATION info;
      if (GetFileInformationByHandle(h, &info) != 0) {
        kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory
                                                                       : PathKind::kRegular;
      }
      break;
    }
    case FILE_TYPE_PIPE:
      kind = PathKind::kFifo;
      break;
    default:
      break;
  }
  CloseHandle(h);
  return kind;
}

bool IsSymbolicLink(const std::string& path) {
  std::wstring wide;
  if (!FileSystemPath(path, &wide)) return false;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return false;
  }
  // Other reparse points (files kept in the cloud, deduplicated files) are files in their own
  // right.
  const HANDLE h = OpenForQuery(wide, FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILE_ATTRIBUTE_TAG_INFO info;
  const bool link =
      GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info) != 0 &&
      (info.ReparseTag == IO_REPARSE_TAG_SYMLINK || info.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT);
  CloseHandle(h);
  return link;
}

bool IdentityOf(const std::string& path, FileIdentity* id, bool follow_link) {
  std::wstring wide;
  if (!FileSystemPath(path, &wide)) return false;
  // Without following: a symbolic link or junction is opened as itself; other reparse points
  // (files kept in the cloud, deduplicated files) are files in their own right.
  const HANDLE h = OpenForQuery(
      wide, !follow_link && IsSymbolicLink(path) ? FILE_FLAG_OPEN_REPARSE_POINT : DWORD{0});
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  FileIdentity ia, ib;
  return IdentityOf(a, &ia) && IdentityOf(b, &ib) && ia == ib;
}

std::string FoldCase(const std::string& name) {
  // Bytes that are not UTF-8 cannot be in a Windows name at all: such a text stays as it is.
  std::wstring wide;
  if (!Utf8ToWide(name, &wide) || wide.empty()) return name;
  // The file systems compare names in upper case by a table close to the invariant locale's.
  std::wstring upper(wide.size(), L'\0');
  const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), int(wide.size()),
                              upper.data(), int(upper.size()), nullptr, nullptr, 0);
  if (n <= 0) return name;
  upper.resize(size_t(n));
  return WideToUtf8(upper);
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  std::wstring wide_from, wide_to;
  if (!FileSystemPath(from, &wide_from) || !FileSystemPath(to, &wide_to)) return false;
  if (MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
    return true;
  }
  SetErrnoFromLastError();
  return false;
}

bool SyncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0) return true;
  SetErrnoFromLastError();
  return false;
}

bool SyncFolderOf(const std::string&) {
  return true;  // RenameReplacing writes the new name through
}

std::FILE* CreateNewFile(const std::string& path) {
  std::wstring wide;
  if (!FileSystemPath(path, &wide)) return nullptr;
  // CREATE_NEW: fails when anything of that name exists, a link included, so nothing else is
  // ever opened through it.
  const HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrnoFromLastError();
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    DeleteFileW(wide.c_str());
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, "wb");
  if (f == nullptr) {
    _close(fd);
    DeleteFileW(wide.c_str());
  }
  return f;
}

std::string AbsolutePath(const std::string& path) {
  std::wstring wide;
  if (path.empty() || !Utf8ToWide(path, &wide)) return path;
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  return WideToUtf8(full);
}

std::string ProgramFolder() {
  std::wstring name(MAX_PATH, L'\0');
  while (true) {
    const DWORD n = GetModuleFileNameW(nullptr, name.data(), DWORD(name.size()));
    if (n == 0) return "";
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    if (name.size() >= 32768) return "";
    name.resize(name.size() * 2);
  }
  const size_t slash = name.find_last_of(L"\\/");
  return slash == std::wstring::npos ? "" : WideToUtf8(name.substr(0, slash));
}

}  // namespace vexlor::platform
