// The slice header of every profile (H.264 clause 7.3.3 with the Main and High profile syntax:
// B slices, field pictures, both reference list modifications, the prediction weight table and
// every memory management operation), read for picture order and the coding tools a stream
// uses, over the parameter set tables of the AnyProfile readers. Nothing of it is decoded.
#pragma once

#include <cstdint>
#include <memory>

#include "bitstream/bitreader.h"
#include "syntax/param_sets.h"

namespace vexlor::h264 {

struct AnySliceHeader {
  int32_t nal_unit_type;  // set by the caller, with nal_ref_idc
  int32_t nal_ref_idc;
  int32_t first_mb_in_slice;
  int32_t slice_type;  // 0 to 9; slice_type % 5 is P, B, I, SP, SI
  int32_t pic_parameter_set_id;
  int32_t frame_num;
  int32_t field_pic_flag;
  int32_t bottom_field_flag;
  int32_t idr_pic_id;
  int32_t pic_order_cnt_lsb;
  int32_t delta_pic_order_cnt_bottom;
  int32_t delta_pic_order_cnt[2];
  int32_t redundant_pic_cnt;
  int32_t hasMmco5;  // memory_management_control_operation 5 among the marking commands
};

// Reads the header of a slice (nal_unit_type 1 or 5) or slice data partition A (2) from a reader
// positioned after the NAL unit header; h->nal_unit_type and h->nal_ref_idc must be set. 0, or a
// negative code: kErrNoParamSet when its PPS or that PPS's SPS is not in the tables.
int ParseAnySliceHeader(AnySliceHeader* h, const std::unique_ptr<SeqParamSet>* spsTable,
                        const std::unique_ptr<PicParamSet>* ppsTable, BitReader* r);

// The SPS and PPS of a header that ParseAnySliceHeader read (both exist then).
const PicParamSet* AnySlicePps(const AnySliceHeader& h,
                               const std::unique_ptr<PicParamSet>* ppsTable);
const SeqParamSet* AnySliceSps(const AnySliceHeader& h,
                               const std::unique_ptr<SeqParamSet>* spsTable,
                               const std::unique_ptr<PicParamSet>* ppsTable);

// 1 when the slice in next is the first slice of another primary picture than prev's (clause
// 7.4.1.2.4, with the field flags and the picture parameter set).
int IsNewAnyPicture(const AnySliceHeader& prev, const AnySliceHeader& next,
                    const std::unique_ptr<SeqParamSet>* spsTable,
                    const std::unique_ptr<PicParamSet>* ppsTable);

}  // namespace vexlor::h264
