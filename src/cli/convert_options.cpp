#include "convert_options.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace vexlor::cli {
namespace {

namespace chr = std::chrono;

constexpr int kChannels = 16;

// Reads a text from left to right.
class Cursor {
 public:
  explicit Cursor(const std::string& text) : s_(text) {}
  bool AtEnd() const { return i_ == s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[i_]; }
  bool Eat(char c) {
    if (Peek() != c) return false;
    ++i_;
    return true;
  }
  bool EatAny(const char* set) {
    for (const char* p = set; *p; ++p)
      if (Eat(*p)) return true;
    return false;
  }
  // min..max decimal digits.
  bool Digits(int min, int max, int* out) {
    int n = 0, value = 0;
    while (n < max && IsDigit(Peek())) {
      value = value * 10 + (s_[i_++] - '0');
      ++n;
    }
    *out = value;
    return n >= min;
  }
  // Digits with an optional fraction ("90", "2.5", "30,25").
  bool Number(double* out) {
    double value = 0;
    int n = 0;
    while (IsDigit(Peek()) && n < 12) {
      value = value * 10 + (s_[i_++] - '0');
      ++n;
    }
    if (n == 0 || IsDigit(Peek())) return false;
    double fraction = 0;
    if (Fraction(&fraction) < 0) return false;
    *out = value + fraction;
    return true;
  }
  // An optional ".5" or ",25" (up to 9 digits): 0 when there is none, -1 when it is malformed.
  int Fraction(double* out) {
    *out = 0;
    if (!EatAny(".,")) return 0;
    int64_t digits = 0, scale = 1;
    int n = 0;
    while (IsDigit(Peek()) && n < 9) {
      digits = digits * 10 + (s_[i_++] - '0');
      scale *= 10;
      ++n;
    }
    if (n == 0 || IsDigit(Peek())) return -1;
    *out = double(digits) / double(scale);
    return 1;
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  const std::string& s_;
  size_t i_ = 0;
};

// HH:MM[:SS[.fff]] into seconds of the day.
bool ReadTimeOfDay(Cursor* in, double* second_of_day) {
  int hour = 0, minute = 0;
  if (!in->Digits(1, 2, &hour) || !in->Eat(':') || !in->Digits(2, 2, &minute)) return false;
  double second = 0;
  if (in->Eat(':')) {
    int whole = 0;
    if (!in->Digits(2, 2, &whole)) return false;
    double fraction = 0;
    if (in->Fraction(&fraction) < 0) return false;
    second = whole + fraction;
  }
  if (hour > 23 || minute > 59 || second >= 60) return false;
  *second_of_day = hour * 3600.0 + minute * 60.0 + second;
  return true;
}

// "Z", "+01:00", "+0100", "-05"; nothing at all leaves has_zone false.
bool ReadZone(Cursor* in, TimeOption* when) {
  if (in->AtEnd()) return true;
  when->has_zone = true;
  if (in->EatAny("Zz")) return true;
  const char sign = in->Peek();
  if (!in->EatAny("+-")) return false;
  int hours = 0, minutes = 0;
  if (!in->Digits(2, 2, &hours)) return false;
  if (!in->AtEnd()) {
    in->Eat(':');
    if (!in->Digits(2, 2, &minutes)) return false;
  }
  if (hours > 23 || minutes > 59) return false;
  when->zone_minutes = (sign == '-' ? -1 : 1) * (hours * 60 + minutes);
  return true;
}

std::string ParseOffset(const std::string& text, TimeOption* when) {
  Cursor in(text);
  in.Eat('+');
  if (in.AtEnd()) return "an offset is +90s, +1h30m, +2.5m or +45 (seconds)";
  double total = 0;
  std::string units_seen;
  while (!in.AtEnd()) {
    double value = 0;
    if (!in.Number(&value)) return "an offset is +90s, +1h30m, +2.5m or +45 (seconds)";
    const char unit = in.Peek();
    if (unit == '\0' && units_seen.empty()) {  // a bare number: seconds
      total = value;
      break;
    }
    if (!in.EatAny("hms") || units_seen.find(unit) != std::string::npos) {
      return "an offset is +90s, +1h30m, +2.5m or +45 (seconds)";
    }
    units_seen += unit;
    total += value * (unit == 'h' ? 3600 : unit == 'm' ? 60 : 1);
  }
  when->kind = TimeOption::kOffset;
  when->offset = total;
  return "";
}

int64_t DaysFromCivil(int year, int month, int day) {
  const chr::sys_days days{chr::year{year} / chr::month{unsigned(month)} / chr::day{unsigned(day)}};
  return days.time_since_epoch().count();
}

bool LocalCalendar(std::time_t t, std::tm* out) {
#ifdef _WIN32
  return localtime_s(out, &t) == 0;
#else
  return localtime_r(&t, out) != nullptr;
#endif
}

// The local zone's offset east of UTC at the instant t, in seconds. False when the C library
// cannot place t in the local calendar.
bool LocalOffset(int64_t t, int64_t* offset) {
  std::tm tm{};
  if (!LocalCalendar(std::time_t(t), &tm)) return false;
  const int64_t days = DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  *offset = days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec - t;
  return true;
}

// "+01:00"
std::string ZoneText(int64_t offset) {
  const int64_t a = offset < 0 ? -offset : offset;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", offset < 0 ? '-' : '+', int(a / 3600),
                int(a / 60 % 60));
  return text;
}

// "2023-10-29T02:40:00", with the fraction when there is one.
std::string WallText(int year, int month, int day, double second_of_day) {
  const int s = int(second_of_day);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, s / 3600,
                s / 60 % 60, s % 60);
  std::string wall = text;
  if (const double fraction = second_of_day - s; fraction > 0) {
    std::snprintf(text, sizeof text, "%.9f", fraction);
    std::string digits = text + 1;  // ".500000000"
    while (digits.back() == '0') digits.pop_back();
    wall += digits;
  }
  return wall;
}

