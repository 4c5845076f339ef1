// Arbitrary bytes as a recording, through the whole conversion: the channel scan, every
// channel's pass and its AVI file. Shared by the conversion fuzz target and the replay test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/conversion_job.h"
#include "app/conversion_plan.h"
#include "avi/riff_walk.h"
#include "h264/decoder.h"

namespace vexlor::testing {

// Checks the events a worker posts: known kinds, scan steps counting up from 0, and exactly
// one closing event (done, no channel, or a write error), which comes last.
class EventCheck : public app::ProgressSink {
 public:
  void PostProgress(app::ProgressKind kind, int value) override {
    if (!problem.empty()) return;
    if (closed) {
      problem = "event " + std::to_string(kind) + " after the closing event";
    } else if (kind == app::kScanStep) {
      if (value != next_scan_step++)
        problem = "scan step " + std::to_string(value) + " out of order";
    } else if (kind == app::kWriteStep || kind == app::kWriteError) {
      if (value < 0 || value >= app::kChannelCount) problem = "channel " + std::to_string(value);
      closed = kind == app::kWriteError;
    } else if (kind == app::kDone || kind == app::kNoChannel) {
      closed = true;
      last_kind = kind;
    } else {
      problem = "unknown event kind " + std::to_string(kind);
    }
  }
  std::string problem;
  int next_scan_step = 0;
  bool closed = false;
  int last_kind = -1;
};

// One job serves every input. Each input gets what a new job would give it: fresh decoders and
// empty picture buffers (the scan grows them to each picture's size); the scan and the worker
// reset the rest.
inline app::ConversionJob* RenewedJob() {
  static app::ConversionJob job;
  job.RenewDecoders();
  return &job;
}

// Writes the bytes as rec.kvr into `folder` (which must be empty), converts it, and returns ""
// when all went as a caller relies on, else the first fault: every channel the scan gave a size
// has a file that passes the independent RIFF walk, with that size in its main header; no other
// file is left in the folder; the recording is unchanged; the result and the events agree.
// The folder is emptied afterwards.
inline std::string ConversionInputProblem(const uint8_t* data, size_t size,
                                          const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  const fs::path recording = folder / "rec.kvr";
  {
    std::FILE* f = std::fopen(recording.string().c_str(), "wb");
    if (f == nullptr) return "";  // nothing to check without the file
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) return "";
  }
  std::string problem;
  {
    app::ConversionJob& job = *RenewedJob();
    if (!job.OpenRecording(recording.string()).ok()) return "the recording cannot be opened";
    EventCheck events;
    const int result = app::ConversionWorker(&job, &events);
    job.CloseRecording();
    if (job.Running()) problem = "the job stays running";
    if (problem.empty()) problem = events.problem;
    if (problem.empty() && !events.closed) problem = "no closing event";
    if (problem.empty() && events.last_kind == -1) problem = "a write error in a writable folder";
    if (problem.empty() && (result == 1) != (events.last_kind == app::kDone)) {
      problem = "result " + std::to_string(result) + " with closing event " +
                std::to_string(events.last_kind);
    }
    std::vector<fs::path> expected = {recording};
    for (int c = 0; c < app::kChannelCount && problem.empty() && result == 1; ++c) {
      if (!job.scan().HasSize(c)) continue;
      const fs::path name = app::OutputName(recording.string(), c);
      expected.push_back(name);
      std::vector<uint8_t> bytes;
      WalkedAvi avi;
      if (!ReadWholeFile(name.string(), &bytes)) {
        problem = "channel " + std::to_string(c + 1) + " has a size but no file";
      } else if (std::string fault = WalkAvi(bytes, &avi); !fault.empty()) {
        problem = name.filename().string() + ": " + fault;
      } else if (avi.U32(avi.avih + 32) != uint32_t(job.scan().widths[c]) ||
                 avi.U32(avi.avih + 36) != uint32_t(job.scan().heights[c])) {
        problem = name.filename().string() + ": size in the header is not the channel's";
      }
    }
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
      if (!problem.empty()) break;
      bool known = false;
      for (const fs::path& p : expected) known = known || e.path().filename() == p.filename();
      if (!known) problem = "file left behind: " + e.path().filename().string();
    }
  }
  if (problem.empty()) {
    std::vector<uint8_t> after;
    if (!ReadWholeFile(recording.string(), &after) ||
        after != std::vector<uint8_t>(data, data + size)) {
      problem = "the recording changed";
    }
  }
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    std::filesystem::remove_all(e.path(), ec);
  }
  return problem;
}

}  // namespace vexlor::testing
