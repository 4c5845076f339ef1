#include "cli/recording_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vexlor::cli {

int OpenOrFail(app::ConversionJob* job, const std::string& path) {
  switch (job->OpenRecording(path)) {
    case 0:
      return -1;
    case 2:
      std::printf("%s\n", app::kTooLargeText);
      return kExitError;
    case 4:
      std::fprintf(stderr, "error: %s is a directory\n", path.c_str());
      return kExitError;
    case 5:
      std::fprintf(stderr, "error: %s is not a regular file\n", path.c_str());
      return kExitError;
    default:
      std::fprintf(stderr, "error: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
      return kExitError;
  }
}

int Scan(app::ConversionJob* job, const std::string& path) {
  if (int code = OpenOrFail(job, path); code >= 0) return code;
  if (app::ScanChannels(job, nullptr) == 0) {
    std::printf("%s\n", app::ProgressText(*job, app::kNoChannel, 0, "").c_str());
    return kExitNoChannel;
  }
  return -1;
}

}  // namespace vexlor::cli
