// Files named by UTF-8 paths, on every platform: the one place that knows how the system wants
// a file name (UTF-16, and the long-path form, on Windows), how to seek past 2 GB, what a name
// refers to, and how to create and rename files safely.
#pragma once

#include <compare>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vexlor::platform {

// The characters that end a directory part of a path: "/" on POSIX; on Windows also "\" and
// the ":" of a drive letter ("D:cam.kvr").
#ifdef _WIN32
inline constexpr const char* kPathSeparators = "/\\:";
#else
inline constexpr const char* kPathSeparators = "/";
#endif

// Opens the file `path` (UTF-8) with an fopen mode ("rb", "wb", "r+b", ...). Files are always
// opened in binary mode: a mode without 'b' gets it. Returns null on failure (errno is set).
std::FILE* OpenFile(const std::string& path, const char* mode);

// fseek and ftell with 64-bit offsets. SeekFile returns 0 on success; TellFile -1 on failure.
int SeekFile(std::FILE* file, int64_t offset, int origin);
int64_t TellFile(std::FILE* file);

// True when the open file is a regular file on a disk (not a directory, device or pipe).
bool IsRegularFile(std::FILE* file);

// Deletes the file `path` (UTF-8). 0 on success.
int RemoveFile(const std::string& path);

enum class PathKind {
  kMissing,    // nothing of that name (or it cannot be examined)
  kRegular,    // a regular file
  kDirectory,  // a directory
  kFifo,       // a FIFO, a named pipe
  kOther,      // a device, a socket
};

// What `path` names, symbolic links followed. Nothing is opened that could block or consume
// anything (a FIFO, a named pipe, a device).
PathKind KindOf(const std::string& path);

// True when `path` is itself a symbolic link (on Windows also a junction).
bool IsSymbolicLink(const std::string& path);

// What tells one file from every other while it exists: the device and inode number on POSIX,
// the volume serial number and file index on Windows. Every name, hard link and symbolic link
// that leads to a file gives its identity; a folder has one too.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

// The identity of what `path` names. With follow_link false, a symbolic link at `path` gives
// its own identity rather than that of what it names. False when nothing of that name can be
// examined.
bool IdentityOf(const std::string& path, FileIdentity* id, bool follow_link = true);

// True when both paths name one existing file: the same file on the same volume, whatever the
// names, hard links and symbolic links that lead to it.
bool SameFile(const std::string& a, const std::string& b);

// `name` (UTF-8) in upper case, as a file system that ignores case compares names: two names
// it takes for one give the same text. Bytes that are not UTF-8 stay as they are.
std::string FoldCase(const std::string& name);

// Whether a folder whose names cannot be probed is taken to ignore case: Windows folders do,
// POSIX ones (except on media such as FAT and exFAT) do not.
#ifdef _WIN32
inline constexpr bool kFoldersIgnoreCase = true;
#else
inline constexpr bool kFoldersIgnoreCase = false;
#endif

// Renames the file `from` to `to`, replacing a file (or a symbolic link) of that name in one
// step. True on success. On Windows the rename is on the disk when this returns.
bool RenameReplacing(const std::string& from, const std::string& to);

// Writes what the open file holds through to the disk: the C library's buffer, then the
// system's (fsync; FlushFileBuffers on Windows). True on success.
bool SyncFile(std::FILE* file);

// Writes the entries of the folder that holds `path` (a name just given to a file) through to
// the disk: fsync of the folder on POSIX; nothing on Windows, where RenameReplacing does it.
// True on success, and where the file system cannot do it.
bool SyncFolderOf(const std::string& path);

// Creates the file `path`, which must not exist in any form (not even as a dangling link), and
// opens it for writing in binary mode. Null when it exists or cannot be created.
std::FILE* CreateNewFile(const std::string& path);

// `path` made absolute against the current folder, with "." and ".." parts resolved by their
// names (symbolic links are not followed): "/work/out/cam_01.avi"; on Windows in the system's
// form, "C:\work\out\cam_01.avi". The path as it is when the current folder cannot be told.
std::string AbsolutePath(const std::string& path);

// The folder that holds the running program's file (UTF-8, no separator at the end); empty when
// the system cannot tell it.
std::string ProgramFolder();

}  // namespace vexlor::platform
