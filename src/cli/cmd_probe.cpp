// `vexlor probe`: the channel scan alone, listing the channels found with their sizes.
#include <cstdio>
#include <memory>
#include <string>

#include "app/conversion_job.h"
#include "cli/commands.h"
#include "cli/recording_commands.h"

namespace vexlor::cli {
namespace {

void RunProbe(const std::string& path, int* exitCode) {
  auto job = std::make_unique<app::ConversionJob>();
  job->keep_pictures = false;  // only the sizes matter here
  if (int code = Scan(job.get(), path); code >= 0) {
    *exitCode = code;
    return;
  }
  for (int c = 0; c < app::kChannelCount; ++c) {
    if (job->widths[c] > 0 && job->heights[c] > 0) {
      std::printf("CH_%02d %dx%d\n", c + 1, job->widths[c], job->heights[c]);
    }
  }
  *exitCode = std::fflush(stdout) == 0 ? kExitDone : kExitError;
}

}  // namespace

void RegisterProbe(CLI::App& app, int* exitCode) {
  auto probe_path = std::make_shared<std::string>();
  CLI::App* probe = app.add_subcommand(
      "probe", "List the channels that carry video, with their picture sizes (CH_NN WxH)");
  probe->add_option("recording", *probe_path, "Recording file (.kvr, .ms2, .m4v)")->required();
  probe->callback([probe_path, exitCode] { RunProbe(*probe_path, exitCode); });
}

}  // namespace vexlor::cli
