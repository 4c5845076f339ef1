// Stream facts: parameter sets and slice headers of every profile, and picture order counts.
//
// Picture order counts are those of H.264 clause 8.2.1 for frames and fields. They are worked
// out in 64-bit unsigned arithmetic that wraps (a hostile stream can drive them anywhere without
// undefined behaviour) and read back as signed values.
#include "h264/stream_facts.h"

#include <algorithm>

#include "bitstream/bitreader.h"
#include "common/alloc.h"
#include "h264/annexb.h"
#include "syntax/any_slice_header.h"
#include "syntax/coding_tools.h"
#include "syntax/param_sets.h"

namespace vexlor::h264 {

namespace {

// The NAL unit type of a unit (after its start code prefix), or -1 without a header byte.
int NalType(std::span<const uint8_t> nal, int32_t* refIdc) {
  const auto n = static_cast<int32_t>(std::min<size_t>(nal.size(), INT32_MAX));
  const int32_t at = StartCodePrefixLength(nal.data(), n);
  if (at >= n) return -1;
  *refIdc = (nal[static_cast<size_t>(at)] >> 5) & 3;
  return nal[static_cast<size_t>(at)] & 31;
}

// Attaches a reader to a unit (at most `limit` bytes of it) and steps over its header byte.
bool Attach(BitReader* r, std::span<const uint8_t> nal, int32_t limit = INT32_MAX) {
  const auto n = static_cast<int32_t>(std::min<size_t>(nal.size(), static_cast<size_t>(limit)));
  InitReader(r, nal.data(), n);
  uint8_t header = 0;
  return ReadByte(r, &header) == 0;
}

// Whether the decoder takes a sequence parameter set, read by its own reader.
bool DecoderTakes(std::span<const uint8_t> nal) {
  BitReader r;
  std::unique_ptr<SeqParamSet> table[kMaxSps];
  return Attach(&r, nal) && ParseSps(&r, table) == 0;
}

SequenceFacts MakeSequenceFacts(const SeqParamSet& s, bool decoderTakes) {
  SequenceFacts f;
  f.id = s.seq_parameter_set_id;
  f.profileIdc = s.profile_idc;
  f.constraintFlags = ConstraintFlags(s);
  f.profile = ProfileName(s.profile_idc, f.constraintFlags);
  f.levelIdc = s.level_idc;
  f.level = LevelName(s.profile_idc, s.level_idc, f.constraintFlags);
  f.chromaFormatIdc = s.chroma_format_idc;
  f.bitDepthLuma = 8 + s.bit_depth_luma_minus8;
  f.bitDepthChroma = 8 + s.bit_depth_chroma_minus8;
  f.frameMbsOnly = s.frame_mbs_only_flag != 0;
  f.mbaff = s.mb_adaptive_frame_field_flag != 0;
  f.pocType = s.pic_order_cnt_type;
  f.codedWidth = 16 * (s.pic_width_in_mbs_minus1 + 1);
  f.codedHeight = 16 * (s.pic_height_in_map_units_minus1 + 1) * (2 - s.frame_mbs_only_flag);
  if (s.frame_cropping_flag) {
    f.cropLeft = CropUnitX(s) * s.frame_crop_left_offset;
    f.cropRight = CropUnitX(s) * s.frame_crop_right_offset;
    f.cropTop = CropUnitY(s) * s.frame_crop_top_offset;
    f.cropBottom = CropUnitY(s) * s.frame_crop_bottom_offset;
  }
  f.width = f.codedWidth - f.cropLeft - f.cropRight;
  f.height = f.codedHeight - f.cropTop - f.cropBottom;
  if (s.vui_parameters_present_flag && s.vui.bitstream_restriction_flag) {
    f.maxNumReorderFrames = s.vui.num_reorder_frames;
    f.maxDecFrameBuffering = s.vui.max_dec_frame_buffering;
  }
  if (s.vui_parameters_present_flag && s.vui.timing_info_present_flag) {
    f.numUnitsInTick = s.vui.num_units_in_tick;
    f.timeScale = s.vui.time_scale;
  }
  ToolReport tools;
  NoteTools(&tools, &s, SpsTools(s));
  f.decodable = tools.tools == 0 && decoderTakes;
  f.reason = DescribeTools(tools);
  if (!f.decodable && f.reason.empty()) {
    // The decoder's own reader refused a set that names no missing tool: an unknown profile or
    // level, or a bound of its own.
    f.reason = std::string("not taken by the decoder (profile_idc ") +
               std::to_string(f.profileIdc) + ", level_idc " + std::to_string(f.levelIdc) + ")";
  }
  return f;
}

PictureSetFacts MakePictureSetFacts(int32_t id, const PicParamSet& p) {
  PictureSetFacts f;
  f.id = id;
  f.sequenceId = p.seq_parameter_set_id;
  f.cabac = p.entropy_coding_mode_flag != 0;
  f.transform8x8 = p.transform_8x8_mode_flag != 0;
  f.scalingMatrices = p.pic_scaling_matrix_present_flag != 0;
  f.weightedPred = p.weighted_pred_flag != 0;
  f.weightedBipredIdc = p.weighted_bipred_idc;
  return f;
}

uint64_t Wrap(int64_t v) {
  return static_cast<uint64_t>(v);
}

int64_t Signed(uint64_t v) {
  return static_cast<int64_t>(v);
}

enum Structure { kFrame = 0, kTopField = 1, kBottomField = 2 };

// A picture whose slices are being read, with what the next picture's order count needs.
struct TrackedPicture {
  bool open = false;
  int32_t structure = kFrame;
  int32_t frameNum = 0;
  bool reference = false;
  bool idr = false;
  bool mmco5 = false;
  bool secondField = false;
  bool firstFrameOfUnit = false;  // the first frame counted in the unit it began in
  uint64_t unit = 0;              // the unit it began in
  int64_t top = 0, bottom = 0;    // order counts of its fields (after memory management 5)
  int64_t pocMsb = 0;
  int32_t pocLsb = 0;
  int64_t frameNumOffset = 0;

