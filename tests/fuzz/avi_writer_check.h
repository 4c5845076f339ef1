// Arbitrary bytes as a program of AVI writer operations and settings: every file the writer
// finishes must pass the independent RIFF walk and hold exactly the chunks it accepted, and
// every operation must return the code its state calls for. Shared by the AVI writer fuzz target
// and the replay test.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "avi/avi_writer.h"
#include "avi/riff_walk.h"

namespace vexlor::testing {

namespace avi_check {

// Reads the program; past its end every read yields 0 and `done` turns true.
class Program {
 public:
  Program(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t U32() {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= uint32_t(Byte()) << (8 * k);
    return v;
  }
  int32_t S16() { return int16_t(uint16_t(Byte() | Byte() << 8)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Chunks the writer accepted into one file, as runs of identical chunks.
struct Run {
  bool audio = false;
  std::vector<uint8_t> data;
  uint32_t repeat = 1;
};

struct ExpectedFile {
  std::filesystem::path path;
  std::vector<Run> runs;
  uint32_t chunks = 0;
  int32_t width = 0, height = 0;
  bool large = false;  // the large-file form
  bool timing_set = false;
  uint32_t timing[4] = {};  // dwMicroSecPerFrame, video dwScale, dwRate, dwLength
};

inline std::string Verify(const ExpectedFile& e) {
  const std::string name = e.path.filename().string();
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(e.path.string(), &bytes)) return name + ": missing";
  WalkedAvi avi;
  if (std::string fault = WalkAvi(bytes, &avi); !fault.empty()) return name + ": " + fault;
  if (avi.chunks.size() != e.chunks) {
    return name + ": " + std::to_string(avi.chunks.size()) + " chunks, " +
           std::to_string(e.chunks) + " written";
  }
  size_t k = 0;
  uint32_t video = 0;
  for (const Run& run : e.runs) {
    for (uint32_t r = 0; r < run.repeat; ++r, ++k) {
      const WalkedChunk& c = avi.chunks[k];
      if (c.id != (run.audio ? "01wb" : "00dc") || c.size != run.data.size() ||
          (c.size > 0 && std::memcmp(bytes.data() + c.data_offset, run.data.data(), c.size) != 0)) {
        return name + ": chunk " + std::to_string(k) + " is not the frame written";
      }
      // The flags of idx1, or of the standard index in the large-file form (which idx1 covers
      // only in part).
      const uint32_t flags = e.large ? (c.key == 1 ? avi::kKeyFrameFlag : 0) : avi.index[k].flags;
      if (run.audio ? flags != avi::kKeyFrameFlag : (flags != 0 && flags != avi::kKeyFrameFlag)) {
        return name + ": index flags " + std::to_string(flags) + " of chunk " + std::to_string(k);
      }
      video += run.audio ? 0 : 1;
    }
  }
  if (avi.large != e.large) return name + ": not of the form chosen";
  if ((e.large ? avi.dmlh_frames : avi.U32(avi.avih + 16)) != video) {
    return name + ": the total frame count is not the video chunks";
  }
  if (avi.U32(avi.avih + 32) != uint32_t(e.width) || avi.U32(avi.avih + 36) != uint32_t(e.height)) {
    return name + ": picture size in the main header";
  }
  if (e.timing_set) {
    const uint32_t at[4] = {avi::kMicroSecPos, avi::kVideoScalePos, avi::kVideoRatePos,
                            avi::kVideoLengthPos};
    for (int i = 0; i < 4; ++i) {
      if (avi.U32(at[i]) != e.timing[i]) return name + ": timing value " + std::to_string(i);
    }
  }
  return "";
}

}  // namespace avi_check

// Runs the program in `folder` (which must be empty) and returns "" when all held, else the first
// fault. Operations, one byte each followed by their operands:
//   0 picture size, 1 frame rate, 2 audio sample rate, 3 Open a new file, 4 Open in a missing
//   folder, 5 WriteFrame of a well-formed frame, 6 WriteFrame of raw bytes, 7 up to 1024 small
//   frames, 8 overwrite the timing values, 9 Close, 10 an unknown operation number, 11 the
//   form and RIFF limit of the next Open.
// (The index capacity of 108,000 chunks is left to the writer's unit test: a program that
// passes it takes a hundred times longer than the others.) A large-file form file may fill
// its super indexes (a RIFF limit below one chunk, one RIFF each): from that write on, writes
// and Close fail and no file is left.
// At the end the file still open is finished by Close or, if the last byte is odd, by the
// writer's destructor. The folder is emptied afterwards.
inline std::string AviWriterProgramProblem(const uint8_t* data, size_t size,
                                           const std::filesystem::path& folder) {
  using namespace avi_check;
  namespace fs = std::filesystem;
  Program prog(data, size);
  std::vector<ExpectedFile> finished;
  std::string problem;
  bool have_file = false;  // the writer holds a file (its Open succeeded)
  bool filled = false;     // its super indexes are full
  ExpectedFile current;
  int opened = 0;
  auto fail = [&](const std::string& what) {
    if (problem.empty()) problem = what;
  };
  auto expect = [&](const char* op, int32_t got, int32_t want) {
    if (got != want) {
      fail(std::string(op) + " returned " + std::to_string(got) + ", expected " +
           std::to_string(want));
    }
  };
  auto finish_current = [&] {
    if (have_file && !filled) finished.push_back(current);
    have_file = false;
    filled = false;
    current = ExpectedFile{};
  };
  {
    avi::AviWriter writer;
    // Stores one frame and checks the code; `frame` is whole (32-byte header included).
    auto write = [&](const std::vector<uint8_t>& frame) {
      const int32_t got = writer.WriteFrame(frame.data(), uint32_t(frame.size()));
      const bool known = frame.size() >= 32 && frame[0] == 0 && frame[1] == 0 && frame[2] == 1 &&
                         ((frame[3] >> 4) == 0xC || (frame[3] >> 4) == 0xE);
      if (!known) return expect("WriteFrame", got, avi::kAviRefused);
      if (!have_file || filled) return expect("WriteFrame", got, avi::kAviWriteFailed);
      if (current.large && got == avi::kAviWriteFailed &&
          current.chunks >= avi::kSuperIndexEntries) {
        filled = true;
        return;
      }
      ++current.chunks;
      expect("WriteFrame", got,
             !current.large && current.chunks > avi::kIndexCapacity ? avi::kAviIndexFull
                                                                    : avi::kAviOk);
      const bool audio = (frame[3] >> 4) == 0xC;
      std::vector<uint8_t> payload(frame.begin() + 32, frame.end());
      if (!current.runs.empty() && current.runs.back().audio == audio &&
          current.runs.back().data == payload) {
        ++current.runs.back().repeat;
      } else {
        current.runs.push_back(Run{audio, std::move(payload), 1});
      }
    };

    while (!prog.done() && problem.empty()) {
      switch (prog.Byte() % 12) {
        case 0:
          writer.settings.width = prog.S16();
          writer.settings.height = prog.S16();
          break;
        case 1: {
          static const double kRates[] = {24.0,
                                          25.0,
                                          0.0,
                                          -1.0,
                                          1e-9,
                                          1e12,
                                          std::numeric_limits<double>::quiet_NaN(),
                                          std::numeric_limits<double>::infinity(),
                                          0.5,
                                          4.3e9};
          const uint8_t pick = prog.Byte();
          if (pick < 200) {
            writer.settings.frame_rate = kRates[pick % 10];
          } else {
            uint64_t bits = uint64_t(prog.U32()) | uint64_t(prog.U32()) << 32;
            double rate;
            std::memcpy(&rate, &bits, sizeof rate);
            writer.settings.frame_rate = rate;
          }
          break;
        }
        case 2:
          writer.settings.audio_sample_rate = int32_t(prog.U32());
          break;
        case 3: {
          finish_current();
          const fs::path path = folder / ("out_" + std::to_string(opened++) + ".avi");
          expect("Open", writer.Open(path.string().c_str()), avi::kAviOk);
          have_file = true;
          current.path = path;
          current.width = writer.settings.width;
          current.height = writer.settings.height;
          current.large = writer.settings.open_dml;
          break;
        }
        case 4: {
          finish_current();
          const fs::path path = folder / "missing" / "out.avi";
          expect("Open", writer.Open(path.string().c_str()), avi::kAviCannotCreate);
          break;
        }
        case 5: {
          const uint8_t kind = prog.Byte();
          const uint32_t length = 32 + (uint32_t(prog.Byte()) << 3 | prog.Byte() % 8);
          std::vector<uint8_t> frame(length, 0);
          frame[2] = 1;
          frame[3] = kind;
          for (uint32_t i = 32; i < length && !prog.done(); ++i) frame[i] = prog.Byte();
          write(frame);
          break;
        }
        case 6: {
          std::vector<uint8_t> frame(prog.Byte());
          for (uint8_t& b : frame) b = prog.Byte();
          write(frame);
          break;
        }
        case 7: {
          const uint32_t count = 1 + (uint32_t(prog.Byte()) << 2 | prog.Byte() % 4);
          std::vector<uint8_t> frame(36, 0);
          frame[2] = 1;
          frame[3] = 0xE0;
          frame[35] = 1;
          for (uint32_t i = 0; i < count && problem.empty(); ++i) write(frame);
          break;
        }
        case 8:
          writer.mainHeader.dwMicroSecPerFrame = current.timing[0] = prog.U32();
          writer.videoHeader.dwScale = current.timing[1] = prog.U32();
          writer.videoHeader.dwRate = current.timing[2] = prog.U32();
          writer.videoHeader.dwLength = current.timing[3] = prog.U32();
          current.timing_set = true;
          break;
        case 9:
          expect("Close", writer.Close(),
                 have_file && !filled ? avi::kAviOk : avi::kAviWriteFailed);
          finish_current();
          break;
        case 11: {
          static const uint32_t kLimits[] = {0, 9000, 20000, 1 << 16, avi::kRiffLimit};
          const uint8_t pick = prog.Byte();
          writer.settings.open_dml = (pick & 1) != 0;
          writer.settings.riff_limit = pick < 200 ? kLimits[pick / 2 % 5] : prog.U32();
          break;
        }
        default: {
          int32_t op = int8_t(prog.Byte());
          if (op >= avi::kAviOpen && op <= avi::kAviClose) op += 3;
          expect("Entry", writer.Entry(op), avi::kAviBadOperation);
          break;
        }
      }
    }
    if (size > 0 && (data[size - 1] & 1) == 0 && problem.empty()) {
      expect("Close", writer.Close(), have_file && !filled ? avi::kAviOk : avi::kAviWriteFailed);
    }
    finish_current();
  }  // the writer's destructor finishes a file still open
  for (const ExpectedFile& e : finished) {
    if (!problem.empty()) break;
    fail(Verify(e));
  }
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    bool known = false;
    for (const ExpectedFile& f : finished)
      known = known || e.path().filename() == f.path.filename();
    if (!known) fail("file left behind: " + e.path().filename().string());
    fs::remove_all(e.path(), ec);
  }
  return problem;
}

}  // namespace vexlor::testing
