// Helpers for the conversion tests: a scratch directory, a recording builder that writes the
// packet format byte by byte, and an AVI reader that walks the RIFF structure on its own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"

#ifdef _WIN32
#include <winioctl.h>
#endif

namespace vexlor::testing {

using Bytes = std::vector<uint8_t>;

// A path from UTF-8 text (the tests' strings are UTF-8 on every platform).
inline std::filesystem::path Fs(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A new, empty directory below the system's temporary directory, removed with its contents.
// Its path uses forward slashes on every platform.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::filesystem::path candidate = base / ("vexlor-" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) {
        const std::u8string name = candidate.generic_u8string();
        path_.assign(name.begin(), name.end());
      }
    }
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(Fs(path_), ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline Bytes ReadAll(const std::string& path) {
  std::ifstream in(Fs(path), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) {
  return std::filesystem::exists(Fs(path));
}

// Creates (or replaces) `path` as a file of `size` zero bytes without writing them: sparse where
// the file system allows it. False on failure.
inline bool MakeSparseFile(const std::string& path, int64_t size) {
#ifdef _WIN32
  const HANDLE h = CreateFileW(Fs(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = size;
  const bool ok = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  return ok;
#else
  {
    std::ofstream create(Fs(path), std::ios::binary | std::ios::trunc);
    if (!create) return false;
  }
  std::error_code ec;
  std::filesystem::resize_file(Fs(path), uint64_t(size), ec);
  return !ec;
#endif
}

// The names in a folder (UTF-8), sorted.
inline std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(Fs(dir))) {
    const std::u8string name = e.path().filename().u8string();
    names.emplace_back(name.begin(), name.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline void PutLe(uint8_t* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t GetLe32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}

// Builds a recording: each frame is cut into 1390-byte fragments, one per 1418-byte packet.
class RecordingBuilder {
 public:
  // A frame with the 32-byte header (start code, stream id, time fields) and `payload`.
  static Bytes MakeFrame(int kind_nibble, int channel, uint32_t seconds, uint32_t ticks,
                         const Bytes& payload) {
    Bytes f(32 + payload.size(), 0);
    std::copy(payload.begin(), payload.end(), f.begin() + 32);
    f[2] = 1;
    f[3] = static_cast<uint8_t>((kind_nibble << 4) | (channel & 15));
    PutLe(&f[4], ticks, 4);
    PutLe(&f[28], seconds, 4);
    return f;
  }
  // Video elementary data: the four-byte start code, a NAL header and filler.
  static Bytes VideoPayload(uint8_t nal_header, size_t size, uint8_t seed) {
    Bytes p = {0, 0, 0, 1, nal_header};
    for (size_t i = p.size(); i < size; ++i)
      p.push_back(static_cast<uint8_t>(seed + i * 7 + 1) | 1);
    return p;
  }

  void AddFrame(const Bytes& frame, bool passthrough = false) {
    const uint32_t total = static_cast<uint32_t>(frame.size());
    size_t done = 0;
    do {
      const size_t n = std::min<size_t>(1390, frame.size() - done);
      uint8_t packet[1418] = {};
      packet[0] = 'T';
      packet[1] = 'T';
      PutLe(&packet[6], total >> 16, 2);
      PutLe(&packet[8], total & 0xFFFF, 2);
      PutLe(&packet[12], static_cast<uint32_t>(n), 2);
      packet[21] = passthrough ? 200 : 0;
      std::memcpy(&packet[22], frame.data() + done, n);
      packet[1412] = 'D';
      packet[1413] = 'D';
      bytes_.insert(bytes_.end(), packet, packet + 1418);
      done += n;
    } while (done < frame.size());
  }
  void AddGarbage(size_t n) { bytes_.insert(bytes_.end(), n, 0x5A); }

  bool Write(const std::string& path) const {
    std::ofstream out(Fs(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes_.data()), std::streamsize(bytes_.size()));
    out.close();
    return bool(out);
  }
  size_t size() const { return bytes_.size(); }

 private:
  Bytes bytes_;
};

// What a test needs to know of an AVI file, read without the writer's code.
struct AviChunk {
  std::string id;
  Bytes data;
  uint32_t offset;  // of its header, from the "movi" code
};
struct AviIndexEntry {
  std::string id;
  uint32_t flags, offset, size;
};
struct AviFile {
  bool ok = false;
  std::string error;
  uint32_t micro_sec_per_frame = 0, total_frames = 0, width = 0, height = 0;
  uint32_t video_scale = 0, video_rate = 0, video_length = 0;
  std::string video_handler, compression;
  int32_t bi_width = 0, bi_height = 0;
  std::vector<AviChunk> chunks;
  std::vector<AviIndexEntry> index;
};

inline AviFile ParseAvi(const std::string& path) {
  AviFile a;
  const Bytes b = ReadAll(path);
  auto fail = [&a](const std::string& why) {
    a.error = why;
    return a;
  };
  auto fourcc = [&b](size_t at) { return std::string(b.begin() + at, b.begin() + at + 4); };
  if (b.size() < 12 || fourcc(0) != "RIFF" || fourcc(8) != "AVI ") return fail("no RIFF AVI");
  if (GetLe32(&b[4]) != b.size() - 8) return fail("RIFF size");
  size_t pos = 12;
  size_t movi_start = 0, movi_end = 0;
  while (pos + 8 <= b.size()) {
    const std::string id = fourcc(pos);
    const uint32_t size = GetLe32(&b[pos + 4]);
    if (pos + 8 + size > b.size()) return fail("chunk " + id + " runs past the end");
    if (id == "LIST" && fourcc(pos + 8) == "hdrl") {
      const uint8_t* h = &b[pos + 12];
      if (std::string(h, h + 4) != "avih") return fail("avih");
      a.micro_sec_per_frame = GetLe32(h + 8);
      a.total_frames = GetLe32(h + 8 + 16);
      a.width = GetLe32(h + 8 + 32);
      a.height = GetLe32(h + 8 + 36);
      // First stream list: video strh then strf.
      const uint8_t* strl = h + 8 + 56;
      if (std::string(strl, strl + 4) != "LIST" || std::string(strl + 8, strl + 12) != "strl")
        return fail("strl");
      const uint8_t* strh = strl + 12;
      if (std::string(strh + 8, strh + 12) != "vids") return fail("vids");
      a.video_handler = std::string(strh + 12, strh + 16);
      a.video_scale = GetLe32(strh + 8 + 20);
      a.video_rate = GetLe32(strh + 8 + 24);
      a.video_length = GetLe32(strh + 8 + 32);
      const uint8_t* strf = strh + 8 + 56;
      a.bi_width = static_cast<int32_t>(GetLe32(strf + 8 + 4));
      a.bi_height = static_cast<int32_t>(GetLe32(strf + 8 + 8));
      a.compression = std::string(strf + 8 + 16, strf + 8 + 20);
    } else if (id == "LIST" && fourcc(pos + 8) == "movi") {
      movi_start = pos + 8;
      movi_end = pos + 8 + size;
      size_t c = pos + 12;
      while (c + 8 <= movi_end) {
        const std::string cid = fourcc(c);
        if (cid != "00dc" && cid != "01wb") break;  // the zero bytes before the index
        const uint32_t csize = GetLe32(&b[c + 4]);
        if (c + 8 + csize > movi_end) return fail("movi chunk past the list");
        a.chunks.push_back({cid, Bytes(b.begin() + c + 8, b.begin() + c + 8 + csize),
                            static_cast<uint32_t>(c - movi_start)});
        c += 8 + csize + (csize & 1);
      }
    } else if (id == "idx1") {
      for (size_t e = pos + 8; e + 16 <= pos + 8 + size; e += 16)
        a.index.push_back({fourcc(e), GetLe32(&b[e + 4]), GetLe32(&b[e + 8]), GetLe32(&b[e + 12])});
    }
    pos += 8 + size + (size & 1);
  }
  if (movi_start == 0) return fail("no movi list");
  if (a.index.size() != a.chunks.size()) return fail("index and chunks differ in number");
  for (size_t i = 0; i < a.index.size(); ++i) {
    if (a.index[i].id != a.chunks[i].id || a.index[i].offset != a.chunks[i].offset ||
        a.index[i].size != a.chunks[i].data.size())
      return fail("index entry " + std::to_string(i) + " does not match its chunk");
  }
  a.ok = true;
  return a;
}

// Runs a program (no shell in between) and returns its exit status; *output receives what it
// printed on standard output and standard error.
inline int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr) {
  ProcessResult r = RunProcess(argv);
  if (output) *output = std::move(r.output);
  return r.exit_code;
}

// A committed x264 test stream: tests/data/x264/NAME.
inline std::string X264Data(const std::string& name) {
  return std::string(VEXLOR_SOURCE_DIR) + "/tests/data/x264/" + name;
}

// The lines of a program's output, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The vexlor program under test.
inline std::string CliPath() {
  const char* env = std::getenv("VEXLOR_CLI");
  return env ? env : std::string(VEXLOR_BINARY_DIR) + "/src/cli/vexlor";
}

// Encodes `frames` pictures of the lavfi source `source` (for example "color=c=blue") of
// width x height with x264 (Baseline) into `out`, through a raw file beside it. True on
// success; needs ffmpeg and x264.
inline bool EncodeX264(const std::string& out, const std::string& source, int width, int height,
                       int frames, const std::vector<std::string>& x264_options = {}) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const char* joint = source.find('=') == std::string::npos ? "=" : ":";
  const std::string raw = out + ".yuv";
  bool ok = RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                        source + joint + "size=" + size + ":rate=25", "-frames:v",
                        std::to_string(frames), "-pix_fmt", "yuv420p", "-f", "rawvideo", raw}) == 0;
  if (ok) {
    std::vector<std::string> x264 = {"x264",     "--quiet",  "--profile",
                                     "baseline", "--preset", "ultrafast"};
    x264.insert(x264.end(), x264_options.begin(), x264_options.end());
    x264.insert(x264.end(), {"--input-res", size, "-o", out, raw});
    ok = RunProgram(x264) == 0;
  }
  std::error_code ec;
  std::filesystem::remove(Fs(raw), ec);
  return ok;
}

}  // namespace vexlor::testing
