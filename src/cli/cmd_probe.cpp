// `vexlor probe`: the channel scan, then one pass over the whole recording, listing every channel
// with video (the scan's, and those it did not find) with its size, frames, rate, audio, time
// stamps, gaps and clock jumps, the channels with sound only, and what the reader skipped.
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
  double gap = app::kDefaultGapSeconds;
  ConvertOptions clock;  // --clock-offset and --recorder-zone: the correction alone
};

// What the reader skipped, after the channels: nothing for a recording read whole.
void PrintSkips(const container::ReaderSkips& skips) {
  std::fputs(StartCodeLines(skips).c_str(), stdout);
  if (skips.Any()) std::printf("%s\n", SkipsLine(skips).c_str());
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", s);
  return text;
}

// A channel with video: the fields a conversion reports of it, then its gaps and clock jumps.
void PutVideoChannel(int c, const ChannelFacts& f, const app::ChannelSurvey& s,
                     const ConvertOptions& clock, nlohmann::json* ch) {
  const auto shown = [&clock](double stamp) { return clock.Shown(stamp); };
  uint32_t rate = 0, scale = 1;
  s.FileRate(&rate, &scale);
  *ch = {{"channel", c + 1},
         {"width", f.width},
         {"height", f.height},
         {"frames", s.video_frames},
         {"rate", double(rate) / scale},
         {"audio", s.audio_frames > 0}};
  if (f.coded_width != f.width || f.coded_height != f.height) {
    (*ch)["coded_width"] = f.coded_width;
    (*ch)["coded_height"] = f.coded_height;
  }
  if (s.counted > 0) {
    (*ch)["first_time"] = FormatTime(shown(s.t_first));
    (*ch)["last_time"] = FormatTime(shown(s.t_last));
    (*ch)["first_seconds"] = shown(s.t_first);
    (*ch)["last_seconds"] = shown(s.t_last);
  }
  if (f.found_after_scan) {
    (*ch)["found_after_scan"] = true;
    (*ch)["first_frame"] = f.first_frame;
    (*ch)["first_appears"] = FormatTime(shown(f.first_seconds));
  }
  if (!f.unsupported.empty()) (*ch)["unsupported"] = f.unsupported;
  nlohmann::json jumps = nlohmann::json::array();
  for (const app::ClockJump& j : s.clock_jumps) {
    jumps.push_back({{"frame", j.frame},
                     {"from", FormatTime(shown(j.from))},
                     {"to", FormatTime(shown(j.to))},
                     {"step_seconds", j.to - j.from}});
  }
  (*ch)["clock_jumps"] = jumps;
  (*ch)["clock_jump_count"] = s.clock_jump_count;
  nlohmann::json gaps = nlohmann::json::array();
  for (const app::FootageGap& g : s.gaps) {
    gaps.push_back({{"frame", g.frame},
                    {"from", FormatTime(shown(g.from))},
                    {"to", FormatTime(shown(g.to))},
                    {"from_seconds", shown(g.from)},
                    {"to_seconds", shown(g.to)},
                    {"seconds", g.to - g.from}});
  }
  (*ch)["gaps"] = gaps;
  (*ch)["gap_count"] = s.gap_count;
  (*ch)["footage_seconds"] = s.footage_seconds;
}

