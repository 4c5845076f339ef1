// `vexlor decode STREAM [-o OUT.yuv] [--md5] [--headers]`: feeds an Annex B stream through the
// decoder entry one NAL unit per call, as the channel scan does, and writes every picture as
// raw I420 at the full decoded size.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/md5.h"
#include "h264/decoder.h"
#include "h264/internal.h"
#include "platform/file.h"

namespace vexlor::cli {

namespace {

using namespace vexlor::h264;

// Hands out the NAL units of an Annex B stream one at a time, reading the stream in bounded
// pieces: a stream of any length, or one that never ends, is decoded in bounded memory. A unit
// longer than kMaxUnit is cut there and the rest of it skipped up to the next start code.
class NalUnitReader {
 public:
  static constexpr size_t kReadSize = size_t{1} << 20;
  static constexpr size_t kMaxUnit = size_t{16} << 20;

  explicit NalUnitReader(std::FILE* f) : file_(f) {}

  // The next unit (its start code included) at *unit, n bytes, valid until the next call.
  // False at the end of the stream; failed() then tells a read error from the end.
  bool Next(uint8_t** unit, int32_t* n) {
    for (;;) {
      if (skipping_ && !SkipToStartCode()) return false;
      const size_t held = end_ - begin_;
      if (held == 0 && eof_) return false;
      const size_t len =
          held == 0 ? 0 : size_t(FindNalUnitLength(buffer_.data() + begin_, int32_t(held)));
      if (held > 0 && (len < held || eof_ || held >= kMaxUnit)) {
        const size_t take = std::min(len, kMaxUnit);
        *unit = buffer_.data() + begin_;
        *n = int32_t(take);
        begin_ += take;
        skipping_ = take == kMaxUnit && !(len < held && len == take);
        return true;
      }
      if (!Fill()) return false;
    }
  }
  bool failed() const { return failed_; }

 private:
  // Reads more bytes after those held; false when nothing more can be read.
  bool Fill() {
    if (eof_) return false;
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (buffer_.size() < end_ + kReadSize) buffer_.resize(end_ + kReadSize);
    const size_t got = std::fread(buffer_.data() + end_, 1, kReadSize, file_);
    end_ += got;
    if (got < kReadSize) {
      eof_ = true;
      failed_ = std::ferror(file_) != 0;
    }
    return true;
  }
  // Drops bytes up to the next 00 00 01; false when the stream ends first.
  bool SkipToStartCode() {
    for (;;) {
      for (size_t i = begin_; i + 3 <= end_; ++i) {
        if (buffer_[i] == 0 && buffer_[i + 1] == 0 && buffer_[i + 2] == 1) {
          begin_ = i;
          skipping_ = false;
          return true;
        }
      }
      if (end_ - begin_ > 2) begin_ = end_ - 2;  // a start code may begin in the last two
      if (eof_) {
        begin_ = end_;
        return false;
      }
      Fill();
    }
  }

  std::FILE* file_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0, end_ = 0;  // the bytes held and not yet handed out
  bool eof_ = false, failed_ = false, skipping_ = false;
};

#define VX_FIELD(rec, name) std::printf("  " #name " = %lld\n", static_cast<long long>((rec).name))

// Prints the parameter sets and slice headers of the stream, parsed with tables of its own.
class HeaderPrinter {
 public:
  void Nal(const uint8_t* data, int32_t n) {
    InitReader(&reader_, data, n);
    uint8_t header = 0;
    if (ReadByte(&reader_, &header) != 0) return;
    const int type = header & 31, refIdc = (header >> 5) & 3;
    if (type == 7) {
      // seq_parameter_set_id follows 24 bits of profile, flags and level.
      BitReader peek = reader_;
      SkipBits(&peek, 24);
      const uint32_t id = ReadUe(&peek);
      const int r = ParseSps(&reader_, sps_);
      std::printf("SPS %u (result %d)\n", id, r);
      if (r == 0 && id < kMaxSps && sps_[id]) PrintSps(*sps_[id]);
    } else if (type == 8) {
      // The id is the first element; peek it to print the stored set afterwards.
      BitReader peek = reader_;
      const uint32_t id = ReadUe(&peek);
      const int r = ParsePps(&reader_, pps_);
      std::printf("PPS %u (result %d)\n", id, r);
      if (r == 0 && id < kMaxPps && pps_[id]) PrintPps(*pps_[id]);
    } else if (type == 1 || type == 5) {
      SliceHeader h{};
      h.nal_unit_type = type;
      h.nal_ref_idc = refIdc;
      h.idrFlag = type == 5;
      const int r = ParseSliceHeader(&h, sps_, pps_, &reader_);
      std::printf("slice (result %d)\n", r);
      PrintSlice(h);
    } else {
      std::printf("NAL unit type %d, %d bytes\n", type, n);
    }
  }

