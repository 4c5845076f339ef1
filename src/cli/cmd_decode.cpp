// `vexlor decode STREAM [-o OUT.yuv] [--md5] [--headers]`: decodes an Annex B stream one NAL
// unit at a time and writes every picture as raw I420 at the full decoded size.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "h264/api.h"
#include "h264/inspect.h"
#include "h264/md5.h"
#include "platform/file.h"

namespace vexlor::cli {

namespace {

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out) {
  std::FILE* f = platform::OpenFile(path, "rb");
  if (f == nullptr) return false;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

struct DecodeOptions {
  std::string stream;
  std::string output;
  bool md5 = false;
  bool headers = false;
};

int RunDecode(const DecodeOptions& opt) {
  std::vector<uint8_t> data;
  if (!ReadWholeFile(opt.stream, &data)) {
    std::fprintf(stderr, "error: cannot read %s\n", opt.stream.c_str());
    return 1;
  }
  std::FILE* out = nullptr;
  if (!opt.output.empty()) {
    out = platform::OpenFile(opt.output, "wb");
    if (out == nullptr) {
      std::fprintf(stderr, "error: cannot create %s\n", opt.output.c_str());
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
  auto describe = [&](std::span<const uint8_t> unit) {
    if (inspector) std::fputs(inspector->Describe(unit).c_str(), stdout);
  };
  const h264::StreamSummary summary = h264::DecodeStream(data, deliver, describe);
  if (out != nullptr && std::fclose(out) != 0) writeFailed = true;
  if (summary.endless) {
    std::fprintf(stderr, "error: the decoder kept delivering pictures after the end of data\n");
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
