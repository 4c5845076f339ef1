// `vexlor snapshot`: the picture the channel scan decoded for each channel, as a PNG file; a
// channel the scan did not find gets the first picture its frames give, and one whose video the
// decoder does not decode a line that says so.
#include <cstdio>
#include <memory>
#include <string>

#include "app/channel_survey.h"
#include "app/conversion_job.h"
#include "app/conversion_plan.h"
#include "commands.h"
#include "platform/file.h"
#include "png_writer.h"
#include "recording_commands.h"
#include "standard_streams.h"

namespace vexlor::cli {
namespace {

void RunSnapshot(const std::string& path, const std::string& out_dir, int* exitCode) {
  if (!out_dir.empty()) {
    if (const std::string error = CreateOutputDir(out_dir); !error.empty()) {
      PrintLine(stderr, error);
      *exitCode = kExitError;
      return;
    }
  }
  auto job = std::make_unique<app::ConversionJob>();
  if (int code = OpenOrFail(job.get(), path); code >= 0) {
    *exitCode = code;
    return;
  }
  (void)app::ScanChannels(job.get(), nullptr);
  // The channels the scan did not find: a survey of the whole recording finds them, and
  // their pictures are decoded as the scan decodes its own.
  app::ChannelSurvey survey[app::kChannelCount];
  app::SurveyChannels(job.get(), app::TimeRange{}, survey, nullptr);
  ChannelFacts facts[app::kChannelCount];
  LearnChannels(job.get(), survey, true, facts);
  *exitCode = kExitDone;
  bool said = false;  // a picture written or tried, or a line why not
  int written = 0;
  for (int c = 0; c < app::kChannelCount; ++c) {
    const int w = job->scan().picture_widths[c], h = job->scan().picture_heights[c];
    if (facts[c].kind != ChannelFacts::Kind::kVideo) continue;
    if (!facts[c].unsupported.empty()) {
      // Its size is known, its pictures are not: the decoder does not decode its coding tools.
      std::printf("CH_%02d: no picture, the decoder does not decode its video (%s)\n", c + 1,
                  facts[c].unsupported.c_str());
      said = true;
      continue;
    }
    said = true;
    if (w <= 0 || h <= 0) {
      std::fprintf(stderr, "error: CH_%02d: its picture could not be kept\n", c + 1);
      *exitCode = kExitError;
      continue;
    }
    const std::string name = app::OutputNameIn(out_dir, path, c, ".png");
    // The visible part of the picture, as players show it.
    const int32_t* crop = job->scan().picture_crops[c];
    const int visible_w = w - crop[0] - crop[1], visible_h = h - crop[2] - crop[3];
    const uint8_t* first = job->scan().pictures[c].data() + (size_t(crop[2]) * w + crop[0]) * 4;
    std::string why;
    if (!WritePng(name, path, first, visible_w, visible_h, size_t(w) * 4, &why)) {
      PrintLine(stderr, "error: cannot write " + name + ": " + why);
      *exitCode = kExitError;
      continue;
    }
    PrintLine(stdout, name + " " + std::to_string(visible_w) + "x" + std::to_string(visible_h));
    ++written;
  }
  // No picture at all: as the scan says it, unless the lines above said why.
  if (!said) std::printf("%s\n", app::ProgressText(*job, app::kNoChannel, 0, "").c_str());
  if (written == 0 && *exitCode == kExitDone) *exitCode = kExitNoChannel;
}

}  // namespace

void RegisterSnapshot(CLI::App& app, int* exitCode) {
  auto snap_path = std::make_shared<std::string>();
  auto snap_dir = std::make_shared<std::string>();
  CLI::App* snapshot = app.add_subcommand(
      "snapshot",
      "Save one picture of every channel as a PNG file (REC_01.png ...): the channel scan's, or "
      "for a channel found after the scan the first its frames give. A channel whose video the "
      "decoder does not decode gets the line \"CH_NN: no picture, the decoder does not decode "
      "its video (REASON)\" instead");
  snapshot->add_option("recording", *snap_path, "Recording file (.kvr, .ms2, .m4v)")->required();
  snapshot
      ->add_option("-o,--output-dir", *snap_dir,
                   "Directory for the PNG files (default: beside the recording); created if "
                   "missing")
      ->check(NonEmptyDirectory);
  snapshot->callback(
      [snap_path, snap_dir, exitCode] { RunSnapshot(*snap_path, *snap_dir, exitCode); });
}

}  // namespace vexlor::cli
