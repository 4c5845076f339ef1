#include "convert_batch.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>
#include <thread>

#include "app/channel_survey.h"
#include "app/conversion_plan.h"
#include "avi/avi_check.h"
#include "evidence_report.h"
#include "json_text.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/sha256.h"
#include "recording_commands.h"
#include "skips_text.h"
#include "standard_streams.h"
#include "vexlor_version.h"

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

// A path's folder ("." for a bare name) and its name.
void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  const size_t cut = path.find_last_of(platform::kPathSeparators);
  *folder = cut == std::string::npos ? std::string(".") : path.substr(0, cut + 1);
  *name = cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string RangeText(const app::TimeRange& range) {
  if (range.has_from && range.has_to) {
    return "Time range: from " + FormatTime(range.from) + " to " + FormatTime(range.to);
  }
  return range.has_from ? "Time range: from " + FormatTime(range.from)
                        : "Time range: up to " + FormatTime(range.to);
}

}  // namespace

double ConvertOptions::Shown(double stamp) const {
  if (correction.identity()) return stamp;
  clock::ClockMapper mapper(correction);
  return mapper.Map(stamp);
}

std::string MakeCorrection(ConvertOptions* options) {
  const Status s = clock::ClockCorrection::Make(options->clock_offset, options->recorder_zone,
                                                &options->correction);
  return s.ok() ? "" : "error: " + s.message();
}

