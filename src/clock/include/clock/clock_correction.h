// The recorder's clock put right. A recorder stamps its frames with its own clock, counted as
// seconds since 1970-01-01 00:00 UTC; that clock may be wrong by a fixed amount (it drifted, or
// was never set), and many recorders are set to the local time of their zone and write it as if
// it were UTC. A ClockCorrection says both, as the command line's --clock-offset and
// --recorder-zone give them; a ClockMapper applies it to a recording's stamps in their order.
//
// The zone is applied to the recorder's own reading (it changes to and from summer time by its
// own clock), then the offset: corrected = UTC of the zone's local time `stamp` - offset.
// Without either option the correction is the identity.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace date {
class time_zone;
}

namespace vexlor::clock {

// "+1h", "-37s", "+2m15.5s", "+3d": how far the recorder's clock was ahead (+) or behind (-)
// of the true time. The sign is required; then numbers with the units d, h, m, s, each unit at
// most once, the last number may carry a fraction of up to 6 digits ("+1.5h", "-0.25s"); at
// most 100 years. Returns "" and sets *microseconds, or says what is wrong.
std::string ParseClockOffset(const std::string& text, int64_t* microseconds);

// The offset as ParseClockOffset reads it back: "+2m15.5s", "-1h", "+0s".
std::string ClockOffsetText(int64_t microseconds);

class ClockCorrection {
 public:
  ClockCorrection() = default;  // the identity

  // From the texts of --clock-offset and --recorder-zone (either may be empty: not given). A
  // malformed offset, a zone the time zone database does not know, or a database that cannot be
  // read is refused with a message of one line, naming the option.
  static Status Make(const std::string& offset_text, const std::string& zone_name,
                     ClockCorrection* out);

  bool identity() const { return offset_us_ == 0 && zone_ == nullptr; }
  int64_t offset_microseconds() const { return offset_us_; }
  const std::string& zone_name() const { return zone_name_; }  // empty: the recorder wrote UTC
  // What was applied, for people: "none", "recorder's clock +37s ahead", "local time of
  // Europe/Berlin written as UTC; recorder's clock 1m behind".
  std::string Description() const;

  // The recorder's stamp for a true (corrected) UTC time: the inverse of the mapping, exact and
  // unique (the zone's local time of an instant is always one). For times given by a person
  // (--from, --to) that are compared with stamps.
  double ToRecorder(double utc) const;

 private:
  friend class ClockMapper;
  int64_t offset_us_ = 0;
  std::string zone_name_;
  const date::time_zone* zone_ = nullptr;  // the database's, alive as long as the program
};

// Maps the stamps of one channel (or one recording), given in the recording's order, to
// corrected UTC. The order matters only in the hour that a zone repeats when it leaves summer
// time: a stamp there is taken as the first of the two times, until the stamps step back by half
// the change or more (the recorder's clock was put back), and as the second from then on, until
// a stamp outside that hour. A stamp in the hour that the clocks skip is read with the offset
// before the change (the recorder had not changed yet).
class ClockMapper {
 public:
  // `correction` must outlive the mapper.
  explicit ClockMapper(const ClockCorrection& correction) : correction_(&correction) {}

  enum class Reading {
    kUnique,    // the local time occurs once (or no zone is applied)
    kRepeated,  // it occurs twice; read as said above
    kSkipped,   // it never occurs
  };
  // The corrected UTC time, in seconds since 1970, of a recorder stamp in seconds (sixtieths in
  // the fraction).
  double Map(double stamp);
  Reading last_reading() const { return last_; }

 private:
  const ClockCorrection* correction_;
  Reading last_ = Reading::kUnique;
  bool second_pass_ = false;  // in the repeated hour, after the recorder's clock went back
  bool have_previous_ = false;
  int64_t previous_ = 0;  // the latest stamp's whole seconds
};

}  // namespace vexlor::clock
