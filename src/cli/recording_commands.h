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

// Runs the channel scan on this thread. Returns -1 when it found channels, else the exit code.
int Scan(app::ConversionJob* job, const std::string& path);

}  // namespace vexlor::cli