 private:
  static void PrintSps(const SeqParamSet& s) {
    VX_FIELD(s, profile_idc);
    VX_FIELD(s, constraint_set0_flag);
    VX_FIELD(s, constraint_set1_flag);
    VX_FIELD(s, constraint_set2_flag);
    VX_FIELD(s, level_idc);
    VX_FIELD(s, seq_parameter_set_id);
    VX_FIELD(s, log2_max_frame_num_minus4);
    VX_FIELD(s, pic_order_cnt_type);
    VX_FIELD(s, log2_max_pic_order_cnt_lsb_minus4);
    VX_FIELD(s, delta_pic_order_always_zero_flag);
    VX_FIELD(s, offset_for_non_ref_pic);
    VX_FIELD(s, num_ref_frames_in_pic_order_cnt_cycle);
    VX_FIELD(s, num_ref_frames);
    VX_FIELD(s, gaps_in_frame_num_value_allowed_flag);
    VX_FIELD(s, pic_width_in_mbs_minus1);
    VX_FIELD(s, pic_height_in_map_units_minus1);
    VX_FIELD(s, frame_mbs_only_flag);
    VX_FIELD(s, direct_8x8_inference_flag);
    VX_FIELD(s, frame_cropping_flag);
    VX_FIELD(s, frame_crop_left_offset);
    VX_FIELD(s, frame_crop_right_offset);
    VX_FIELD(s, frame_crop_top_offset);
    VX_FIELD(s, frame_crop_bottom_offset);
    VX_FIELD(s, vui_parameters_present_flag);
    if (s.vui_parameters_present_flag) {
      VX_FIELD(s.vui, timing_info_present_flag);
      VX_FIELD(s.vui, num_units_in_tick);
      VX_FIELD(s.vui, time_scale);
      VX_FIELD(s.vui, bitstream_restriction_flag);
      VX_FIELD(s.vui, num_reorder_frames);
      VX_FIELD(s.vui, max_dec_frame_buffering);
    }
  }
  static void PrintPps(const PicParamSet& p) {
    VX_FIELD(p, seq_parameter_set_id);
    VX_FIELD(p, entropy_coding_mode_flag);
    VX_FIELD(p, pic_order_present_flag);
    VX_FIELD(p, num_slice_groups_minus1);
    VX_FIELD(p, slice_group_map_type);
    VX_FIELD(p, slice_group_change_direction_flag);
    VX_FIELD(p, slice_group_change_rate_minus1);
    VX_FIELD(p, num_ref_idx_l0_active_minus1);
    VX_FIELD(p, weighted_pred_flag);
    VX_FIELD(p, weighted_bipred_idc);
    VX_FIELD(p, pic_init_qp_minus26);
    VX_FIELD(p, pic_init_qs_minus26);
    VX_FIELD(p, chroma_qp_index_offset);
    VX_FIELD(p, deblocking_filter_control_present_flag);
    VX_FIELD(p, constrained_intra_pred_flag);
    VX_FIELD(p, redundant_pic_cnt_present_flag);
  }
  static void PrintSlice(const SliceHeader& h) {
    VX_FIELD(h, nal_unit_type);
    VX_FIELD(h, nal_ref_idc);
    VX_FIELD(h, first_mb_in_slice);
    VX_FIELD(h, slice_type);
    VX_FIELD(h, pic_parameter_set_id);
    VX_FIELD(h, frame_num);
    VX_FIELD(h, idr_pic_id);
    VX_FIELD(h, pic_order_cnt_lsb);
    VX_FIELD(h, delta_pic_order_cnt_bottom);
    VX_FIELD(h, delta_pic_order_cnt[0]);
    VX_FIELD(h, delta_pic_order_cnt[1]);
    VX_FIELD(h, redundant_pic_cnt);
    VX_FIELD(h, num_ref_idx_active_override_flag);
    VX_FIELD(h, num_ref_idx_l0_active_minus1);
    VX_FIELD(h, ref_pic_list_reordering_flag_l0);
    if (h.ref_pic_list_reordering_flag_l0) {
      for (const ReorderCommand& c : h.reorderCommands) {
        std::printf(
            "  reordering_of_pic_nums_idc = %d abs_diff_pic_num_minus1 = %d "
            "long_term_pic_num = %d\n",
            c.reordering_of_pic_nums_idc, c.abs_diff_pic_num_minus1, c.long_term_pic_num);
        if (c.reordering_of_pic_nums_idc == 3) break;
      }
    }
    VX_FIELD(h, no_output_of_prior_pics_flag);
    VX_FIELD(h, long_term_reference_flag);
    VX_FIELD(h, adaptive_ref_pic_marking_mode_flag);
    if (h.adaptive_ref_pic_marking_mode_flag) {
      for (const MarkingCommand& c : h.markingCommands) {
        std::printf(
            "  memory_management_control_operation = %d difference_of_pic_nums_minus1 = "
            "%d long_term_pic_num = %d long_term_frame_idx = %d "
            "max_long_term_frame_idx_plus1 = %d\n",
            c.memory_management_control_operation, c.difference_of_pic_nums_minus1,
            c.long_term_pic_num, c.long_term_frame_idx, c.max_long_term_frame_idx_plus1);
        if (c.memory_management_control_operation == 0) break;
      }
    }
    VX_FIELD(h, slice_qp_delta);
    VX_FIELD(h, disable_deblocking_filter_idc);
    VX_FIELD(h, slice_alpha_c0_offset_div2);
    VX_FIELD(h, slice_beta_offset_div2);
    VX_FIELD(h, slice_group_change_cycle);
  }