  int64_t Poc() const {
    return structure == kFrame ? std::min(top, bottom) : structure == kTopField ? top : bottom;
  }
};

}  // namespace

bool ReadSequenceFacts(std::span<const uint8_t> nalUnit, SequenceFacts* out) {
  int32_t refIdc = 0;
  BitReader r;
  SeqParamSet s;
  if (NalType(nalUnit, &refIdc) != 7 || !Attach(&r, nalUnit) || ParseSpsAnyProfile(&r, &s) < 0) {
    return false;
  }
  *out = MakeSequenceFacts(s, DecoderTakes(nalUnit));
  return true;
}

bool ReadPictureSetFacts(std::span<const uint8_t> nalUnit, PictureSetFacts* out,
                         const SequenceFacts* sequence) {
  int32_t refIdc = 0, id = 0;
  BitReader r;
  PicParamSet p;
  if (NalType(nalUnit, &refIdc) != 8) return false;
  // The chroma format of the sequence, under the id the set names (its second element).
  std::unique_ptr<SeqParamSet> table[kMaxSps];
  if (sequence != nullptr && Attach(&r, nalUnit)) {
    (void)ReadUe(&r);
    const uint32_t spsId = ReadUe(&r);
    if (spsId < kMaxSps) {
      table[spsId] = MakeOrDie<SeqParamSet>();
      table[spsId]->chroma_format_idc = sequence->chromaFormatIdc;
    }
  }
  if (!Attach(&r, nalUnit) || ParsePpsAnyProfile(&r, table, &id, &p) < 0) {
    return false;
  }
  *out = MakePictureSetFacts(id, p);
  return true;
}

struct PictureOrderTracker::State {
  BitReader reader;
  std::unique_ptr<SeqParamSet> sps[kMaxSps];
  std::unique_ptr<PicParamSet> pps[kMaxPps];
  std::unique_ptr<SequenceFacts> sequences[kMaxSps];
  std::unique_ptr<PictureSetFacts> pictureSets[kMaxPps];
  ToolReport tools;
  int32_t activeSps = -1;
  AnySliceHeader last{};
  bool haveLast = false;
  TrackedPicture current;
  uint64_t units = 0;  // units taken so far
  // The order count state the next picture starts from.
  int64_t prevPocMsb = 0;
  int64_t prevPocLsb = 0;
  int64_t prevFrameNumOffset = 0;
  int32_t prevFrameNum = 0;

