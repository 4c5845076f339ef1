// The parameter sets of a channel as they pass by in its frames.
#include <algorithm>

#include "app/channel_scan.h"
#include "h264/annexb.h"

namespace vexlor::app {
namespace {

constexpr uint8_t kSpsType = 7;
constexpr uint8_t kPpsType = 8;
constexpr uint8_t kDelimiterType = 9;
constexpr size_t kMaxUnit = size_t{1} << 16;  // larger "parameter sets" are not kept

// The first Exp-Golomb number of a NAL unit's payload after `skip` bytes, read through the
// emulation prevention bytes; false when the unit ends first or the number is absurd.
bool ReadId(std::span<const uint8_t> nal, size_t skip, uint32_t* id) {
  uint8_t rbsp[16];
  size_t n = 0;
  int zeros = 0;
  for (size_t i = 1; i < nal.size() && n < sizeof rbsp; ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    rbsp[n++] = nal[i];
  }
  size_t bit = skip * 8;
  const auto next = [&](uint32_t* b) {
    if (bit >= n * 8) return false;
    *b = (rbsp[bit / 8] >> (7 - bit % 8)) & 1u;
    ++bit;
    return true;
  };
  int leading = 0;
  for (uint32_t b = 0;; ++leading) {
    if (!next(&b)) return false;
    if (b == 1) break;
    if (leading > 8) return false;  // ids are at most 255
  }
  uint32_t value = 0;
  for (int k = 0; k < leading; ++k) {
    uint32_t b = 0;
    if (!next(&b)) return false;
    value = value << 1 | b;
  }
  *id = (1u << leading) - 1 + value;
  return true;
}

// Calls f(type, unit) for each NAL unit of the data (its start code removed) until f returns
// false. Only parameter sets are cut to their end; for the other units the header is enough.
template <typename F>
void ForEachUnit(std::span<const uint8_t> data, F f) {
  const uint8_t* end = data.data() + data.size();
  for (const uint8_t* p = h264::FindStartCode(data.data(), end); p != end;) {
    const uint8_t* nal = p + 3;
    if (nal >= end) break;
    const auto type = uint8_t(*nal & 0x1F);
    const uint8_t* next = nullptr;
    std::span<const uint8_t> unit(nal, 1);
    if (type == kSpsType || type == kPpsType) {
      next = h264::FindStartCode(nal, end);
      const uint8_t* unit_end = next;
      // A zero byte before the next start code belongs to that one, not to this unit.
      while (unit_end > nal + 1 && unit_end[-1] == 0) --unit_end;
      unit = std::span<const uint8_t>(nal, size_t(unit_end - nal));
    }
    if (!f(type, unit)) break;
    if (next == nullptr) next = h264::FindStartCode(nal, end);
    p = next;
  }
}

bool IsSlice(uint8_t type) {
  return type >= 1 && type <= 5;
}

}  // namespace

void ParameterSets::Keep(std::vector<Unit>* units, uint32_t id, std::span<const uint8_t> nal) {
  if (nal.size() > kMaxUnit) return;
  for (Unit& u : *units) {
    if (u.id == id) {
      u.bytes.assign(nal.begin(), nal.end());
      return;
    }
  }
  units->push_back(Unit{id, std::vector<uint8_t>(nal.begin(), nal.end())});
  std::sort(units->begin(), units->end(), [](const Unit& a, const Unit& b) { return a.id < b.id; });
}

void ParameterSets::NoteFrame(std::span<const uint8_t> data) {
  // Parameter sets come before the slices of their access unit: the walk ends at the first
  // slice, so a frame costs no more than its first few units.
  ForEachUnit(data, [this](uint8_t type, std::span<const uint8_t> nal) {
    uint32_t id = 0;
    if (type == kSpsType && ReadId(nal, 3, &id) && id < 32) Keep(&sps_, id, nal);
    if (type == kPpsType && ReadId(nal, 0, &id) && id < 256) Keep(&pps_, id, nal);
    return !IsSlice(type);
  });
}

bool ParameterSets::Carries(std::span<const uint8_t> data) {
  bool sps = false, pps = false;
  ForEachUnit(data, [&](uint8_t type, std::span<const uint8_t>) {
    sps |= type == kSpsType;
    pps |= type == kPpsType;
    return !IsSlice(type);
  });
  return sps && pps;
}

std::vector<uint8_t> ParameterSets::Prepended(std::span<const uint8_t> data) const {
  // Where the first unit after a leading access unit delimiter begins (its four-byte start code
  // included): the sets go there.
  size_t at = 0;
  const uint8_t* end = data.data() + data.size();
  const uint8_t* first = h264::FindStartCode(data.data(), end);
  if (first != end && first + 3 < end && (first[3] & 0x1F) == kDelimiterType) {
    const uint8_t* next = h264::FindStartCode(first + 3, end);
    at = size_t(next - data.data());
    if (next != end && at > 0 && data[at - 1] == 0) --at;
  }
  std::vector<uint8_t> out(data.begin(), data.begin() + std::ptrdiff_t(at));
  for (const std::vector<uint8_t>& unit : InForce()) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit.begin(), unit.end());
  }
  out.insert(out.end(), data.begin() + std::ptrdiff_t(at), data.end());
  return out;
}

std::vector<std::vector<uint8_t>> ParameterSets::InForce() const {
  std::vector<std::vector<uint8_t>> all;
  for (const Unit& u : sps_) all.push_back(u.bytes);
  for (const Unit& u : pps_) all.push_back(u.bytes);
  return all;
}

}  // namespace vexlor::app
