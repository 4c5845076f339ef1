// The recorder's clock put right: offsets as typed, zones across the changes to and from summer
// time (Europe/Berlin, America/New_York), the repeated hour read by the order of the stamps, and
// what is refused.
#include "clock/clock_correction.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace vexlor::clock {
namespace {

namespace chr = std::chrono;

// "2023-10-29 02:30:00" as seconds since 1970, read as UTC: a recorder's stamp of that local
// time, or (with a Z) a true instant.
double At(const std::string& text) {
  int y, mo, d, h, mi, s;
  EXPECT_EQ(std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6) << text;
  const chr::sys_days day{chr::year{y} / chr::month{unsigned(mo)} / chr::day{unsigned(d)}};
  return double(day.time_since_epoch().count()) * 86400 + h * 3600 + mi * 60 + s;
}

ClockCorrection Made(const std::string& offset, const std::string& zone) {
  ClockCorrection c;
  const Status status = ClockCorrection::Make(offset, zone, &c);
  EXPECT_TRUE(status.ok()) << status.message();
  return c;
}

TEST(ClockCorrectionTest, OffsetsAsTypedAndRefused) {
  const struct {
    const char* text;
    int64_t microseconds;
    const char* back;  // ClockOffsetText
  } good[] = {
      {"+1h", 3600000000, "+1h"},          {"-37s", -37000000, "-37s"},
      {"+2m15.5s", 135500000, "+2m15.5s"}, {"+45", 45000000, "+45s"},
      {"+3d", 259200000000, "+3d"},        {"+1.5h", 5400000000, "+1h30m"},
      {"-0,25s", -250000, "-0.25s"},       {"+0s", 0, "+0s"},
      {"+15s2m", 135000000, "+2m15s"},     {"+1d2h3m4.000001s", 93784000001, "+1d2h3m4.000001s"},
  };
  for (const auto& g : good) {
    int64_t us = 7;
    EXPECT_EQ(ParseClockOffset(g.text, &us), "") << g.text;
    EXPECT_EQ(us, g.microseconds) << g.text;
    EXPECT_EQ(ClockOffsetText(g.microseconds), g.back);
  }
  for (const char* bad :
       {"", "1h", "+", "-", "+h", "+1x", "+1h1h", "+1.5h30m", "+1h 2m", "+1e3s", "+1.s", "+.5s",
        "+1.1234567s", "+36526d", "+999999999999d", "++1h", "+1h-2m", "+12m5"}) {
    int64_t us = 7;
    EXPECT_NE(ParseClockOffset(bad, &us), "") << bad;
    EXPECT_EQ(us, 7) << bad;
    if (*bad == '\0') continue;  // no option given: none
    ClockCorrection c;
    const Status refused = ClockCorrection::Make(bad, "", &c);
    EXPECT_EQ(refused.code(), StatusCode::kInvalidArgument) << bad;
    EXPECT_EQ(refused.message().find('\n'), std::string::npos);
  }
}

TEST(ClockCorrectionTest, StampsInOrderAcrossTheChanges) {
  const struct {
    const char* zone;
    const char* offset;
    std::vector<const char*> stamps;  // the recorder's, in the recording's order
    std::vector<const char*> utc;     // corrected
    const char* readings;             // u unique, r repeated, s skipped
  } table[] = {
      // No option: the stamps as they are.
      {"", "", {"2023-10-29 02:30:00"}, {"2023-10-29 02:30:00"}, "u"},
      {"", "+1h", {"2023-10-29 02:30:00"}, {"2023-10-29 01:30:00"}, "u"},
      {"", "-37s", {"2023-10-29 02:30:00"}, {"2023-10-29 02:30:37"}, "u"},
      // Berlin in autumn: 02:00 to 03:00 twice, first in summer time (+2), then in winter (+1).
      // A step back of one second is a recorder's jitter, not the change.
      {"Europe/Berlin",
       "",
       {"2023-10-29 01:59:59", "2023-10-29 02:00:00", "2023-10-29 02:30:00", "2023-10-29 02:29:59",
        "2023-10-29 02:59:59", "2023-10-29 02:00:00", "2023-10-29 02:30:00", "2023-10-29 03:00:00"},
       {"2023-10-28 23:59:59", "2023-10-29 00:00:00", "2023-10-29 00:30:00", "2023-10-29 00:29:59",
        "2023-10-29 00:59:59", "2023-10-29 01:00:00", "2023-10-29 01:30:00", "2023-10-29 02:00:00"},
       "urrrrrru"},
      // ... and in spring: 02:00 to 03:00 never occurs; a stamp there keeps the winter offset.
      {"Europe/Berlin",
       "",
       {"2023-03-26 01:59:59", "2023-03-26 02:30:00", "2023-03-26 03:00:00", "2023-07-01 12:00:00"},
       {"2023-03-26 00:59:59", "2023-03-26 01:30:00", "2023-03-26 01:00:00", "2023-07-01 10:00:00"},
       "usuu"},
      // The zone first (the recorder changes by its own clock), then its error.
      {"Europe/Berlin", "-37s", {"2023-07-01 12:00:00"}, {"2023-07-01 10:00:37"}, "u"},
      // New York leaves summer time at 02:00 (01:00 to 02:00 twice) and enters it at 02:00.
      {"America/New_York",
       "",
       {"2023-11-05 00:30:00", "2023-11-05 01:30:00", "2023-11-05 01:59:59", "2023-11-05 01:00:10",
        "2023-11-05 01:30:00", "2023-11-05 02:30:00"},
       {"2023-11-05 04:30:00", "2023-11-05 05:30:00", "2023-11-05 05:59:59", "2023-11-05 06:00:10",
        "2023-11-05 06:30:00", "2023-11-05 07:30:00"},
       "urrrru"},
      {"America/New_York",
       "+2m",
       {"2023-03-12 01:59:00", "2023-03-12 03:00:00", "2023-01-15 12:00:00"},
       {"2023-03-12 06:57:00", "2023-03-12 06:58:00", "2023-01-15 16:58:00"},
       "uuu"},
  };
  for (const auto& row : table) {
    const ClockCorrection c = Made(row.offset, row.zone);
    ClockMapper mapper(c);
    for (size_t i = 0; i < row.stamps.size(); ++i) {
      const double stamp = At(row.stamps[i]) + 0.5;  // sixtieths ride along in the fraction
      const double utc = mapper.Map(stamp);
      EXPECT_EQ(utc, At(row.utc[i]) + 0.5) << row.zone << " " << row.offset << " " << row.stamps[i];
      const ClockMapper::Reading reading = mapper.last_reading();
      EXPECT_EQ(reading, row.readings[i] == 'r'   ? ClockMapper::Reading::kRepeated
                         : row.readings[i] == 's' ? ClockMapper::Reading::kSkipped
                                                  : ClockMapper::Reading::kUnique)
          << row.zone << " " << row.stamps[i];
      if (reading != ClockMapper::Reading::kSkipped) {
        EXPECT_EQ(c.ToRecorder(utc), stamp) << row.zone << " " << row.stamps[i];
      }
    }
  }
}

TEST(ClockCorrectionTest, ZonesTheDatabaseDoesNotKnowAreRefused) {
  for (const char* zone : {"Europe/Berln", "../../etc/passwd", "Europe", "europe/berlin", " "}) {
    ClockCorrection c;
    const Status refused = ClockCorrection::Make("", zone, &c);
    EXPECT_EQ(refused.code(), StatusCode::kInvalidArgument) << zone;
    EXPECT_NE(refused.message().find(std::string("--recorder-zone '") + zone + "'"),
              std::string::npos)
        << refused.message();
    EXPECT_EQ(refused.message().find('\n'), std::string::npos);
    EXPECT_TRUE(c.identity());
  }
  EXPECT_EQ(ClockCorrection().Description(), "none");
  EXPECT_EQ(Made("-1m", "Europe/Berlin").Description(),
            "local time of Europe/Berlin written as UTC; recorder's clock 1m behind");
  EXPECT_EQ(Made("+37s", "").Description(), "recorder's clock 37s ahead");
}

}  // namespace
}  // namespace vexlor::clock
