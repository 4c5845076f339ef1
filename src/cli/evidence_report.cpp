#include "evidence_report.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <span>

#include "clock/clock_correction.h"
#include "json_text.h"
#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/sha256.h"

namespace vexlor::cli {
namespace {

using nlohmann::json;

#ifdef _WIN32
constexpr char kNativeSeparator = '\\';
#else
constexpr char kNativeSeparator = '/';
#endif

bool IsSeparator(char c) {
  return std::string_view(platform::kPathSeparators).find(c) != std::string_view::npos;
}

// `path` relative to `folder` (both absolute, in the system's form) when it lies below it, with
// "/" between its parts; otherwise the absolute path.
std::string RelativeTo(const std::string& folder, const std::string& path) {
  const std::string absolute = platform::AbsolutePath(path);
  std::string prefix = folder;
  if (!prefix.empty() && !IsSeparator(prefix.back())) prefix += kNativeSeparator;
  const bool below =
      absolute.size() > prefix.size() &&
      (platform::kFoldersIgnoreCase
           ? platform::FoldCase(absolute.substr(0, prefix.size())) == platform::FoldCase(prefix)
           : absolute.compare(0, prefix.size(), prefix) == 0);
  if (!below) return absolute;
  std::string relative = absolute.substr(prefix.size());
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  return relative;
}

std::string FolderOf(const std::string& absolute_path) {
  const size_t cut = absolute_path.find_last_of(platform::kPathSeparators);
  if (cut == std::string::npos) return absolute_path;
  return absolute_path.substr(0, cut == 0 ? 1 : cut);
}

json Time(const ReportTime& t) {
  return {{"recorder", IsoTime(t.recorder, false)},
          {"recorder_seconds", t.recorder},
          {"utc", IsoTime(t.utc)},
          {"utc_seconds", t.utc}};
}

// A text member, or "" when it is missing or not text.
std::string Text(const json& object, const char* key) {
  if (!object.is_object()) return "";
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

std::string Number(const json& object, const char* key) {
  if (!object.is_object()) return "";
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return "";
  return it->dump();
}

// An argument as a POSIX shell reads it back: quoted when it holds anything but plain
// characters.
std::string ShellWord(const std::string& arg) {
  const bool plain = !arg.empty() && arg.find_first_not_of(
                                         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789_./:=+,-@%") == std::string::npos;
  if (plain) return arg;
  std::string quoted = "'";
  for (const char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Grouped(const std::string& digits) {  // 1234567 -> 1,234,567
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[0] != '-') out += ',';
    out += digits[i];
  }
  return out;
}

std::string TimeLine(const json& t) {
  if (!t.is_object()) return "-";
  return Text(t, "utc") + " (recorder's clock: " + Text(t, "recorder") + ")";
}

void Line(std::string* out, const std::string& label, const std::string& value) {
  std::string padded = label.empty() ? std::string("  ") : "  " + label + ":";
  if (padded.size() < 22) padded.resize(22, ' ');
  *out += padded + " " + value + "\n";
}

}  // namespace

std::string IsoTime(double seconds, bool utc) {
  namespace chr = std::chrono;
  int64_t whole = int64_t(std::floor(seconds));
  int64_t ms = std::llround((seconds - double(whole)) * 1000);
  if (ms >= 1000) {
    ++whole;
    ms -= 1000;
  }
  const int64_t days = whole >= 0 ? whole / 86400 : (whole - 86399) / 86400;
  const int64_t second_of_day = whole - days * 86400;
  const chr::year_month_day date{chr::sys_days{chr::days{days}}};
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d%s", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(second_of_day / 3600),
                int(second_of_day / 60 % 60), int(second_of_day % 60), int(ms), utc ? "Z" : "");
  return text;
}

std::string ReportPath(const std::string& output_dir, const std::string& recording_path,
                       const char* suffix) {
  const size_t slash = recording_path.find_last_of(platform::kPathSeparators);
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = recording_path.find_last_of('.');
  const size_t stem_end = dot == std::string::npos || dot <= name_at ? recording_path.size() : dot;
  if (output_dir.empty()) return recording_path.substr(0, stem_end) + suffix;
  std::string folder = output_dir;
  if (!IsSeparator(folder.back())) folder += '/';
  return folder + recording_path.substr(name_at, stem_end - name_at) + suffix;
}

json ReportJson(const Report& report, const std::string& json_path) {
  const std::string folder = FolderOf(platform::AbsolutePath(json_path));
  const ReportRecording& rec = report.recording;
  json damage = {{"skipped", json::array()}, {"frames_lost", rec.frames_lost}};
  int64_t skipped_bytes = 0;
  for (const ReportDamage& d : rec.damage) {
    damage["skipped"].push_back({{"offset", d.offset}, {"length", d.length}});
    skipped_bytes += d.length;
  }
  // The list holds the first ranges; the counts are of all of them.
  damage["skipped_bytes"] = std::max(skipped_bytes, rec.skipped_bytes);
  damage["skipped_ranges"] = std::max(int64_t(rec.damage.size()), rec.skipped_ranges);
  json recording = {{"size", rec.size}, {"sha256", rec.sha256}, {"damage", damage}};
  PutName(&recording, "path", RelativeTo(folder, rec.path));
  recording["first_time"] = rec.has_times ? Time(rec.first) : json();
  recording["last_time"] = rec.has_times ? Time(rec.last) : json();

  json files = json::array();
  for (const ReportFile& f : report.files) {
    json gaps = json::array();
    for (const ReportGap& g : f.gaps) {
      gaps.push_back(
          {{"from", Time(g.from)}, {"to", Time(g.to)}, {"seconds", g.to.utc - g.from.utc}});
    }
    json file = {{"format", f.format},
                 {"size", f.size},
                 {"sha256", f.sha256},
                 {"channel", f.channel},
                 {"width", f.width},
                 {"height", f.height},
                 {"frames", f.frames},
                 {"audio_samples", f.audio_samples},
                 {"first_time", f.has_times ? Time(f.first) : json()},
                 {"last_time", f.has_times ? Time(f.last) : json()},
                 {"gaps", gaps},
                 {"clock_correction", report.clock_correction}};
    PutName(&file, "path", RelativeTo(folder, f.path));
    files.push_back(file);
  }

  json out = {
      {"format", "vexlor report 1"},
      {"tool", {{"name", "vexlor"}, {"version", report.version}}},
      {"command_line", json::array()},
      {"run",
       {{"started_utc", IsoTime(report.started)},
        {"ended_utc", IsoTime(report.ended)},
        {"operating_system", report.operating_system}}},
      {"clock_correction",
       {{"description", report.clock_correction},
        {"offset", clock::ClockOffsetText(report.clock_offset_us)},
        {"offset_seconds", double(report.clock_offset_us) / 1e6},
        {"recorder_zone", report.recorder_zone.empty() ? json() : json(report.recorder_zone)}}},
      {"gap_seconds", report.gap_seconds},
      {"recording", recording},
      {"files", files},
  };
  for (const std::string& arg : report.command_line) out["command_line"].push_back(arg);
  out["report_sha256"] = ReportContentHash(out);
  return out;
}

std::string ReportContentHash(const json& report) {
  json content = report;
  if (content.is_object()) content.erase("report_sha256");
  const std::string text = content.dump(-1, ' ', false, json::error_handler_t::replace);
  platform::Sha256 hash;
  hash.Update(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  platform::Sha256Digest digest;
  if (!hash.Final(&digest).ok()) return "";
  return platform::HexDigest(digest);
}

std::string ReportText(const json& report) {
  std::string out = "VEXLOR CONVERSION REPORT\n========================\n\n";
  const json& tool = report.value("tool", json::object());
  const json& run = report.value("run", json::object());
  const json& clock = report.value("clock_correction", json::object());
  std::string command;
  for (const json& arg : report.value("command_line", json::array())) {
    if (!arg.is_string()) continue;
    if (!command.empty()) command += ' ';
    command += ShellWord(arg.get<std::string>());
  }
  Line(&out, "Tool", Text(tool, "name") + " " + Text(tool, "version"));
  Line(&out, "Command line", command);
  Line(&out, "Run started (UTC)", Text(run, "started_utc"));
  Line(&out, "Run ended (UTC)", Text(run, "ended_utc"));
  Line(&out, "Operating system", Text(run, "operating_system"));
  Line(&out, "Clock correction", Text(clock, "description"));
  out += "\n  Times are UTC, corrected as above, each followed by the recorder's own clock.\n";

  const json& rec = report.value("recording", json::object());
  out += "\nRecording\n";
  Line(&out, "Path", Text(rec, "path"));
  Line(&out, "Size", Grouped(Number(rec, "size")) + " bytes");
  Line(&out, "SHA-256", Text(rec, "sha256"));
  Line(&out, "First time", TimeLine(rec.value("first_time", json())));
  Line(&out, "Last time", TimeLine(rec.value("last_time", json())));
  const json& damage = rec.value("damage", json::object());
  const json& skipped = damage.value("skipped", json::array());
  std::string ranges = Number(damage, "skipped_ranges");
  if (ranges.empty()) ranges = std::to_string(skipped.size());  // a report of before the count
  if (ranges == "0") {
    Line(&out, "Damage skipped", "none");
  } else {
    Line(&out, "Damage skipped",
         Grouped(ranges) + (ranges == "1" ? " range, " : " ranges, ") +
             Grouped(Number(damage, "skipped_bytes")) + " bytes, " +
             Grouped(Number(damage, "frames_lost")) + " frames lost");
    for (const json& d : skipped) {
      Line(&out, "",
           "at byte " + Grouped(Number(d, "offset")) + ": " + Grouped(Number(d, "length")) +
               " bytes");
    }
  }

  const json& files = report.value("files", json::array());
  size_t index = 0;
  for (const json& f : files) {
    out += "\nFile " + std::to_string(++index) + " of " + std::to_string(files.size()) + ": " +
           Text(f, "path") + "\n";
    Line(&out, "Format", Text(f, "format"));
    Line(&out, "Size", Grouped(Number(f, "size")) + " bytes");
    Line(&out, "SHA-256", Text(f, "sha256"));
    Line(&out, "Channel", Number(f, "channel"));
    Line(&out, "Picture size", Number(f, "width") + "x" + Number(f, "height"));
    Line(&out, "Frames", Grouped(Number(f, "frames")));
    Line(&out, "Audio samples", Grouped(Number(f, "audio_samples")));
    Line(&out, "First time", TimeLine(f.value("first_time", json())));
    Line(&out, "Last time", TimeLine(f.value("last_time", json())));
    const json& gaps = f.value("gaps", json::array());
    Line(&out, "Gaps over " + Number(report, "gap_seconds") + " s",
         gaps.empty() ? "none" : std::to_string(gaps.size()));
    for (const json& g : gaps) {
      Line(&out, "",
           Text(g.value("from", json()), "utc") + " to " + Text(g.value("to", json()), "utc") +
               " (" + Number(g, "seconds") + " s)");
    }
    Line(&out, "Clock correction", Text(f, "clock_correction"));
  }
  out +=
      "\nReport hash (SHA-256 of the content of the JSON report; `vexlor verify` checks it):\n  " +
      Text(report, "report_sha256") + "\n";
  out +=
      "\nChecked by: ______________________  Date: ____________  Signature: "
      "______________________\n";
  return out;
}

Status WriteReport(const Report& report, const std::string& json_path,
                   const std::string& text_path) {
  const json object = ReportJson(report, json_path);
  const std::pair<const std::string*, std::string> files[] = {
      {&json_path, object.dump(2, ' ', false, json::error_handler_t::replace) + "\n"},
      {&text_path, ReportText(object)},
  };
  for (const auto& [path, text] : files) {
    platform::OutputFile out;
    platform::OutputFile::Result result = out.Create(*path, report.recording.path);
    if (result == platform::OutputFile::kOk &&
        std::fwrite(text.data(), 1, text.size(), out.file()) != text.size()) {
      out.Finish(false);
      result = platform::OutputFile::kWriteFailed;
    }
    if (result == platform::OutputFile::kOk) result = out.Finish(true);
    if (result != platform::OutputFile::kOk) {
      return Status(StatusCode::kWriteFailed,
                    "cannot write " + *path + ": " + out.ErrorText(result));
    }
  }
  return Status::Ok();
}

}  // namespace vexlor::cli
