// `vexlor mkrec`: builds a recording from H.264 elementary streams, for tests and samples.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "commands.h"
#include "container/recording_writer.h"
#include "h264/access_units.h"
#include "platform/file.h"
#include "standard_streams.h"

namespace vexlor::cli {
namespace {

namespace ct = vexlor::container;

constexpr int kAudioSampleRate = 8000;
constexpr uint8_t kVideoTypeCode = 0;
constexpr uint8_t kPassthroughCode = 200;

struct MkrecOptions {
  std::string output;
  std::vector<std::string> channels;
  double fps = 25.0;
  double start = 0.0;
  std::vector<std::string> audio;
  uint32_t passthrough_every = 0;
  std::vector<std::string> damage;
  uint64_t seed = 1;
  std::vector<std::string> delays;  // N=SECONDS
};

// splitmix64: a small generator whose sequence is the same everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi].
  uint32_t Range(uint32_t lo, uint32_t hi) { return lo + uint32_t(Next() % (hi - lo + 1ull)); }

 private:
  uint64_t state_;
};

struct PlannedFrame {
  double time = 0;  // seconds from the start
  int channel = 0;
  bool audio = false;
  int order = 0;  // tie-break: input order
  std::vector<uint8_t> bytes;
  uint8_t type_code = kVideoTypeCode;
};

// One packet of the output, or a run of garbage bytes.
struct Piece {
  std::vector<uint8_t> bytes;
  int frame = -1;     // index of the frame this packet belongs to; -1 for inserted pieces
  bool last = false;  // last packet of its frame
};

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
  std::FILE* f = platform::OpenFile(path, "rb");
  if (f == nullptr) return false;
  out->clear();
  uint8_t buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + got);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

