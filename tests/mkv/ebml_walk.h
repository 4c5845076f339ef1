// An independent walk of a Matroska file, for the tests and the fuzz check: an EBML header and
// one segment that ends where the file ends, every element of known size and inside its parent,
// every seek entry and index entry pointing at what it names, every block unlaced and of a listed
// track. The walk lists the elements and the blocks for the checks to compare.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace vexlor::testing {

struct MkvElement {
  uint32_t id = 0;
  size_t head = 0, data = 0, end = 0;  // offsets in the file
};

struct MkvBlock {
  uint64_t track = 0;
  int64_t time = 0;  // timestamp-scale units
  bool key = false;
  int64_t duration = -1;      // of a block group's block
  size_t data = 0, size = 0;  // the frame
  size_t head = 0, cluster = 0;
};

struct WalkedMkv {
  const std::vector<uint8_t>* bytes = nullptr;
  std::vector<MkvElement> elements;  // in file order
  std::vector<MkvBlock> blocks;
  size_t segment = 0;  // where the segment's data begins

  std::vector<const MkvElement*> All(uint32_t id) const {
    std::vector<const MkvElement*> out;
    for (const MkvElement& e : elements) {
      if (e.id == id) out.push_back(&e);
    }
    return out;
  }
  uint64_t Uint(const MkvElement& e) const {
    uint64_t v = 0;
    for (size_t i = e.data; i < e.end; ++i) v = v << 8 | (*bytes)[i];
    return v;
  }
  double Float(const MkvElement& e) const {  // 8 bytes
    const uint64_t bits = Uint(e);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  }
  std::string Text(const MkvElement& e) const {
    return std::string(bytes->begin() + long(e.data), bytes->begin() + long(e.end));
  }
  // The value of the first element `id`, or `otherwise`.
  uint64_t UintOf(uint32_t id, uint64_t otherwise = 0) const {
    const auto all = All(id);
    return all.empty() ? otherwise : Uint(*all[0]);
  }
};

// The elements the walk enters.
inline constexpr uint32_t kMkvMasters[] = {
    0x1A45DFA3, 0x18538067, 0x114D9B74, 0x4DBB, 0x1549A966, 0x1654AE6B, 0xAE,   0xE0,   0xE1,
    0x1F43B675, 0xA0,       0x1C53BB6B, 0xBB,   0xB7,       0x1254C367, 0x7373, 0x63C0, 0x67C8};

// "" when the file is well formed; else what is wrong.
inline std::string WalkMkv(const std::vector<uint8_t>& b, WalkedMkv* out) {
  *out = WalkedMkv{};
  out->bytes = &b;
  std::string fault;
  auto number = [&](size_t* at, size_t end, bool id, uint64_t* v) {
    const int n = *at < end && b[*at] != 0 ? __builtin_clz(uint32_t(b[*at])) - 23 : 9;
    if (n > (id ? 4 : 8) || end - *at < size_t(n)) return false;
    *v = id ? b[*at] : b[*at] & (0xFFu >> n);
    for (int i = 1; i < n; ++i) *v = *v << 8 | b[*at + i];
    *at += size_t(n);
    return id || *v != (uint64_t{1} << (7 * n)) - 1;  // all ones: unknown size
  };
  // Depth first, so that a block's cluster and its time come before the block.
  uint64_t cluster_time = 0;
  size_t cluster_head = 0;
  std::map<size_t, size_t> heads;  // the segment's children: position, index
  auto walk = [&](auto&& self, size_t begin, size_t end, int depth) -> bool {
    for (size_t at = begin; at < end;) {
      MkvElement e;
      uint64_t id = 0, size = 0;
      e.head = at;
      if (!number(&at, end, true, &id) || !number(&at, end, false, &size) || size > end - at) {
        fault = "a bad element head, or an element past its parent, at " + std::to_string(e.head);
        return false;
      }
      e.id = uint32_t(id), e.data = at, e.end = at = at + size_t(size);
      if (depth == 1) heads.emplace(e.head, out->elements.size());
      out->elements.push_back(e);
      if (e.id == 0x18538067) out->segment = e.data;
      if (e.id == 0x1F43B675) cluster_head = e.head;
      if (e.id == 0xE7) cluster_time = out->Uint(e);
      if (e.id == 0x9B && !out->blocks.empty()) out->blocks.back().duration = int64_t(out->Uint(e));
      if (e.id == 0xA3 || e.id == 0xA1) {
        MkvBlock k;
        size_t p = e.data;
        if (!number(&p, e.end, false, &k.track) || e.end - p < 3 || (b[p + 2] & 0x06) != 0) {
          fault = "a block without a head, or laced";
          return false;
        }
        k.time = int64_t(cluster_time) + int16_t(uint16_t(b[p] << 8 | b[p + 1]));
        k.key = e.id == 0xA1 || (b[p + 2] & 0x80) != 0;
        k.data = p + 3, k.size = e.end - k.data, k.head = e.head;
        k.cluster = cluster_head;
        out->blocks.push_back(k);
      }
      for (uint32_t m : kMkvMasters) {
        if (m == e.id && !self(self, e.data, e.end, depth + 1)) return false;
      }
    }
    return true;
  };
  if (!walk(walk, 0, b.size(), 0)) return fault;
  const auto top = out->All(0x18538067);
  if (out->elements.empty() || out->elements[0].id != 0x1A45DFA3 || top.size() != 1 ||
      top[0]->end != b.size()) {
    return "not an EBML header and one segment to the end of the file";
  }
  auto level1 = [&](uint64_t position) -> const MkvElement* {
    const auto found = heads.find(out->segment + size_t(position));
    return found == heads.end() ? nullptr : &out->elements[found->second];
  };
  std::map<size_t, const MkvBlock*> blocks;  // by the position of their element
  for (const MkvBlock& k : out->blocks) blocks.emplace(k.head, &k);
  std::vector<uint64_t> tracks;
  for (const MkvElement* e : out->All(0xD7)) tracks.push_back(out->Uint(*e));
  for (const MkvBlock& k : out->blocks) {
    if (std::find(tracks.begin(), tracks.end(), k.track) == tracks.end())
      return "a block of a track that is not listed";
  }
  const auto ids = out->All(0x53AB), positions = out->All(0x53AC);
  for (size_t i = 0; i < ids.size() && i < positions.size(); ++i) {
    const MkvElement* e = level1(out->Uint(*positions[i]));
    if (e == nullptr || e->id != out->Uint(*ids[i])) return "a seek entry points elsewhere";
  }
  const auto times = out->All(0xB3), cue_tracks = out->All(0xF7), clusters = out->All(0xF1),
             relatives = out->All(0xF0);
  if (cue_tracks.size() != times.size() || clusters.size() != times.size() ||
      relatives.size() != times.size()) {
    return "an index entry without all its parts";
  }
  for (size_t i = 0; i < times.size(); ++i) {
    const MkvElement* c = level1(out->Uint(*clusters[i]));
    const auto k = c == nullptr ? blocks.end() : blocks.find(c->data + out->Uint(*relatives[i]));
    if (k == blocks.end() || k->second->cluster != c->head ||
        k->second->track != out->Uint(*cue_tracks[i]) ||
        k->second->time != int64_t(out->Uint(*times[i])) || !k->second->key) {
      return "an index entry points at no key frame of its track and time";
    }
  }
  return "";
}

}  // namespace vexlor::testing
