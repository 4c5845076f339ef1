// The output-file rule, the same on every platform: only the file functions differ.
#include "platform/output_file.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/file.h"

namespace vexlor::platform {

namespace {

// A temporary file of NAME is ".NAME.XXXXXXXX.part" in NAME's folder, X a hexadecimal digit.
constexpr char kTemporaryEnd[] = ".part";
constexpr size_t kTemporaryDigits = 8;

// `beside` as its folder (with its final separator, or empty) and its name.
void SplitBeside(const std::string& beside, std::string* folder, std::string* name) {
  const size_t cut = beside.find_last_of(kPathSeparators);
  *folder = cut == std::string::npos ? std::string() : beside.substr(0, cut + 1);
  *name = cut == std::string::npos ? beside : beside.substr(cut + 1);
}

bool IsTemporaryOf(const std::string& entry, const std::string& name) {
  const size_t end_length = std::strlen(kTemporaryEnd);
  const size_t head = 1 + name.size() + 1;  // "." NAME "."
  if (entry.size() != head + kTemporaryDigits + end_length) return false;
  if (entry.compare(0, head, "." + name + ".") != 0) return false;
  for (size_t i = head; i < head + kTemporaryDigits; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(entry[i]))) return false;
  }
  return entry.compare(head + kTemporaryDigits, end_length, kTemporaryEnd) == 0;
}

}  // namespace

std::FILE* CreateUniqueBeside(const std::string& beside, std::string* path) {
  std::string folder, name;
  SplitBeside(beside, &folder, &name);
  static std::random_device seed;
  std::mt19937 random(seed() ^
                      unsigned(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x%s", static_cast<unsigned>(random()), kTemporaryEnd);
    const std::string candidate = folder + "." + name + suffix;
    if (std::FILE* f = CreateNewFile(candidate)) {
      *path = candidate;
      return f;
    }
    // Nothing of that name: the folder itself refuses new files, another name will not help.
    const int error = errno;
    if (KindOf(candidate) == PathKind::kMissing && !IsSymbolicLink(candidate)) {
      errno = error;
      break;
    }
    errno = EEXIST;
  }
  return nullptr;
}

bool FolderIgnoresCase(const std::string& folder) {
  const bool ends_with_separator =
      !folder.empty() && std::strchr(kPathSeparators, folder.back()) != nullptr;
  std::string probe;
  std::FILE* f =
      CreateUniqueBeside(folder + (ends_with_separator ? "" : "/") + "case-probe", &probe);
  if (f == nullptr) return kFoldersIgnoreCase;
  std::fclose(f);
  // The probe's own name is lower case (".case-probe.1a2b3c4d.part"): only its name is folded.
  const size_t cut = probe.find_last_of(kPathSeparators) + 1;
  FileIdentity lower, upper;
  const bool same = IdentityOf(probe, &lower) &&
                    IdentityOf(probe.substr(0, cut) + FoldCase(probe.substr(cut)), &upper) &&
                    lower == upper;
  RemoveFile(probe);
  return same;
}

std::vector<std::string> TemporariesBeside(const std::string& beside) {
  namespace fs = std::filesystem;
  std::string folder, name;
  SplitBeside(beside, &folder, &name);
  std::vector<std::string> found;
  // The folder and the names as UTF-8 on every platform.
  const std::string listed = folder.empty() ? std::string(".") : folder;
  std::error_code ec;
  fs::directory_iterator it(fs::path(std::u8string(listed.begin(), listed.end())), ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::u8string entry8 = it->path().filename().u8string();
    const std::string entry(entry8.begin(), entry8.end());
    if (IsTemporaryOf(entry, name)) found.push_back(folder + entry);
  }
  return found;
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
  error_number_ = 0;
  if (const Result r = CheckFinalName(final_path, keep); r != kOk) return r;
  file_ = CreateUniqueBeside(final_path, &temp_path_);
  if (file_ == nullptr) {
    error_number_ = errno;
    return kCannotCreate;
  }
  final_path_ = final_path;
  keep_ = keep;
  return kOk;
}

OutputFile::Result OutputFile::Finish(bool complete) {
  if (file_ == nullptr) return kWriteFailed;
  error_number_ = 0;
  // On the disk before it takes its name: a power cut never leaves a name on a file whose
  // contents were still in a cache.
  bool written = complete && SyncFile(file_);
  if (complete && !written) error_number_ = errno;
  if (std::fclose(file_) != 0 && written) {
    written = false;
    error_number_ = errno;
  }
  file_ = nullptr;
  Result result = written ? kOk : kWriteFailed;
  // The final name may have changed while the file was written: check it again.
  if (result == kOk) result = CheckFinalName(final_path_, keep_);
  if (result == kOk && !RenameReplacing(temp_path_, final_path_)) {
    error_number_ = errno;
    result = kWriteFailed;
  }
  if (result == kOk) {
    SyncFolderOf(final_path_);  // the new name; the file is whole whether or not this succeeds
  } else {
    RemoveFile(temp_path_);
  }
  temp_path_.clear();
  return result;
}

std::string OutputFile::ErrorText(Result result) const {
  std::string text = OutputFileError(result);
  if (result != kOk && error_number_ != 0) text += std::string(": ") + std::strerror(error_number_);
  return text;
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
