// `vexlor decode STREAM [-o OUT.yuv] [--md5] [--headers]`: decodes an Annex B stream one NAL
// unit at a time, taking at most one picture after each as the channel scan does, and writes
// every picture as raw I420 at the full decoded size. A stream that yields no picture is an
// error, reported with what the decoder lacks for it when that is the cause.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "commands.h"
#include "h264/annexb.h"
#include "h264/api.h"
#include "h264/header_report.h"
#include "h264/md5.h"
#include "platform/file.h"

namespace vexlor::cli {

namespace {

// Hands out the NAL units of an Annex B stream one at a time, reading the stream in bounded
// pieces: a stream of any length, or one that never ends, is decoded in bounded memory. A unit
// longer than kMaxUnit is cut there and the rest of it skipped up to the next start code.
class NalUnitReader {
 public:
  static constexpr size_t kReadSize = size_t{1} << 20;
  static constexpr size_t kMaxUnit = size_t{16} << 20;

  explicit NalUnitReader(std::FILE* f) : file_(f) {}

  // The next unit (its start code included), valid until the next call. False at the end of the
  // stream; failed() then tells a read error from the end.
  bool Next(std::span<const uint8_t>* unit) {
    for (;;) {
      if (skipping_ && !SkipToStartCode()) return false;
      const size_t held = end_ - begin_;
      if (held == 0 && eof_) return false;
      const size_t len =
          held == 0 ? 0 : size_t(h264::FindNalUnitLength(buffer_.data() + begin_, int32_t(held)));
      if (held > 0 && (len < held || eof_ || held >= kMaxUnit)) {
        const size_t take = std::min(len, kMaxUnit);
        *unit = std::span<const uint8_t>(buffer_.data() + begin_, take);
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
      const uint8_t* held_end = buffer_.data() + end_;
      const uint8_t* at = h264::FindStartCode(buffer_.data() + begin_, held_end);
      if (at != held_end) {
        begin_ = size_t(at - buffer_.data());
        skipping_ = false;
        return true;
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
  std::unique_ptr<h264::HeaderInspector> inspector;
  if (opt.headers) inspector = std::make_unique<h264::HeaderInspector>();

  int index = 0;
  bool writeFailed = false;
  auto deliver = [&](const h264::PictureView& p) {
    if (opt.md5) {
      std::printf("%d %dx%d %s\n", index, p.width, p.height, h264::PictureMd5(p).c_str());
    }
    if (out != nullptr) {
      for (int y = 0; y < p.height; ++y) {
        writeFailed |= std::fwrite(p.luma + y * p.lumaStride, 1, p.width, out) != size_t(p.width);
      }
      for (const uint8_t* plane : {p.cb, p.cr}) {
        for (int y = 0; y < p.height / 2; ++y) {
          writeFailed |=
              std::fwrite(plane + y * p.chromaStride, 1, p.width / 2, out) != size_t(p.width / 2);
        }
      }
    }
    ++index;
  };

  // The loop of h264::DecodeStream, over units read a piece at a time.
  h264::H264Decoder* dec = nullptr;
  (void)h264::OpenDecoder(h264::DecoderSettings{}, &dec);
  h264::PictureView picture;
  std::span<const uint8_t> unit;
  while (reader.Next(&unit)) {
    if (inspector) std::fputs(inspector->Describe(unit).c_str(), stdout);
    (void)h264::SendNalUnit(dec, unit);  // a refused unit changes nothing here
    if (h264::GetPicture(dec, &picture) == h264::DecodeStatus::kOk) deliver(picture);
  }
  const bool readFailed = reader.failed();
  std::fclose(in);
  // Draining can deliver at most the pictures the buffer and its output queue hold; a decoder
  // that keeps delivering past that is broken, and must not hang the tool.
  constexpr int kMaxPicturesAfterDrain = 4 * 17 + 1;
  (void)h264::Drain(dec);
  int taken = 0;
  for (;
       taken < kMaxPicturesAfterDrain && h264::GetPicture(dec, &picture) == h264::DecodeStatus::kOk;
       ++taken) {
    deliver(picture);
  }
  const std::string unsupported = h264::UnsupportedReason(dec);
  h264::CloseDecoder(dec);
  if (out != nullptr && std::fclose(out) != 0) writeFailed = true;
  if (taken == kMaxPicturesAfterDrain) {
    std::fprintf(stderr, "error: the decoder kept delivering pictures after the end of data\n");
    return 1;
  }
  if (readFailed) {
    std::fprintf(stderr, "error: cannot read %s\n", opt.stream.c_str());
    return 1;
  }
  if (writeFailed) {
    std::fprintf(stderr, "error: cannot write %s\n", opt.output.c_str());
    return 1;
  }
  if (index == 0) {
    const std::string why =
        unsupported.empty() ? std::string() : std::string(" (unsupported: ") + unsupported + ")";
    std::fprintf(stderr, "error: no picture decoded from %s%s\n", opt.stream.c_str(), why.c_str());
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
