// `vexlor probe`: the channel scan, then one pass over the whole recording, listing the channels
// found with their sizes, frames, rates, audio and time stamps, and what the reader skipped.
#include <cstdio>
#include <memory>
#include <string>

#include "app/channel_survey.h"
#include "app/conversion_job.h"
#include "commands.h"
#include "convert_batch.h"
#include "convert_options.h"
#include "json_text.h"
#include "recording_commands.h"
#include "skips_text.h"
#include "standard_streams.h"

namespace vexlor::cli {
namespace {

struct ProbeOptions {
  std::string path;
  bool json = false;
  ConvertOptions clock;  // --clock-offset and --recorder-zone: the correction alone
};

// What the reader skipped, after the channels: nothing for a recording read whole.
void PrintSkips(const container::ReaderSkips& skips) {
  std::fputs(StartCodeLines(skips).c_str(), stdout);
  if (skips.Any()) std::printf("%s\n", SkipsLine(skips).c_str());
}

void RunProbe(ProbeOptions& options, int* exitCode) {
  PrepareLocalTime();
  if (const std::string error = MakeCorrection(&options.clock); !error.empty()) {
    PrintLine(stderr, error);
    *exitCode = kExitError;
    return;
  }
  const auto shown = [&options](double stamp) { return options.clock.Shown(stamp); };
  auto job = std::make_unique<app::ConversionJob>();
  job->keep_pictures = false;  // only the sizes matter here
  std::string message;
  if (int code = ExplainOpen(job.get(), options.path, &message); code >= 0) {
    PrintLine(message.rfind("error:", 0) == 0 || options.json ? stderr : stdout, message);
    *exitCode = code;
    return;
  }
  nlohmann::json report = {{"channels", nlohmann::json::array()}};
  PutName(&report, "recording", options.path);
  if (app::ScanChannels(job.get(), nullptr) == app::kNoChannelFound) {
    // The rest of the recording too, for what the reader skips in all of it.
    container::Frame frame;
    while (job->reader().Next(&frame).ok()) {
    }
    const std::string text = app::ProgressText(*job, app::kNoChannel, 0, "");
    if (options.json) {
      report["status"] = text;
      report["skipped"] = SkipsJson(job->reader().skips());
      std::fputs(JsonLine(report).c_str(), stdout);
    } else {
      std::printf("%s\n", text.c_str());
      PrintSkips(job->reader().skips());
    }
    *exitCode = kExitNoChannel;
    return;
  }
  app::ChannelSurvey survey[app::kChannelCount];
  app::SurveyChannels(job.get(), app::TimeRange{}, survey, nullptr);

  for (int c = 0; c < app::kChannelCount; ++c) {
    if (job->scan().widths[c] <= 0 || job->scan().heights[c] <= 0) continue;
    const app::ChannelSurvey& s = survey[c];
    uint32_t rate = 0, scale = 1;
    s.FileRate(&rate, &scale);
    const double fps = double(rate) / scale;
    const bool timed = s.counted > 0;
    if (options.json) {
      nlohmann::json ch = {{"channel", c + 1},
                           {"width", job->scan().widths[c]},
                           {"height", job->scan().heights[c]},
                           {"frames", s.video_frames},
                           {"rate", fps},
                           {"audio", s.audio_frames > 0}};
      if (timed) {
        ch["first_time"] = FormatTime(shown(s.t_first));
        ch["last_time"] = FormatTime(shown(s.t_last));
        ch["first_seconds"] = shown(s.t_first);
        ch["last_seconds"] = shown(s.t_last);
      }
      report["channels"].push_back(ch);
      continue;
    }
    std::printf("CH_%02d %dx%d frames=%lld rate=%.2f audio=%s", c + 1, job->scan().widths[c],
                job->scan().heights[c], static_cast<long long>(s.video_frames), fps,
                s.audio_frames > 0 ? "yes" : "no");
    if (timed) {
      std::printf(" first=%s last=%s", FormatTime(shown(s.t_first)).c_str(),
                  FormatTime(shown(s.t_last)).c_str());
    }
    std::printf("\n");
  }
  if (options.json) {
    report["skipped"] = SkipsJson(job->reader().skips());
    std::fputs(JsonLine(report).c_str(), stdout);
  } else {
    PrintSkips(job->reader().skips());
  }
  *exitCode = kExitDone;
}

}  // namespace

void RegisterProbe(CLI::App& app, int* exitCode) {
  auto options = std::make_shared<ProbeOptions>();
  CLI::App* probe = app.add_subcommand(
      "probe",
      "List the channels that carry video: picture size, video frames, the frame rate a "
      "conversion measures, audio, first and last time stamp");
  probe->add_option("recording", options->path, "Recording file (.kvr, .ms2, .m4v)")->required();
  probe->add_flag("--json", options->json, "Print the same as one JSON object. Example: --json");
  AddClockOptions(probe, &options->clock.clock_offset, &options->clock.recorder_zone);
  probe->footer(
      "Output: CH_NN WxH frames=N rate=R audio=yes|no first=TIME last=TIME, times in local time "
      "(ISO 8601 with the zone's offset). Then, when there were any, the video frames not "
      "converted because their data starts with the three-byte start code "
      "(skipped CH_NN three_byte_start_code=N) and what the reader skipped as damage or as "
      "frames beyond 16 MiB (skipped damaged_bytes=N damaged_ranges=N frames_lost=N "
      "oversized_frames=N damaged=BEGIN-END,... oversized=BEGIN-END,...).");
  probe->callback([options, exitCode] { RunProbe(*options, exitCode); });
}

}  // namespace vexlor::cli
