// `vexlor verify REPORT`: checks that a conversion report is as it was written, then that the
// recording (when it is there) and every file the report names still have the size and SHA-256
// the report gives. One line per file, "PATH: OK", "PATH: CHANGED" or "PATH: MISSING"; exit 0
// only when everything is as reported.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "evidence_report.h"
#include "json_text.h"
#include "platform/file.h"
#include "platform/sha256.h"
#include "recording_commands.h"
#include "standard_streams.h"

namespace vexlor::cli {
namespace {

using nlohmann::json;

inline constexpr int kExitAltered = 2;
// A report names a few dozen files: anything this large is not one.
inline constexpr int64_t kReportLimit = int64_t{64} << 20;

struct VerifyOptions {
  std::string report;
};

bool IsAbsolute(const std::string& path) {
#ifdef _WIN32
  return (path.size() >= 2 && path[1] == ':') ||
         (!path.empty() && (path[0] == '\\' || path[0] == '/'));
#else
  return !path.empty() && path[0] == '/';
#endif
}

// The exact name an entry gives: path_hex when there is one (a name that is not UTF-8).
bool NameOf(const json& entry, std::string* name) {
  const auto path = entry.find("path");
  if (path == entry.end() || !path->is_string() || path->get<std::string>().empty()) return false;
  *name = path->get<std::string>();
  const auto hex = entry.find("path_hex");
  if (hex == entry.end()) return true;
  if (!hex->is_string()) return false;
  const std::string digits = hex->get<std::string>();
  if (digits.empty() || digits.size() % 2 != 0) return false;
  std::string bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    int value = 0;
    if (std::sscanf(digits.substr(i, 2).c_str(), "%2x", &value) != 1) return false;
    bytes.push_back(char(value));
  }
  *name = bytes;
  return true;
}

enum class Finding { kOk, kChanged, kMissing };

// Whether the file at `path` has the size and hash `entry` gives. *detail says more, for the
// line.
Finding Check(const std::string& path, const json& entry, std::string* detail) {
  const auto size = entry.find("size");
  const auto sha = entry.find("sha256");
  if (size == entry.end() || !size->is_number_integer() || sha == entry.end() ||
      !sha->is_string()) {
    *detail = "the report gives no size and SHA-256 for it";
    return Finding::kChanged;
  }
  switch (platform::KindOf(path)) {
    case platform::PathKind::kMissing:
      return Finding::kMissing;
    case platform::PathKind::kRegular:
      break;
    default:
      *detail = "not a regular file";
      return Finding::kChanged;
  }
  platform::Sha256Digest digest;
  int64_t actual = 0;
  if (const Status read = platform::HashFile(path, &digest, &actual); !read.ok()) {
    *detail = read.message();
    return Finding::kChanged;
  }
  if (actual != size->get<int64_t>()) {
    *detail = "size " + std::to_string(actual) + " bytes, reported " + size->dump();
    return Finding::kChanged;
  }
  if (platform::HexDigest(digest) != sha->get<std::string>()) {
    *detail = "SHA-256 " + platform::HexDigest(digest);
    return Finding::kChanged;
  }
  return Finding::kOk;
}

void Say(const std::string& name, const char* finding, const std::string& detail) {
  PrintLine(stdout, name + ": " + finding + (detail.empty() ? "" : " (" + detail + ")"));
}

// How deeply the text's arrays and objects nest (brackets inside strings aside): a report nests
// a few levels, and a hostile text nested millions deep must not exhaust the stack of the
// functions that walk it.
int NestingDepth(const std::string& text) {
  int depth = 0, deepest = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// Reads the report; "" on success, else the error line.
std::string ReadReport(const std::string& path, json* report) {
  if (platform::KindOf(path) != platform::PathKind::kRegular) {
    return platform::KindOf(path) == platform::PathKind::kMissing
               ? "error: cannot open " + path + ": No such file or directory"
               : "error: " + path + " is not a regular file";
  }
  std::FILE* file = platform::OpenFile(path, "rb");
  if (file == nullptr) return "error: cannot open " + path;
  std::string text;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0 &&
         int64_t(text.size()) <= kReportLimit) {
    text.append(buffer, n);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return "error: cannot read " + path;
  if (int64_t(text.size()) > kReportLimit) return "error: " + path + " is too large for a report";
  if (NestingDepth(text) > 32) return "error: " + path + " is not a vexlor report";
  *report = json::parse(text, nullptr, false);
  if (report->is_discarded() || !report->is_object() ||
      report->value("format", json()) != json("vexlor report 1")) {
    return "error: " + path + " is not a vexlor report";
  }
  return "";
}

void RunVerify(const VerifyOptions& options, int* exitCode) {
  json report;
  if (const std::string error = ReadReport(options.report, &report); !error.empty()) {
    PrintLine(stderr, error);
    *exitCode = kExitError;
    return;
  }
  const size_t cut = options.report.find_last_of(platform::kPathSeparators);
  const std::string folder = cut == std::string::npos ? "" : options.report.substr(0, cut + 1);
  auto resolve = [&](const std::string& name) { return IsAbsolute(name) ? name : folder + name; };
  bool altered = false;

  const auto carried = report.find("report_sha256");
  if (carried == report.end() || !carried->is_string() ||
      carried->get<std::string>() != ReportContentHash(report)) {
    Say(options.report, "CHANGED",
        "edited since it was written: its content does not match its hash");
    altered = true;
  }

  const json& recording = report.value("recording", json::object());
  std::string name;
  if (recording.is_object() && NameOf(recording, &name)) {
    const std::string path = resolve(name);
    std::string detail;
    if (platform::KindOf(path) == platform::PathKind::kMissing) {
      Say(path, "NOT PRESENT", "the recording; checked when it is beside the report");
    } else {
      const Finding finding = Check(path, recording, &detail);
      Say(path, finding == Finding::kOk ? "OK" : "CHANGED", detail);
      altered = altered || finding != Finding::kOk;
    }
  }

  const json& files = report.value("files", json::array());
  size_t index = 0;
  for (const json& entry : files.is_array() ? files : json::array()) {
    ++index;
    std::string detail;
    if (!entry.is_object() || !NameOf(entry, &name)) {
      Say("file " + std::to_string(index) + " of the report", "CHANGED",
          "the report names no file there");
      altered = true;
      continue;
    }
    const std::string path = resolve(name);
    const Finding finding = Check(path, entry, &detail);
    Say(path,
        finding == Finding::kOk        ? "OK"
        : finding == Finding::kMissing ? "MISSING"
                                       : "CHANGED",
        detail);
    altered = altered || finding != Finding::kOk;
  }
  *exitCode = altered ? kExitAltered : kExitDone;
}

}  // namespace

void RegisterVerify(CLI::App& app, int* exitCode) {
  auto options = std::make_shared<VerifyOptions>();
  CLI::App* verify = app.add_subcommand(
      "verify",
      "Check a conversion report (NAME.report.json) and the files it names: the report is as "
      "written, the recording (when present) and every output have their reported SHA-256");
  verify->add_option("report", options->report, "The report, NAME.report.json")->required();
  verify->footer(
      "Output: one line per file, PATH: OK, CHANGED or MISSING (the recording: NOT PRESENT when "
      "it is not there), and REPORT: CHANGED first when the report was edited. Exit status: 0 "
      "when everything is as reported, 2 when anything is not, 1 when the report cannot be "
      "read.");
  verify->callback([options, exitCode] { RunVerify(*options, exitCode); });
}

}  // namespace vexlor::cli
