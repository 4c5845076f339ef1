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

void LearnChannels(app::ConversionJob* job, const app::ChannelSurvey survey[app::kChannelCount],
                   bool keep_pictures, ChannelFacts facts[app::kChannelCount]) {
  const app::ChannelScan& scan = job->scan();
  for (int c = 0; c < app::kChannelCount; ++c) {
    const app::ChannelSurvey& s = survey[c];
    ChannelFacts& f = facts[c];
    f = ChannelFacts{};
    f.first_frame = s.first_index;
    f.first_seconds = s.first_seconds;
    if (scan.HasSize(c)) {
      f.kind = ChannelFacts::Kind::kVideo;
      f.coded_width = scan.widths[c];
      f.coded_height = scan.heights[c];
      f.width = scan.widths[c] - scan.picture_crops[c][0] - scan.picture_crops[c][1];
      f.height = scan.heights[c] - scan.picture_crops[c][2] - scan.picture_crops[c][3];
      continue;
    }
    if (s.video_frames == 0) {
      if (s.audio_frames > 0) f.kind = ChannelFacts::Kind::kSoundOnly;
      continue;
    }
    f.kind = ChannelFacts::Kind::kUndecodable;
    if (s.first_video_index < 0) continue;  // passthrough frames only: nothing to decode
    const app::LearnedSize size =
        app::LearnChannelSize(job->reader(), c, s.first_video_offset, s.first_video_index,
                              keep_pictures ? &job->mutable_scan() : nullptr);
    f.unsupported = size.unsupported;
    if (!size.HasSize()) continue;
    f.kind = ChannelFacts::Kind::kVideo;
    f.coded_width = size.coded_width;
    f.coded_height = size.coded_height;
    f.width = size.width - size.crop[0] - size.crop[1];
    f.height = size.height - size.crop[2] - size.crop[3];
    // A channel the decoder does not decode is never the scan's; it counts as found after the
    // scan only when it first appears beyond the scan's frames.
    f.found_after_scan = size.unsupported.empty() || s.first_index >= app::kScanFrameLimit;
  }
}

}  // namespace vexlor::cli
