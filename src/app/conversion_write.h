// The writing stage: the frames of the plan's channels, read from the recording, through one
// muxer per file.
#pragma once

#include <cstdint>

#include "app/conversion_job.h"
#include "app/conversion_plan.h"

namespace vexlor::app {

enum class WriteOutcome {
  kFinished,   // the end of the recording: every file complete
  kCancelled,  // every file open was closed where the cancel found it, and kept
  kFailed,     // a file could not be created or written (kWriteError posted)
};

// Reads the recording from its start and writes the channels of `mask` (each a ChannelPlan
// with write set). One pass of its own per channel (the dialog: mask holds one channel, every
// frame posts kWriteStep with it, the files are opened before the first frame is read), or all
// channels in one read (kReadStep with the mask; a channel's files are opened at its first
// frame). Fills the channels' results and rates. On a write failure in one read, every file of
// the read is removed (earlier files of those names stay).
WriteOutcome WriteChannels(ConversionJob* job, const ConversionPlan& plan, uint32_t mask,
                           ProgressSink* sink);

}  // namespace vexlor::app
