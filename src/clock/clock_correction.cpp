#include "clock/clock_correction.h"

#include <date/tz.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>

#include "platform/file.h"

namespace vexlor::clock {
namespace {

using std::chrono::seconds;

constexpr int64_t kSecondUs = 1000000;
constexpr int64_t kLimitUs = int64_t{36525} * 86400 * kSecondUs;  // 100 years
constexpr const char* kOffsetForms = "a clock offset is +1h, -37s, +2m15.5s or +3d";

int64_t UnitMicroseconds(char unit) {
  switch (unit) {
    case 'd':
      return 86400 * kSecondUs;
    case 'h':
      return 3600 * kSecondUs;
    case 'm':
      return 60 * kSecondUs;
    default:
      return kSecondUs;
  }
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

#ifdef _WIN32
// The library reads the database that comes with the program: the folder tzdata beside it.
Status PointAtDatabase() {
  static std::once_flag once;
  static std::string folder;
  std::call_once(once, [] {
    folder = platform::ProgramFolder() + "\\tzdata";
    date::set_install(folder);
  });
  if (platform::KindOf(folder + "\\version") != platform::PathKind::kRegular) {
    return Status(StatusCode::kCannotOpen,
                  "the time zone database is missing: " + folder + " (it comes with vexlor.exe)");
  }
  return Status::Ok();
}
#else
// The system's database (/usr/share/zoneinfo).
Status PointAtDatabase() {
  return Status::Ok();
}
#endif

}  // namespace

std::string ParseClockOffset(const std::string& text, int64_t* microseconds) {
  if (text.empty() || (text[0] != '+' && text[0] != '-')) {
    return "the clock offset needs its sign: +37s when the recorder's clock was ahead, -37s "
           "when it was behind";
  }
  size_t i = 1;
  int64_t total = 0;
  std::string units_seen;
  bool fraction_seen = false;
  if (i == text.size()) return kOffsetForms;
  while (i < text.size()) {
    if (fraction_seen) return kOffsetForms;  // a fraction only in the last number
    int64_t whole = 0;
    int digits = 0;
    while (i < text.size() && IsDigit(text[i]) && digits < 12) {
      whole = whole * 10 + (text[i++] - '0');
      ++digits;
    }
    if (digits == 0 || (i < text.size() && IsDigit(text[i]))) return kOffsetForms;
    int64_t fraction = 0, scale = 1;
    if (i < text.size() && (text[i] == '.' || text[i] == ',')) {
      ++i;
      while (i < text.size() && IsDigit(text[i]) && scale < kSecondUs) {
        fraction = fraction * 10 + (text[i++] - '0');
        scale *= 10;
      }
      if (scale == 1 || (i < text.size() && IsDigit(text[i]))) return kOffsetForms;
      fraction_seen = true;
    }
    char unit = 's';
    if (i < text.size()) {
      unit = text[i++];
      if (std::string("dhms").find(unit) == std::string::npos ||
          units_seen.find(unit) != std::string::npos) {
        return kOffsetForms;
      }
    } else if (!units_seen.empty()) {
      return kOffsetForms;  // a bare number only alone: seconds
    }
    units_seen += unit;
    const int64_t unit_us = UnitMicroseconds(unit);
    if (whole > kLimitUs / unit_us) return "the clock offset is more than 100 years";
    total += whole * unit_us + fraction * unit_us / scale;
    if (total > kLimitUs) return "the clock offset is more than 100 years";
  }
  *microseconds = text[0] == '-' ? -total : total;
  return "";
}

std::string ClockOffsetText(int64_t microseconds) {
  std::string text = microseconds < 0 ? "-" : "+";
  uint64_t rest = microseconds < 0 ? uint64_t(0) - uint64_t(microseconds) : uint64_t(microseconds);
  for (const char unit : {'d', 'h', 'm'}) {
    const uint64_t size = uint64_t(UnitMicroseconds(unit));
    if (rest >= size) {
      text += std::to_string(rest / size) + unit;
      rest %= size;
    }
  }
  if (rest > 0 || text.size() == 1) {
    text += std::to_string(rest / kSecondUs);
    if (const uint64_t part = rest % kSecondUs; part > 0) {
      char digits[8];
      std::snprintf(digits, sizeof digits, "%06llu", static_cast<unsigned long long>(part));
      std::string fraction = digits;
      while (fraction.back() == '0') fraction.pop_back();
      text += "." + fraction;
    }
    text += 's';
  }
  return text;
}

Status ClockCorrection::Make(const std::string& offset_text, const std::string& zone_name,
                             ClockCorrection* out) {
  ClockCorrection made;
  if (!offset_text.empty()) {
    const std::string error = ParseClockOffset(offset_text, &made.offset_us_);
    if (!error.empty()) {
      return Status(StatusCode::kInvalidArgument, "--clock-offset '" + offset_text + "': " + error);
    }
  }
  if (!zone_name.empty()) {
    if (Status ready = PointAtDatabase(); !ready.ok()) return ready;
    // The library reports by exceptions: the database that cannot be read, the name it does not
    // know; a zone's rules are read on first use, here, where a failure can be reported.
    auto unreadable = [](const std::exception& e) {
      std::string why = e.what();  // its text may end its lines: one line here
      for (char& c : why) c = c == '\n' || c == '\r' ? ' ' : c;
      while (!why.empty() && why.back() == ' ') why.pop_back();
      return Status(StatusCode::kCannotOpen, "the time zone database cannot be read: " + why);
    };
    try {
      date::get_tzdb();
    } catch (const std::exception& e) {
      return unreadable(e);
    }
    try {
      made.zone_ = date::locate_zone(zone_name);
    } catch (const std::exception&) {
      return Status(StatusCode::kInvalidArgument,
                    "--recorder-zone '" + zone_name +
                        "': not a time zone of the database (an IANA name such as "
                        "Europe/Berlin or America/New_York)");
    }
    try {
      (void)made.zone_->get_info(date::sys_seconds{});
    } catch (const std::exception& e) {
      return unreadable(e);
    }
    made.zone_name_ = zone_name;
  }
  *out = std::move(made);
  return Status::Ok();
}

std::string ClockCorrection::Description() const {
  if (identity()) return "none";
  std::string text;
  if (zone_ != nullptr) text = "local time of " + zone_name_ + " written as UTC";
  if (offset_us_ != 0) {
    if (!text.empty()) text += "; ";
    text += "recorder's clock " +
            ClockOffsetText(offset_us_ < 0 ? -offset_us_ : offset_us_).substr(1) +
            (offset_us_ < 0 ? " behind" : " ahead");
  }
  return text;
}

double ClockCorrection::ToRecorder(double utc) const {
  const double recorder_utc = utc + double(offset_us_) / kSecondUs;
  if (zone_ == nullptr) return recorder_utc;
  const double whole = std::floor(recorder_utc);
  const date::sys_seconds instant{seconds{int64_t(whole)}};
  const auto local = zone_->to_local(instant);
  return double(local.time_since_epoch().count()) + (recorder_utc - whole);
}

double ClockMapper::Map(double stamp) {
  const ClockCorrection& c = *correction_;
  const double whole = std::floor(stamp);
  const int64_t local = int64_t(whole);
  int64_t zone_offset = 0;
  last_ = Reading::kUnique;
  if (c.zone_ != nullptr) {
    const date::local_info info = c.zone_->get_info(date::local_seconds{seconds{local}});
    switch (info.result) {
      case date::local_info::unique:
        zone_offset = info.first.offset.count();
        second_pass_ = false;
        break;
      case date::local_info::nonexistent:
        zone_offset = info.first.offset.count();
        second_pass_ = false;
        last_ = Reading::kSkipped;
        break;
      case date::local_info::ambiguous: {
        const int64_t change = (info.first.offset - info.second.offset).count();
        if (!second_pass_ && have_previous_ &&
            previous_ - local >= std::max<int64_t>(change / 2, 1)) {
          second_pass_ = true;
        }
        zone_offset = (second_pass_ ? info.second.offset : info.first.offset).count();
        last_ = Reading::kRepeated;
        break;
      }
    }
  }
  previous_ = local;
  have_previous_ = true;
  return double(local - zone_offset) - double(c.offset_us_) / kSecondUs + (stamp - whole);
}

}  // namespace vexlor::clock
