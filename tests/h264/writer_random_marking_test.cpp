// Random sequences of reference pictures with random marking (sliding window and memory
// management operations 1 to 6, IDR pictures with and without a long-term mark) and
// non-reference probe pictures with random reordering commands. A small model of the
// reference marking rules tells which frames each probe's list holds, in which order; the probe
// copies from every index, so any difference in marking or list construction shows in the
// samples.
#include <gtest/gtest.h>

#include <algorithm>

#include "h264/writer/harness.h"

namespace vexlor::h264w {
namespace {

constexpr int kMaxFrameNum = 16;

struct RefFrame {
  const Frame* content;
  int frameNum;
  bool longTerm;
  int ltIdx;
};

class Random {
 public:
  explicit Random(uint32_t seed) : s_(seed * 2654435761u + 1) {}
  int Below(int n) {  // 0 .. n - 1
    s_ ^= s_ << 13;
    s_ ^= s_ >> 17;
    s_ ^= s_ << 5;
    return static_cast<int>(s_ % static_cast<uint32_t>(n));
  }

 private:
  uint32_t s_;
};

// The reference frames as the standard marks them, and the lists it builds.
struct MarkingModel {
  std::vector<RefFrame> refs;
  int maxLtIdx = -1;  // -1: no long-term index allowed
  int numRefFrames = 1;