// Seconds since the epoch of a local calendar time. The zone's offsets a day before and after
// are the candidates (a zone changes its offset at most once within two days): each that gives
// back its own offset is a time the wall clock showed. None: the clocks skipped it; two: it
// occurred twice. Either is refused with the offsets that would make it one time.
std::string LocalToUtc(int year, int month, int day, double second_of_day, double* seconds) {
  const double whole = std::floor(second_of_day);
  const int64_t wall = DaysFromCivil(year, month, day) * 86400 + int64_t(whole);
  std::vector<int64_t> offsets, found;
  for (const int64_t probe : {wall - 86400, wall, wall + 86400}) {
    int64_t offset;
    if (LocalOffset(probe, &offset) &&
        std::find(offsets.begin(), offsets.end(), offset) == offsets.end()) {
      offsets.push_back(offset);
    }
  }
  for (const int64_t offset : offsets) {
    int64_t back;
    if (LocalOffset(wall - offset, &back) && back == offset) found.push_back(offset);
  }
  std::sort(found.begin(), found.end(), std::greater<>());  // the earlier instant first
  const std::string local = WallText(year, month, day, second_of_day);
  if (found.size() == 1) {
    *seconds = double(wall - found[0]) + (second_of_day - whole);
    return "";
  }
  if (offsets.empty()) return local + " is not a time of the local zone";
  std::string choices;
  for (const int64_t offset : found.empty() ? offsets : found) {
    choices += (choices.empty() ? "" : " or ") + local + ZoneText(offset);
  }
  if (found.empty()) {
    return local +
           " does not occur in the local time zone (the clocks skip it); give the offset: " +
           choices;
  }
  return local + " occurs twice in the local time zone; give the offset: " + choices;
}

}  // namespace