bool ParseChannel(const std::string& text, int* channel, std::string* rest, bool rest_required) {
  const size_t eq = text.find('=');
  const std::string num = text.substr(0, eq);
  if (num.empty() || num.size() > 2 || num.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *channel = std::stoi(num);
  if (*channel > 15) return false;
  *rest = eq == std::string::npos ? std::string() : text.substr(eq + 1);
  return !rest_required || !rest->empty();
}

void Fail(int* exitCode, const std::string& message) {
  PrintLine(stderr, "error: " + message);
  *exitCode = 1;
}

std::vector<uint8_t> MakeFrame(uint8_t kind, int channel, double start, double t,
                               const uint8_t* data, size_t length) {
  const long long sixtieths = std::llround((start + t) * 60.0);
  const uint64_t total = sixtieths < 0 ? 0 : uint64_t(sixtieths);
  std::vector<uint8_t> frame(ct::kFrameHeaderSize + length);
  ct::PutFrameHeader(frame.data(), kind, channel, uint32_t(total % 60), uint32_t(total / 60));
  if (length > 0) std::memcpy(frame.data() + ct::kFrameHeaderSize, data, length);
  return frame;
}

void RunMkrec(const MkrecOptions& o, int* exitCode) {
  if (!(o.fps > 0.0 && o.fps <= 1000.0)) return Fail(exitCode, "--fps must be in (0, 1000]");
  if (!(o.start >= 0.0 && o.start < 4.0e9)) return Fail(exitCode, "--start out of range");

  // Channels that start later than --start (their video and their sound).
  double delay[16] = {};
  for (const std::string& arg : o.delays) {
    int channel;
    std::string seconds;
    char* end = nullptr;
    const double d =
        ParseChannel(arg, &channel, &seconds, true) ? std::strtod(seconds.c_str(), &end) : -1.0;
    if (end == nullptr || *end != '\0' || !(d >= 0.0 && d < 1.0e6)) {
      return Fail(exitCode, "bad --delay '" + arg + "' (want N=SECONDS, N 0-15)");
    }
    delay[channel] = d;
  }
  std::vector<PlannedFrame> frames;
  double longest = 0;
  std::vector<double> durations(16, -1.0);
  int order = 0;
  for (const std::string& arg : o.channels) {
    int channel;
    std::string path;
    if (!ParseChannel(arg, &channel, &path, true)) {
      return Fail(exitCode, "bad --channel '" + arg + "' (want N=STREAM.264, N 0-15)");
    }
    std::vector<uint8_t> stream;
    if (!ReadFile(path, &stream))
      return Fail(exitCode, "cannot read " + path + ": " + std::strerror(errno));
    const std::vector<h264::AccessUnit> units = h264::SplitAccessUnits(stream);
    if (units.empty()) return Fail(exitCode, "no H.264 access unit in " + path);
    for (size_t i = 0; i < units.size(); ++i) {
      if (units[i].bytes.size() > ct::kMaxFrameSize - ct::kFrameHeaderSize) {
        return Fail(exitCode, "access unit " + std::to_string(i) + " of " + path +
                                  " does not fit in a frame");
      }
      PlannedFrame f;
      f.time = double(i) / o.fps + delay[channel];
      f.channel = channel;
      f.order = order++;
      f.bytes = MakeFrame(ct::kVideoKind, channel, o.start, f.time, units[i].bytes.data(),
                          units[i].bytes.size());
      if (o.passthrough_every > 0 && (i + 1) % o.passthrough_every == 0) {
        f.type_code = kPassthroughCode + 1;
      }
      frames.push_back(std::move(f));
    }
    durations[size_t(channel)] = double(units.size()) / o.fps;
    longest = std::max(longest, durations[size_t(channel)]);
  }

  // One audio frame per video frame period, at most a second of samples (a frame must stay far
  // below the largest frame size whatever the frame rate).
  const size_t samples_per_frame =
      size_t(std::clamp(std::round(kAudioSampleRate / o.fps), 1.0, double(kAudioSampleRate)));
  for (const std::string& arg : o.audio) {
    int channel;
    std::string path;
    if (!ParseChannel(arg, &channel, &path, false)) {
      return Fail(exitCode, "bad --audio '" + arg + "' (want N or N=PCM8.raw, N 0-15)");
    }
    std::vector<uint8_t> pcm;
    if (!path.empty()) {
      if (!ReadFile(path, &pcm))
        return Fail(exitCode, "cannot read " + path + ": " + std::strerror(errno));
    } else {
      // A 440 Hz tone, unsigned 8-bit, as long as the channel's video.
      const double seconds = durations[size_t(channel)] > 0 ? durations[size_t(channel)] : longest;
      pcm.resize(size_t(seconds * kAudioSampleRate));
      for (size_t k = 0; k < pcm.size(); ++k) {
        pcm[k] = uint8_t(128.0 + 100.0 * std::sin(2.0 * std::numbers::pi * 440.0 * double(k) /
                                                  kAudioSampleRate));
      }
    }
    for (size_t at = 0; at < pcm.size(); at += samples_per_frame) {
      const size_t n = std::min(samples_per_frame, pcm.size() - at);
      PlannedFrame f;
      f.time = double(at) / kAudioSampleRate + delay[channel];
      f.channel = channel;
      f.audio = true;
      f.order = order++;
      f.bytes = MakeFrame(ct::kAudioKind, channel, o.start, f.time, pcm.data() + at, n);
      f.type_code = kPassthroughCode;  // recorders send audio as passthrough frames
      frames.push_back(std::move(f));
    }
  }
  if (frames.empty()) return Fail(exitCode, "nothing to write: give at least one --channel");

  // Interleave in time order; at equal times, video before audio, then lower channels first.
  std::stable_sort(frames.begin(), frames.end(), [](const PlannedFrame& a, const PlannedFrame& b) {
    if (a.time != b.time) return a.time < b.time;
    if (a.audio != b.audio) return !a.audio;
    if (a.channel != b.channel) return a.channel < b.channel;
    return a.order < b.order;
  });

  std::vector<Piece> pieces;
  for (size_t i = 0; i < frames.size(); ++i) {
    std::vector<uint8_t> packets;
    const PlannedFrame& f = frames[i];
    const uint32_t count =
        ct::AppendFramePackets(f.bytes.data(), uint32_t(f.bytes.size()), f.type_code, &packets);
    for (uint32_t k = 0; k < count; ++k) {
      Piece p;
      p.bytes.assign(packets.begin() + std::ptrdiff_t(k) * ct::kPacketSize,
                     packets.begin() + std::ptrdiff_t(k + 1) * ct::kPacketSize);
      p.frame = int(i);
      p.last = k + 1 == count;
      pieces.push_back(std::move(p));
    }
  }

  // Damage, each kind in a fixed order so that a seed always gives the same file.
  Random rng(o.seed);
  std::vector<bool> lost(frames.size(), false);
  uint32_t truncate = 0;
  struct DamageRequest {
    std::string kind;
    uint32_t count;
  };
  std::vector<DamageRequest> requests;
  for (const std::string& arg : o.damage) {
    const size_t colon = arg.find(':');
    const std::string kind = arg.substr(0, colon);
    const std::string num = colon == std::string::npos ? "1" : arg.substr(colon + 1);
    if (num.empty() || num.size() > 6 || num.find_first_not_of("0123456789") != std::string::npos ||
        (kind != "garbage" && kind != "endmark" && kind != "kind255" && kind != "truncate")) {
      return Fail(exitCode,
                  "bad --damage '" + arg + "' (want garbage|endmark|kind255|truncate:COUNT)");
    }
    requests.push_back({kind, uint32_t(std::stoul(num))});
  }
  for (const DamageRequest& r : requests) {
    if (r.kind == "endmark") {
      // Break the end mark of the last packet of COUNT frames (never the final frame): the
      // reader drops that packet and the frame with it, and the next frame is intact.
      std::vector<size_t> candidates;
      for (size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].last && size_t(pieces[i].frame) + 1 < frames.size() &&
            !lost[size_t(pieces[i].frame)]) {
          candidates.push_back(i);
        }
      }
      for (uint32_t k = 0; k < r.count && !candidates.empty(); ++k) {
        const size_t pick = rng.Range(0, uint32_t(candidates.size() - 1));
        Piece& p = pieces[candidates[pick]];
        p.bytes[ct::kEndMarkOffset + 1] = 'X';
        lost[size_t(p.frame)] = true;
        candidates.erase(candidates.begin() + std::ptrdiff_t(pick));
      }
    } else if (r.kind == "kind255") {
      // Ignored packets, preferably between two fragments of one frame.
      for (uint32_t k = 0; k < r.count; ++k) {
        std::vector<size_t> inside;
        for (size_t i = 0; i + 1 < pieces.size(); ++i) {
          if (pieces[i].frame >= 0 && !pieces[i].last) inside.push_back(i + 1);
        }
        const size_t at = inside.empty() ? rng.Range(0, uint32_t(pieces.size() - 1))
                                         : inside[rng.Range(0, uint32_t(inside.size() - 1))];
        std::vector<uint8_t> junk(ct::kPayloadSize);
        for (uint8_t& b : junk) b = uint8_t(rng.Next());
        Piece p;
        p.bytes.resize(ct::kPacketSize);
        ct::PutPacket(p.bytes.data(), rng.Range(0, 4000), junk.data(), rng.Range(0, 1390),
                      ct::kIgnoredPacketKind, uint8_t(rng.Next()));
        pieces.insert(pieces.begin() + std::ptrdiff_t(at), std::move(p));
      }
    } else if (r.kind == "garbage") {
      // 1 to 1417 bytes that hold no sync mark, between two packets.
      for (uint32_t k = 0; k < r.count; ++k) {
        Piece p;
        p.bytes.resize(rng.Range(1, ct::kPacketSize - 1));
        for (uint8_t& b : p.bytes) {
          do {
            b = uint8_t(rng.Next());
          } while (b == ct::kSyncMark[0]);
        }
        // Never next to another run: two runs together could hide a whole packet's length.
        auto is_packet = [&](size_t i) { return pieces[i].bytes.size() == ct::kPacketSize; };
        size_t at = rng.Range(0, uint32_t(pieces.size() - 1));
        for (int tries = 0; tries < 64 && !(is_packet(at) && (at == 0 || is_packet(at - 1)));
             ++tries) {
          at = rng.Range(0, uint32_t(pieces.size() - 1));
        }
        if (!(is_packet(at) && (at == 0 || is_packet(at - 1)))) continue;
        pieces.insert(pieces.begin() + std::ptrdiff_t(at), std::move(p));
      }
    } else {  // truncate: COUNT bytes (1 to 1417) cut off the last packet
      if (r.count < 1 || r.count >= uint32_t(ct::kPacketSize)) {
        return Fail(exitCode, "truncate:COUNT takes 1 to 1417 bytes");
      }
      truncate = r.count;
    }
  }
  if (truncate > 0) {
    lost.back() = true;
    pieces.back().bytes.resize(pieces.back().bytes.size() - truncate);
  }

  std::FILE* out = platform::OpenFile(o.output, "wb");
  if (out == nullptr) {
    return Fail(exitCode, "cannot create " + o.output + ": " + std::strerror(errno));
  }
  size_t bytes = 0;
  int error_number = 0;
  for (const Piece& p : pieces) {
    if (error_number == 0 &&
        std::fwrite(p.bytes.data(), 1, p.bytes.size(), out) != p.bytes.size()) {
      error_number = errno;
    }
    bytes += p.bytes.size();
  }
  if (std::fclose(out) != 0 && error_number == 0) error_number = errno;
  if (error_number != 0) {
    return Fail(exitCode, "cannot write " + o.output + ": " + std::strerror(error_number));
  }

  PrintLine(stdout, "wrote " + o.output + ": " + std::to_string(frames.size()) + " frames, " +
                        std::to_string(bytes) + " bytes");
  for (size_t i = 0; i < frames.size(); ++i) {
    if (lost[i]) std::printf("damage: frame %zu lost\n", i);
  }
  *exitCode = 0;
}

}  // namespace

