#include "interleaver.h"

#include <algorithm>

namespace vexlor::mkv {

void Interleaver::Push(size_t lane, Block block) {
  bytes_ += block.data.size();
  latest_ = std::max(latest_, block.time);
  lanes_[lane].blocks.push_back(std::move(block));
}

bool Interleaver::Full() const {
  if (bytes_ > kQueuedBytes) return true;
  for (const Lane& l : lanes_) {
    if (!l.blocks.empty() && latest_ - l.blocks.front().time > kQueuedSpan) return true;
  }
  return false;
}

bool Interleaver::Earliest(int64_t* time) const {
  bool any = false;
  for (const Lane& l : lanes_) {
    if (l.blocks.empty() || (any && l.blocks.front().time >= *time)) continue;
    *time = l.blocks.front().time;
    any = true;
  }
  return any;
}

bool Interleaver::Pop(Block* out, bool force) {
  Lane* first = nullptr;
  for (Lane& l : lanes_) {
    if (!l.blocks.empty() &&
        (first == nullptr || l.blocks.front().time < first->blocks.front().time))
      first = &l;
  }
  if (first == nullptr) return false;
  const int64_t time = first->blocks.front().time;
  if (!(force && Full())) {
    // At equal times the lanes keep their order.
    for (const Lane& l : lanes_) {
      if (l.blocks.empty() && (l.floor < time || (l.floor == time && &l < first))) return false;
    }
  }
  *out = std::move(first->blocks.front());
  first->blocks.pop_front();
  bytes_ -= out->data.size();
  return true;
}

}  // namespace vexlor::mkv
