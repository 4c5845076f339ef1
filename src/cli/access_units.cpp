// Access unit boundaries of an H.264 byte stream.
#include "cli/access_units.h"

#include <array>
#include <cstddef>
#include <memory>

namespace vexlor::cli {
namespace {

// Reads Exp-Golomb and fixed-width fields from a NAL unit payload with emulation prevention
// bytes removed. Reads past the end yield zeros and set `overrun`.
class Bits {
 public:
  Bits(const uint8_t* p, size_t n) {
    rbsp_.reserve(n < 64 ? n : 64);
    int zeros = 0;
    for (size_t i = 0; i < n && rbsp_.size() < 64; ++i) {  // headers fit in 64 bytes
      if (zeros >= 2 && p[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = p[i] == 0 ? zeros + 1 : 0;
      rbsp_.push_back(p[i]);
    }
  }
  uint32_t U(int n) {
    uint32_t v = 0;
    for (int k = 0; k < n; ++k) v = v << 1 | Bit();
    return v;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0) {
      if (++zeros > 31 || overrun) return 0;
    }
    return zeros == 0 ? 0 : ((1u << zeros) - 1) + U(zeros);
  }
  int32_t Se() {
    const uint32_t k = Ue();
    return (k & 1) ? int32_t((k + 1) / 2) : -int32_t(k / 2);
  }
  bool overrun = false;

 private:
  uint32_t Bit() {
    if (pos_ >= rbsp_.size() * 8) {
      overrun = true;
      return 0;
    }
    const uint32_t b = (rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
    ++pos_;
    return b;
  }
  std::vector<uint8_t> rbsp_;
  size_t pos_ = 0;
};

struct Sps {
  bool valid = false;
  uint32_t log2_max_frame_num = 4;
  uint32_t poc_type = 0;
  uint32_t log2_max_poc_lsb = 4;
  bool delta_pic_order_always_zero = false;
  bool frame_mbs_only = true;
};
struct Pps {
  bool valid = false;
  uint32_t sps_id = 0;
  bool bottom_field_pic_order_present = false;
};

// The slice header fields that tell pictures apart.
struct SliceKey {
  uint32_t first_mb = 0;
  uint32_t pps_id = 0;
  uint32_t frame_num = 0;
  uint32_t field_pic = 0, bottom_field = 0;
  uint32_t nal_ref_idc_zero = 0;
  uint32_t idr = 0, idr_pic_id = 0;
  uint32_t poc_lsb = 0;
  int32_t delta_poc_bottom = 0, delta_poc0 = 0, delta_poc1 = 0;
  bool known = false;  // parameter sets were available
};

void SkipScalingList(Bits* b, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      next = (last + b->Se() + 256) % 256;
      if (b->overrun) return;
    }
    last = next == 0 ? last : next;
  }
}

void ParseSps(const uint8_t* p, size_t n, std::array<Sps, 32>* table) {
  Bits b(p, n);
  const uint32_t profile = b.U(8);
  b.U(16);
  const uint32_t id = b.Ue();
  if (id >= table->size()) return;
  Sps s;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
      profile == 83 || profile == 86 || profile == 118 || profile == 128 || profile == 138 ||
      profile == 139 || profile == 134 || profile == 135) {
    const uint32_t chroma = b.Ue();
    if (chroma == 3) b.U(1);
    b.Ue();
    b.Ue();
    b.U(1);
    if (b.U(1)) {
      for (int i = 0; i < (chroma == 3 ? 12 : 8) && !b.overrun; ++i) {
        if (b.U(1)) SkipScalingList(&b, i < 6 ? 16 : 64);
      }
    }
  }
  s.log2_max_frame_num = b.Ue() + 4;
  s.poc_type = b.Ue();
  if (s.poc_type == 0) {
    s.log2_max_poc_lsb = b.Ue() + 4;
  } else if (s.poc_type == 1) {
    s.delta_pic_order_always_zero = b.U(1) != 0;
    b.Se();
    b.Se();
    const uint32_t cycle = b.Ue();
    for (uint32_t i = 0; i < cycle && i < 256 && !b.overrun; ++i) b.Se();
  }
  b.Ue();
  b.U(1);
  b.Ue();
  b.Ue();
  s.frame_mbs_only = b.U(1) != 0;
  if (b.overrun || s.log2_max_frame_num > 16 || s.log2_max_poc_lsb > 16 || s.poc_type > 2) return;
  s.valid = true;
  (*table)[id] = s;
}

void ParsePps(const uint8_t* p, size_t n, std::array<Pps, 256>* table) {
  Bits b(p, n);
  const uint32_t id = b.Ue();
  Pps s;
  s.sps_id = b.Ue();
  b.U(1);
  s.bottom_field_pic_order_present = b.U(1) != 0;
  if (b.overrun || id >= table->size() || s.sps_id >= 32) return;
  s.valid = true;
  (*table)[id] = s;
}

SliceKey ParseSlice(const uint8_t* p, size_t n, const std::array<Sps, 32>& spss,
                    const std::array<Pps, 256>& ppss) {
  SliceKey k;
  const uint8_t header = p[0];
  const uint32_t type = header & 0x1F;
  k.nal_ref_idc_zero = (header >> 5) == 0;
  k.idr = type == 5;
  Bits b(p + 1, n - 1);
  k.first_mb = b.Ue();
  b.Ue();
  k.pps_id = b.Ue();
  if (k.pps_id >= ppss.size() || !ppss[k.pps_id].valid) return k;
  const Pps& pps = ppss[k.pps_id];
  const Sps& sps = spss[pps.sps_id];
  if (!sps.valid) return k;
  k.frame_num = b.U(int(sps.log2_max_frame_num));
  if (!sps.frame_mbs_only) {
    k.field_pic = b.U(1);
    if (k.field_pic) k.bottom_field = b.U(1);
  }
  if (k.idr) k.idr_pic_id = b.Ue();
  if (sps.poc_type == 0) {
    k.poc_lsb = b.U(int(sps.log2_max_poc_lsb));
    if (pps.bottom_field_pic_order_present && !k.field_pic) k.delta_poc_bottom = b.Se();
  } else if (sps.poc_type == 1 && !sps.delta_pic_order_always_zero) {
    k.delta_poc0 = b.Se();
    if (pps.bottom_field_pic_order_present && !k.field_pic) k.delta_poc1 = b.Se();
  }
  k.known = !b.overrun;
  return k;
}

bool NewPicture(const SliceKey& a, const SliceKey& b) {
  if (!a.known || !b.known) return b.first_mb == 0;
  return a.frame_num != b.frame_num || a.pps_id != b.pps_id || a.field_pic != b.field_pic ||
         a.bottom_field != b.bottom_field || a.nal_ref_idc_zero != b.nal_ref_idc_zero ||
         a.poc_lsb != b.poc_lsb || a.delta_poc_bottom != b.delta_poc_bottom ||
         a.delta_poc0 != b.delta_poc0 || a.delta_poc1 != b.delta_poc1 || a.idr != b.idr ||
         (a.idr && b.idr && a.idr_pic_id != b.idr_pic_id);
}

}  // namespace

