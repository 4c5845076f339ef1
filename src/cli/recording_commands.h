// What the commands that work on a recording (convert, probe, snapshot) share: their exit
// codes, opening the recording and running the channel scan.
#pragma once

#include <string>

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

}  // namespace vexlor::cli
