// `vexlor convert` beyond one recording with the defaults: its options, the settings they give
// each conversion, what became of each recording, and the output of a run (status lines, the
// live display on a terminal, notes, JSON lines, the summary).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/conversion_job.h"
#include "clock/clock_correction.h"
#include "convert_options.h"
#include "mux/muxer.h"

namespace vexlor::cli {

struct ConvertOptions {
  std::vector<std::string> recordings;
  std::string output_dir;
  uint32_t channels = app::kAllChannels;
  bool channels_given = false;
  bool has_from = false, has_to = false;
  TimeOption from, to;
  int jobs = 1;
  bool skip_existing = false;
  bool json = false;
  // The formats each channel is written in (--format), in the order given.
  std::vector<const mux::Format*> formats;
  bool clock_track = true;  // --no-clock leaves it out
  bool one_file = false;    // --one-file: the Matroska file holds every channel (NAME.mkv)
  // --report: NAME.report.json and NAME.report.txt beside the outputs, listing the gaps longer
  // than gap_seconds (--gap).
  bool report = false;
  double gap_seconds = 2;
  // --clock-offset and --recorder-zone as given, and the correction they make (set by
  // MakeCorrection; the identity without them).
  std::string clock_offset, recorder_zone;
  clock::ClockCorrection correction;
  std::vector<std::string> command_line;  // the program's arguments, for the report

  // A recorder's time stamp as it is shown and used: corrected.
  double Shown(double stamp) const;
};

// The clock correction of --clock-offset and --recorder-zone. "" or an "error: ..." line.
std::string MakeCorrection(ConvertOptions* options);

// "avi,mp4": formats by name. Returns "" and sets *formats, or says what is wrong.
std::string ParseFormatList(const std::string& text, std::vector<const mux::Format*>* formats);

// --clock-offset and --recorder-zone (convert and probe).
void AddClockOptions(CLI::App* command, std::string* clock_offset, std::string* recorder_zone);

// Adds the recording arguments and the options to the convert subcommand.
void AddConvertOptions(CLI::App* convert, ConvertOptions* options);

// What became of one recording of the command line.
struct BatchItem {
  std::string path;                // as given
  int exit_code = 0;               // the exit status it alone would give
  std::string result;              // done, skipped, no_channel, nothing_written, error, cancelled,
                                   // not_started
  std::string status;              // its last status line
  std::string error;               // an "error: ..." line when it could not be converted
  bool error_shown = false;        // the error line was printed already
  std::vector<std::string> notes;  // channels left out and why, clips that start early
  std::vector<std::string> files;  // files written, or left alone as complete
  nlohmann::json channels = nlohmann::json::array();
  nlohmann::json skipped;      // what the reader left out (SkipsJson), when it left anything
  app::TimeRange range;        // --from and --to as resolved against this recording (its stamps)
  app::TimeRange shown_range;  // the same as the person gave them (corrected time)
  // Channels whose file would replace another recording of the batch: left out, each with the
  // path of the recording it would replace.
  uint32_t refused_channels = 0;
  std::string replaced[app::kChannelCount];
};

// Creates the output directory when one is given. kExitDone, or kExitError after saying why.
int PrepareOutputDir(const ConvertOptions& options, class BatchOutput* out);

// Recordings that would write the same files as an earlier one on the command line (cam.kvr
// and cam.m4v in one folder, or two folders' cam.kvr into one output directory) are refused.
// Files are the same when their folders are one folder, however it is reached (links, "..",
// another spelling), and their names are the same to that folder: names that differ only in
// case are one name where the folder ignores case.
void MarkDuplicateOutputs(const ConvertOptions& options, std::vector<BatchItem*> items);

// A channel whose file would be another recording of the batch (by file identity, through any
// link or other spelling) is left out, so that no conversion replaces a recording before or
// after it is read.
void MarkOutputsThatAreInputs(const ConvertOptions& options, std::vector<BatchItem*> items);

// After a conversion that is done: the report of the item's files, its recording's digest
// (every byte read) and size given; `started` and `ended` are the run's times. False, with the
// item's error set, when it could not be written.
bool WriteConversionReport(app::ConversionJob& job, const ConvertOptions& options,
                           const std::string& recording_sha256, int64_t recording_size,
                           double started, double ended, BatchItem* item);

// How many recordings run at once: --jobs, 0 meaning one per processor, at most one per
// recording.
size_t JobSlots(int jobs, size_t recordings);

// Opens the recording and gives the job the options' settings (the time range resolved
// against this recording's start, the channels less those refused). False, with the item's
// error set, when it cannot start.
bool OpenForBatch(app::ConversionJob* job, const ConvertOptions& options, BatchItem* item);

// After the worker ended: the item's result, exit code, notes, files and channel report.
// `last_kind` is the kind of the worker's last event (-1 when none).
void CollectResults(const app::ConversionJob& job, int last_kind, const ConvertOptions& options,
                    BatchItem* item);

// Where a run's texts go. Status lines go to the standard output, or to the standard error
// stream with --json, whose objects alone go to the standard output. A single recording keeps
// the tool's one status line; several have their lines prefixed with the recording's name and
// end with a summary.
class BatchOutput {
 public:
  explicit BatchOutput(const ConvertOptions& options);
  bool terminal() const { return terminal_; }

  // A status line of the item (not on a terminal).
  void Line(const BatchItem& item, const std::string& text);
  // The item's final status line.
  void Final(const BatchItem& item, const std::string& text);
  // The item's time range as resolved, when it has one.
  void Range(const BatchItem& item);
  // On a terminal: the running recordings' status texts, redrawn in place, and with several
  // recordings the overall count.
  void Live(const std::vector<std::pair<const BatchItem*, std::string>>& running, size_t finished,
            size_t total);
  // The item is finished: its error line, its notes, and its JSON object.
  void Report(const BatchItem& item);
  // An error that concerns the whole run.
  void Error(const std::string& line);
  // The end: "Cancelled." when interrupted, the summary of a batch. Returns the exit status:
  // the worst of the items' (error above nothing written above done; interrupted above all).
  int Close(const std::vector<const BatchItem*>& items);

 private:
  std::string Prefixed(const BatchItem& item, const std::string& text) const;
  void Permanent(const std::string& line);
  void ClearLive();
  void Flush();

  std::FILE* status_;
  bool terminal_ = false;  // status lines are redrawn in place
  bool escapes_ = false;   // the terminal obeys the erase and cursor-up sequences
  bool batch_ = false;
  bool json_ = false;
  int live_lines_ = 0;              // lines of the live block on screen (batch, terminal)
  std::string live_single_;         // the single recording's line on screen
  std::vector<std::string> drawn_;  // the live block as drawn
};

}  // namespace vexlor::cli
