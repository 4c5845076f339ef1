// `vexlor frames`: lists the frames that the frame reader delivers from a recording, and what
// it skipped.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "container/recording.h"
#include "platform/file.h"
#include "skips_text.h"
#include "standard_streams.h"

namespace vexlor::cli {
namespace {

namespace ct = vexlor::container;

void RunFrames(const std::string& path, int* exitCode) {
  switch (platform::KindOf(path)) {
    case platform::PathKind::kDirectory:
      PrintLine(stderr, "error: " + path + " is a directory");
      *exitCode = 1;
      return;
    case platform::PathKind::kFifo:
    case platform::PathKind::kOther:
      PrintLine(stderr, "error: " + path + " is not a regular file");
      *exitCode = 1;
      return;
    default:
      break;
  }
  ct::RecordingSource source;
  source.file = platform::OpenFile(path, "rb");
  if (source.file == nullptr) {
    PrintLine(stderr, "error: cannot open " + path + ": " + std::strerror(errno));
    *exitCode = 1;
    return;
  }
  std::vector<char> buffer(1 << 16);
  std::setvbuf(source.file, buffer.data(), _IOFBF, buffer.size());
  ct::MediaFrame frame;
  ct::InitFrame(&frame);
  for (uint64_t index = 0; ct::ReadNextFrame(&source, &frame) == 1; ++index) {
    const ct::FrameKind kind = ct::KindOfFrame(frame.data.data(), frame.length);
    const char* name = kind == ct::FrameKind::kVideo   ? "video"
                       : kind == ct::FrameKind::kAudio ? "audio"
                                                       : "other";
    std::printf("%llu channel=%d %s length=%u seconds=%u ticks=%u passthrough=%d\n",
                static_cast<unsigned long long>(index), frame.channel, name, frame.length,
                frame.frame_seconds, frame.frame_ticks, frame.passthrough);
    if (StdoutFailed()) break;  // the reason is the program's to report when it ends
  }
  // Whatever the reader dropped on the way, once at the end.
  if (!StdoutFailed() && source.skips.Any()) PrintLine(stdout, SkipsLine(source.skips));
  std::fclose(source.file);
  FlushStdout();
  *exitCode = 0;
}

}  // namespace

void RegisterFrames(CLI::App& app, int* exitCode) {
  auto path = std::make_shared<std::string>();
  CLI::App* cmd = app.add_subcommand(
      "frames", "List every frame of a recording: index, channel, kind, length, time fields");
  cmd->add_option("recording", *path, "Recording file (.kvr, .ms2, .m4v)")->required();
  cmd->callback([path, exitCode] { RunFrames(*path, exitCode); });
}

}  // namespace vexlor::cli