  void TakeSps(std::span<const uint8_t> nal);
  void TakePps(std::span<const uint8_t> nal);
  void TakeSlice(std::span<const uint8_t> nal, int type, int32_t refIdc, bool firstOfUnit,
                 AccessUnitFacts* out);
  void FinishPicture();
  void ComputePoc(const AnySliceHeader& h, const SeqParamSet& sps, TrackedPicture* p) const;
  void StartPicture(const AnySliceHeader& h, const SeqParamSet& sps, AccessUnitFacts* out);
};

void PictureOrderTracker::State::TakeSps(std::span<const uint8_t> nal) {
  SeqParamSet s;
  if (!Attach(&reader, nal) || ParseSpsAnyProfile(&reader, &s) < 0) return;
  const int32_t id = s.seq_parameter_set_id;
  if (!sps[id]) sps[id] = MakeOrDie<SeqParamSet>();
  *sps[id] = s;
  if (!sequences[id]) sequences[id] = MakeOrDie<SequenceFacts>();
  *sequences[id] = MakeSequenceFacts(s, DecoderTakes(nal));
}

void PictureOrderTracker::State::TakePps(std::span<const uint8_t> nal) {
  PicParamSet p;
  int32_t id = 0;
  if (!Attach(&reader, nal) || ParsePpsAnyProfile(&reader, sps, &id, &p) < 0) return;
  if (!pictureSets[id]) pictureSets[id] = MakeOrDie<PictureSetFacts>();
  *pictureSets[id] = MakePictureSetFacts(id, p);
  if (!pps[id]) pps[id] = MakeOrDie<PicParamSet>();
  *pps[id] = std::move(p);
}

// The "previous picture" state for the next one: after every picture for order count types 1
// and 2, after reference pictures for type 0; a picture with memory management 5 counts as
// frame_num 0 with its order counts reset.
void PictureOrderTracker::State::FinishPicture() {
  const TrackedPicture& p = current;
  if (!p.open) return;
  if (p.reference) {
    prevPocMsb = p.mmco5 ? 0 : p.pocMsb;
    prevPocLsb = p.mmco5 ? (p.structure == kBottomField ? 0 : p.top) : p.pocLsb;
  }
  prevFrameNumOffset = p.mmco5 ? 0 : p.frameNumOffset;
  prevFrameNum = p.mmco5 ? 0 : p.frameNum;
}

void PictureOrderTracker::State::ComputePoc(const AnySliceHeader& h, const SeqParamSet& s,
                                            TrackedPicture* p) const {
  uint64_t top = 0, bottom = 0;
  if (s.pic_order_cnt_type == 0) {
    const int64_t prevMsb = p->idr ? 0 : prevPocMsb, prevLsb = p->idr ? 0 : prevPocLsb;
    const int64_t maxLsb = int64_t{1} << (s.log2_max_pic_order_cnt_lsb_minus4 + 4);
    const int64_t lsb = h.pic_order_cnt_lsb;
    uint64_t msb = Wrap(prevMsb);
    if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2) {
      msb += Wrap(maxLsb);
    } else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2) {
      msb -= Wrap(maxLsb);
    }
    p->pocMsb = Signed(msb);
    p->pocLsb = h.pic_order_cnt_lsb;
    top = bottom = msb + Wrap(lsb);
    if (p->structure == kFrame) bottom = top + Wrap(h.delta_pic_order_cnt_bottom);
  } else {
    const uint64_t maxFrameNum = uint64_t{1} << (s.log2_max_frame_num_minus4 + 4);
    uint64_t offset = Wrap(prevFrameNumOffset);
    if (p->idr) {
      offset = 0;
    } else if (prevFrameNum > h.frame_num) {
      offset += maxFrameNum;
    }
    p->frameNumOffset = Signed(offset);
    const uint64_t frameNum = Wrap(h.frame_num);
    if (s.pic_order_cnt_type == 1) {
      const uint64_t cycle = Wrap(s.num_ref_frames_in_pic_order_cnt_cycle);
      uint64_t absFrameNum = cycle != 0 ? offset + frameNum : 0;
      if (!p->reference && absFrameNum > 0) --absFrameNum;
      uint64_t expected = 0;
      if (absFrameNum > 0) {
        uint64_t perCycle = 0;
        for (uint64_t i = 0; i < cycle; ++i) perCycle += Wrap(s.offset_for_ref_frame[i]);
        const uint64_t inCycle = (absFrameNum - 1) % cycle;
        expected = (absFrameNum - 1) / cycle * perCycle;
        for (uint64_t i = 0; i <= inCycle; ++i) expected += Wrap(s.offset_for_ref_frame[i]);
      }
      if (!p->reference) expected += Wrap(s.offset_for_non_ref_pic);
      const uint64_t toBottom = Wrap(s.offset_for_top_to_bottom_field);
      top = expected + Wrap(h.delta_pic_order_cnt[0]);
      bottom =
          p->structure == kFrame ? top + toBottom + Wrap(h.delta_pic_order_cnt[1]) : top + toBottom;
      if (p->structure == kTopField) bottom = top;
      if (p->structure == kBottomField) top = bottom;
    } else {
      top = p->idr ? 0 : 2 * (offset + frameNum) - (p->reference ? 0 : 1);
      bottom = top;
    }
  }
  if (p->mmco5) {
    // The picture's own counts restart from 0: its smallest one is taken off.
    const uint64_t smallest = Wrap(std::min(Signed(top), Signed(bottom)));
    top -= smallest;
    bottom -= smallest;
  }
  p->top = Signed(top);
  p->bottom = Signed(bottom);
}