  BitReader reader_;
  std::unique_ptr<SeqParamSet> sps_[kMaxSps];
  std::unique_ptr<PicParamSet> pps_[kMaxPps];
};

struct DecodeOptions {
  std::string stream;
  std::string output;
  bool md5 = false;
  bool headers = false;
};

int RunDecode(const DecodeOptions& opt) {
  // A stream, not a directory or a device: a regular file or a pipe.
  const platform::PathKind kind = platform::KindOf(opt.stream);
  if (kind == platform::PathKind::kDirectory) {
    std::fprintf(stderr, "error: %s is a directory\n", opt.stream.c_str());
    return 1;
  }
  if (kind == platform::PathKind::kOther) {
    std::fprintf(stderr, "error: %s is not a regular file\n", opt.stream.c_str());
    return 1;
  }
  std::FILE* in = platform::OpenFile(opt.stream, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "error: cannot read %s\n", opt.stream.c_str());
    return 1;
  }
  NalUnitReader reader(in);
  std::FILE* out = nullptr;
  if (!opt.output.empty()) {
    out = platform::OpenFile(opt.output, "wb");
    if (out == nullptr) {
      std::fprintf(stderr, "error: cannot create %s\n", opt.output.c_str());
      std::fclose(in);
      return 1;
    }
  }
  std::unique_ptr<HeaderPrinter> printer;
  if (opt.headers) printer = std::make_unique<HeaderPrinter>();

  H264Decoder* dec = nullptr;
  CreateDecoder(&dec);
  int index = 0;
  bool writeFailed = false;
  auto deliver = [&](const DecodeRequest& req) {
    const size_t lumaSize = static_cast<size_t>(req.width) * req.height;
    const size_t chromaSize = lumaSize / 4;
    if (opt.md5) {
      Md5 m;
      m.Update(req.luma, lumaSize);
      m.Update(req.cb, chromaSize);
      m.Update(req.cr, chromaSize);
      std::printf("%d %dx%d %s\n", index, req.width, req.height, m.HexDigest().c_str());
    }
    if (out != nullptr) {
      if (std::fwrite(req.luma, 1, lumaSize, out) != lumaSize ||
          std::fwrite(req.cb, 1, chromaSize, out) != chromaSize ||
          std::fwrite(req.cr, 1, chromaSize, out) != chromaSize) {
        writeFailed = true;
      }
    }
    ++index;
  };

  uint8_t* unit = nullptr;
  int32_t unit_length = 0;
  while (reader.Next(&unit, &unit_length)) {
    // The decoder rewrites the unit's bytes: print its headers first.
    if (printer) printer->Nal(unit, unit_length);
    for (int32_t pos = 0; pos < unit_length;) {
      DecodeRequest req{};
      req.stream = unit + pos;
      req.length = unit_length - pos;
      const int32_t n = DecodeData(dec, &req);
      if (req.status > 0) deliver(req);
      if (n <= 0) break;
      pos += n;
    }
  }
  const bool readFailed = reader.failed();
  std::fclose(in);
  // Draining can deliver at most the pictures the buffer and its output queue hold; a decoder
  // that keeps delivering past that is broken, and must not hang the tool.
  constexpr int kMaxDrainCalls = 4 * 17 + 1;
  bool drained = false;
  for (int call = 0; call < kMaxDrainCalls && !drained; ++call) {
    DecodeRequest req{};
    DecodeData(dec, &req);
    if (req.status <= 0) {
      drained = true;
    } else {
      deliver(req);
    }
  }
  if (!drained) {
    DestroyDecoder(dec);
    if (out != nullptr) std::fclose(out);
    std::fprintf(stderr, "error: the decoder kept delivering pictures after the end of data\n");
    return 1;
  }
  DestroyDecoder(dec);
  if (out != nullptr && std::fclose(out) != 0) writeFailed = true;
  if (readFailed) {
    std::fprintf(stderr, "error: cannot read %s\n", opt.stream.c_str());
    return 1;
  }
  if (writeFailed) {
    std::fprintf(stderr, "error: cannot write %s\n", opt.output.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

void RegisterDecode(CLI::App& app, int* exitCode) {
  auto opt = std::make_shared<DecodeOptions>();
  CLI::App* sub = app.add_subcommand("decode", "Decode an H.264 Annex B stream to raw I420");
  sub->add_option("stream", opt->stream, "H.264 byte stream")->required();
  sub->add_option("-o,--output", opt->output, "raw I420 output file");
  sub->add_flag("--md5", opt->md5, "print one line per picture: index WxH md5");
  sub->add_flag("--headers", opt->headers, "print the parsed parameter sets and slice headers");
  sub->callback([opt, exitCode] { *exitCode = RunDecode(*opt); });
}

}  // namespace vexlor::cli
