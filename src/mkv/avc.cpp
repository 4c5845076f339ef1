#include "avc.h"

#include "h264/annexb.h"

namespace vexlor::mkv {

void AppendLengthPrefixed(std::span<const uint8_t> frame, std::vector<uint8_t>* out) {
  const uint8_t* const end = frame.data() + frame.size();
  for (const uint8_t* p = h264::FindStartCode(frame.data(), end); p != end;) {
    const uint8_t* unit = p + 3;  // after 00 00 01
    const uint8_t* next = h264::FindStartCode(unit, end);
    const uint8_t* unit_end = next;
    while (unit_end > unit && unit_end[-1] == 0) --unit_end;  // zeros before the next start code
    const size_t n = size_t(unit_end - unit);
    if (n > 0 && n <= 0xFFFFFFFFu) {
      const uint8_t length[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
      out->insert(out->end(), length, length + 4);
      out->insert(out->end(), unit, unit_end);
    }
    p = next;
  }
}

std::vector<uint8_t> DecoderConfiguration(const std::vector<std::vector<uint8_t>>& parameter_sets) {
  std::vector<const std::vector<uint8_t>*> sequence, picture;
  for (const std::vector<uint8_t>& set : parameter_sets) {
    if (set.empty() || set.size() > 0xFFFF) continue;
    const int type = set[0] & 0x1F;
    if (type == 7 && sequence.size() < 31) sequence.push_back(&set);
    if (type == 8 && picture.size() < 255) picture.push_back(&set);
  }
  std::vector<uint8_t> record = {1, 0, 0, 0, 0xFF, uint8_t(0xE0 | sequence.size())};
  if (!sequence.empty() && sequence[0]->size() >= 4) {
    record[1] = (*sequence[0])[1];  // profile_idc
    record[2] = (*sequence[0])[2];  // the constraint flags
    record[3] = (*sequence[0])[3];  // level_idc
  }
  auto append = [&record](const std::vector<const std::vector<uint8_t>*>& sets) {
    for (const std::vector<uint8_t>* set : sets) {
      record.push_back(uint8_t(set->size() >> 8));
      record.push_back(uint8_t(set->size()));
      record.insert(record.end(), set->begin(), set->end());
    }
  };
  append(sequence);
  record.push_back(uint8_t(picture.size()));
  append(picture);
  return record;
}

}  // namespace vexlor::mkv
