#include "h264/writer/syntax.h"

#include <algorithm>
#include <cassert>

namespace vexlor::h264w {
namespace {

void WriteHrd(BitWriter* w, const Hrd& h) {
  w->PutUe(h.cpb_cnt_minus1);
  w->PutBits(h.bit_rate_scale, 4);
  w->PutBits(h.cpb_size_scale, 4);
  for (int i = 0; i <= h.cpb_cnt_minus1; ++i) {
    const size_t k = std::min<size_t>(i, h.bit_rate_value_minus1.size() - 1);
    w->PutUe(h.bit_rate_value_minus1[k]);
    w->PutUe(h.cpb_size_value_minus1[std::min<size_t>(i, h.cpb_size_value_minus1.size() - 1)]);
    w->PutBit(h.cbr_flag[std::min<size_t>(i, h.cbr_flag.size() - 1)]);
  }
  w->PutBits(h.initial_cpb_removal_delay_length_minus1, 5);
  w->PutBits(h.cpb_removal_delay_length_minus1, 5);
  w->PutBits(h.dpb_output_delay_length_minus1, 5);
  w->PutBits(h.time_offset_length, 5);
}

void WriteVui(BitWriter* w, const Vui& v) {
  w->PutBit(v.aspect_ratio_info_present_flag);
  if (v.aspect_ratio_info_present_flag) {
    w->PutBits(v.aspect_ratio_idc, 8);
    if (v.aspect_ratio_idc == 255) {
      w->PutBits(v.sar_width, 16);
      w->PutBits(v.sar_height, 16);
    }
  }
  w->PutBit(v.overscan_info_present_flag);
  if (v.overscan_info_present_flag) w->PutBit(v.overscan_appropriate_flag);
  w->PutBit(v.video_signal_type_present_flag);
  if (v.video_signal_type_present_flag) {
    w->PutBits(v.video_format, 3);
    w->PutBit(v.video_full_range_flag);
    w->PutBit(v.colour_description_present_flag);
    if (v.colour_description_present_flag) {
      w->PutBits(v.colour_primaries, 8);
      w->PutBits(v.transfer_characteristics, 8);
      w->PutBits(v.matrix_coefficients, 8);
    }
  }
  w->PutBit(v.chroma_loc_info_present_flag);
  if (v.chroma_loc_info_present_flag) {
    w->PutUe(v.chroma_sample_loc_type_top_field);
    w->PutUe(v.chroma_sample_loc_type_bottom_field);
  }
  w->PutBit(v.timing_info_present_flag);
  if (v.timing_info_present_flag) {
    w->PutBits(v.num_units_in_tick, 32);
    w->PutBits(v.time_scale, 32);
    w->PutBit(v.fixed_frame_rate_flag);
  }
  w->PutBit(v.nal_hrd_parameters_present_flag);
  if (v.nal_hrd_parameters_present_flag) WriteHrd(w, v.nal_hrd);
  w->PutBit(v.vcl_hrd_parameters_present_flag);
  if (v.vcl_hrd_parameters_present_flag) WriteHrd(w, v.vcl_hrd);
  if (v.nal_hrd_parameters_present_flag || v.vcl_hrd_parameters_present_flag) {
    w->PutBit(v.low_delay_hrd_flag);
  }
  w->PutBit(v.pic_struct_present_flag);
  w->PutBit(v.bitstream_restriction_flag);
  if (v.bitstream_restriction_flag) {
    w->PutBit(v.motion_vectors_over_pic_boundaries_flag);
    w->PutUe(v.max_bytes_per_pic_denom);
    w->PutUe(v.max_bits_per_mb_denom);
    w->PutUe(v.log2_max_mv_length_horizontal);
    w->PutUe(v.log2_max_mv_length_vertical);
    w->PutUe(v.num_reorder_frames);
    w->PutUe(v.max_dec_frame_buffering);
  }
}

int CeilLog2(int n) {  // smallest v with 2^v >= n
  int v = 0;
  while ((1 << v) < n) ++v;
  return v;
}

}  // namespace

void Sps::SetReorder(int num_reorder_frames, int max_dec_frame_buffering) {
  vui_parameters_present_flag = 1;
  vui.bitstream_restriction_flag = 1;
  vui.num_reorder_frames = num_reorder_frames;
  vui.max_dec_frame_buffering = max_dec_frame_buffering;
}

std::vector<uint8_t> SpsRbsp(const Sps& s) {
  BitWriter w;
  w.PutBits(s.profile_idc, 8);
  w.PutBit(s.constraint_set0_flag);
  w.PutBit(s.constraint_set1_flag);
  w.PutBit(s.constraint_set2_flag);
  w.PutBits(s.reserved_zero_5bits, 5);
  w.PutBits(s.level_idc, 8);
  w.PutUe(s.seq_parameter_set_id);
  w.PutUe(s.log2_max_frame_num_minus4);
  w.PutUe(s.pic_order_cnt_type);
  if (s.pic_order_cnt_type == 0) {
    w.PutUe(s.log2_max_pic_order_cnt_lsb_minus4);
  } else if (s.pic_order_cnt_type == 1) {
    w.PutBit(s.delta_pic_order_always_zero_flag);
    w.PutSe(s.offset_for_non_ref_pic);
    w.PutSe(s.offset_for_top_to_bottom_field);
    w.PutUe(static_cast<uint32_t>(s.offset_for_ref_frame.size()));
    for (int o : s.offset_for_ref_frame) w.PutSe(o);
  }
  w.PutUe(s.num_ref_frames);
  w.PutBit(s.gaps_in_frame_num_value_allowed_flag);
  w.PutUe(s.pic_width_in_mbs_minus1);
  w.PutUe(s.pic_height_in_map_units_minus1);
  w.PutBit(s.frame_mbs_only_flag);
  if (!s.frame_mbs_only_flag) w.PutBit(s.mb_adaptive_frame_field_flag);
  w.PutBit(s.direct_8x8_inference_flag);
  w.PutBit(s.frame_cropping_flag);
  if (s.frame_cropping_flag) {
    w.PutUe(s.frame_crop_left_offset);
    w.PutUe(s.frame_crop_right_offset);
    w.PutUe(s.frame_crop_top_offset);
    w.PutUe(s.frame_crop_bottom_offset);
  }
  w.PutBit(s.vui_parameters_present_flag);
  if (s.vui_parameters_present_flag) WriteVui(&w, s.vui);
  w.PutTrailingBits();
  return w.Bytes();
}

std::vector<uint8_t> PpsRbsp(const Pps& p) {
  BitWriter w;
  w.PutUe(p.pic_parameter_set_id);
  w.PutUe(p.seq_parameter_set_id);
  w.PutBit(p.entropy_coding_mode_flag);
  w.PutBit(p.pic_order_present_flag);
  w.PutUe(p.num_slice_groups_minus1);
  if (p.num_slice_groups_minus1 > 0) {
    w.PutUe(p.slice_group_map_type);
    switch (p.slice_group_map_type) {
      case 0:
        for (int i = 0; i <= p.num_slice_groups_minus1; ++i) w.PutUe(p.run_length_minus1[i]);
        break;
      case 2:
        for (int i = 0; i < p.num_slice_groups_minus1; ++i) {
          w.PutUe(p.top_left[i]);
          w.PutUe(p.bottom_right[i]);
        }
        break;
      case 3:
      case 4:
      case 5:
        w.PutBit(p.slice_group_change_direction_flag);
        w.PutUe(p.slice_group_change_rate_minus1);
        break;
      case 6: {
        assert(!p.slice_group_id.empty());
        w.PutUe(static_cast<uint32_t>(p.slice_group_id.size() - 1));
        const int bits = CeilLog2(p.num_slice_groups_minus1 + 1);
        for (int id : p.slice_group_id) w.PutBits(id, bits);
        break;
      }
      default:
        break;
    }
  }
  w.PutUe(p.num_ref_idx_l0_active_minus1);
  w.PutUe(p.num_ref_idx_l1_active_minus1);
  w.PutBit(p.weighted_pred_flag);
  w.PutBits(p.weighted_bipred_idc, 2);
  w.PutSe(p.pic_init_qp_minus26);
  w.PutSe(p.pic_init_qs_minus26);
  w.PutSe(p.chroma_qp_index_offset);
  w.PutBit(p.deblocking_filter_control_present_flag);
  w.PutBit(p.constrained_intra_pred_flag);
  w.PutBit(p.redundant_pic_cnt_present_flag);
  w.PutTrailingBits();
  return w.Bytes();
}

int SliceGroupChangeCycleBits(int picSizeInMapUnits, int sliceGroupChangeRate) {
  // Ceil(Log2(size / rate + 1)) with exact division: the smallest v with rate * 2^v >= size + rate.
  int v = 0;
  while (static_cast<int64_t>(sliceGroupChangeRate) << v <
         static_cast<int64_t>(picSizeInMapUnits) + sliceGroupChangeRate) {
    ++v;
  }
  return v;
}

void WriteSliceHeader(BitWriter* w, const Sps& sps, const Pps& pps, const SliceHeader& h) {
  const int type = h.slice_type % 5;
  w->PutUe(h.first_mb_in_slice);
  w->PutUe(h.slice_type);
  w->PutUe(h.pic_parameter_set_id);
  w->PutBits(h.frame_num, sps.log2_max_frame_num_minus4 + 4);
  if (h.IsIdr()) w->PutUe(h.idr_pic_id);
  if (sps.pic_order_cnt_type == 0) {
    w->PutBits(h.pic_order_cnt_lsb, sps.log2_max_pic_order_cnt_lsb_minus4 + 4);
    if (pps.pic_order_present_flag) w->PutSe(h.delta_pic_order_cnt_bottom);
  } else if (sps.pic_order_cnt_type == 1 && !sps.delta_pic_order_always_zero_flag) {
    w->PutSe(h.delta_pic_order_cnt[0]);
    if (pps.pic_order_present_flag) w->PutSe(h.delta_pic_order_cnt[1]);
  }
  if (pps.redundant_pic_cnt_present_flag) w->PutUe(h.redundant_pic_cnt);
  // B slices are written with the P layout, so that a decoder which took them for P slices
  // would decode them into a picture instead of failing on their own elements.
  if (type == kSliceP || type == kSliceSP || type == kSliceB) {
    w->PutBit(h.num_ref_idx_active_override_flag);
    if (h.num_ref_idx_active_override_flag) w->PutUe(h.num_ref_idx_l0_active_minus1);
  }
  if (type != kSliceI && type != kSliceSI) {
    w->PutBit(h.reorder.empty() ? 0 : 1);
    if (!h.reorder.empty()) {
      for (const Reorder& r : h.reorder) {
        w->PutUe(r.idc);
        if (r.idc == 0 || r.idc == 1) w->PutUe(r.abs_diff_pic_num_minus1);
        if (r.idc == 2) w->PutUe(r.long_term_pic_num);
      }
      if (h.reorder.back().idc != 3) w->PutUe(3);
    }
  }
  if (h.nal_ref_idc != 0) {
    if (h.IsIdr()) {
      w->PutBit(h.no_output_of_prior_pics_flag);
      w->PutBit(h.long_term_reference_flag);
    } else {
      w->PutBit(h.mmco.empty() ? 0 : 1);
      if (!h.mmco.empty()) {
        for (const Mmco& m : h.mmco) {
          w->PutUe(m.op);
          if (m.op == 1 || m.op == 3) w->PutUe(m.difference_of_pic_nums_minus1);
          if (m.op == 2) w->PutUe(m.long_term_pic_num);
          if (m.op == 3 || m.op == 6) w->PutUe(m.long_term_frame_idx);
          if (m.op == 4) w->PutUe(m.max_long_term_frame_idx_plus1);
        }
        if (h.mmco.back().op != 0) w->PutUe(0);
      }
    }
  }
  w->PutSe(h.slice_qp_delta);
  if (pps.deblocking_filter_control_present_flag) {
    w->PutUe(h.disable_deblocking_filter_idc);
    if (h.disable_deblocking_filter_idc != 1) {
      w->PutSe(h.slice_alpha_c0_offset_div2);
      w->PutSe(h.slice_beta_offset_div2);
    }
  }
  if (pps.num_slice_groups_minus1 > 0 && pps.slice_group_map_type >= 3 &&
      pps.slice_group_map_type <= 5) {
    w->PutBits(h.slice_group_change_cycle,
               SliceGroupChangeCycleBits(sps.SizeMbs(), pps.slice_group_change_rate_minus1 + 1));
  }
}

std::vector<int> SliceGroupMap(const Sps& sps, const Pps& pps, int slice_group_change_cycle) {
  const int w = sps.WidthMbs();
  const int h = sps.HeightMbs();
  const int size = w * h;
  const int groups = pps.num_slice_groups_minus1 + 1;
  std::vector<int> map(size, 0);
  if (groups == 1) return map;
  const int rate = pps.slice_group_change_rate_minus1 + 1;
  const int unitsInGroup0 =
      static_cast<int>(std::min<int64_t>(int64_t{slice_group_change_cycle} * rate, size));
  const int dir = pps.slice_group_change_direction_flag;
  switch (pps.slice_group_map_type) {
    case 0: {
      int i = 0;
      do {
        for (int g = 0; g < groups && i < size; i += pps.run_length_minus1[g++] + 1) {
          for (int j = 0; j <= pps.run_length_minus1[g] && i + j < size; ++j) map[i + j] = g;
        }
      } while (i < size);
      break;
    }
    case 1:
      for (int i = 0; i < size; ++i) map[i] = ((i % w) + (((i / w) * groups) / 2)) % groups;
      break;
    case 2:
      std::fill(map.begin(), map.end(), groups - 1);
      for (int g = groups - 2; g >= 0; --g) {
        const int y0 = pps.top_left[g] / w, x0 = pps.top_left[g] % w;
        const int y1 = pps.bottom_right[g] / w, x1 = pps.bottom_right[g] % w;
        for (int y = y0; y <= y1; ++y) {
          for (int x = x0; x <= x1; ++x) map[y * w + x] = g;
        }
      }
      break;
    case 3: {
      std::fill(map.begin(), map.end(), 1);
      int x = (w - dir) / 2, y = (h - dir) / 2;
      int left = x, top = y, right = x, bottom = y;
      int xDir = dir - 1, yDir = dir;
      for (int k = 0; k < unitsInGroup0;) {
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
          bottom = std::min(bottom + 1, h - 1);
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
        for (int y = 0; y < h; ++y) map[y * w + x] = k++ < upperLeft ? dir : 1 - dir;
      }
      break;
    }
    case 6:
      for (int i = 0; i < size; ++i) {
        map[i] = i < static_cast<int>(pps.slice_group_id.size()) ? pps.slice_group_id[i] : 0;
      }
      break;
    default:
      break;
  }
  return map;
}

}  // namespace vexlor::h264w
