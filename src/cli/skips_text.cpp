#include "skips_text.h"

#include <cstdio>
#include <vector>

namespace vexlor::cli {
namespace {

namespace ct = vexlor::container;

const ct::ByteRange& RangeOf(const ct::ByteRange& r) {
  return r;
}
const ct::ByteRange& RangeOf(const ct::OversizedFrame& o) {
  return o.range;
}

// " key=B-E,B-E", with ",..." when `count` is more than listed; nothing for an empty list.
template <typename T>
void AppendList(std::string* line, const char* key, const std::vector<T>& listed, int64_t count) {
  if (listed.empty()) return;
  *line += key;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (i > 0) *line += ',';
    *line += std::to_string(RangeOf(listed[i]).begin);
    *line += '-';
    *line += std::to_string(RangeOf(listed[i]).end);
  }
  if (count > int64_t(listed.size())) *line += ",...";
}

}  // namespace

std::string SkipsLine(const ct::ReaderSkips& s) {
  std::string line = "skipped damaged_bytes=";
  line += std::to_string(s.damaged_bytes);
  line += " damaged_ranges=";
  line += std::to_string(s.damaged_ranges);
  line += " frames_lost=";
  line += std::to_string(s.frames_lost);
  line += " oversized_frames=";
  line += std::to_string(s.oversized_frames);
  AppendList(&line, " damaged=", s.damaged, s.damaged_ranges);
  AppendList(&line, " oversized=", s.oversized, s.oversized_frames);
  return line;
}

std::string StartCodeLines(const ct::ReaderSkips& s) {
  std::string lines;
  for (int c = 0; c < 16; ++c) {
    if (s.three_byte_start_code[c] == 0) continue;
    char name[8];
    std::snprintf(name, sizeof name, "CH_%02d", c + 1);
    lines += "skipped ";
    lines += name;
    lines += " three_byte_start_code=";
    lines += std::to_string(s.three_byte_start_code[c]);
    lines += '\n';
  }
  return lines;
}

nlohmann::json SkipsJson(const ct::ReaderSkips& s) {
  nlohmann::json damaged = nlohmann::json::array();
  for (const ct::ByteRange& r : s.damaged) damaged.push_back({{"begin", r.begin}, {"end", r.end}});
  nlohmann::json oversized = nlohmann::json::array();
  for (const ct::OversizedFrame& o : s.oversized) {
    oversized.push_back({{"begin", o.range.begin}, {"end", o.range.end}, {"length", o.length}});
  }
  nlohmann::json start_code = nlohmann::json::array();
  for (int c = 0; c < 16; ++c) {
    if (s.three_byte_start_code[c] > 0) {
      start_code.push_back({{"channel", c + 1}, {"frames", s.three_byte_start_code[c]}});
    }
  }
  return {{"damaged_bytes", s.damaged_bytes},
          {"damaged_ranges", s.damaged_ranges},
          {"damaged", damaged},
          {"frames_lost", s.frames_lost},
          {"oversized_frames", s.oversized_frames},
          {"oversized", oversized},
          {"three_byte_start_code", start_code}};
}

}  // namespace vexlor::cli
