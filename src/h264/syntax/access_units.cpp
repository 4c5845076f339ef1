// Access unit boundaries of an H.264 byte stream, from the parameter sets and slice headers as
// the decoder parses them.
#include "h264/access_units.h"

#include <cstddef>
#include <memory>

#include "bitstream/bitreader.h"
#include "h264/annexb.h"
#include "syntax/param_sets.h"
#include "syntax/slice_header.h"

namespace vexlor::h264 {
namespace {

// The parameter sets seen so far, the reader, and the header of the latest slice.
struct SplitterState {
  BitReader reader;
  std::unique_ptr<SeqParamSet> sps[kMaxSps];
  std::unique_ptr<PicParamSet> pps[kMaxPps];
  SliceHeader last{};
  bool lastKnown = false;  // its header parsed with the parameter sets it names
};

// Parses a slice NAL unit's header (payload: header byte first). Returns whether it parsed;
// first_mb_in_slice is set in any case.
bool ParseSlice(SplitterState* s, const uint8_t* payload, int32_t n, SliceHeader* h) {
  *h = SliceHeader{};
  InitReader(&s->reader, payload, n);
  uint8_t header = 0;
  if (ReadByte(&s->reader, &header) != 0) return false;
  h->nal_unit_type = header & 31;
  h->nal_ref_idc = (header >> 5) & 3;
  h->idrFlag = h->nal_unit_type == 5;
  return ParseSliceHeader(h, s->sps, s->pps, &s->reader) == kOk;
}

// The first slice of a new primary picture (clause 7.4.1.2.4): the decoder's test, and a
// different picture parameter set.
bool NewPicture(const SplitterState& s, const SliceHeader& next, bool nextKnown) {
  if (!s.lastKnown || !nextKnown) return next.first_mb_in_slice == 0;
  return next.pic_parameter_set_id != s.last.pic_parameter_set_id ||
         IsNewPicture(&s.last, &next, s.sps, s.pps) != 0;
}

}  // namespace

std::vector<AccessUnit> SplitAccessUnits(std::span<const uint8_t> stream) {
  // NAL units: [start of start code, payload begin, end).
  struct Nal {
    size_t start, payload, end;
  };
  std::vector<Nal> nals;
  const uint8_t* begin = stream.data();
  const uint8_t* end = begin + stream.size();
  for (const uint8_t* p = FindStartCode(begin, end); p != end; p = FindStartCode(p + 3, end)) {
    const size_t i = static_cast<size_t>(p - begin);
    const size_t start = (i > 0 && stream[i - 1] == 0) ? i - 1 : i;
    if (!nals.empty()) nals.back().end = start;
    nals.push_back(Nal{start, i + 3, stream.size()});
  }

  auto state = std::make_unique<SplitterState>();
  std::vector<AccessUnit> units;
  bool haveSlice = false;
  size_t unitStart = 0;
  bool unitOpen = false;
  bool unitIdr = false;
  auto finish = [&](size_t unitEnd) {
    if (!unitOpen) return;
    AccessUnit au;
    au.idr = unitIdr;
    if (stream[unitStart + 2] == 1) au.bytes.push_back(0);  // three-byte start code
    au.bytes.insert(au.bytes.end(), stream.begin() + static_cast<std::ptrdiff_t>(unitStart),
                    stream.begin() + static_cast<std::ptrdiff_t>(unitEnd));
    units.push_back(std::move(au));
    unitOpen = false;
    unitIdr = false;
    haveSlice = false;
  };

  for (const Nal& nal : nals) {
    if (nal.payload >= nal.end) continue;  // empty NAL unit: stays with the current unit
    const uint8_t* p = stream.data() + nal.payload;
    const auto len = static_cast<int32_t>(std::min<size_t>(nal.end - nal.payload, INT32_MAX));
    const uint32_t type = p[0] & 0x1F;
    if (type == 7 || type == 8) {
      InitReader(&state->reader, p, len);
      uint8_t header = 0;
      if (ReadByte(&state->reader, &header) == 0) {
        (void)(type == 7 ? ParseSps(&state->reader, state->sps)
                         : ParsePps(&state->reader, state->pps));
      }
    }
    if (type >= 1 && type <= 5) {
      SliceHeader key;
      const bool known = ParseSlice(state.get(), p, len, &key);
      if (haveSlice && NewPicture(*state, key, known)) finish(nal.start);
      state->last = key;
      state->lastKnown = known;
      haveSlice = true;
      if (type == 5) unitIdr = true;
    } else if (type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18)) {
      if (haveSlice) finish(nal.start);
    }
    if (!unitOpen) {
      unitOpen = true;
      unitStart = nal.start;
    }
  }
  if (unitOpen) finish(stream.size());
  return units;
}

}  // namespace vexlor::h264