// The same as text: the channel's line, then one line per gap and per clock jump.
void PrintVideoChannel(int c, const ChannelFacts& f, const app::ChannelSurvey& s,
                       const ConvertOptions& clock) {
  const auto shown = [&clock](double stamp) { return clock.Shown(stamp); };
  uint32_t rate = 0, scale = 1;
  s.FileRate(&rate, &scale);
  std::printf("CH_%02d %dx%d frames=%lld rate=%.2f audio=%s", c + 1, f.width, f.height,
              static_cast<long long>(s.video_frames), double(rate) / scale,
              s.audio_frames > 0 ? "yes" : "no");
  if (s.counted > 0) {
    std::printf(" first=%s last=%s", FormatTime(shown(s.t_first)).c_str(),
                FormatTime(shown(s.t_last)).c_str());
  }
  if (f.coded_width != f.width || f.coded_height != f.height) {
    std::printf(" coded=%dx%d", f.coded_width, f.coded_height);
  }
  std::printf(" footage=%s gaps=%lld", Seconds(s.footage_seconds).c_str(),
              static_cast<long long>(s.gap_count));
  if (s.clock_jump_count > 0) {
    std::printf(" clock_jumps=%lld", static_cast<long long>(s.clock_jump_count));
  }
  if (f.found_after_scan) {
    std::printf(" found_after_scan=%lld@%s", static_cast<long long>(f.first_frame),
                FormatTime(shown(f.first_seconds)).c_str());
  }
  if (!f.unsupported.empty()) {
    std::printf(" unsupported=\"%s\" (copied without decoding, its size from its parameter sets)",
                f.unsupported.c_str());
  }
  std::printf("\n");
  for (const app::FootageGap& g : s.gaps) {
    std::printf("  gap from=%s to=%s seconds=%s\n", FormatTime(shown(g.from)).c_str(),
                FormatTime(shown(g.to)).c_str(), Seconds(g.to - g.from).c_str());
  }
  if (s.gap_count > int64_t(s.gaps.size())) {
    std::printf("  gap ... %lld more\n",
                static_cast<long long>(s.gap_count - int64_t(s.gaps.size())));
  }
  for (const app::ClockJump& j : s.clock_jumps) {
    std::printf("  clock_jump frame=%lld from=%s to=%s step=%s\n", static_cast<long long>(j.frame),
                FormatTime(shown(j.from)).c_str(), FormatTime(shown(j.to)).c_str(),
                Seconds(j.to - j.from).c_str());
  }
  if (s.clock_jump_count > int64_t(s.clock_jumps.size())) {
    std::printf("  clock_jump ... %lld more\n",
                static_cast<long long>(s.clock_jump_count - int64_t(s.clock_jumps.size())));
  }
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
  report["gap_seconds"] = options.gap;
  const bool scanned = app::ScanChannels(job.get(), nullptr) != app::kNoChannelFound;
  // The whole recording, for every channel's counts and times, and for the channels the scan
  // did not find.
  app::ChannelSurvey survey[app::kChannelCount];
  app::SurveyChannels(job.get(), app::TimeRange{}, survey, nullptr, options.gap);
  const container::ReaderSkips skips = job->reader().skips();
  ChannelFacts facts[app::kChannelCount];
  LearnChannels(job.get(), survey, false, facts);

  bool any_video = scanned;
  for (int c = 0; c < app::kChannelCount; ++c) {
    const ChannelFacts& f = facts[c];
    const app::ChannelSurvey& s = survey[c];
    nlohmann::json ch = {{"channel", c + 1}};
    switch (f.kind) {
      case ChannelFacts::Kind::kNone:
        continue;
      case ChannelFacts::Kind::kVideo:
        any_video = true;
        if (options.json) {
          PutVideoChannel(c, f, s, options.clock, &ch);
        } else {
          PrintVideoChannel(c, f, s, options.clock);
        }
        break;
      case ChannelFacts::Kind::kUndecodable:
        // Video frames, but neither a picture nor a size: listed, never left out in silence.
        ch["undecodable"] = true;
        ch["frames"] = s.video_frames;
        ch["first_frame"] = f.first_frame;
        if (!f.unsupported.empty()) ch["unsupported"] = f.unsupported;
        if (!options.json) {
          std::printf("CH_%02d undecodable frames=%lld first_frame=%lld", c + 1,
                      static_cast<long long>(s.video_frames),
                      static_cast<long long>(f.first_frame));
          if (!f.unsupported.empty()) std::printf(" unsupported=\"%s\"", f.unsupported.c_str());
          std::printf("\n");
        }
        break;
      case ChannelFacts::Kind::kSoundOnly:
        ch["sound_only"] = true;
        ch["audio_frames"] = s.audio_frames;
        ch["first_time"] = FormatTime(shown(s.audio_first));
        ch["last_time"] = FormatTime(shown(s.audio_last));
        ch["duration"] = s.audio_last - s.audio_first;
        if (!options.json) {
          std::printf(
              "CH_%02d sound_only audio_frames=%lld duration=%s first=%s last=%s\n", c + 1,
              static_cast<long long>(s.audio_frames), Seconds(s.audio_last - s.audio_first).c_str(),
              FormatTime(shown(s.audio_first)).c_str(), FormatTime(shown(s.audio_last)).c_str());
        }
        break;
    }
    if (options.json) report["channels"].push_back(ch);
  }
  if (!any_video) {
    // No channel with a picture size anywhere: said as the scan says it.
    const std::string text = app::ProgressText(*job, app::kNoChannel, 0, "");
    if (options.json) {
      report["status"] = text;
    } else {
      std::printf("%s\n", text.c_str());
    }
  }
  if (options.json) {
    report["skipped"] = SkipsJson(skips);
    std::fputs(JsonLine(report).c_str(), stdout);
  } else {
    PrintSkips(skips);
  }
  *exitCode = any_video ? kExitDone : kExitNoChannel;
}

}  // namespace

void RegisterProbe(CLI::App& app, int* exitCode) {
  auto options = std::make_shared<ProbeOptions>();
  CLI::App* probe = app.add_subcommand(
      "probe",
      "List the channels: picture size, video frames, the frame rate a conversion measures, "
      "audio, first and last time stamp, the gaps in the footage and the clock's jumps; every "
      "channel with video anywhere in the recording, and those with sound only");
  probe->add_option("recording", options->path, "Recording file (.kvr, .ms2, .m4v)")->required();
  probe->add_flag("--json", options->json, "Print the same as one JSON object. Example: --json");
  probe
      ->add_option("--gap", options->gap,
                   "A pause between two video frames of a channel longer than this many "
                   "seconds is listed as a gap. Example: --gap 10")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  AddClockOptions(probe, &options->clock.clock_offset, &options->clock.recorder_zone);
  probe->footer(
      "Output: CH_NN WxH frames=N rate=R audio=yes|no first=TIME last=TIME, then coded=WxH "
      "(where the coded size differs from the size shown), footage=SECONDS (the time covered "
      "by footage: the steps between frames that are not gaps) gaps=N, clock_jumps=N (steps "
      "back, or forward by more than an hour), found_after_scan=FRAME@TIME (a channel first "
      "appearing after the frames the channel scan reads), unsupported=\"REASON\" (H.264 the "
      "decoder does not decode: its size from its parameter sets; a conversion copies it "
      "without decoding). Times in local time (ISO 8601 with the zone's offset). Below a "
      "channel, one line per gap (  gap from=TIME to=TIME seconds=S) and per clock jump "
      "(  clock_jump frame=N from=TIME to=TIME step=S). A channel with sound but no video: "
      "CH_NN sound_only audio_frames=N duration=SECONDS first=TIME last=TIME; video that gives "
      "no picture: CH_NN undecodable frames=N first_frame=N. Then, when there were any, the "
      "video frames not converted because their data starts with the three-byte start code "
      "(skipped CH_NN three_byte_start_code=N) and what the reader skipped as damage or as "
      "frames beyond 16 MiB (skipped damaged_bytes=N damaged_ranges=N frames_lost=N "
      "oversized_frames=N damaged=BEGIN-END,... oversized=BEGIN-END,...).");
  probe->callback([options, exitCode] { RunProbe(*options, exitCode); });
}

}  // namespace vexlor::cli
