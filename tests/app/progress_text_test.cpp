// Status texts, output names and the rate formula.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "app/conversion_job.h"
#include "app/conversion_plan.h"
#include "avi/avi_muxer.h"

namespace vexlor::app {
namespace {

TEST(ProgressText, EventTexts) {
  double rates[kChannelCount] = {};
  auto text = [&](int kind, int value, int64_t pos = 0, int64_t size = 1) {
    return ProgressText(kind, value, pos, size, rates, "unchanged");
  };
  EXPECT_EQ(text(kScanStep, 0), "Retrieving Channels Info. Progress = 0.00%");
  EXPECT_EQ(text(kScanStep, 512), "Retrieving Channels Info. Progress = 50.00%");
  EXPECT_EQ(text(kScanStep, 1023), "Retrieving Channels Info. Progress = 99.90%");
  EXPECT_EQ(text(kWriteStep, 0, 1418, 14180), "CH_01. Writing Progress = 10.00%");
  EXPECT_EQ(text(kWriteStep, 15, 14180, 14180), "CH_16. Writing Progress = 100.00%");
  EXPECT_EQ(text(kWriteStep, 2, 5, 0), "CH_03. Writing Progress = 0.00%");  // empty file
  EXPECT_EQ(text(kNoChannel, 0), "It's Not A Mpeg-4 File");
  EXPECT_EQ(text(kWriteError, 6), "CH_07. Write Error");
  EXPECT_EQ(text(kSurveyStep, 0, 709, 1418), "Finding The Time Range. Progress = 50.00%");
  EXPECT_EQ(text(kSkipped, 0), "Skipped: Complete Files Exist");
  EXPECT_EQ(text(kReadStep, 0x8005, 709, 1418), "CH_01 CH_03 CH_16. Writing Progress = 50.00%");
  EXPECT_EQ(text(8, 1), "unchanged");
  EXPECT_EQ(text(-1, 0), "unchanged");

  // The average counts only the channels with a rate above 0; none gives 0.00.
  EXPECT_EQ(text(kDone, 0), "Done. Average FPS = 0.00");
  rates[0] = 25.0;
  rates[7] = 15.0;
  EXPECT_EQ(text(kDone, 0), "Done. Average FPS = 20.00");
}

TEST(OutputName, NamesFollowTheRecording) {
  EXPECT_EQ(OutputName("/rec/cam.kvr", 0), "/rec/cam_01.avi");
  EXPECT_EQ(OutputName("/rec/cam.kvr", 15), "/rec/cam_16.avi");
  EXPECT_EQ(OutputName("cam.ms2", 2), "cam_03.avi");
  EXPECT_EQ(OutputName("/rec/cam.kvr", 0, ".png"), "/rec/cam_01.png");
  // Without an extension the whole name is kept, never cut into the directory part.
  EXPECT_EQ(OutputName("/rec/camera", 1), "/rec/camera_02.avi");
  EXPECT_EQ(OutputName("/r.d/ab", 0), "/r.d/ab_01.avi");
  EXPECT_EQ(OutputName("ab", 0), "ab_01.avi");
  EXPECT_EQ(OutputName("", 0), "_01.avi");
  // Other extension lengths are dropped whole.
  EXPECT_EQ(OutputName("/rec/day.h264", 0), "/rec/day_01.avi");
  // Long paths are not limited.
  const std::string dir = "/" + std::string(200, 'd');
  EXPECT_EQ(OutputName(dir + "/cam.kvr", 4), dir + "/cam_05.avi");
}

TEST(MeasureRate, WorkedExamples) {
  char text[32];
  // 10 frames from 1000 s + 0 ticks to 1000 s + 54 ticks.
  const double t0 = 0 * (1.0 / 60) + 1000.0, t1 = 54 * (1.0 / 60) + 1000.0;
  const double rate = avi::MeasureRate(10, t0, t1);
  std::snprintf(text, sizeof text, "%.10f", rate);
  EXPECT_STREQ(text, "9.9999999851");
  EXPECT_EQ(static_cast<uint32_t>(rate * 100.0), 999u);
  EXPECT_EQ(static_cast<uint32_t>(1000000.0 / rate), 100000u);
  // 1001 frames spanning exactly 1000 s.
  const double rate2 = avi::MeasureRate(1001, 5000.0, 6000.0);
  std::snprintf(text, sizeof text, "%.10f", rate2);
  EXPECT_STREQ(text, "1.0008999100");
  EXPECT_EQ(static_cast<uint32_t>(rate2 * 100.0), 100u);
  EXPECT_EQ(static_cast<uint32_t>(1000000.0 / rate2), 999100u);
  // One frame: no span.
  EXPECT_NEAR(avi::MeasureRate(1, 7.0, 7.0), 10.0, 1e-6);
}

}  // namespace
}  // namespace vexlor::app