void RegisterMkrec(CLI::App& app, int* exitCode) {
  auto options = std::make_shared<MkrecOptions>();
  CLI::App* cmd = app.add_subcommand(
      "mkrec", "Build a recording from H.264 elementary streams (one access unit per frame)");
  cmd->add_option("-o,--output", options->output, "Recording to write")->required();
  cmd->add_option("--channel", options->channels,
                  "N=STREAM.264: H.264 Annex B stream for channel N (0-15); repeatable");
  cmd->add_option("--fps", options->fps, "Frames per second of every channel")
      ->capture_default_str();
  cmd->add_option("--start", options->start, "Time stamp of the first frames, in seconds")
      ->capture_default_str();
  cmd->add_option("--audio", options->audio,
                  "N[=PCM]: audio frames for channel N from raw unsigned 8-bit 8000 Hz samples, "
                  "or a 440 Hz tone as long as the video; repeatable");
  cmd->add_option("--passthrough", options->passthrough_every,
                  "Send every EVERY-th video frame of each channel as a passthrough frame");
  cmd->add_option("--damage", options->damage,
                  "KIND:COUNT with KIND garbage (bytes between packets), endmark (broken end "
                  "mark; the frame is lost), kind255 (ignored packets inside frames) or truncate "
                  "(COUNT bytes cut off the last packet); repeatable");
  cmd->add_option("--delay", options->delays,
                  "N=SECONDS: channel N starts SECONDS after the others; repeatable");
  cmd->add_option("--seed", options->seed, "Seed for the damage positions")->capture_default_str();
  cmd->callback([options, exitCode] { RunMkrec(*options, exitCode); });
}

}  // namespace vexlor::cli
