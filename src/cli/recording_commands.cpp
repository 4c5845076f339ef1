#include "recording_commands.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/console.h"
#include "platform/file.h"
#include "standard_streams.h"

namespace vexlor::cli {

int ExplainOpen(app::ConversionJob* job, const std::string& path, std::string* message) {
  job->max_recording_size = 0;  // the command line takes recordings of any size
  const Status opened = job->OpenRecording(path);
  if (opened.ok()) return -1;
  *message = "error: " + opened.message();
  return kExitError;
}

int OpenOrFail(app::ConversionJob* job, const std::string& path) {
  std::string message;
  const int code = ExplainOpen(job, path, &message);
  if (code >= 0) PrintLine(message.rfind("error:", 0) == 0 ? stderr : stdout, message);
  return code;
}

std::string CreateOutputDir(const std::string& dir) {
  namespace fs = std::filesystem;
  const fs::path path(std::u8string(dir.begin(), dir.end()));
  std::error_code ec;
  fs::create_directories(path, ec);
  if (!ec && fs::is_directory(path, ec)) return std::string();
  std::string why = ec ? ec.message() : std::make_error_code(std::errc::not_a_directory).message();
  if (platform::IsSymbolicLink(dir) && platform::KindOf(dir) == platform::PathKind::kMissing) {
    const std::u8string target = fs::read_symlink(path, ec).u8string();
    why = "it is a dangling symbolic link (to " + std::string(target.begin(), target.end()) +
          ", which does not exist)";
  }
  return "error: cannot create the output directory " + dir + ": " + why;
}

std::string NonEmptyDirectory(const std::string& text) {
  return text.empty() ? "an empty directory name (leave the option out to write beside the "
                        "recording)"
                      : std::string();
}

void PrepareLocalTime() {
  static bool prepared = false;
  if (prepared) return;
  prepared = true;
  if (const std::string why = platform::PrepareTimeZone(); !why.empty()) {
    PrintLine(stderr, "warning: " + why);
  }
}

int Scan(app::ConversionJob* job, const std::string& path) {
  if (int code = OpenOrFail(job, path); code >= 0) return code;
  if (app::ScanChannels(job, nullptr) == app::kNoChannelFound) {
    std::printf("%s\n", app::ProgressText(*job, app::kNoChannel, 0, "").c_str());
    return kExitNoChannel;
  }
  return -1;
}

}  // namespace vexlor::cli
