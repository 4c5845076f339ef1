// Facts about an H.264 stream of any profile, read from its headers alone (no macroblock is
// decoded): what its parameter sets say (profile, level, sizes, cropping, reordering, and
// whether this program's decoder decodes it), and the picture order count of every picture,
// which gives the order the pictures are presented in.
//
//   SequenceFacts f;
//   if (ReadSequenceFacts(spsNalUnit, &f) && !f.decodable) Say(f.reason);  // "High profile: ..."
//
//   PictureOrderTracker tracker;
//   std::vector<AccessUnitFacts> units;
//   for (each recording frame of the channel, in order) units.push_back(tracker.Add(frameBytes));
//   std::vector<int32_t> rank = PresentationRanks(units);   // rank[i]: unit i's place on screen
//   const SequenceFacts* size = tracker.ActiveSequence();   // the size of its pictures
//
// Every input byte may be hostile: the readers bound their work and memory by the input and
// never fail harder than by reporting less.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vexlor::h264 {

// What a sequence parameter set says.
struct SequenceFacts {
  int32_t id = 0;  // seq_parameter_set_id
  int32_t profileIdc = 0;
  int32_t constraintFlags = 0;  // constraint_set0_flag in bit 0 .. constraint_set5_flag in bit 5
  std::string profile;          // "Constrained Baseline", "Main", "High", "High 10", ...; empty
                                // for a profile_idc without a name
  int32_t levelIdc = 0;
  std::string level;            // "3.1", "1b", ...
  int32_t chromaFormatIdc = 1;  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
  int32_t bitDepthLuma = 8;
  int32_t bitDepthChroma = 8;
  bool frameMbsOnly = true;  // false: interlaced coding (field pictures, MBAFF frames)
  bool mbaff = false;        // mb_adaptive_frame_field_flag
  int32_t pocType = 0;       // pic_order_cnt_type
  // A frame's size in luma samples (multiples of 16; an interlaced stream's frame has both
  // fields), the frame cropping in luma samples, and so the displayed size.
  int32_t codedWidth = 0, codedHeight = 0;
  int32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
  int32_t width = 0, height = 0;
  // VUI bitstream restriction (max_num_reorder_frames, max_dec_frame_buffering), -1 when absent.
  int32_t maxNumReorderFrames = -1;
  int32_t maxDecFrameBuffering = -1;
  // VUI timing (num_units_in_tick, time_scale), 0 when absent.
  uint32_t numUnitsInTick = 0, timeScale = 0;
  // Whether this program's decoder takes the set; when not, why ("Main profile", "High 10
  // profile: 10-bit samples", "High profile: interlaced (MBAFF) frames"). The picture parameter
  // sets and slices of a stream can ask for more (PictureOrderTracker::UnsupportedReason).
  bool decodable = false;
  std::string reason;
};

// Reads a sequence parameter set NAL unit (start code prefix included or not). False when it is
// not one or cannot be read to its end; *out is then untouched.
bool ReadSequenceFacts(std::span<const uint8_t> nalUnit, SequenceFacts* out);

// What a picture parameter set says of the coding tools.
struct PictureSetFacts {
  int32_t id = 0;          // pic_parameter_set_id
  int32_t sequenceId = 0;  // seq_parameter_set_id
  bool cabac = false;      // entropy_coding_mode_flag
  bool transform8x8 = false;
  bool scalingMatrices = false;   // pic_scaling_matrix_present_flag
  bool weightedPred = false;      // weighted_pred_flag
  int32_t weightedBipredIdc = 0;  // weighted_bipred_idc
};

// Reads a picture parameter set NAL unit. Its scaling lists depend on its sequence's chroma
// format: give the facts of that sequence when known (4:2:0 otherwise). False when it is not one
// or cannot be read.
bool ReadPictureSetFacts(std::span<const uint8_t> nalUnit, PictureSetFacts* out,
                         const SequenceFacts* sequence = nullptr);

// Slice types as bits of AccessUnitFacts::sliceTypes.
enum SliceTypeBit : uint32_t {
  kSliceTypeP = 1,
  kSliceTypeB = 2,
  kSliceTypeI = 4,
  kSliceTypeSP = 8,
  kSliceTypeSI = 16,
};

// What one unit fed to a PictureOrderTracker holds.
struct AccessUnitFacts {
  // Frames that begin in the unit: a frame picture, or a field (the first of a pair, or one
  // without a pair). A unit holding both fields of a frame counts one.
  int32_t frames = 0;
  // The unit holds only the second field of a frame whose first field came in the unit before.
  bool secondField = false;
  // The picture order count of the unit's first frame: the smaller of its fields' (for a
  // secondField unit, of the frame it completes). Meaningful with frames > 0 or secondField.
  int64_t poc = 0;
  bool idr = false;        // an IDR picture is among its pictures
  bool reference = false;  // a picture with nal_ref_idc other than 0 is among them
  // An IDR picture or one with memory_management_control_operation 5 begins in it: every earlier
  // picture is presented before its pictures and the picture order counts start afresh.
  bool pocReset = false;
  bool newSequence = false;  // an IDR picture begins in it: a new coded video sequence starts
  uint32_t sliceTypes = 0;   // SliceTypeBit of every slice read
  int32_t sequenceId = -1;   // the SPS of its first picture; -1 without a picture
  int32_t unreadSlices = 0;  // slices whose header could not be read (damaged, or no parameter
                             // sets yet): their pictures are not counted
};

// Follows one stream's pictures in decoding order through their slice headers (every profile's
// syntax) and computes the picture order count of each (types 0, 1 and 2, field pairs, IDR
// pictures and memory_management_control_operation 5).
class PictureOrderTracker {
 public:
  PictureOrderTracker();
  ~PictureOrderTracker();
  PictureOrderTracker(const PictureOrderTracker&) = delete;
  PictureOrderTracker& operator=(const PictureOrderTracker&) = delete;

  // Takes the next unit of the stream, normally one access unit (a recording frame): Annex B
  // bytes holding any number of NAL units. Parameter sets are taken in; a slice starts a new
  // picture by the usual rules, and the first slice of a unit with first_mb_in_slice 0 always
  // does. Bytes before the first start code are read as a NAL unit.
  AccessUnitFacts Add(std::span<const uint8_t> unit);

  // The latest readable sequence parameter set with that id, or null.
  const SequenceFacts* Sequence(int32_t id) const;
  // The sequence parameter set of the latest picture, or null before the first.
  const SequenceFacts* ActiveSequence() const;
  // The latest readable picture parameter set with that id, or null.
  const PictureSetFacts* PictureSet(int32_t id) const;
  // What the pictures so far use that this program's decoder lacks (as the decoder's
  // UnsupportedReason words it); empty when they use nothing of the kind.
  std::string UnsupportedReason() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The place of every unit in presentation order, from the facts of a stream's units in decoding
// order: the units that begin a frame are ordered by picture order count within each stretch
// between pocReset units (ties in decoding order), and ranked 0, 1, 2, ...; every other unit
// (no frame of its own: a second field, parameter sets only, unreadable slices) gets -1.
std::vector<int32_t> PresentationRanks(std::span<const AccessUnitFacts> units);

}  // namespace vexlor::h264
