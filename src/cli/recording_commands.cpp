#include "recording_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace vexlor::cli {

int ExplainOpen(app::ConversionJob* job, const std::string& path, std::string* message) {
  switch (job->OpenRecording(path)) {
    case app::kOpened:
      return -1;
    case app::kTooLarge:
      *message = app::kTooLargeText;
      return kExitError;
    case app::kIsDirectory:
      *message = "error: " + path + " is a directory";
      return kExitError;
    case app::kNotRegularFile:
      *message = "error: " + path + " is not a regular file";
      return kExitError;
    default:
      *message = "error: cannot open " + path + ": " + std::strerror(errno);
      return kExitError;
  }
}

int OpenOrFail(app::ConversionJob* job, const std::string& path) {
  std::string message;
  const int code = ExplainOpen(job, path, &message);
  if (code >= 0)
    std::fprintf(message.rfind("error:", 0) == 0 ? stderr : stdout, "%s\n", message.c_str());
  return code;
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
