// What the commands that work on a recording (convert, probe, snapshot) share: their exit
// codes, opening the recording and running the channel scan.
#pragma once

#include <string>

#include "app/channel_survey.h"
#include "app/conversion_job.h"

namespace vexlor::cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitNoChannel = 2;
inline constexpr int kExitCancelled = 130;

// Opens the recording; on failure prints why and returns the exit code, else returns -1.
int OpenOrFail(app::ConversionJob* job, const std::string& path);
// The same without printing: *message is the line that says why ("error: ..." for the standard
// error stream, otherwise a status text).
int ExplainOpen(app::ConversionJob* job, const std::string& path, std::string* message);

// Creates the output directory `dir` (-o) with its parents when it is missing. "" when it
// exists now, else the "error: ..." line that says why not.
std::string CreateOutputDir(const std::string& dir);

// The check of an -o option: "" for a directory name, the reason for an empty one (which would
// otherwise mean "beside the recording").
std::string NonEmptyDirectory(const std::string& text);

// Makes the local time zone the one the user meant before times are read or printed; a TZ
// that cannot be used is said once on the standard error stream.
void PrepareLocalTime();

// Runs the channel scan on this thread. Returns -1 when it found channels, else the exit code.
int Scan(app::ConversionJob* job, const std::string& path);

// What the command line knows of a channel after the scan and a survey of the whole recording.
struct ChannelFacts {
  enum class Kind {
    kNone,         // nothing of it in the recording
    kVideo,        // video with a size: the scan's, or learned from its frames
    kUndecodable,  // video that gave no picture and no size
    kSoundOnly,    // audio frames, no video
  };
  Kind kind = Kind::kNone;
  int32_t width = 0, height = 0;  // the size a player shows (cropped)
  int32_t coded_width = 0, coded_height = 0;
  // The scan did not find it: from its first frame (index and time stamp) on it was learned.
  bool found_after_scan = false;
  int64_t first_frame = -1;
  double first_seconds = 0;
  // Why the decoder does not decode its video; empty when it does.
  std::string unsupported;
};

// The facts of every channel: the scan's sizes, and for a channel the scan gave no size but which
// carries video, its size learned from its frames (app::LearnChannelSize). With keep_pictures,
// a picture decoded for such a channel goes to the job's scan as the scan's own pictures do.
void LearnChannels(app::ConversionJob* job, const app::ChannelSurvey survey[app::kChannelCount],
                   bool keep_pictures, ChannelFacts facts[app::kChannelCount]);

}  // namespace vexlor::cli