std::string ParseChannelList(const std::string& text, uint32_t* mask) {
  uint32_t bits = 0;
  size_t start = 0;
  const std::string how = "a list of channels 1 to 16, such as 1,3,5-8";
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma - start);
    Cursor in(item);
    int first = 0, last = 0;
    if (!in.Digits(1, 2, &first)) return how;
    last = first;
    if (in.Eat('-') && !in.Digits(1, 2, &last)) return how;
    if (!in.AtEnd()) return how;
    if (first < 1 || last > kChannels || first > last) {
      return "'" + item + "' is not a channel or range of channels from 1 to 16";
    }
    for (int c = first; c <= last; ++c) bits |= 1u << (c - 1);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *mask = bits;
  return "";
}

std::string ParseTime(const std::string& text, TimeOption* when) {
  *when = TimeOption{};
  if (!text.empty() && text[0] == '+') return ParseOffset(text, when);
  const std::string how =
      "a time is 2026-12-01T14:03:00 (local time unless it ends with Z or +01:00), 14:03 or "
      "14:03:30.5 (on the recording's first day), or +90s / +1h30m (after its start)";
  Cursor in(text);
  if (text.find('-') == 4) {  // a calendar date
    when->kind = TimeOption::kInstant;
    if (!in.Digits(4, 4, &when->year) || !in.Eat('-') || !in.Digits(2, 2, &when->month) ||
        !in.Eat('-') || !in.Digits(2, 2, &when->day)) {
      return how;
    }
    const chr::year_month_day date{chr::year{when->year}, chr::month{unsigned(when->month)},
                                   chr::day{unsigned(when->day)}};
    if (!date.ok()) return "'" + text + "' is not a date of the calendar";
    if (in.EatAny("T ") && !ReadTimeOfDay(&in, &when->second_of_day)) return how;
  } else {
    when->kind = TimeOption::kTimeOfDay;
    if (!ReadTimeOfDay(&in, &when->second_of_day)) return how;
  }
  if (!ReadZone(&in, when) || !in.AtEnd()) return how;
  return "";
}

std::string ResolveTime(const TimeOption& when, double recording_start, double* seconds) {
  const double zone = when.zone_minutes * 60.0;
  switch (when.kind) {
    case TimeOption::kOffset:
      *seconds = recording_start + when.offset;
      return "";
    case TimeOption::kInstant:
      if (when.has_zone) {
        *seconds = double(DaysFromCivil(when.year, when.month, when.day)) * 86400 +
                   when.second_of_day - zone;
        return "";
      }
      return LocalToUtc(when.year, when.month, when.day, when.second_of_day, seconds);
    case TimeOption::kTimeOfDay: {
      if (when.has_zone) {
        const double day = std::floor((recording_start + zone) / 86400);
        *seconds = day * 86400 + when.second_of_day - zone;
        return "";
      }
      std::tm first{};
      if (!LocalCalendar(std::time_t(std::floor(recording_start)), &first)) {
        return "the recording's first day is not a date of the local zone";
      }
      return LocalToUtc(first.tm_year + 1900, first.tm_mon + 1, first.tm_mday, when.second_of_day,
                        seconds);
    }
  }
  return "not a time";
}

std::string FormatTime(double seconds) {
  int64_t whole = int64_t(std::floor(seconds));
  int64_t ms = std::llround((seconds - double(whole)) * 1000);
  if (ms >= 1000) {
    ++whole;
    ms -= 1000;
  }
  // The local calendar, and the zone's offset as the difference to the same calendar in UTC.
  int64_t days = 0, second_of_day = 0, offset = 0;
  std::tm tm{};
  if (LocalCalendar(std::time_t(whole), &tm)) {
    days = DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    second_of_day = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    offset = days * 86400 + second_of_day - whole;
  } else {
    days = whole >= 0 ? whole / 86400 : (whole - 86399) / 86400;
    second_of_day = whole - days * 86400;
  }
  const chr::year_month_day date{chr::sys_days{chr::days{days}}};
  const int64_t zone = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d%c%02d:%02d",
                int(date.year()), unsigned(date.month()), unsigned(date.day()),
                int(second_of_day / 3600), int(second_of_day / 60 % 60), int(second_of_day % 60),
                int(ms), offset < 0 ? '-' : '+', int(zone / 3600), int(zone / 60 % 60));
  return text;
}

}  // namespace vexlor::cli
