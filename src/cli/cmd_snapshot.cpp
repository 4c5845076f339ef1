// `vexlor snapshot`: the picture the channel scan decoded for each channel, as a PNG file.
#include <cstdio>
#include <memory>
#include <string>

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
  if (int code = Scan(job.get(), path); code >= 0) {
    *exitCode = code;
    return;
  }
  *exitCode = kExitDone;
  for (int c = 0; c < app::kChannelCount; ++c) {
    const int w = job->scan().picture_widths[c], h = job->scan().picture_heights[c];
    if (job->scan().widths[c] <= 0 || job->scan().heights[c] <= 0) continue;
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
  }
}

}  // namespace

void RegisterSnapshot(CLI::App& app, int* exitCode) {
  auto snap_path = std::make_shared<std::string>();
  auto snap_dir = std::make_shared<std::string>();
  CLI::App* snapshot = app.add_subcommand(
      "snapshot", "Save one picture of every channel as a PNG file (REC_01.png ...)");
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