void PictureOrderTracker::State::StartPicture(const AnySliceHeader& h, const SeqParamSet& s,
                                              AccessUnitFacts* out) {
  FinishPicture();
  TrackedPicture p;
  p.open = true;
  p.structure = !h.field_pic_flag ? kFrame : h.bottom_field_flag ? kBottomField : kTopField;
  p.frameNum = h.frame_num;
  p.reference = h.nal_ref_idc != 0;
  p.idr = h.nal_unit_type == 5;
  p.mmco5 = h.hasMmco5 != 0;
  p.unit = units;
  ComputePoc(h, s, &p);
  // The second field of a frame: it follows a first field of the other parity and the same
  // frame_num, and is no IDR picture.
  const TrackedPicture& first = current;
  p.secondField = first.open && !first.secondField && first.structure != kFrame &&
                  p.structure != kFrame && first.structure != p.structure &&
                  first.frameNum == p.frameNum && !p.idr;
  if (p.secondField) {
    const int64_t framePoc = std::min(first.Poc(), p.Poc());
    if (first.unit == units && first.firstFrameOfUnit) {
      out->poc = framePoc;
    } else if (first.unit != units && out->frames == 0 && !out->secondField) {
      out->secondField = true;
      out->poc = framePoc;
      out->sequenceId = s.seq_parameter_set_id;
    }
  } else {
    p.firstFrameOfUnit = ++out->frames == 1;
    if (p.firstFrameOfUnit) {
      out->poc = p.Poc();
      out->sequenceId = s.seq_parameter_set_id;
    }
  }
  if (p.idr) out->idr = out->newSequence = true;
  if (p.idr || p.mmco5) out->pocReset = true;
  activeSps = s.seq_parameter_set_id;
  current = p;
}

