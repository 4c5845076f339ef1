#include "platform/files.h"

#include <filesystem>
#include <random>

namespace vexlor::platform {
namespace fs = std::filesystem;

PathKind KindOf(const std::string& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(fs::path(path), ec);
  if (ec || !fs::exists(st)) return PathKind::kMissing;
  if (fs::is_regular_file(st)) return PathKind::kRegular;
  if (fs::is_directory(st)) return PathKind::kDirectory;
  if (fs::is_fifo(st)) return PathKind::kFifo;
  return PathKind::kOther;
}

bool IsSymbolicLink(const std::string& path) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(fs::path(path), ec));
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(fs::path(a), fs::path(b), ec) && !ec;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::rename(fs::path(from), fs::path(to), ec);
  return !ec;
}

std::FILE* CreateUniqueBeside(const std::string& beside, std::string* path) {
  const fs::path final_path(beside);
  const std::string name = final_path.filename().string();
  static std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.part", static_cast<unsigned>(random()));
    const std::string candidate = (final_path.parent_path() / ("." + name + suffix)).string();
    // "x": fails when anything of that name exists, so nothing else is ever opened.
    if (std::FILE* f = std::fopen(candidate.c_str(), "wbx")) {
      *path = candidate;
      return f;
    }
    if (KindOf(candidate) == PathKind::kMissing && !IsSymbolicLink(candidate)) break;
  }
  return nullptr;
}

namespace {

// Whether an output may take the name final_path: kOk, or why not.
OutputFile::Result CheckFinalName(const std::string& final_path, const std::string& keep) {
  if (IsSymbolicLink(final_path)) return OutputFile::kOk;  // the link itself is replaced
  switch (KindOf(final_path)) {
    case PathKind::kDirectory:
      return OutputFile::kIsDirectory;
    case PathKind::kFifo:
    case PathKind::kOther:
      return OutputFile::kNotRegular;
    case PathKind::kRegular:
      return !keep.empty() && SameFile(final_path, keep) ? OutputFile::kIsKept : OutputFile::kOk;
    case PathKind::kMissing:
      break;
  }
  return OutputFile::kOk;
}

}  // namespace

OutputFile::Result OutputFile::Create(const std::string& final_path, const std::string& keep) {
  Finish(false);
  if (const Result r = CheckFinalName(final_path, keep); r != kOk) return r;
  file_ = CreateUniqueBeside(final_path, &temp_path_);
  if (file_ == nullptr) return kCannotCreate;
  final_path_ = final_path;
  keep_ = keep;
  return kOk;
}

OutputFile::Result OutputFile::Finish(bool complete) {
  if (file_ == nullptr) return kWriteFailed;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  Result result = complete && closed ? kOk : kWriteFailed;
  // The final name may have changed while the file was written: check it again.
  if (result == kOk) result = CheckFinalName(final_path_, keep_);
  if (result == kOk && !RenameReplacing(temp_path_, final_path_)) result = kWriteFailed;
  if (result != kOk) {
    std::error_code ec;
    fs::remove(fs::path(temp_path_), ec);
  }
  temp_path_.clear();
  return result;
}

const char* OutputFileError(OutputFile::Result result) {
  switch (result) {
    case OutputFile::kOk:
      return "no error";
    case OutputFile::kIsDirectory:
      return "is a directory";
    case OutputFile::kNotRegular:
      return "is not a regular file";
    case OutputFile::kIsKept:
      return "is the recording being converted";
    case OutputFile::kCannotCreate:
      return "cannot be created";
    case OutputFile::kWriteFailed:
      return "cannot be written";
  }
  return "cannot be written";
}

}  // namespace vexlor::platform
