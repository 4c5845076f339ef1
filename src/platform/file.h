// Files named by UTF-8 paths, on every platform: the one place that knows how the system wants
// a file name (UTF-16, and the long-path form, on Windows) and how to seek past 2 GB.
#pragma once

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

}  // namespace vexlor::platform