std::vector<AccessUnit> SplitAccessUnits(const std::vector<uint8_t>& stream) {
  // NAL units: [start of start code, payload begin).
  struct Nal {
    size_t start, payload, end;
  };
  std::vector<Nal> nals;
  const size_t n = stream.size();
  for (size_t i = 0; i + 2 < n; ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      const size_t start = (i > 0 && stream[i - 1] == 0) ? i - 1 : i;
      if (!nals.empty()) nals.back().end = start;
      nals.push_back(Nal{start, i + 3, n});
      i += 2;
    }
  }

  auto spss = std::make_unique<std::array<Sps, 32>>();
  auto ppss = std::make_unique<std::array<Pps, 256>>();
  std::vector<AccessUnit> units;
  bool have_slice = false;
  SliceKey last;
  size_t unit_start = 0;
  bool unit_open = false;
  bool unit_idr = false;
  auto finish = [&](size_t end) {
    if (!unit_open) return;
    AccessUnit au;
    au.idr = unit_idr;
    if (stream[unit_start + 2] == 1) au.bytes.push_back(0);  // three-byte start code
    au.bytes.insert(au.bytes.end(), stream.begin() + std::ptrdiff_t(unit_start),
                    stream.begin() + std::ptrdiff_t(end));
    units.push_back(std::move(au));
    unit_open = false;
    unit_idr = false;
    have_slice = false;
  };

  for (const Nal& nal : nals) {
    if (nal.payload >= nal.end) continue;  // empty NAL unit: stays with the current unit
    const uint8_t* p = stream.data() + nal.payload;
    const size_t len = nal.end - nal.payload;
    const uint32_t type = p[0] & 0x1F;
    bool starts_unit = false;
    if (type == 7) {
      ParseSps(p + 1, len - 1, spss.get());
    } else if (type == 8) {
      ParsePps(p + 1, len - 1, ppss.get());
    }
    if (type >= 1 && type <= 5) {
      const SliceKey key = ParseSlice(p, len, *spss, *ppss);
      starts_unit = have_slice && NewPicture(last, key);
      if (starts_unit) finish(nal.start);
      last = key;
      have_slice = true;
      if (type == 5) unit_idr = true;
    } else if (type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18)) {
      if (have_slice) finish(nal.start);
    }
    if (!unit_open) {
      unit_open = true;
      unit_start = nal.start;
    }
  }
  if (unit_open) finish(n);
  return units;
}

}  // namespace vexlor::cli
