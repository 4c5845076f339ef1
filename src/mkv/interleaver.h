// Blocks of several lanes (the tracks of a file), each lane's blocks in time order, merged into
// one stream in time order, as a file's clusters want them: a block leaves once no lane can still
// bring an earlier one. Each lane says how early its next block can be (its floor). Memory stays
// bounded: beyond kQueuedSpan of queued time or kQueuedBytes, the earliest block may leave all
// the same (Pop with `force`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "segment_writer.h"

namespace vexlor::mkv {

class Interleaver {
 public:
  static constexpr int64_t kEnded = std::numeric_limits<int64_t>::max();
  static constexpr int64_t kQueuedSpan = 5000;  // milliseconds
  static constexpr size_t kQueuedBytes = size_t{16} << 20;

  explicit Interleaver(size_t lanes) : lanes_(lanes) {}

  void Push(size_t lane, Block block);
  // No block that the lane brings later is earlier than `time`; kEnded: the lane brings none.
  void SetFloor(size_t lane, int64_t time) { lanes_[lane].floor = time; }
  // The earliest block, once no lane can bring an earlier one (or, with `force`, when Full).
  bool Pop(Block* out, bool force = false);
  bool Full() const;
  int64_t Floor(size_t lane) const { return lanes_[lane].floor; }
  // The time of the earliest block queued; false when none is.
  bool Earliest(int64_t* time) const;

 private:
  struct Lane {
    std::deque<Block> blocks;
    int64_t floor = 0;
  };
  std::vector<Lane> lanes_;
  size_t bytes_ = 0;
  int64_t latest_ = 0;  // the latest time queued
};

}  // namespace vexlor::mkv
