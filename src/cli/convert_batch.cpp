#include "convert_batch.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

#include "app/channel_survey.h"
#include "app/conversion_plan.h"
#include "avi/avi_check.h"
#include "json_text.h"
#include "platform/console.h"
#include "recording_commands.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/ioctl.h>
#endif

namespace vexlor::cli {
namespace {

namespace fs = std::filesystem;

fs::path FsPath(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string ChannelName(int c) {
  char text[16];
  std::snprintf(text, sizeof text, "CH_%02d", c + 1);
  return text;
}

// How bad an exit status is: interrupted, then errors, then nothing written, then done.
int Severity(int exit_code) {
  switch (exit_code) {
    case kExitDone:
      return 0;
    case kExitNoChannel:
      return 1;
    case kExitCancelled:
      return 3;
    default:
      return 2;
  }
}

int TerminalWidth(std::FILE* f) {
#if defined(TIOCGWINSZ)
  struct winsize size {};
  if (ioctl(fileno(f), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  (void)f;
  return 80;
}

// Cut to fit one line of the terminal, at a character boundary of UTF-8.
std::string FitWidth(const std::string& line, int width) {
  if (int(line.size()) < width) return line;
  size_t cut = size_t(std::max(width - 1, 1));
  while (cut > 0 && (uint8_t(line[cut]) & 0xC0) == 0x80) --cut;
  return line.substr(0, cut);
}

// What redraws the status line `shown` as `text` in place: a carriage return and the erase-line
// sequence, or, on a terminal that does not obey it, spaces over what is left of the old line.
std::string Redraw(const std::string& shown, const std::string& text, bool escapes) {
  if (escapes) return "\r\033[K" + text;
  std::string line = "\r" + text;
  if (shown.size() > text.size()) {
    line.append(shown.size() - text.size(), ' ');
    line.append("\r" + text);
  }
  return line;
}

double RateOf(uint32_t rate, uint32_t scale) {
  return scale > 0 ? double(rate) / scale : 0.0;
}

uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(FsPath(path), ec);
  return ec ? 0 : uint64_t(size);
}

}  // namespace

void AddConvertOptions(CLI::App* convert, ConvertOptions* options) {
  convert
      ->add_option("recording", options->recordings,
                   "Recording files (.kvr, .ms2, .m4v); several, or a shell glob, convert one "
                   "after the other (see --jobs)")
      ->required();
  convert
      ->add_option("-o,--output-dir", options->output_dir,
                   "Write the AVI files into DIR instead of beside each recording; created if "
                   "missing. Example: -o /media/evidence")
      ->type_name("DIR");
  convert
      ->add_option_function<std::string>(
          "--channels",
          [options](const std::string& text) {
            options->channels_given = true;
            ParseChannelList(text, &options->channels);
          },
          "Convert only these channels, numbered as the files are (1-16). Example: "
          "--channels 1,3,5-8")
      ->type_name("LIST")
      ->check([](const std::string& text) {
        uint32_t mask = 0;
        return ParseChannelList(text, &mask);
      });
  const auto time_option = [convert](const char* name, bool* given, TimeOption* when,
                                     const char* help) {
    convert
        ->add_option_function<std::string>(
            name,
            [given, when](const std::string& text) {
              *given = true;
              ParseTime(text, when);
            },
            help)
        ->type_name("TIME")
        ->check([](const std::string& text) {
          TimeOption parsed;
          return ParseTime(text, &parsed);
        });
  };
  time_option("--from", &options->has_from, &options->from,
              "Convert only the frames from TIME on; each channel starts at the last key frame "
              "at or before it. TIME: 2026-12-01T14:03:00 (local time, or with Z or +01:00), "
              "14:03 or 14:03:30.5 (on the recording's first day), +90s or +1h30m (after the "
              "recording's start). Example: --from 2026-12-01T14:03");
  time_option("--to", &options->has_to, &options->to,
              "Convert only the frames up to TIME (same forms as --from). Example: --to +10m");
  convert
      ->add_option("-j,--jobs", options->jobs,
                   "Convert up to N recordings at once; 0: one per processor (default 1). "
                   "Example: --jobs 4")
      ->type_name("N")
      ->check([](const std::string& text) {
        return text.empty() || text.size() > 4 ||
                       text.find_first_not_of("0123456789") != std::string::npos
                   ? "'" + text + "' is not a number of recordings (0 to 9999)"
                   : std::string();
      });
  convert->add_flag("--skip-existing", options->skip_existing,
                    "Leave a recording alone when all its AVI files exist and are complete (a "
                    "file of an interrupted run is not). Example: --skip-existing");
  convert->add_flag("--json", options->json,
                    "Print one JSON object per recording when it is done (status lines go to "
                    "the standard error stream). Example: --json");
}

int PrepareOutputDir(const ConvertOptions& options, BatchOutput* out) {
  if (options.output_dir.empty()) return kExitDone;
  std::error_code ec;
  const fs::path dir = FsPath(options.output_dir);
  fs::create_directories(dir, ec);
  if (!ec && fs::is_directory(dir, ec)) return kExitDone;
  if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
  out->Error("error: cannot create the output directory " + options.output_dir + ": " +
             ec.message());
  return kExitError;
}

void MarkDuplicateOutputs(const ConvertOptions& options, std::vector<BatchItem*> items) {
  std::map<std::u8string, const BatchItem*> seen;
  for (BatchItem* item : items) {
    std::error_code ec;
    const fs::path first = FsPath(app::OutputNameIn(options.output_dir, item->path, 0));
    fs::path key = fs::absolute(first, ec).lexically_normal();
    if (ec) key = first;
    const auto [at, inserted] = seen.emplace(key.u8string(), item);
    if (inserted) continue;
    item->exit_code = kExitError;
    item->result = "error";
    item->error = "error: " + item->path + " would write the same files as " + at->second->path +
                  "; convert it on its own or into another --output-dir";
  }
}

size_t JobSlots(int jobs, size_t recordings) {
  size_t slots =
      jobs > 0 ? size_t(jobs) : size_t(std::max(1u, std::thread::hardware_concurrency()));
  return std::max<size_t>(1, std::min(slots, recordings));
}

bool OpenForBatch(app::ConversionJob* job, const ConvertOptions& options, BatchItem* item) {
  std::string message;
  if (const int code = ExplainOpen(job, item->path, &message); code >= 0) {
    item->exit_code = code;
    item->result = "error";
    item->error = message;
    return false;
  }
  app::ConversionSettings& settings = job->settings;
  settings.one_read = true;  // every channel's files during one read of the recording
  settings.channels = options.channels;
  settings.output_dir = options.output_dir;
  settings.skip_existing = options.skip_existing;
  if (options.has_from || options.has_to) {
    double start = 0;  // a recording without a counted frame has no channel either
    app::FirstCountedTime(job, &start);
    app::TimeRange& range = settings.range;
    range.has_from = options.has_from;
    range.has_to = options.has_to;
    if ((options.has_from && !ResolveTime(options.from, start, &range.from)) ||
        (options.has_to && !ResolveTime(options.to, start, &range.to))) {
      item->error = "error: " + item->path + ": --from or --to is not a time of the local zone";
    } else if (range.has_from && range.has_to && range.from > range.to) {
      item->error = "error: --from (" + FormatTime(range.from) + ") is after --to (" +
                    FormatTime(range.to) + ")";
    }
    if (!item->error.empty()) {
      item->exit_code = kExitError;
      item->result = "error";
      job->CloseRecording();
      return false;
    }
  }
  return true;
}

void CollectResults(const app::ConversionJob& job, int last_kind, const ConvertOptions& options,
                    BatchItem* item) {
  using app::ChannelOutcome;
  int written = 0;
  for (int c = 0; c < app::kChannelCount; ++c) {
    const app::ChannelResult& r = job.result(c);
    nlohmann::json ch = {{"channel", c + 1}};
    switch (r.outcome) {
      case ChannelOutcome::kNoVideo:
        if (!options.channels_given || !((options.channels >> c) & 1u)) continue;
        item->notes.push_back(ChannelName(c) +
                              ": not found (no decodable video in the recording's first "
                              "1024 frames)");
        ch["result"] = "not_found";
        break;
      case ChannelOutcome::kNotSelected:
        continue;
      case ChannelOutcome::kOutsideRange:
        ch["result"] = "outside_range";
        if (r.all_counted == 0) {
          item->notes.push_back(ChannelName(c) + ": no file, it has no time-stamped frame");
        } else {
          item->notes.push_back(ChannelName(c) + ": no file, no frame in the time range (its " +
                                "frames run from " + FormatTime(r.all_first) + " to " +
                                FormatTime(r.all_last) + ")");
          ch["channel_first_time"] = FormatTime(r.all_first);
          ch["channel_last_time"] = FormatTime(r.all_last);
        }
        break;
      case ChannelOutcome::kWritten:
        ++written;
        item->files.push_back(r.file);
        ch["result"] = "written";
        ch["file"] = r.file;
        ch["size"] = FileSize(r.file);
        ch["width"] = job.scan().widths[c];
        ch["height"] = job.scan().heights[c];
        ch["frames"] = r.video_chunks;
        ch["audio_frames"] = r.audio_chunks;
        ch["rate"] = RateOf(r.rate_rate, r.rate_scale);
        ch["first_time"] = FormatTime(r.t_first);
        ch["last_time"] = FormatTime(r.t_last);
        ch["first_seconds"] = r.t_first;
        ch["last_seconds"] = r.t_last;
        if (job.settings.range.has_from) {
          ch["starts_before_from"] = r.starts_at_key_before_from;
          if (r.starts_at_key_before_from) {
            item->notes.push_back(ChannelName(c) + ": starts at " + FormatTime(r.t_first) +
                                  ", at the last key frame before --from");
          }
          if (r.starts_at_key_after_from) {
            ch["starts_after_from"] = true;
            item->notes.push_back(ChannelName(c) + ": starts at " + FormatTime(r.t_first) +
                                  ", at its first key frame after --from (it has none before)");
          }
        }
        break;
      case ChannelOutcome::kNoKeyInRange:
        ch["result"] = "no_key_frame";
        item->notes.push_back(ChannelName(c) +
                              ": no file, no key frame to start at in the time range (a clip "
                              "without one would not play)");
        break;
      case ChannelOutcome::kExisting: {
        item->files.push_back(r.file);
        avi::AviFacts facts;
        avi::CheckAviFile(r.file.c_str(), &facts);
        ch["result"] = "existing";
        ch["file"] = r.file;
        ch["size"] = facts.file_size;
        ch["frames"] = facts.video_chunks;
        ch["audio_frames"] = facts.audio_chunks;
        ch["rate"] = RateOf(facts.video_rate, facts.video_scale);
        break;
      }
      case ChannelOutcome::kCancelled:
        ch["result"] = "cancelled";
        ch["file"] = r.file;
        break;
      case ChannelOutcome::kFailed:
        ch["result"] = "failed";
        ch["file"] = r.file;
        if (!r.error.empty() && item->error.empty()) item->error = "error: " + r.error;
        break;
      case ChannelOutcome::kNotReached:
        ch["result"] = "not_written";
        break;
    }
    item->channels.push_back(ch);
  }

  if (last_kind == app::kSkipped) {
    item->exit_code = kExitDone;
    item->result = "skipped";
  } else if (last_kind == app::kDone && job.last_result() == app::kWorkerFinished) {
    item->exit_code = written > 0 ? kExitDone : kExitNoChannel;
    item->result = written > 0 ? "done" : "nothing_written";
  } else if (job.CancelRequested()) {
    // Before the test for no channel: a scan that was cancelled ends as one that found none.
    item->exit_code = kExitCancelled;
    item->result = "cancelled";
  } else if (last_kind == app::kNoChannel) {
    item->exit_code = kExitNoChannel;
    item->result = "no_channel";
  } else {
    item->exit_code = kExitError;
    item->result = "error";
  }
}

BatchOutput::BatchOutput(const ConvertOptions& options)
    : status_(options.json ? stderr : stdout),
      batch_(options.recordings.size() > 1),
      json_(options.json) {
  // With --json the status lines are for a log: plain lines.
  terminal_ = !json_ && platform::StdoutIsTerminal();
  escapes_ = terminal_ && platform::EnableLineEscapes();
  // The lines of a batch are redrawn by moving the cursor up: without escape sequences they
  // are printed as plain lines.
  if (batch_ && !escapes_) terminal_ = false;
}

std::string BatchOutput::Prefixed(const BatchItem& item, const std::string& text) const {
  return batch_ ? item.path + ": " + text : text;
}

void BatchOutput::ClearLive() {
  if (live_lines_ > 0) std::fprintf(status_, "\033[%dA\r\033[J", live_lines_);
  live_lines_ = 0;
  drawn_.clear();
}

void BatchOutput::Permanent(const std::string& line) {
  if (terminal_ && !batch_) {
    // The single status line is overwritten by what stays.
    std::fprintf(status_, "%s\n", Redraw(live_single_, line, escapes_).c_str());
    live_single_.clear();
  } else {
    ClearLive();
    std::fprintf(status_, "%s\n", line.c_str());
  }
  std::fflush(status_);
}

void BatchOutput::Line(const BatchItem& item, const std::string& text) {
  Permanent(Prefixed(item, text));
}

void BatchOutput::Final(const BatchItem& item, const std::string& text) {
  Permanent(Prefixed(item, text));
}

void BatchOutput::Live(const std::vector<std::pair<const BatchItem*, std::string>>& running,
                       size_t finished, size_t total) {
  if (!terminal_) return;
  if (!batch_) {
    if (running.empty() || running[0].second.empty() || running[0].second == live_single_) return;
    std::fputs(Redraw(live_single_, running[0].second, escapes_).c_str(), status_);
    live_single_ = running[0].second;
    std::fflush(status_);
    return;
  }
  const int width = TerminalWidth(status_);
  std::vector<std::string> lines;
  for (const auto& [item, text] : running)
    lines.push_back(FitWidth(Prefixed(*item, text.empty() ? "Starting" : text), width));
  char count[96];
  std::snprintf(count, sizeof count, "%zu of %zu recordings finished, %zu running", finished, total,
                running.size());
  lines.push_back(FitWidth(count, width));
  if (lines == drawn_) return;
  ClearLive();
  for (const std::string& line : lines) std::fprintf(status_, "%s\n", line.c_str());
  live_lines_ = int(lines.size());
  drawn_ = lines;
  std::fflush(status_);
}

void BatchOutput::Error(const std::string& line) {
  if (terminal_) {
    if (batch_) ClearLive();
    if (!batch_ && !live_single_.empty()) std::fprintf(status_, "\n");
    live_single_.clear();
    std::fflush(status_);
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void BatchOutput::Report(const BatchItem& item) {
  if (!item.error.empty() && !item.error_shown) {
    // Status texts of the tool itself (the 2 GB refusal) stay status lines.
    if (item.error.rfind("error:", 0) == 0) {
      Error(item.error);
    } else {
      Permanent(Prefixed(item, item.error));
    }
  }
  for (const std::string& note : item.notes) Permanent(Prefixed(item, note));
  if (!json_) return;
  nlohmann::json report = {{"recording", item.path},
                           {"result", item.result},
                           {"exit_status", item.exit_code},
                           {"status", item.error.empty() ? item.status : item.error},
                           {"channels", item.channels}};
  const std::string line = JsonLine(report);
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

int BatchOutput::Close(const std::vector<const BatchItem*>& items) {
  if (terminal_ && batch_) ClearLive();
  int worst = kExitDone;
  bool interrupted = false;
  for (const BatchItem* item : items) {
    if (Severity(item->exit_code) > Severity(worst)) worst = item->exit_code;
    interrupted |= item->exit_code == kExitCancelled;
  }
  if (interrupted) {
    std::fflush(status_);
    std::fprintf(stderr, "Cancelled.\n");
  }
  if (batch_) {
    std::map<std::string, int> counts;
    for (const BatchItem* item : items) ++counts[item->result];
    std::string line = "Summary: " + std::to_string(items.size()) + " recordings:";
    const char* separator = " ";
    for (const auto& [result, n] : counts) {
      line += separator + std::to_string(n) + " " + result;
      separator = ", ";
    }
    std::fprintf(status_, "%s\n", line.c_str());
    for (const BatchItem* item : items) {
      std::string entry = "  " + item->path + ": " + item->result;
      if (!item->error.empty()) {
        entry += " (" +
                 (item->error.rfind("error: ", 0) == 0 ? item->error.substr(7) : item->error) + ")";
      } else if (item->result != "done" && item->result != "skipped" && !item->status.empty()) {
        entry += " (" + item->status + ")";
      }
      for (const std::string& file : item->files) entry += " " + file;
      std::fprintf(status_, "%s\n", entry.c_str());
    }
  }
  if (std::fflush(status_) != 0 || std::fflush(stdout) != 0) {
    if (Severity(kExitError) > Severity(worst)) worst = kExitError;
  }
  return worst;
}

}  // namespace vexlor::cli