std::string ParseFormatList(const std::string& text, std::vector<const mux::Format*>* formats) {
  std::vector<const mux::Format*> chosen;
  size_t at = 0;
  for (;;) {
    const size_t comma = text.find(',', at);
    const std::string name =
        text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    const mux::Format* format = app::FindFormat(name);
    if (format == nullptr) {
      std::string known;
      for (const mux::Format* f : app::Formats())
        known += (known.empty() ? "" : ", ") + std::string(f->name);
      return "'" + name + "' is not a format (" + known + ")";
    }
    if (std::find(chosen.begin(), chosen.end(), format) != chosen.end()) {
      return "'" + name + "' is named twice";
    }
    chosen.push_back(format);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  *formats = chosen;
  return "";
}

void AddClockOptions(CLI::App* command, std::string* clock_offset, std::string* recorder_zone) {
  command
      ->add_option("--clock-offset", *clock_offset,
                   "The recorder's clock was ahead (+) or behind (-) of the true time by "
                   "DURATION: every time shown and used is put right. Example: --clock-offset "
                   "+2m15.5s")
      ->type_name("DURATION")
      ->check([](const std::string& text) {
        int64_t us = 0;
        return clock::ParseClockOffset(text, &us);
      });
  command
      ->add_option("--recorder-zone", *recorder_zone,
                   "The recorder wrote the local time of ZONE (an IANA name) as if it were UTC. "
                   "Example: --recorder-zone Europe/Berlin")
      ->type_name("ZONE");
}

void AddConvertOptions(CLI::App* convert, ConvertOptions* options) {
  options->formats = {&app::DefaultFormat()};
  convert
      ->add_option("recording", options->recordings,
                   "Recording files (.kvr, .ms2, .m4v); several, or a shell glob, convert one "
                   "after the other (see --jobs)")
      ->required();
  convert
      ->add_option("-o,--output-dir", options->output_dir,
                   "Write the AVI files into DIR instead of beside each recording; created if "
                   "missing. Example: -o /media/evidence")
      ->type_name("DIR")
      ->check(NonEmptyDirectory);
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
  convert
      ->add_option_function<std::string>(
          "--format",
          [options](const std::string& text) { ParseFormatList(text, &options->formats); },
          "Write each channel in these formats, one file each: avi (the default; the desktop "
          "program's files), mp4 and mkv (every frame at its recorded time, with a clock "
          "track). Example: --format mp4,mkv")
      ->type_name("FORMATS")
      ->check([](const std::string& text) {
        std::vector<const mux::Format*> formats;
        return ParseFormatList(text, &formats);
      });
  convert->add_flag_callback(
      "--one-file",
      [options] {
        // (--format is parsed by now: options are handled in the order they are added.)
        options->one_file = true;
        const auto& formats = options->formats;
        if (std::find_if(formats.begin(), formats.end(), [](const mux::Format* f) {
              return f->several_streams;
            }) == formats.end()) {
          throw CLI::ValidationError("--one-file needs mkv in --format (--format mkv --one-file)");
        }
      },
      "With mkv in --format: one Matroska file per recording, NAME.mkv (cam.kvr -> cam.mkv), "
      "with every channel as tracks of its own (named CH_01 ...) on one timeline whose zero is "
      "the earliest frame written, so that all cameras play in step. Example: --format mkv "
      "--one-file");
  convert->add_flag_callback(
      "--no-clock", [options] { options->clock_track = false; },
      "MP4 and Matroska files without the track that shows the recording's clock. Example: "
      "--no-clock");
  convert->add_flag("--report", options->report,
                    "Write NAME.report.json and NAME.report.txt beside the files: the recording "
                    "and every file written with its SHA-256, times, gaps and what was skipped "
                    "(check them later with vexlor verify). Example: --report");
  convert
      ->add_option("--gap", options->gap_seconds,
                   "The report lists pauses of a channel longer than SECONDS (default 2). "
                   "Example: --gap 10")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  AddClockOptions(convert, &options->clock_offset, &options->recorder_zone);
  convert->add_flag("--json", options->json,
                    "Print one JSON object per recording when it is done (status lines go to "
                    "the standard error stream). Example: --json");
}

int PrepareOutputDir(const ConvertOptions& options, BatchOutput* out) {
  if (options.output_dir.empty()) return kExitDone;
  const std::string error = CreateOutputDir(options.output_dir);
  if (error.empty()) return kExitDone;
  out->Error(error);
  return kExitError;
}

void MarkDuplicateOutputs(const ConvertOptions& options, std::vector<BatchItem*> items) {
  using Key = std::pair<platform::FileIdentity, std::string>;  // the folder, a name in it
  std::map<Key, const BatchItem*> exact, folded;
  std::map<std::u8string, const BatchItem*> spelled;  // where a folder cannot be examined
  std::map<platform::FileIdentity, bool> ignores_case;
  for (BatchItem* item : items) {
    const std::string first = app::OutputNameIn(options.output_dir, item->path, 0);
    std::string folder, name;
    SplitPath(first, &folder, &name);
    platform::FileIdentity id;
    const BatchItem* earlier = nullptr;
    if (platform::IdentityOf(folder, &id)) {
      const Key key{id, name}, key_folded{id, platform::FoldCase(name)};
      if (const auto at = exact.find(key); at != exact.end()) earlier = at->second;
      // Names that differ in case alone: the folder is asked, once, whether it tells them apart.
      if (const auto at = folded.find(key_folded); earlier == nullptr && at != folded.end()) {
        const auto [probed, added] = ignores_case.emplace(id, false);
        if (added) probed->second = platform::FolderIgnoresCase(folder);
        if (probed->second) earlier = at->second;
      }
      exact.emplace(key, item);
      folded.emplace(key_folded, item);
    } else {
      std::error_code ec;
      fs::path key = fs::absolute(FsPath(first), ec).lexically_normal();
      if (ec) key = FsPath(first);
      earlier = spelled.emplace(key.u8string(), item).first->second;
      if (earlier == item) earlier = nullptr;
    }
    if (earlier == nullptr) continue;
    item->exit_code = kExitError;
    item->result = "error";
    item->error = "error: " + item->path + " would write the same files as " + earlier->path +
                  "; convert it on its own or into another --output-dir";
  }
}

void MarkOutputsThatAreInputs(const ConvertOptions& options, std::vector<BatchItem*> items) {
  // Each recording as the file it names and, when it is a link, as the link itself.
  std::vector<std::pair<platform::FileIdentity, const BatchItem*>> inputs;
  for (const BatchItem* item : items) {
    for (const bool follow : {true, false}) {
      platform::FileIdentity id;
      if (platform::IdentityOf(item->path, &id, follow)) inputs.emplace_back(id, item);
    }
  }
  for (BatchItem* item : items) {
    if (!item->result.empty()) continue;  // refused already
    for (int c = 0; c < app::kChannelCount; ++c) {
      if (((options.channels >> c) & 1u) == 0) continue;
      for (const mux::Format* format : options.formats) {
        const char* suffix = format->suffix;
        // A link at the output name is replaced, not written through: its own identity counts.
        platform::FileIdentity id;
        if (!platform::IdentityOf(app::OutputNameIn(options.output_dir, item->path, c, suffix), &id,
                                  false)) {
          continue;
        }
        for (const auto& [input, owner] : inputs) {
          // Its own recording is the worker's to refuse, as it always is.
          if (input != id || owner == item) continue;
          item->refused_channels |= 1u << c;
          item->replaced[c] = owner->path;
        }
      }
    }
  }
}

bool WriteConversionReport(app::ConversionJob& job, const ConvertOptions& options,
                           const std::string& recording_sha256, int64_t recording_size,
                           double started, double ended, BatchItem* item) {
  Report report;
  report.version = VEXLOR_VERSION;
  report.command_line = options.command_line;
  report.started = started;
  report.ended = ended;
  report.operating_system = platform::SystemDescription();
  report.clock_correction = options.correction.Description();
  report.clock_offset_us = options.correction.offset_microseconds();
  report.recorder_zone = options.correction.zone_name();
  report.gap_seconds = options.gap_seconds;
  const auto time = [](double recorder, double utc) { return ReportTime{recorder, utc}; };

  ReportRecording& rec = report.recording;
  rec.path = item->path;
  rec.size = recording_size;
  rec.sha256 = recording_sha256;
  // What the reader dropped: damage, and frames too large to be taken, in file order.
  const container::ReaderSkips& skips = job.reader().skips();
  for (const container::ByteRange& r : skips.damaged)
    rec.damage.push_back({r.begin, r.end - r.begin});
  for (const container::OversizedFrame& o : skips.oversized) {
    rec.damage.push_back({o.range.begin, o.range.end - o.range.begin});
  }
  std::sort(rec.damage.begin(), rec.damage.end(),
            [](const ReportDamage& a, const ReportDamage& b) { return a.offset < b.offset; });
  rec.skipped_ranges = skips.damaged_ranges + skips.oversized_frames;
  rec.skipped_bytes = skips.damaged_bytes;
  for (const container::OversizedFrame& o : skips.oversized) {
    rec.skipped_bytes += o.range.end - o.range.begin;
  }
  rec.frames_lost = skips.frames_lost + skips.oversized_frames;

  for (int c = 0; c < app::kChannelCount; ++c) {
    const app::ChannelResult& r = job.result(c);
    if (r.outcome != app::ChannelOutcome::kWritten) continue;
    // The recording's span as its channels saw it: all their frames when a range was given.
    const bool all = job.settings.range.Limited() && r.all_counted > 0;
    const double first = all ? r.all_first : r.t_first, last = all ? r.all_last : r.t_last;
    if (!rec.has_times || first < rec.first.recorder) {
      rec.first = time(first, all ? options.Shown(first) : r.wall_first);
    }
    if (!rec.has_times || last > rec.last.recorder) {
      rec.last = time(last, all ? options.Shown(last) : r.wall_last);
    }
    rec.has_times = true;
    for (const app::FileResult& f : r.files) {
      ReportFile file;
      file.path = f.path;
      file.format = f.format->name;
      // Read back once it is complete: the muxers patch their headers after the frames.
      platform::Sha256Digest digest;
      if (Status s = platform::HashFile(f.path, &digest, &file.size); !s.ok()) {
        item->error = "error: " + s.message();
        return false;
      }
      file.sha256 = platform::HexDigest(digest);
      file.channel = c + 1;
      file.width = r.width;
      file.height = r.height;
      file.frames = f.facts.video_samples;
      file.audio_samples = f.facts.audio_samples;
      file.has_times = r.counted > 0;
      file.first = time(r.t_first, r.wall_first);
      file.last = time(r.t_last, r.wall_last);
      for (const app::FootageGap& g : r.gaps) {
        file.gaps.push_back({time(g.from, g.wall_from), time(g.to, g.wall_to)});
      }
      report.files.push_back(file);
    }
  }
  const std::string json_path = ReportPath(options.output_dir, item->path, ".report.json");
  const std::string text_path = ReportPath(options.output_dir, item->path, ".report.txt");
  if (Status s = WriteReport(report, json_path, text_path); !s.ok()) {
    item->error = "error: " + s.message();
    return false;
  }
  item->files.push_back(json_path);
  item->files.push_back(text_path);
  return true;
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
  settings.channels = options.channels & ~item->refused_channels;
  settings.output_dir = options.output_dir;
  settings.skip_existing = options.skip_existing;
  settings.formats = options.formats;
  settings.one_file = options.one_file;
  settings.gap_seconds = options.report ? options.gap_seconds : 0;
  // The clock track shows the local date-time with its offset, as the status lines do.
  if (options.clock_track) settings.clock_text = [](double t) { return FormatTime(t); };
  // Each file maps its channel's stamps in their order (a repeated hour needs the order).
  if (!options.correction.identity()) {
    const auto correction = std::make_shared<const clock::ClockCorrection>(options.correction);
    settings.wall_clock = [correction] {
      return [correction, mapper = clock::ClockMapper(*correction)](double stamp) mutable {
        return mapper.Map(stamp);
      };
    };
  }
  if (options.has_from || options.has_to) {
    double start = 0;  // a recording without a counted frame has no channel either
    app::FirstCountedTime(job, &start);
    // The times are a person's, in corrected time: the recording's start is too, and so is the
    // range the frames are compared with (each channel's stamps are mapped in their order, so a
    // time in an hour that a zone repeats is the one the stamps reach first, or second).
    const double shown_start = options.Shown(start);
    app::TimeRange& range = settings.range;
    app::TimeRange& shown = item->shown_range;
    range.has_from = shown.has_from = options.has_from;
    range.has_to = shown.has_to = options.has_to;
    for (const bool from : {true, false}) {
      if (!(from ? options.has_from : options.has_to) || !item->error.empty()) continue;
      double* at = from ? &shown.from : &shown.to;
      const std::string why = ResolveTime(from ? options.from : options.to, shown_start, at);
      if (!why.empty()) {
        item->error = "error: " + item->path + ": " + (from ? "--from " : "--to ") + why;
      }
      (from ? range.from : range.to) = *at;
    }
    if (item->error.empty() && range.has_from && range.has_to && shown.from > shown.to) {
      item->error = "error: --from (" + FormatTime(shown.from) + ") is after --to (" +
                    FormatTime(shown.to) + ")";
    }
    if (!item->error.empty()) {
      item->exit_code = kExitError;
      item->result = "error";
      job->CloseRecording();
      return false;
    }
    item->range = range;
  }
  return true;
}

void CollectResults(const app::ConversionJob& job, int last_kind, const ConvertOptions& options,
                    BatchItem* item) {
  using app::ChannelOutcome;
  int written = 0;
  std::vector<int> refused;  // channels with video left out to keep another recording
  for (int c = 0; c < app::kChannelCount; ++c) {
    const app::ChannelResult& r = job.result(c);
    nlohmann::json ch = {{"channel", c + 1}};
    switch (r.outcome) {
      case ChannelOutcome::kNoVideo:
        // Video that gave no picture and no size, sound without video: never in silence.
        if (r.undecodable) {
          item->notes.push_back(
              ChannelName(c) + ": no file, its video could not be decoded" +
              (r.unsupported.empty() ? std::string(" (damaged)") : " (" + r.unsupported + ")"));
          ch["result"] = "undecodable";
          if (!r.unsupported.empty()) ch["unsupported"] = r.unsupported;
          break;
        }
        if (r.sound_frames > 0) {
          item->notes.push_back(ChannelName(c) + ": no file, it carries sound only (" +
                                std::to_string(r.sound_frames) + " audio frames, no video)");
          ch["result"] = "sound_only";
          ch["audio_frames"] = r.sound_frames;
          break;
        }
        if (!options.channels_given || !((options.channels >> c) & 1u)) continue;
        item->notes.push_back(ChannelName(c) + ": not found (no video in the recording)");
        ch["result"] = "not_found";
        break;
      case ChannelOutcome::kNotSelected:
        if (((item->refused_channels >> c) & 1u) == 0) continue;
        ch["result"] = "refused";
        PutName(&ch, "file", app::OutputNameIn(options.output_dir, item->path, c));
        PutName(&ch, "replaces", item->replaced[c]);
        refused.push_back(c);
        break;
      case ChannelOutcome::kOutsideRange:
        ch["result"] = "outside_range";
        if (r.all_counted == 0) {
          item->notes.push_back(ChannelName(c) + ": no file, it has no time-stamped frame");
        } else {
          item->notes.push_back(ChannelName(c) + ": no file, no frame in the time range (its " +
                                "frames run from " + FormatTime(options.Shown(r.all_first)) +
                                " to " + FormatTime(options.Shown(r.all_last)) + ")");
          ch["channel_first_time"] = FormatTime(options.Shown(r.all_first));
          ch["channel_last_time"] = FormatTime(options.Shown(r.all_last));
        }
        break;
      case ChannelOutcome::kWritten:
        ++written;
        // Every format's file of the channel; the fields outside name the first.
        if (r.files.size() > 1 ||
            (!r.files.empty() && r.files[0].format != &app::DefaultFormat())) {
          nlohmann::json files = nlohmann::json::array();
          for (const app::FileResult& f : r.files) {
            nlohmann::json entry = {{"format", f.format->name}};
            PutName(&entry, "file", f.path);
            entry["size"] = FileSize(f.path);
            entry["frames"] = f.facts.video_samples;
            entry["audio_frames"] = f.facts.audio_samples;
            if (f.facts.scale == 0) {
              entry["duration"] = double(f.facts.duration_units) / double(mux::kUnitsPerSecond);
            }
            if (f.track > 0) entry["track"] = f.track;  // in the file of every channel
            files.push_back(entry);
            const bool listed =
                std::find(item->files.begin(), item->files.end(), f.path) != item->files.end();
            if (&f != &r.files[0] && !listed) item->files.push_back(f.path);
          }
          ch["files"] = files;
        }
        if (r.found_late) {
          item->notes.push_back(ChannelName(c) + ": found after the channel scan, from frame " +
                                std::to_string(r.first_frame) + " (" +
                                FormatTime(options.Shown(r.first_seconds)) + ")");
          ch["found_after_scan"] = true;
          ch["first_frame"] = r.first_frame;
          ch["first_appears"] = FormatTime(options.Shown(r.first_seconds));
        }
        if (!r.unsupported.empty()) {
          item->notes.push_back(ChannelName(c) + ": " + r.unsupported +
                                ": copied without decoding, its size from its parameter sets");
          ch["unsupported"] = r.unsupported;
        }
        // (The file of every channel is listed once.)
        if (std::find(item->files.begin(), item->files.end(), r.file) == item->files.end()) {
          item->files.push_back(r.file);
        }
        ch["result"] = "written";
        PutName(&ch, "file", r.file);
        ch["size"] = FileSize(r.file);
        // The size a player shows; the coded size of the headers beside it where it differs.
        ch["width"] = r.width;
        ch["height"] = r.height;
        if (r.coded_width != r.width || r.coded_height != r.height) {
          ch["coded_width"] = r.coded_width;
          ch["coded_height"] = r.coded_height;
        }
        if (r.clock_jump_count > 0) {
          nlohmann::json jumps = nlohmann::json::array();
          for (const app::ClockJump& j : r.clock_jumps) {
            // The times on both sides, corrected in their order; the step is the recorder's.
            clock::ClockMapper mapper(options.correction);
            const double from = mapper.Map(j.from), to = mapper.Map(j.to);
            jumps.push_back({{"frame", j.frame},
                             {"from", FormatTime(from)},
                             {"to", FormatTime(to)},
                             {"step_seconds", j.to - j.from}});
            item->notes.push_back(ChannelName(c) + ": the clock jumps at frame " +
                                  std::to_string(j.frame) + " from " + FormatTime(from) + " to " +
                                  FormatTime(to));
          }
          ch["clock_jumps"] = jumps;
          ch["clock_jump_count"] = r.clock_jump_count;
        }
        ch["frames"] = r.video_chunks;
        ch["audio_frames"] = r.audio_chunks;
        ch["rate"] = RateOf(r.rate_rate, r.rate_scale);
        ch["first_time"] = FormatTime(r.wall_first);
        ch["last_time"] = FormatTime(r.wall_last);
        ch["first_seconds"] = r.wall_first;
        ch["last_seconds"] = r.wall_last;
        if (!options.correction.identity()) {  // the recorder's own stamps beside them
          ch["recorder_first_seconds"] = r.t_first;
          ch["recorder_last_seconds"] = r.t_last;
        }
        if (job.settings.range.has_from) {
          ch["starts_before_from"] = r.starts_at_key_before_from;
          if (r.starts_at_key_before_from) {
            item->notes.push_back(ChannelName(c) + ": starts at " + FormatTime(r.wall_first) +
                                  ", at the last key frame before --from");
          }
          if (r.starts_at_key_after_from) {
            ch["starts_after_from"] = true;
            item->notes.push_back(ChannelName(c) + ": starts at " + FormatTime(r.wall_first) +
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
        PutName(&ch, "file", r.file);
        ch["size"] = facts.file_size;
        ch["frames"] = facts.video_chunks;
        ch["audio_frames"] = facts.audio_chunks;
        ch["rate"] = RateOf(facts.video_rate, facts.video_scale);
        break;
      }
      case ChannelOutcome::kCancelled:
        ch["result"] = "cancelled";
        PutName(&ch, "file", r.file);
        break;
      case ChannelOutcome::kFailed:
        ch["result"] = "failed";
        PutName(&ch, "file", r.file);
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
  // What the reader left out of the files: damage, frames beyond its bound, video frames of the
  // three-byte start code. Never in silence.
  const container::ReaderSkips& skips = job.reader().skips();
  bool start_codes = false;
  for (const int64_t n : skips.three_byte_start_code) start_codes |= n > 0;
  if (skips.Any() || start_codes) {
    std::string lines = StartCodeLines(skips);
    if (skips.Any()) lines += SkipsLine(skips) + "\n";
    for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
      item->notes.push_back(lines.substr(at, end - at));
    }
    item->skipped = SkipsJson(skips);
  }
  if (refused.empty()) return;
  // A channel that could not be written keeps the recording from being done.
  std::string channels, recordings;
  for (const int c : refused) {
    channels += (channels.empty() ? "" : ", ") + ChannelName(c);
    recordings += (recordings.empty() ? "" : ", ") + item->replaced[c];
  }
  const bool one = refused.size() == 1;
  item->error = "error: " + item->path + ": no file for " + channels + ": " +
                (one ? "it would replace the recording " : "they would replace the recordings ") +
                recordings + " of this batch";
  if (Severity(item->exit_code) < Severity(kExitError)) {
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

void BatchOutput::Range(const BatchItem& item) {
  if (item.shown_range.Limited()) Permanent(Prefixed(item, RangeText(item.shown_range)));
}

void BatchOutput::ClearLive() {
  if (live_lines_ > 0) std::fprintf(status_, "\033[%dA\r\033[J", live_lines_);
  live_lines_ = 0;
  drawn_.clear();
}

void BatchOutput::Permanent(const std::string& line) {
  if (terminal_ && !batch_) {
    // The single status line is overwritten by what stays.
    std::fprintf(status_, "%s\n", Redraw(live_single_, ForStream(status_, line), escapes_).c_str());
    live_single_.clear();
  } else {
    ClearLive();
    PrintLine(status_, line);
  }
  Flush();
}

void BatchOutput::Flush() {
  if (status_ == stdout) {
    FlushStdout();
  } else {
    std::fflush(status_);
  }
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
    if (running.empty() || running[0].second.empty()) return;
    const std::string text = ForStream(status_, running[0].second);
    if (text == live_single_) return;
    std::fputs(Redraw(live_single_, text, escapes_).c_str(), status_);
    live_single_ = text;
    Flush();
    return;
  }
  const int width = TerminalWidth(status_);
  std::vector<std::string> lines;
  for (const auto& [item, text] : running) {
    lines.push_back(
        FitWidth(ForStream(status_, Prefixed(*item, text.empty() ? "Starting" : text)), width));
  }
  char count[96];
  std::snprintf(count, sizeof count, "%zu of %zu recordings finished, %zu running", finished, total,
                running.size());
  lines.push_back(FitWidth(count, width));
  if (lines == drawn_) return;
  ClearLive();
  for (const std::string& line : lines) std::fprintf(status_, "%s\n", line.c_str());
  live_lines_ = int(lines.size());
  drawn_ = lines;
  Flush();
}

void BatchOutput::Error(const std::string& line) {
  if (terminal_) {
    if (batch_) ClearLive();
    if (!batch_ && !live_single_.empty()) std::fprintf(status_, "\n");
    live_single_.clear();
    Flush();
  }
  PrintLine(stderr, line);
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
  nlohmann::json report;
  PutName(&report, "recording", item.path);
  report["result"] = item.result;
  report["exit_status"] = item.exit_code;
  report["status"] = item.error.empty() ? item.status : item.error;
  if (item.shown_range.has_from) report["from"] = FormatTime(item.shown_range.from);
  if (item.shown_range.has_to) report["to"] = FormatTime(item.shown_range.to);
  report["channels"] = item.channels;
  if (!item.skipped.is_null()) report["skipped"] = item.skipped;
  const std::string line = JsonLine(report);
  std::fputs(line.c_str(), stdout);
  FlushStdout();
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
    Flush();
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
    PrintLine(status_, line);
    for (const BatchItem* item : items) {
      std::string entry = "  " + item->path + ": " + item->result;
      if (!item->error.empty()) {
        entry += " (" +
                 (item->error.rfind("error: ", 0) == 0 ? item->error.substr(7) : item->error) + ")";
      } else if (item->result != "done" && item->result != "skipped" && !item->status.empty()) {
        entry += " (" + item->status + ")";
      }
      for (const std::string& file : item->files) entry += " " + file;
      PrintLine(status_, entry);
    }
  }
  Flush();  // a failed standard output is the program's to report, when it closes it
  return worst;
}

}  // namespace vexlor::cli
