// Macroblock to slice group map (H.264 clause 8.2.2), frames only: map units are macroblocks.
#include "picture/slice_group_map.h"

#include <algorithm>

#include "common/errors.h"

namespace vexlor::h264 {

int BuildSliceGroupMap(PictureMbInfo* info, const SeqParamSet* sps, const PicParamSet* pps,
                       const SliceHeader* h) {
  const int w = sps->pic_width_in_mbs_minus1 + 1;
  const int ht = sps->pic_height_in_map_units_minus1 + 1;
  const int size = w * ht;
  int32_t* map = info->sliceMap.data();
  if (static_cast<int>(info->sliceMap.size()) < size) return kErrRange;
  const int groups = pps->num_slice_groups_minus1 + 1;
  if (groups == 1) {
    std::fill(map, map + size, 0);
    return 0;
  }
  const int dir = pps->slice_group_change_direction_flag;
  const int64_t rate = static_cast<int64_t>(pps->slice_group_change_rate_minus1) + 1;
  const int unitsInGroup0 =
      static_cast<int>(std::min<int64_t>(h->slice_group_change_cycle * rate, size));
  switch (pps->slice_group_map_type) {
    case 0: {
      int i = 0;
      do {
        for (int g = 0; g < groups && i < size; i += pps->run_length_minus1[g++] + 1) {
          for (int j = 0; j <= pps->run_length_minus1[g] && i + j < size; ++j) map[i + j] = g;
        }
      } while (i < size);
      break;
    }
    case 1:
      for (int i = 0; i < size; ++i) map[i] = ((i % w) + (((i / w) * groups) / 2)) % groups;
      break;
    case 2:
      std::fill(map, map + size, groups - 1);
      for (int g = groups - 2; g >= 0; --g) {
        const int yTop = pps->top_left[g] / w, xTop = pps->top_left[g] % w;
        const int yBottom = std::min(pps->bottom_right[g] / w, ht - 1);
        const int xBottom = pps->bottom_right[g] % w;
        for (int y = yTop; y <= yBottom; ++y) {
          for (int x = xTop; x <= xBottom; ++x) map[y * w + x] = g;
        }
      }
      break;
    case 3: {
      std::fill(map, map + size, 1);
      int x = (w - dir) / 2, y = (ht - dir) / 2;
      int left = x, top = y, right = x, bottom = y;
      int xDir = dir - 1, yDir = dir;
      // The spiral reaches every macroblock within a few laps of the picture; the step limit
      // only guards the loop.
      const int64_t maxSteps = 8 * static_cast<int64_t>(size) + 64;
      int64_t steps = 0;
      for (int k = 0; k < unitsInGroup0 && steps < maxSteps; ++steps) {
        const bool vacant = map[y * w + x] == 1;
        if (vacant) map[y * w + x] = 0;
        if (xDir == -1 && x == left) {
          left = std::max(left - 1, 0);
          x = left;
          xDir = 0;
          yDir = 2 * dir - 1;
        } else if (xDir == 1 && x == right) {
          right = std::min(right + 1, w - 1);
          x = right;
          xDir = 0;
          yDir = 1 - 2 * dir;
        } else if (yDir == -1 && y == top) {
          top = std::max(top - 1, 0);
          y = top;
          xDir = 1 - 2 * dir;
          yDir = 0;
        } else if (yDir == 1 && y == bottom) {
          bottom = std::min(bottom + 1, ht - 1);
          y = bottom;
          xDir = 2 * dir - 1;
          yDir = 0;
        } else {
          x += xDir;
          y += yDir;
        }
        k += vacant ? 1 : 0;
      }
      break;
    }
    case 4: {
      const int upperLeft = dir ? size - unitsInGroup0 : unitsInGroup0;
      for (int i = 0; i < size; ++i) map[i] = i < upperLeft ? dir : 1 - dir;
      break;
    }
    case 5: {
      const int upperLeft = dir ? size - unitsInGroup0 : unitsInGroup0;
      int k = 0;
      for (int x = 0; x < w; ++x) {
        for (int y = 0; y < ht; ++y) map[y * w + x] = k++ < upperLeft ? dir : 1 - dir;
      }
      break;
    }
    case 6: {
      // An explicit map shorter than the picture cannot place the picture's macroblocks.
      const int64_t have = std::min<int64_t>(static_cast<int64_t>(pps->sliceGroupIdCount) + 1,
                                             static_cast<int64_t>(pps->sliceGroupIds.size()));
      if (have < size) return kErrRange;
      for (int i = 0; i < size; ++i) map[i] = pps->sliceGroupIds[i] & 15;
      break;
    }
    default:
      std::fill(map, map + size, 0);
      break;
  }
  return 0;
}

}  // namespace vexlor::h264
