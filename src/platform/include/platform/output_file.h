// The rule by which every output file is written (OutputFile), on top of the file functions.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vexlor::platform {

// Creates a new, empty file that did not exist before, open for writing in binary mode, in the
// folder of `beside` under a name of its own (stored in *path). Null when none can be created.
std::FILE* CreateUniqueBeside(const std::string& beside, std::string* path);

// Whether the folder (an existing directory, UTF-8) takes names that differ only in case for one
// name, as FAT, exFAT and NTFS media do: probed with a new file of a lower-case name, looked up
// in upper case, and removed. kFoldersIgnoreCase when the folder takes no new file.
bool FolderIgnoresCase(const std::string& folder);

// The files CreateUniqueBeside names for `beside` that exist in its folder: temporary files
// that a writer of `beside` has open now, or that one left when it ended before it could rename
// or remove them (killed, or the machine stopped). Empty when there are none or the folder
// cannot be read.
std::vector<std::string> TemporariesBeside(const std::string& beside);

// An output file is written under a temporary name in its final folder and renamed to its
// final name only when it is complete, so a reader never sees half a file, two writers of one
// name leave the complete file of one of them, and a failed file never replaces an earlier
// one; the file is on the disk (flushed through the system's caches) before it is renamed, and
// its new name after, so a power cut leaves the complete file or the earlier one. Only regular
// files are written: a final name that is a directory, a FIFO or a device is
// refused, and so is one that is the file `keep` (the recording being converted), however it
// is reached. A symbolic link at the final name is replaced, never written through.
class OutputFile {
 public:
  enum Result {
    kOk = 0,
    kIsDirectory,   // the final name is a directory
    kNotRegular,    // the final name is a FIFO, a device or a socket
    kIsKept,        // the final name is the file that must be kept
    kCannotCreate,  // the temporary file could not be created
    kWriteFailed,   // writing, closing or renaming failed
  };

  OutputFile() = default;
  ~OutputFile() { Finish(false); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Checks the final name (UTF-8) and creates the temporary file. keep may be empty.
  Result Create(const std::string& final_path, const std::string& keep = std::string());
  std::FILE* file() const { return file_; }
  const std::string& final_path() const { return final_path_; }
  // Closes the file. When `complete` (and writing it through and closing succeeded) it is
  // renamed to the final name; otherwise, or when that fails, it is removed. Does nothing when
  // no file is open.
  Result Finish(bool complete);
  // What went wrong, for a message: OutputFileError's text and, when the system gave one, its
  // reason ("cannot be created: Permission denied").
  std::string ErrorText(Result result) const;

 private:
  std::FILE* file_ = nullptr;
  std::string final_path_, temp_path_, keep_;
  int error_number_ = 0;  // errno of the latest failure of the system, 0 for none
};

// The text of a refusal or failure, for messages: "is a directory", ...
const char* OutputFileError(OutputFile::Result result);

}  // namespace vexlor::platform