  int PicNum(const RefFrame& f, int currFrameNum) const {
    return f.frameNum > currFrameNum ? f.frameNum - kMaxFrameNum : f.frameNum;
  }
  int Count(bool longTerm) const {
    return static_cast<int>(std::count_if(
        refs.begin(), refs.end(), [&](const RefFrame& f) { return f.longTerm == longTerm; }));
  }
  void DropLongTermIdx(int idx) {
    std::erase_if(refs, [&](const RefFrame& f) { return f.longTerm && f.ltIdx == idx; });
  }
  std::vector<const RefFrame*> InitialList(int currFrameNum) const {
    std::vector<const RefFrame*> st, lt;
    for (const RefFrame& f : refs) (f.longTerm ? lt : st).push_back(&f);
    std::sort(st.begin(), st.end(), [&](const RefFrame* a, const RefFrame* b) {
      return PicNum(*a, currFrameNum) > PicNum(*b, currFrameNum);
    });
    std::sort(lt.begin(), lt.end(),
              [](const RefFrame* a, const RefFrame* b) { return a->ltIdx < b->ltIdx; });
    st.insert(st.end(), lt.begin(), lt.end());
    return st;
  }
};

// One random stream and its check.
void RunRandomStream(uint32_t seed) {
  Random rnd(seed);
  Sps sps;
  sps.pic_width_in_mbs_minus1 = 3;
  sps.pic_height_in_map_units_minus1 = 3;  // 16 macroblocks: every index of a list is used
  sps.num_ref_frames = 1 + rnd.Below(6);
  sps.SetReorder(0, sps.num_ref_frames);
  KnownStream k(sps, Pps{});
  MarkingModel m;
  m.numRefFrames = sps.num_ref_frames;
  int frameNum = 0;  // of the last reference picture
  int poc = 0;
  int idrId = 0;
  uint32_t contentSeed = seed * 1000;

  auto idr = [&] {
    SliceHeader h = IdrHeader(idrId++ % 2, 0);
    h.long_term_reference_flag = rnd.Below(3) == 0;
    const Frame* f = k.Pcm(h, ++contentSeed, 0);
    m.refs.clear();
    m.refs.push_back({f, 0, h.long_term_reference_flag != 0, 0});
    m.maxLtIdx = h.long_term_reference_flag ? 0 : -1;
    frameNum = 0;
    poc = 0;
  };
  idr();
  for (int step = 0; step < 40; ++step) {
    const int what = rnd.Below(10);
    if (what == 0) {
      idr();
    } else if (what < 5) {  // a probe: non-reference P picture with random reordering
      if (m.refs.empty()) continue;
      const int curr = (frameNum + 1) % kMaxFrameNum;
      std::vector<const RefFrame*> list = m.InitialList(curr);
      const int numActive = static_cast<int>(list.size());
      std::vector<Reorder> cmds;
      int picNumPred = curr;
      for (int refIdx = 0; refIdx < numActive && rnd.Below(3) != 0; ++refIdx) {
        const RefFrame* target = &m.refs[rnd.Below(static_cast<int>(m.refs.size()))];
        if (target->longTerm) {
          cmds.push_back({.idc = 2, .long_term_pic_num = target->ltIdx});
        } else {
          const int picNum = m.PicNum(*target, curr);
          if (picNum == picNumPred) break;  // a difference of zero cannot be coded
          const int diff = picNum - picNumPred;
          cmds.push_back(diff < 0 ? Reorder{.idc = 0, .abs_diff_pic_num_minus1 = -diff - 1}
                                  : Reorder{.idc = 1, .abs_diff_pic_num_minus1 = diff - 1});
          picNumPred = picNum;
        }
        // The standard's list modification: insert at refIdx, drop the later duplicate.
        list.insert(list.begin() + refIdx, target);
        for (size_t i = refIdx + 1; i < list.size(); ++i) {
          if (list[i] == target) {
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            break;
          }
        }
        list.resize(numActive);
      }
      SliceHeader h = NonRefHeader(curr, (poc += 2) % 256);
      h.reorder = cmds;
      std::vector<const Frame*> frames;
      for (const RefFrame* f : list) frames.push_back(f->content);
      k.Probe(h, frames, poc);
    } else {  // a reference picture with sliding window or random operations
      const int curr = (frameNum + 1) % kMaxFrameNum;
      SliceHeader h = RefHeader(curr, (poc += 2) % 256, kSliceI);
      bool currentLongTerm = false;
      int currentLtIdx = 0;
      bool mmco5 = false;
      // Short-term frames must not grow so old that frame_num comes round to them again.
      auto stale = [&](const RefFrame& r) {
        return !r.longTerm && (curr - r.frameNum + kMaxFrameNum) % kMaxFrameNum >= 12;
      };
      const bool mustClean = std::any_of(m.refs.begin(), m.refs.end(), stale);
      if (mustClean || rnd.Below(2) == 0) {
        // Adaptive marking: a few valid operations on the model's state.
        for (auto it = m.refs.begin(); it != m.refs.end();) {
          if (!stale(*it)) {
            ++it;
            continue;
          }
          h.mmco.push_back(
              {.op = 1, .difference_of_pic_nums_minus1 = curr - m.PicNum(*it, curr) - 1});
          it = m.refs.erase(it);
        }
        for (int n = 0; n < 3; ++n) {
          const int op = 1 + rnd.Below(6);
          std::vector<size_t> st, lt;
          for (size_t i = 0; i < m.refs.size(); ++i) (m.refs[i].longTerm ? lt : st).push_back(i);
          if (op == 1 && !st.empty()) {
            const size_t i = st[rnd.Below(static_cast<int>(st.size()))];
            h.mmco.push_back(
                {.op = 1, .difference_of_pic_nums_minus1 = curr - m.PicNum(m.refs[i], curr) - 1});
            m.refs.erase(m.refs.begin() + static_cast<std::ptrdiff_t>(i));
          } else if (op == 2 && !lt.empty()) {
            const int idx = m.refs[lt[rnd.Below(static_cast<int>(lt.size()))]].ltIdx;
            h.mmco.push_back({.op = 2, .long_term_pic_num = idx});
            m.DropLongTermIdx(idx);
          } else if (op == 3 && !st.empty() && m.maxLtIdx >= 0) {
            const size_t i = st[rnd.Below(static_cast<int>(st.size()))];
            const int idx = rnd.Below(m.maxLtIdx + 1);
            h.mmco.push_back({.op = 3,
                              .difference_of_pic_nums_minus1 = curr - m.PicNum(m.refs[i], curr) - 1,
                              .long_term_frame_idx = idx});
            RefFrame f = m.refs[i];
            m.refs.erase(m.refs.begin() + static_cast<std::ptrdiff_t>(i));
            m.DropLongTermIdx(idx);
            f.longTerm = true;
            f.ltIdx = idx;
            m.refs.push_back(f);
          } else if (op == 4) {
            const int plus1 = rnd.Below(m.numRefFrames + 1);
            h.mmco.push_back({.op = 4, .max_long_term_frame_idx_plus1 = plus1});
            std::erase_if(m.refs,
                          [&](const RefFrame& f) { return f.longTerm && f.ltIdx >= plus1; });
            m.maxLtIdx = plus1 - 1;
          } else if (op == 5 && rnd.Below(3) == 0) {
            h.mmco.push_back({.op = 5});
            m.refs.clear();
            m.maxLtIdx = -1;
            mmco5 = true;
            break;
          } else if (op == 6 && m.maxLtIdx >= 0) {
            currentLtIdx = rnd.Below(m.maxLtIdx + 1);
            h.mmco.push_back({.op = 6, .long_term_frame_idx = currentLtIdx});
            m.DropLongTermIdx(currentLtIdx);
            currentLongTerm = true;
            break;
          }
        }
        // The stream must keep within num_ref_frames, the current picture included: the oldest
        // short-term frames go, or long-term ones when none is left.
        while (static_cast<int>(m.refs.size()) + 1 > m.numRefFrames) {
          auto oldest = m.refs.end();
          for (auto it = m.refs.begin(); it != m.refs.end(); ++it) {
            if (!it->longTerm &&
                (oldest == m.refs.end() || m.PicNum(*it, curr) < m.PicNum(*oldest, curr))) {
              oldest = it;
            }
          }
          if (oldest != m.refs.end()) {
            h.mmco.push_back(
                {.op = 1, .difference_of_pic_nums_minus1 = curr - m.PicNum(*oldest, curr) - 1});
            m.refs.erase(oldest);
          } else {
            const int idx = m.refs.front().ltIdx;
            h.mmco.push_back({.op = 2, .long_term_pic_num = idx});
            m.DropLongTermIdx(idx);
          }
        }
        if (h.mmco.empty()) {
          h.mmco.push_back({.op = 4, .max_long_term_frame_idx_plus1 = m.maxLtIdx + 1});
        }
      } else if (static_cast<int>(m.refs.size()) == m.numRefFrames) {
        // Sliding window. With only long-term frames in the window the stream gives one up by
        // an operation instead.
        if (m.Count(false) == 0) {
          h.mmco.push_back({.op = 2, .long_term_pic_num = m.refs.front().ltIdx});
          m.DropLongTermIdx(m.refs.front().ltIdx);
        } else {
          auto oldest = m.refs.end();
          for (auto it = m.refs.begin(); it != m.refs.end(); ++it) {
            if (!it->longTerm &&
                (oldest == m.refs.end() || m.PicNum(*it, curr) < m.PicNum(*oldest, curr))) {
              oldest = it;
            }
          }
          m.refs.erase(oldest);
        }
      }
      const Frame* f = k.Pcm(h, ++contentSeed, mmco5 ? kAnyPoc : poc);
      m.refs.push_back({f, mmco5 ? 0 : curr, currentLongTerm, currentLtIdx});
      frameNum = mmco5 ? 0 : curr;
      // After operation 5 the order count restarts from lsb 0; poc goes on counting, so the next
      // picture's lsb differs from this one's and starts a new picture.
    }
  }
  EXPECT_TRUE(k.Decodes()) << "seed " << seed;
}

TEST(RandomMarking, ListsFollowTheMarkingRules) {
  for (uint32_t seed = 1; seed <= 100; ++seed) RunRandomStream(seed);
}

}  // namespace
}  // namespace vexlor::h264w
