// Reference picture list 0 of a P slice (H.264 clauses 8.2.4.2.1 and 8.2.4.3.1).
#pragma once

#include "picture/picture.h"
#include "syntax/slice_header.h"

namespace vexlor::h264 {

constexpr int kMaxRefListEntries = 17;  // 16 active entries and the null that reordering writes

// The initial list: 0, or kErrRange when the DPB holds too few reference frames. list has
// kMaxRefListEntries entries.
int InitRefPicList(const DecodedPictureBuffer* dpb, Picture** list, int numActive);
// Applies the slice's reordering commands: 0, or kErrRange when a reordering target is missing.
int ReorderRefPicList(const SliceHeader* h, const DecodedPictureBuffer* dpb, Picture** list,
                      int numActive);

}  // namespace vexlor::h264
