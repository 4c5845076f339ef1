// The texts of convert's options: channel lists, the forms of TIME, and times in and out of the
// local zone, with the zone set explicitly so that the machine's own does not matter.
#include "convert_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace vexlor::cli {
namespace {

void SetTz(const char* value) {
#ifdef _WIN32
  _putenv_s("TZ", value);  // "" removes it
  _tzset();
#else
  if (*value) {
    setenv("TZ", value, 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
#endif
}

// Sets TZ for the life of the object (POSIX rules, no time zone database needed; the Windows
// runtime reads the name and offset and applies its own summer time rules, which agree on the
// dates used here).
class Zone {
 public:
  explicit Zone(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr && *old;
    if (had_) old_ = old;
    SetTz(tz);
  }
  ~Zone() { SetTz(had_ ? old_.c_str() : ""); }

 private:
  bool had_ = false;
  std::string old_;
};

constexpr const char* kZone = "CET-1CEST,M3.5.0,M10.5.0/3";  // one hour east, summer time
constexpr double kStart = 1700000000.5;  // 2023-11-14T22:13:20.5Z, 23:13:20.5 in that zone

double Resolved(const std::string& text, double start = kStart) {
  TimeOption when;
  const std::string error = ParseTime(text, &when);
  EXPECT_EQ(error, "") << text;
  double seconds = -1;
  EXPECT_EQ(ResolveTime(when, start, &seconds), "") << text;
  return seconds;
}

TEST(ConvertOptionsTest, ChannelLists) {
  uint32_t mask = 0;
  EXPECT_EQ(ParseChannelList("1,3,5-8", &mask), "");
  EXPECT_EQ(mask, 0b11110101u);
  EXPECT_EQ(ParseChannelList("16", &mask), "");
  EXPECT_EQ(mask, 1u << 15);
  EXPECT_EQ(ParseChannelList("1-16", &mask), "");
  EXPECT_EQ(mask, 0xFFFFu);
  EXPECT_EQ(ParseChannelList("4,4,2-4", &mask), "");
  EXPECT_EQ(mask, 0b1110u);
  mask = 77;
  for (const char* bad :
       {"", "0", "17", "1,", ",1", "a", "1-", "-3", "5-2", "1 2", "1;2", "100", "3-20", "1--2"}) {
    EXPECT_NE(ParseChannelList(bad, &mask), "") << "'" << bad << "'";
    EXPECT_EQ(mask, 77u) << "unchanged on error";
  }
}

TEST(ConvertOptionsTest, TimeFormsResolveAgainstTheRecording) {
  Zone zone(kZone);
  // Date-times: local unless they carry a zone; seconds, fractions and the time may be left out.
  EXPECT_EQ(Resolved("2023-11-14T23:13:20"), 1700000000.0);
  EXPECT_EQ(Resolved("2023-11-14 23:13:20.25"), 1700000000.25);
  EXPECT_EQ(Resolved("2023-11-14T23:13"), 1699999980.0);
  EXPECT_EQ(Resolved("2023-11-14T22:13:20Z"), 1700000000.0);
  EXPECT_EQ(Resolved("2023-11-14T17:13:20-05:00"), 1700000000.0);
  EXPECT_EQ(Resolved("2023-11-15T03:43:20+0530"), 1700000000.0);
  EXPECT_EQ(Resolved("2023-11-14"), 1699916400.0);  // local midnight
  // Summer time: two hours ahead of UTC.
  EXPECT_EQ(Resolved("2023-07-01T12:00:00"), 1688205600.0);
  // Times of day on the recording's first day, in the local zone or the given one.
  EXPECT_EQ(Resolved("23:13:20.5"), kStart);
  EXPECT_EQ(Resolved("9:00"), 1699948800.0);
  EXPECT_EQ(Resolved("22:13:20Z"), 1700000000.0);
  // Just after local midnight the first day is the next one there, still the 14th in UTC.
  EXPECT_EQ(Resolved("00:30", 1700004600.0), 1700004600.0);
  EXPECT_EQ(Resolved("00:30Z", 1700004600.0), 1699921800.0);
  // Offsets from the start.
  EXPECT_EQ(Resolved("+90s"), kStart + 90);
  EXPECT_EQ(Resolved("+1h30m"), kStart + 5400);
  EXPECT_EQ(Resolved("+2.5m"), kStart + 150);
  EXPECT_EQ(Resolved("+45"), kStart + 45);
  EXPECT_EQ(Resolved("+1h2m3.5s"), kStart + 3723.5);
  EXPECT_EQ(Resolved("+0s"), kStart);

  TimeOption when;
  for (const char* bad : {"",
                          "+",
                          "+5x",
                          "+1h1h",
                          "+s",
                          "90s",
                          "-5s",
                          "24:00",
                          "12:60",
                          "12:30:61",
                          "1:2",
                          "2023-02-29T10:00",
                          "2023-13-01",
                          "2023-1-01",
                          "23-11-14",
                          "2023-11-14T",
                          "2023-11-14T25:00",
                          "12:00+25:00",
                          "12:00+01:",
                          "12:00 CET",
                          "12:00:00.",
                          "tomorrow",
                          "+1.2.3s"}) {
    EXPECT_NE(ParseTime(bad, &when), "") << "'" << bad << "'";
  }
}

#ifndef _WIN32  // the Windows runtime keeps summer time dates and hours of its own for a TZ
TEST(ConvertOptionsTest, LocalTimesThatOccurTwiceOrNeverAreNotGuessed) {
  Zone zone(kZone);
  // The autumn change (03:00 summer time becomes 02:00) and the spring one (02:00 becomes 03:00).
  const double autumn = 1698537600;  // 2023-10-29T00:00:00Z
  struct Case {
    const char* text;
    double start;
    const char* error;  // "" when the time is one instant
    double resolved;
  } cases[] = {
      {"2023-10-29T02:40", 0,
       "2023-10-29T02:40:00 occurs twice in the local time zone; give the offset: "
       "2023-10-29T02:40:00+02:00 or 2023-10-29T02:40:00+01:00",
       0},
      {"02:40:30.5", autumn, "2023-10-29T02:40:30.5 occurs twice", 0},
      {"2023-10-29T02:40+01:00", 0, "", autumn + 6000},
      {"2023-10-29T03:00", 0, "", autumn + 7200},
      {"2023-10-29T01:59:59", 0, "", autumn - 1},
      {"2023-03-26T02:30", 0,
       "2023-03-26T02:30:00 does not occur in the local time zone (the clocks skip it); give "
       "the offset: 2023-03-26T02:30:00+01:00 or 2023-03-26T02:30:00+02:00",
       0},
      {"2023-03-26T03:00", 0, "", 1679792400},
  };
  for (const Case& c : cases) {
    TimeOption when;
    ASSERT_EQ(ParseTime(c.text, &when), "") << c.text;
    double seconds = -1;
    const std::string error = ResolveTime(when, c.start, &seconds);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << ": " << error;
    if (*c.error == '\0') {
      EXPECT_EQ(seconds, c.resolved) << c.text;
    }
  }
}
#endif

TEST(ConvertOptionsTest, TimesArePrintedInTheLocalZoneWithItsOffset) {
  {
    Zone zone(kZone);
    EXPECT_EQ(FormatTime(1700000000.0), "2023-11-14T23:13:20.000+01:00");
    EXPECT_EQ(FormatTime(1700000000 + 40 * (1.0 / 60)), "2023-11-14T23:13:20.667+01:00");
    EXPECT_EQ(FormatTime(1688205600.9996), "2023-07-01T12:00:01.000+02:00");
    // What is printed reads back as the same time.
    EXPECT_EQ(Resolved(FormatTime(1700000123.25)), 1700000123.25);
  }
  {
    Zone zone("UTC0");
    EXPECT_EQ(FormatTime(0), "1970-01-01T00:00:00.000+00:00");
    EXPECT_EQ(FormatTime(4294967295.0 + 59 / 60.0), "2106-02-07T06:28:15.983+00:00");
  }
  {
    Zone zone("NST3:30");  // west of UTC by a fraction of an hour
    EXPECT_EQ(FormatTime(1700000000.0), "2023-11-14T18:43:20.000-03:30");
  }
}

}  // namespace
}  // namespace vexlor::cli
