#include "recording_commands.h"

#include <cstdio>
#include <string>

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
