// The conversion report: what was converted, from which recording, into which files, with the
// SHA-256 of each, so that anyone can check later that nothing was altered (`vexlor verify`).
// A report is two files beside the outputs: NAME.report.json, for programs, and
// NAME.report.txt, the same for a person to read, print and sign.
//
// The JSON object (keys sorted; times are objects of the form below):
//   format            "vexlor report 1"
//   tool              {name, version}
//   command_line      [the arguments, the program's name first]
//   run               {started_utc, ended_utc (ISO 8601 text), operating_system}
//   clock_correction  {description, offset ("+37s"), offset_seconds, recorder_zone (or null)}
//   gap_seconds       the --gap threshold: gaps in the footage longer than this are listed
//   recording         {path, size, sha256, first_time, last_time,
//                      damage: {skipped: [{offset, length}], skipped_ranges, skipped_bytes,
//                               frames_lost}}
//   files             [{path, format, size, sha256, channel, width, height, frames,
//                       audio_samples, first_time, last_time, gaps: [{from, to, seconds}],
//                       clock_correction}]
//   report_sha256     the SHA-256 of the object's canonical text without this key: nlohmann's
//                     dump() (no spaces, keys sorted, UTF-8 as it is), as ReportContentHash
//                     computes it. An edit of the report shows as a mismatch (a deliberate one
//                     can recompute it: the signature on the text is what binds a person).
// A time: {recorder: "2023-10-29T02:30:00.500" (the recorder's own clock, as it wrote it),
//          recorder_seconds, utc: "2023-10-29T00:30:00.500Z" (corrected), utc_seconds}
// Paths of files below the report's folder are relative to it, with "/" between their parts;
// others are absolute. A name that is not UTF-8 has its exact bytes in path_hex as well.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/status.h"

namespace vexlor::cli {

// A frame's time: the recorder's stamp, and the stamp with the clock correction applied.
struct ReportTime {
  double recorder = 0;  // seconds since 1970 as the recorder counted them
  double utc = 0;       // corrected, seconds since 1970-01-01 00:00 UTC
};

struct ReportGap {  // no footage between two frames further apart than the threshold
  ReportTime from, to;
};

struct ReportDamage {  // bytes of the recording the reader skipped as damaged
  int64_t offset = 0;
  int64_t length = 0;
};

struct ReportRecording {
  std::string path;  // as the conversion named it
  int64_t size = 0;
  std::string sha256;  // hexadecimal, as platform::HexDigest gives it
  bool has_times = false;
  ReportTime first, last;
  std::vector<ReportDamage> damage;  // the first ranges, in file order
  int64_t frames_lost = 0;
  // All ranges skipped and their bytes, beyond those listed (0: as many as listed).
  int64_t skipped_ranges = 0;
  int64_t skipped_bytes = 0;
};

struct ReportFile {
  std::string path;    // as the conversion named it
  std::string format;  // "avi", "mp4", "mkv"
  int64_t size = 0;
  std::string sha256;
  int channel = 0;  // 1 to 16
  int width = 0, height = 0;
  int64_t frames = 0;
  int64_t audio_samples = 0;
  bool has_times = false;
  ReportTime first, last;
  std::vector<ReportGap> gaps;
};

struct Report {
  std::string version;                    // the tool's
  std::vector<std::string> command_line;  // UTF-8, the program's name first
  double started = 0, ended = 0;          // the run, by the machine's clock (UTC seconds)
  std::string operating_system;           // platform::SystemDescription()
  std::string clock_correction = "none";  // clock::ClockCorrection::Description()
  int64_t clock_offset_us = 0;
  std::string recorder_zone;  // empty: none
  double gap_seconds = 2;
  ReportRecording recording;
  std::vector<ReportFile> files;
};

// "cam.kvr" -> "cam.report.json" (suffix ".report.json") in output_dir, or beside the recording
// when output_dir is empty.
std::string ReportPath(const std::string& output_dir, const std::string& recording_path,
                       const char* suffix);

// The report's JSON object, report_sha256 included; paths made relative to the folder of
// `json_path` where they lie below it.
nlohmann::json ReportJson(const Report& report, const std::string& json_path);
// The hash a report carries over its own content (the object without report_sha256).
std::string ReportContentHash(const nlohmann::json& report);
// The plain-text rendering of a report's JSON object (made by ReportJson).
std::string ReportText(const nlohmann::json& report);

// Writes NAME.report.json and NAME.report.txt, each under a temporary name first. The Status
// names the file that could not be written and why.
Status WriteReport(const Report& report, const std::string& json_path,
                   const std::string& text_path);

// ISO 8601 with milliseconds: "2023-10-29T00:30:00.500Z"; without the Z when `utc` is false.
std::string IsoTime(double seconds, bool utc = true);

}  // namespace vexlor::cli
