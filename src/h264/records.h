// The decoder's shared records: parameter sets, slice header, pictures, the decoded picture
// buffer, the per-picture macroblock side information, the per-slice macroblock work record and
// the decoder instance. Plain records; the functions that fill them live beside them in
// this folder (see internal.h for the operations that cross file boundaries).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "h264/bitreader.h"

namespace vexlor::h264 {

// Result codes of the decoder's functions.
enum DecodeResult : int32_t {
  kOk = 0,
  kErrRead = -1,         // bitstream read failure
  kErrRange = -2,        // value out of range
  kErrSyntax = -3,       // syntax or profile violation
  kErrUnsupported = -4,  // unsupported feature, or reference not found
  kErrNoParamSet = -5,   // missing parameter set
};

constexpr int kMaxSps = 32;
constexpr int kMaxPps = 256;
constexpr int kMaxDpbFrames = 16;
constexpr int kMaxRefListEntries = 17;  // 16 active entries and the null that reordering writes
constexpr int kMaxReorderCommands = 17;
constexpr int kMaxMarkingCommands = 35;
constexpr int kMaxSliceGroups = 8;
constexpr int kMaxMbDimension = 543;  // pictures of at most 543 x 543 macroblocks

struct HrdParams {
  int32_t cpb_cnt_minus1;
  int32_t bit_rate_scale;
  int32_t cpb_size_scale;
  uint32_t bit_rate_value_minus1[32];
  uint32_t cpb_size_value_minus1[32];
  int32_t cbr_flag[32];
  int32_t initial_cpb_removal_delay_length_minus1;
  int32_t cpb_removal_delay_length_minus1;
  int32_t dpb_output_delay_length_minus1;
  int32_t time_offset_length;
};

struct VuiParams {
  int32_t aspect_ratio_info_present_flag;
  int32_t aspect_ratio_idc;
  int32_t sar_width;
  int32_t sar_height;
  int32_t overscan_info_present_flag;
  int32_t overscan_appropriate_flag;
  int32_t video_signal_type_present_flag;
  int32_t video_format;
  int32_t video_full_range_flag;
  int32_t colour_description_present_flag;
  int32_t colour_primaries;
  int32_t transfer_characteristics;
  int32_t matrix_coefficients;
  int32_t chroma_loc_info_present_flag;
  int32_t chroma_sample_loc_type_top_field;
  int32_t chroma_sample_loc_type_bottom_field;
  int32_t timing_info_present_flag;
  uint32_t num_units_in_tick;
  uint32_t time_scale;
  int32_t fixed_frame_rate_flag;
  int32_t nal_hrd_parameters_present_flag;
  HrdParams nalHrd;
  int32_t vcl_hrd_parameters_present_flag;
  HrdParams vclHrd;
  int32_t low_delay_hrd_flag;
  int32_t pic_struct_present_flag;
  int32_t bitstream_restriction_flag;
  int32_t motion_vectors_over_pic_boundaries_flag;
  int32_t max_bytes_per_pic_denom;
  int32_t max_bits_per_mb_denom;
  int32_t log2_max_mv_length_horizontal;
  int32_t log2_max_mv_length_vertical;
  int32_t num_reorder_frames;
  int32_t max_dec_frame_buffering;
};

struct SeqParamSet {
  int32_t profile_idc;
  int32_t constraint_set0_flag;
  int32_t constraint_set1_flag;
  int32_t constraint_set2_flag;
  int32_t reserved_zero_5bits;
  int32_t level_idc;
  int32_t seq_parameter_set_id;
  int32_t log2_max_frame_num_minus4;
  int32_t pic_order_cnt_type;
  int32_t log2_max_pic_order_cnt_lsb_minus4;
  int32_t delta_pic_order_always_zero_flag;
  int32_t offset_for_non_ref_pic;
  int32_t offset_for_top_to_bottom_field;
  int32_t num_ref_frames_in_pic_order_cnt_cycle;
  int32_t offset_for_ref_frame[256];
  int32_t num_ref_frames;
  int32_t gaps_in_frame_num_value_allowed_flag;
  int32_t pic_width_in_mbs_minus1;
  int32_t pic_height_in_map_units_minus1;
  int32_t frame_mbs_only_flag;
  int32_t mb_adaptive_frame_field_flag;
  int32_t direct_8x8_inference_flag;
  int32_t frame_cropping_flag;
  int32_t frame_crop_left_offset;
  int32_t frame_crop_right_offset;
  int32_t frame_crop_top_offset;
  int32_t frame_crop_bottom_offset;
  int32_t vui_parameters_present_flag;
  VuiParams vui;
};

struct PicParamSet {
  int32_t seq_parameter_set_id;
  int32_t entropy_coding_mode_flag;
  int32_t pic_order_present_flag;
  int32_t num_slice_groups_minus1;
  int32_t slice_group_map_type;
  int32_t run_length_minus1[8];
  int32_t top_left[8];
  int32_t bottom_right[8];
  int32_t slice_group_change_direction_flag;
  int32_t slice_group_change_rate_minus1;
  int32_t sliceGroupIdCount;              // the last pic_size_in_map_units_minus1 read
  std::vector<uint8_t> sliceGroupIds;     // sliceGroupIdCount + 1 entries (map type 6)
  int32_t num_ref_idx_l0_active_minus1;   // num_ref_idx_l0_default_active_minus1
  int32_t num_ref_idx_l1_active_minus1;
  int32_t weighted_pred_flag;
  int32_t weighted_bipred_idc;
  int32_t pic_init_qp_minus26;
  int32_t pic_init_qs_minus26;
  int32_t chroma_qp_index_offset;
  int32_t deblocking_filter_control_present_flag;
  int32_t constrained_intra_pred_flag;
  int32_t redundant_pic_cnt_present_flag;
};

struct ReorderCommand {
  int32_t reordering_of_pic_nums_idc;
  int32_t abs_diff_pic_num_minus1;
  int32_t long_term_pic_num;
};

struct MarkingCommand {
  int32_t memory_management_control_operation;
  int32_t difference_of_pic_nums_minus1;
  int32_t long_term_pic_num;
  int32_t long_term_frame_idx;
  int32_t max_long_term_frame_idx_plus1;
};

struct SliceHeader {
  int32_t nal_unit_type;
  int32_t nal_ref_idc;
  int32_t maxFrameNum;
  int32_t idrFlag;
  int32_t sliceQp;
  int32_t hasMmco5;
  int32_t first_mb_in_slice;
  int32_t slice_type;
  int32_t pic_parameter_set_id;
  int32_t frame_num;
  int32_t idr_pic_id;
  int32_t pic_order_cnt_lsb;
  int32_t delta_pic_order_cnt_bottom;
  int32_t delta_pic_order_cnt[2];
  int32_t redundant_pic_cnt;
  int32_t num_ref_idx_active_override_flag;
  int32_t num_ref_idx_l0_active_minus1;
  int32_t ref_pic_list_reordering_flag_l0;
  ReorderCommand reorderCommands[kMaxReorderCommands];
  int32_t no_output_of_prior_pics_flag;
  int32_t long_term_reference_flag;
  int32_t adaptive_ref_pic_marking_mode_flag;
  MarkingCommand markingCommands[kMaxMarkingCommands];
  int32_t slice_qp_delta;
  int32_t disable_deblocking_filter_idc;
  int32_t slice_alpha_c0_offset_div2;
  int32_t slice_beta_offset_div2;
  int32_t slice_group_change_cycle;
};

// One decoded frame: the current picture and every frame store of the DPB.
// Planes are stored without borders: luma stride `width`, chroma stride `width` / 2.
struct Picture {
  uint8_t* luma = nullptr;
  uint8_t* cb = nullptr;
  uint8_t* cr = nullptr;
  int32_t width = 0;   // luma samples, multiple of 16
  int32_t height = 0;  // luma samples, multiple of 16
  int32_t frameNum = 0;
  int32_t picNum = 0;
  int32_t longTermFrameIdx = 0;
  int32_t longTermPicNum = 0;
  int32_t refState = 0;  // 0 unused for reference, 1 short-term, 2 long-term
  int32_t neededForOutput = 0;
  int32_t nonExisting = 0;
  int32_t poc = 0;
  int32_t isIdr = 0;
  int32_t idrPicId = 0;
  int32_t hadMmco5 = 0;
  int32_t chromaQpOffset = 0;
  int32_t cropLeft = 0;
  int32_t cropRight = 0;
  int32_t cropTop = 0;
  int32_t cropBottom = 0;
  float frameRate = 0.0f;
  // Identity of the decoded picture: a serial number given at picture setup and carried into
  // the frame store with the samples. Two reference list entries name the same picture exactly
  // when their uids are equal (the deblocking filter compares pictures, not indices).
  uint32_t uid = 0;
  std::vector<uint8_t> planes;  // owns luma, cb and cr
};

struct DecodedPictureBuffer {
  int32_t capacity = 0;
  Picture* stores[kMaxDpbFrames] = {};  // used stores first (newest at 0), then free ones
  int32_t used = 0;
  int32_t numRefFrames = 0;
  int32_t numShortTerm = 0;
  int32_t numLongTerm = 0;
  int32_t maxLongTermFrameIdx = -1;
  std::unique_ptr<Picture> storage[kMaxDpbFrames];  // owns the stores
};

// Per-picture macroblock side information (allocated with the picture storage).
// Per-macroblock arrays are indexed by mbAddr; per-4x4-block arrays by
// (4 * mbY + y) * (width / 4) + 4 * mbX + x.
struct PictureMbInfo {
  int32_t widthMbs = 0;
  int32_t heightMbs = 0;
  std::vector<int32_t> sliceMap;       // slice group (bits 0..3), then the sliceTag
  std::vector<uint8_t> mbInterFlag;    // 0 intra, partitionMode + 1 for P macroblocks
  std::vector<uint8_t> mbQp;
  std::vector<int8_t> refIdx4x4;       // -1 intra
  std::vector<uint32_t> refUid4x4;     // uid of the referenced picture, 0 for intra blocks
  std::vector<int32_t> mbCodedMask;    // bit 4y+x: luma 4x4 block has coefficients
  std::vector<uint8_t> topIntraModes;  // one per 4x4 column of the picture
  std::vector<int16_t> mv4x4;          // pairs (x, y) in quarter samples
  std::vector<uint8_t> topNnzLuma;     // one per 4x4 luma column
  std::vector<uint8_t> topNnzCb;       // one per 4x4 chroma column
  std::vector<uint8_t> topNnzCr;
  std::vector<uint8_t> mbDeblockIdc;
  std::vector<int8_t> mbAlphaOffset;   // FilterOffsetA
  std::vector<int8_t> mbBetaOffset;    // FilterOffsetB
};

// Work record of one slice pass, reused for every macroblock of the slice.
struct MacroblockState {
  int32_t isInter;
  int32_t skipRunLeft;
  int32_t intraKind;  // 0 Intra 4x4, 1 Intra 16x16, 2 I_PCM
  int32_t intra16x16PredMode;
  int32_t intraChromaPredMode;
  int32_t partitionMode;  // 0 P_Skip, 1 16x16, 2 16x8, 3 8x16, 4 P_8x8, 5 P_8x8ref0
  int32_t subMbType[4];
  int32_t refIdx[4];
  int32_t qp;
  int32_t qpChroma;
  int32_t mbX, mbY;
  int32_t blkX, blkY;
  int32_t pixX, pixY;
  int32_t lumaCodedMask;
  int32_t chromaAcMask;
  int32_t chromaDcMask;
  alignas(16) uint8_t pred[384];  // luma 16x16 (stride 16), then 8 rows: Cb cols 0..7, Cr 8..15
  int32_t lumaDc[16];
  int32_t chromaDc[2][4];
  alignas(16) int32_t lumaCoeff[16][16];
  alignas(16) int32_t chromaAc[8][16];
  int32_t neighbourFlags;
  uint8_t leftNnzLuma[4];
  uint8_t leftNnzCb[2];
  uint8_t leftNnzCr[2];
  uint8_t leftIntraModes[4];
  // Luma blocks of lumaCodedMask whose only level is at position 0 (their transform is a
  // constant); set by the residual parser for blocks parsed whole.
  int32_t lumaDcOnlyMask;
};

// Neighbour availability bits of MacroblockState::neighbourFlags.
enum NeighbourFlag : int32_t {
  kAvailLeft = 1,
  kAvailAbove = 2,
  kAvailAboveRight = 4,
  kAvailAboveLeft = 8,
  // Bits 4..7: the same four, usable for intra prediction.
};

// What EmitPicture hands to the decode operation.
struct OutputPicture {
  const uint8_t* luma;
  const uint8_t* cb;
  const uint8_t* cr;
  int32_t kind;
  int32_t poc;
  int32_t idrPicId;
  int32_t isIdr;
  int32_t width;
  int32_t height;
  int32_t cropLeft;
  int32_t cropRight;
  int32_t cropTop;
  int32_t cropBottom;
  float frameRate;
  int32_t reserved;
};

struct H264Decoder {
  DecodedPictureBuffer dpb;
  Picture* outputQueue[kMaxDpbFrames + 1] = {};  // capacity + 1 entries
  int32_t outputQueueNext = 0;
  int32_t outputQueueCount = 0;
  BitReader reader;
  int32_t sliceCount[kMaxSliceGroups] = {};
  std::unique_ptr<SeqParamSet> spsTable[kMaxSps];
  std::unique_ptr<PicParamSet> ppsTable[kMaxPps];
  SliceHeader slices[2] = {};
  SliceHeader* curSlice = &slices[0];
  SliceHeader* nextSlice = &slices[1];
  int32_t firstPicture = 1;
  int32_t newPicture = 0;
  int32_t storePending = 0;
  int32_t sliceDeferred = 0;
  int32_t flushMode = 0;
  int32_t gapFrameNum = -1;
  int32_t gapConceal = 0;
  int32_t prevFrameNum = 0;
  int32_t prevRefFrameNum = 0;
  int32_t pocMsb = 0;
  int32_t prevPocMsb = 0;
  int32_t prevPocLsb = 0;
  int32_t frameNumOffset = 0;
  int32_t prevFrameNumOffset = 0;
  int32_t prevHadMmco5 = 0;
  std::unique_ptr<PictureMbInfo> mbInfo;
  std::unique_ptr<Picture> current;
  uint32_t nextUid = 1;
  // Front end state beyond the records above.
  int32_t idrSeen = 0;            // an IDR slice has been accepted; earlier slices are skipped
  int32_t pictureInProgress = 0;  // the current picture has been set up and not yet finished
  // Queued pictures are moved or copied here before decoding goes on (see ProtectQueuedOutput).
  std::unique_ptr<Picture> outputCopies[kMaxDpbFrames + 1];

  H264Decoder() = default;
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;
};

}  // namespace vexlor::h264