void PictureOrderTracker::State::TakeSlice(std::span<const uint8_t> nal, int type, int32_t refIdc,
                                           bool firstOfUnit, AccessUnitFacts* out) {
  AnySliceHeader h;
  h.nal_unit_type = type;
  h.nal_ref_idc = refIdc;
  if (!Attach(&reader, nal, kMaxSliceHeaderBytes) ||
      ParseAnySliceHeader(&h, sps, pps, &reader) < 0) {
    ++out->unreadSlices;
    return;
  }
  const SeqParamSet* s = AnySliceSps(h, sps, pps);
  const PicParamSet* p = AnySlicePps(h, pps);
  NoteTools(&tools, s, SliceTools(h) | PpsTools(*p) | SpsTools(*s));
  out->sliceTypes |= 1u << (h.slice_type % 5);
  if (h.nal_ref_idc != 0) out->reference = true;
  const bool newPicture = !haveLast || IsNewAnyPicture(last, h, sps, pps) != 0 ||
                          (firstOfUnit && h.first_mb_in_slice == 0);
  last = h;
  haveLast = true;
  if (newPicture) StartPicture(h, *s, out);
}

PictureOrderTracker::PictureOrderTracker() : state_(MakeOrDie<State>()) {}
PictureOrderTracker::~PictureOrderTracker() = default;

AccessUnitFacts PictureOrderTracker::Add(std::span<const uint8_t> unit) {
  AccessUnitFacts out;
  State& s = *state_;
  bool firstSlice = true;
  for (std::span<const uint8_t> rest = unit; !rest.empty();) {
    const std::span<const uint8_t> nal = NextNalUnit(rest);
    rest = rest.subspan(nal.size());
    int32_t refIdc = 0;
    const int type = NalType(nal, &refIdc);
    if (type == 7) {
      s.TakeSps(nal);
    } else if (type == 8) {
      s.TakePps(nal);
    } else if (type == 1 || type == 2 || type == 5) {
      const int32_t unreadBefore = out.unreadSlices;
      s.TakeSlice(nal, type, refIdc, firstSlice, &out);
      if (out.unreadSlices == unreadBefore) firstSlice = false;
    }
  }
  ++s.units;
  return out;
}

const SequenceFacts* PictureOrderTracker::Sequence(int32_t id) const {
  return id >= 0 && id < kMaxSps ? state_->sequences[id].get() : nullptr;
}

const SequenceFacts* PictureOrderTracker::ActiveSequence() const {
  return Sequence(state_->activeSps);
}

const PictureSetFacts* PictureOrderTracker::PictureSet(int32_t id) const {
  return id >= 0 && id < kMaxPps ? state_->pictureSets[id].get() : nullptr;
}

std::string PictureOrderTracker::UnsupportedReason() const {
  return DescribeTools(state_->tools);
}

std::vector<int32_t> PresentationRanks(std::span<const AccessUnitFacts> units) {
  struct Key {
    int64_t group, poc;
    size_t index;
  };
  std::vector<Key> keys;
  std::vector<int32_t> ranks(units.size(), -1);
  int64_t group = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    const AccessUnitFacts& u = units[i];
    if (u.frames > 0) {
      if (u.pocReset) ++group;
      keys.push_back(Key{group, u.poc, i});
    } else if (u.secondField && !keys.empty() && keys.back().index + 1 == i) {
      keys.back().poc = std::min(keys.back().poc, u.poc);
    }
  }
  std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    if (a.group != b.group) return a.group < b.group;
    if (a.poc != b.poc) return a.poc < b.poc;
    return a.index < b.index;
  });
  for (size_t j = 0; j < keys.size(); ++j) ranks[keys[j].index] = static_cast<int32_t>(j);
  return ranks;
}

}  // namespace vexlor::h264
