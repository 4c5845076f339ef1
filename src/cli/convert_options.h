// The texts of convert's options: channel lists and times, and the times of a recording as the
// tool prints them.
//
// A recording's time stamps count seconds (and sixtieths) since 1970-01-01 00:00 UTC. Times on
// the command line are read, and times are printed, in the local time zone (the TZ environment
// variable where it is set) unless they carry a zone of their own.
#pragma once

#include <cstdint>
#include <string>

namespace vexlor::cli {

// "1,3,5-8": channels numbered as the files are, 1 to 16. Sets bit (number - 1) of *mask.
// Returns "" on success, else what is wrong with the text.
std::string ParseChannelList(const std::string& text, uint32_t* mask);

// A TIME of --from or --to, as written; resolved against a recording by ResolveTime.
struct TimeOption {
  enum Kind { kInstant, kTimeOfDay, kOffset } kind = kInstant;
  // kInstant: a calendar date and time; kTimeOfDay: a time on the recording's first day.
  int year = 1970, month = 1, day = 1;
  double second_of_day = 0;  // hours, minutes and seconds, in seconds
  bool has_zone = false;     // a zone was given ("Z" or +hh:mm): otherwise local time
  int zone_minutes = 0;      // the zone's offset east of UTC
  double offset = 0;         // kOffset: seconds after the recording's first time stamp
};

// Reads "2026-12-01T14:03:00" (optionally ".5", "Z", "+01:00"; a space may stand for the T;
// seconds and the time may be left out), "14:03" / "14:03:30.5" (a time of day) or "+90s" /
// "+1h30m" / "+2.5m" / "+45" (an offset; a bare number counts seconds). Returns "" on success,
// else what is wrong.
std::string ParseTime(const std::string& text, TimeOption* when);

// The time as seconds since 1970-01-01 00:00 UTC, given the time stamp of the recording's first
// counted frame. Returns "" on success, else why the time cannot be resolved: a local time
// that occurs twice (when the clocks go back) or never (when they go forward) is not guessed;
// the text names the offsets that would make it one time.
std::string ResolveTime(const TimeOption& when, double recording_start, double* seconds);

// ISO 8601 local date-time with milliseconds and the zone's offset:
// "2023-11-14T23:13:20.000+01:00".
std::string FormatTime(double seconds);

}  // namespace vexlor::cli
