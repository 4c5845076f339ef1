// Conversion reports and `vexlor verify`: the report's hashes are sha256sum's, its paths are
// relative to its folder, and verify finds every alteration with the right line (untouched, an
// output changed by one byte, one missing, the report edited, the recording absent).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/test_support.h"
#include "container/recording.h"
#include "evidence_report.h"
#include "platform/sha256.h"

namespace vexlor::cli {
namespace {

using testing::Fs;

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(Fs(path), std::ios::binary) << bytes;
}

std::string Get(const std::string& path) {
  const testing::Bytes b = testing::ReadAll(path);
  return std::string(b.begin(), b.end());
}

std::string Sha256Of(const std::string& path) {
  platform::Sha256Digest digest;
  int64_t size;
  EXPECT_TRUE(platform::HashFile(path, &digest, &size).ok()) << path;
  return platform::HexDigest(digest);
}

// A recording, two outputs and their report in `dir`.
void WriteScene(const testing::ScratchDir& dir) {
  Put(dir / "cam.kvr", std::string(5000, 'r'));
  Put(dir / "cam_01.mp4", std::string(3000, 'v') + "end");
  Put(dir / "cam_02.mkv", "matroska");
  const ReportTime first{1698546600.5, 1698539400.5}, last{1698550200, 1698546600};
  Report report;
  report.version = "test";
  report.command_line = {"vexlor", "convert", "--report", dir / "cam.kvr"};
  report.started = 1700000000.25;
  report.ended = 1700000003.5;
  report.recording = {dir / "cam.kvr", 5000, Sha256Of(dir / "cam.kvr"), true, first, last,
                      {{1418, 2836}},  3};
  report.files.push_back({dir / "cam_01.mp4",
                          "mp4",
                          3003,
                          Sha256Of(dir / "cam_01.mp4"),
                          1,
                          352,
                          288,
                          600,
                          8000,
                          true,
                          first,
                          last,
                          {{{1698547000, 1698539800}, {1698547612.5, 1698540412.5}}}});
  report.files.push_back({dir / "cam_02.mkv",
                          "mkv",
                          8,
                          Sha256Of(dir / "cam_02.mkv"),
                          2,
                          352,
                          288,
                          1,
                          0,
                          true,
                          first,
                          first,
                          {}});
  ASSERT_TRUE(WriteReport(report, dir / "cam.report.json", dir / "cam.report.txt").ok());
}

TEST(VerifyTest, ReportsHoldSha256sumsAndRelativePaths) {
  testing::ScratchDir dir;
  WriteScene(dir);
  const nlohmann::json report = nlohmann::json::parse(Get(dir / "cam.report.json"));
  EXPECT_EQ(report["recording"]["path"], "cam.kvr");
  EXPECT_EQ(report["files"][1]["path"], "cam_02.mkv");
  EXPECT_EQ(report["files"][0]["first_time"]["recorder"], "2023-10-29T02:30:00.500");
  EXPECT_EQ(report["files"][0]["first_time"]["utc"], "2023-10-29T00:30:00.500Z");
  EXPECT_EQ(report["files"][0]["gaps"][0]["seconds"], 612.5);
  EXPECT_EQ(report["report_sha256"], ReportContentHash(report));
  EXPECT_EQ(ReportPath("", "a.b/cam.kvr", ".report.json"), "a.b/cam.report.json");
  EXPECT_EQ(ReportPath("out/", "a.b/cam", ".report.txt"), "out/cam.report.txt");
  const std::string text = Get(dir / "cam.report.txt");
  EXPECT_NE(text.find(report["report_sha256"].get<std::string>()), std::string::npos);
  EXPECT_NE(text.find("1 range, 2,836 bytes, 3 frames lost"), std::string::npos) << text;
#ifndef _WIN32
  std::string sums;
  ASSERT_EQ(testing::RunProgram({"sha256sum", dir / "cam_01.mp4", dir / "cam.kvr"}, &sums), 0);
  EXPECT_EQ(sums, report["files"][0]["sha256"].get<std::string>() + "  " + dir / "cam_01.mp4\n" +
                      report["recording"]["sha256"].get<std::string>() + "  " + dir / "cam.kvr\n");
#endif
}

TEST(VerifyTest, EveryAlterationHasItsLine) {
  const struct {
    const char* what;
    std::function<void(const testing::ScratchDir&)> alter;
    int exit_code;
    std::vector<std::string> lines;  // after the folder; "..." ends a line's expected start
  } table[] = {
      {"untouched", [](auto&) {}, 0, {"cam.kvr: OK", "cam_01.mp4: OK", "cam_02.mkv: OK"}},
      {"one byte of an output",
       [](auto& d) { Put(d / "cam_02.mkv", "matroskA"); },
       2,
       {"cam.kvr: OK", "cam_01.mp4: OK", "cam_02.mkv: CHANGED (SHA-256 ..."}},
      {"an output longer",
       [](auto& d) { Put(d / "cam_01.mp4", std::string(3000, 'v') + "end!"); },
       2,
       {"cam.kvr: OK", "cam_01.mp4: CHANGED (size 3004 bytes, reported 3003)", "cam_02.mkv: OK"}},
      {"an output missing",
       [](auto& d) { std::filesystem::remove(Fs(d / "cam_01.mp4")); },
       2,
       {"cam.kvr: OK", "cam_01.mp4: MISSING", "cam_02.mkv: OK"}},
      {"the report edited",
       [](auto& d) {
         std::string json = Get(d / "cam.report.json");
         json.replace(json.find("\"frames\": 600"), 13, "\"frames\": 601");
         Put(d / "cam.report.json", json);
       },
       2,
       {"cam.report.json: CHANGED (edited ...", "cam.kvr: OK", "cam_01.mp4: OK", "cam_02.mkv: OK"}},
      {"the recording absent",
       [](auto& d) { std::filesystem::remove(Fs(d / "cam.kvr")); },
       0,
       {"cam.kvr: NOT PRESENT ...", "cam_01.mp4: OK", "cam_02.mkv: OK"}},
  };
  for (const auto& row : table) {
    testing::ScratchDir dir;
    WriteScene(dir);
    row.alter(dir);
    std::string output;
    EXPECT_EQ(testing::RunProgram({testing::CliPath(), "verify", dir / "cam.report.json"}, &output),
              row.exit_code)
        << row.what << "\n"
        << output;
    const std::vector<std::string> lines = testing::Lines(output);
    ASSERT_EQ(lines.size(), row.lines.size()) << row.what << "\n" << output;
    for (size_t i = 0; i < lines.size(); ++i) {
      std::string expected = dir.path() + "/" + row.lines[i];
      const bool prefix = expected.ends_with("...");
      if (prefix) expected.resize(expected.size() - 3);
      EXPECT_EQ(prefix ? lines[i].substr(0, expected.size()) : lines[i], expected) << row.what;
    }
  }
  // What is not a report, a hostile one nested a million deep included: one error line.
  testing::ScratchDir dir;
  WriteScene(dir);
  Put(dir / "deep.json", "{\"format\": \"vexlor report 1\", \"x\": " + std::string(1000000, '[') +
                             std::string(1000000, ']') + "}");
  for (const char* name : {"cam.kvr", "deep.json"}) {
    std::string output;
    EXPECT_EQ(testing::RunProgram({testing::CliPath(), "verify", dir / name}, &output), 1);
    EXPECT_EQ(output, "error: " + dir / name + " is not a vexlor report\n");
  }
}

// Recordings converted with --report: the report names the recording and every file with
// their digests (HashFile's, which are sha256sum's as the test above shows), the gaps and damage
// the reading met, and verify finds each alteration.
TEST(VerifyTest, ConvertReportsWhatItReadAndWrote) {
  using Args = std::vector<std::string>;
  const struct {
    const char* what;
    std::vector<Args> parts;  // mkrec arguments of the pieces put one after the other
    Args options;
    size_t files;
    size_t gaps;  // of the first file
    bool damaged;
  } table[] = {
      {"damaged",
       {{"--channel", "0=" + testing::X264Data("deblock_weak.264"), "--damage", "endmark:2"}},
       {},
       2,
       0,
       true},
      {"paused",
       {{"--start", "1000", "--channel", "0=" + testing::X264Data("qp51.264")},
        {"--start", "1100", "--channel", "0=" + testing::X264Data("qp51.264")}},
       {},
       2,
       1,
       false},
      {"two cameras starting apart",
       {{"--start", "1000", "--channel", "0=" + testing::X264Data("qp51.264")},
        {"--start", "1005", "--channel", "1=" + testing::X264Data("no_deblock.264")}},
       {"--gap", "0.5"},
       4,
       0,
       false},
      {"read up to --to only",
       {{"--start", "1000", "--channel", "0=" + testing::X264Data("deblock_weak.264")}},
       {"--to", "+0.2s"},
       2,
       0,
       false},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.what);
    testing::ScratchDir dir;
    std::string joined, out;
    for (const Args& part : row.parts) {
      Args mkrec = {testing::CliPath(), "mkrec", "-o", dir / "part.kvr"};
      mkrec.insert(mkrec.end(), part.begin(), part.end());
      ASSERT_EQ(testing::RunProgram(mkrec, &out), 0) << out;
      joined += Get(dir / "part.kvr");
    }
    Put(dir / "cam.kvr", joined);
    Args convert = {testing::CliPath(), "convert",  dir / "cam.kvr", "-o",
                    dir / "out",        "--format", "avi,mp4",       "--report"};
    convert.insert(convert.end(), row.options.begin(), row.options.end());
    ASSERT_EQ(testing::RunProgram(convert, &out), 0) << out;
    const std::string json_path = dir / "out/cam.report.json";
    const nlohmann::json report = nlohmann::json::parse(Get(json_path));
    const nlohmann::json& files = report["files"];
    ASSERT_EQ(files.size(), row.files) << report.dump(1);
    EXPECT_EQ(report["recording"]["sha256"], Sha256Of(dir / "cam.kvr"));
    EXPECT_EQ(report["recording"]["size"], joined.size());
    for (const nlohmann::json& f : files) {
      EXPECT_EQ(f["sha256"], Sha256Of(dir / ("out/" + f["path"].get<std::string>())));
    }
    EXPECT_EQ(files[0]["gaps"].size(), row.gaps);
    EXPECT_EQ(report["recording"]["damage"]["frames_lost"] > 0, row.damaged);
    if (row.files == 4) {  // the second camera starts 5 s after the first
      EXPECT_EQ(files[2]["first_time"]["utc_seconds"].get<double>() -
                    files[0]["first_time"]["utc_seconds"].get<double>(),
                5);
    }
    // Untouched, then altered step by step: each alteration has its line and exit status 2.
    const std::string first = dir / ("out/" + files[0]["path"].get<std::string>());
    const std::string last = dir / ("out/" + files.back()["path"].get<std::string>());
    const std::function<void()> alterations[] = {
        [] {},
        [&] {
          std::string bytes = Get(first);
          bytes[bytes.size() / 2] ^= 1;
          Put(first, bytes);
        },
        [&] { std::filesystem::remove(Fs(last)); },
        [&] {
          std::string text = Get(json_path);
          text.replace(text.find("\"size\": "), 8, "\"size\": 1");
          Put(json_path, text);
        },
    };
    const std::string expected[] = {"", first + ": CHANGED (SHA-256", last + ": MISSING",
                                    json_path + ": CHANGED (edited"};
    for (size_t i = 0; i < std::size(alterations); ++i) {
      alterations[i]();
      const int code = testing::RunProgram({testing::CliPath(), "verify", json_path}, &out);
      EXPECT_EQ(code, i == 0 ? 0 : 2) << out;
      EXPECT_NE(out.find(i == 0 ? "cam.kvr: OK" : expected[i]), std::string::npos) << out;
    }
  }
}

}  // namespace
}  // namespace vexlor::cli
