// A private scratch folder for the input checks that write files, made once per process and
// removed at exit.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace vexlor::testing {

class ScratchFolder {
 public:
  explicit ScratchFolder(const char* prefix) {
    std::string templ =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(templ.data()) != nullptr) path_ = templ;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::filesystem::path& path() const { return path_; }
  // Removes everything inside, keeping the folder.
  void Clear() const {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path_, ec)) {
      std::filesystem::remove_all(e.path(), ec);
    }
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vexlor::testing
