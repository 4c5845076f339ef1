// The segment writer over libebml (the element coding) and libmatroska (the element classes and
// the block coding). The libraries throw only when an output reports a short write; ours never
// does, it remembers the failure instead.
#include "segment_writer.h"

#include <ebml/EbmlHead.h>
#include <ebml/EbmlSubHead.h>
#include <ebml/MemIOCallback.h>
#include <matroska/KaxBlock.h>
#include <matroska/KaxCluster.h>
#include <matroska/KaxCues.h>
#include <matroska/KaxCuesData.h>
#include <matroska/KaxInfo.h>
#include <matroska/KaxInfoData.h>
#include <matroska/KaxSeekHead.h>
#include <matroska/KaxSemantic.h>
#include <matroska/KaxTracks.h>

#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "vexlor_version.h"

namespace vexlor::mkv {

using namespace libebml;
using namespace libmatroska;

namespace {

// The same text on every platform, so that every build writes the same bytes.
constexpr char kMuxingApp[] = "libebml + libmatroska";
constexpr char kWritingApp[] = "vexlor " VEXLOR_VERSION;

// An output over a C file that never throws: a failed write is remembered, and the position
// moves on as if it had succeeded.
class FileOutput : public IOCallback {
 public:
  void Attach(std::FILE* file) {
    file_ = file;
    position_ = 0;
    failed_ = file == nullptr;
  }
  bool failed() const { return failed_; }

  uint32 read(void*, size_t) override { return 0; }
  void setFilePointer(int64 offset, seek_mode mode) override {
    if (mode != seek_beginning || failed_ || std::fflush(file_) != 0 ||
        platform::SeekFile(file_, offset, SEEK_SET) != 0) {
      failed_ = true;
      return;
    }
    position_ = uint64(offset);
  }
  size_t write(const void* buffer, size_t size) override {
    if (!failed_ && size > 0 && std::fwrite(buffer, 1, size, file_) != size) failed_ = true;
    position_ += size;
    return size;
  }
  uint64 getFilePointer() override { return position_; }
  void close() override {}

 private:
  std::FILE* file_ = nullptr;
  uint64 position_ = 0;
  bool failed_ = true;
};

// DateUTC with nanoseconds (the library's own setter takes whole seconds).
class DateUtc : public KaxDateUTC {
 public:
  explicit DateUtc(int64_t ns) {
    myDate = ns;
    SetValueIsSet();
  }
};

// An element with its default value, written all the same.
template <typename T, typename V>
void SetExplicit(EbmlMaster& master, V value) {
  T& element = GetChild<T>(master);
  element.SetValue(value);
  element.ForceNoDefault();
}

// A Void element of exactly `size` bytes (2 or more).
std::vector<uint8_t> VoidBytes(uint64_t size) {
  std::vector<uint8_t> bytes(size, 0);
  bytes[0] = 0xEC;
  if (size - 2 < 127) {
    bytes[1] = uint8_t(0x80 | (size - 2));
  } else {
    const uint64_t content = size - 9;
    bytes[1] = 0x01;
    for (int i = 0; i < 7; ++i) bytes[2 + i] = uint8_t(content >> (8 * (6 - i)));
  }
  return bytes;
}

std::vector<uint8_t> Rendered(EbmlElement& element, bool with_defaults) {
  MemIOCallback memory(256);
  element.Render(memory, with_defaults);
  return std::vector<uint8_t>(memory.GetDataBuffer(),
                              memory.GetDataBuffer() + memory.GetDataBufferSize());
}

void AddTrackEntry(KaxTracks& tracks, const TrackDescription& track) {
  KaxTrackEntry& entry = AddNewChild<KaxTrackEntry>(tracks);
  GetChild<KaxTrackNumber>(entry).SetValue(track.number);
  GetChild<KaxTrackUID>(entry).SetValue(track.number);
  GetChild<KaxTrackType>(entry).SetValue(uint8_t(track.type));
  GetChild<KaxTrackFlagLacing>(entry).SetValue(0);
  SetExplicit<KaxTrackFlagDefault>(entry, track.default_track ? 1 : 0);
  GetChild<KaxTrackLanguage>(entry).SetValue("und");
  GetChild<KaxCodecID>(entry).SetValue(track.codec_id);
  if (!track.codec_private.empty()) {
    GetChild<KaxCodecPrivate>(entry).CopyBuffer(track.codec_private.data(),
                                                uint32(track.codec_private.size()));
  }
  if (!track.name.empty()) GetChild<KaxTrackName>(entry).SetValueUTF8(track.name);
  if (track.type == TrackType::kVideo) {
    KaxTrackVideo& video = GetChild<KaxTrackVideo>(entry);
    GetChild<KaxVideoPixelWidth>(video).SetValue(uint64(track.width));
    GetChild<KaxVideoPixelHeight>(video).SetValue(uint64(track.height));
  } else if (track.type == TrackType::kAudio) {
    KaxTrackAudio& audio = GetChild<KaxTrackAudio>(entry);
    SetExplicit<KaxAudioSamplingFreq>(audio, track.sampling_frequency);
    SetExplicit<KaxAudioChannels>(audio, uint64(track.channels));
    GetChild<KaxAudioBitDepth>(audio).SetValue(uint64(track.bit_depth));
  }
}

struct CueEntry {
  int64_t time;
  uint64_t track;
  uint64_t cluster;   // position of the cluster in the segment
  uint64_t relative;  // position of the block in the cluster's data
};

// A 128-bit hash of the blocks, the segment's identifier: the same blocks, the same identifier.
class BlockHash {
 public:
  void Add(const Block& b) {
    Mix(b.track);
    Mix(uint64_t(b.time));
    Mix(uint64_t(b.duration));
    Mix(b.data.size() << 1 | (b.key ? 1 : 0));
    const uint8_t* p = b.data.data();
    size_t n = b.data.size();
    for (; n >= 8; p += 8, n -= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      Mix(word);
    }
    uint64_t tail = 0;
    for (size_t i = 0; i < n; ++i) tail |= uint64_t(p[i]) << (8 * i);
    Mix(tail);
  }
  void Fill(uint8_t out[16]) const {
    uint64_t a = Final(a_), b = Final(b_ ^ a);
    for (int i = 0; i < 8; ++i) out[i] = uint8_t(a >> (8 * i)), out[8 + i] = uint8_t(b >> (8 * i));
  }

 private:
  void Mix(uint64_t word) {
    a_ = (a_ ^ word) * 0x100000001B3ull;
    b_ = (b_ ^ (word + 0x9E3779B97F4A7C15ull)) * 0xFF51AFD7ED558CCDull;
  }
  static uint64_t Final(uint64_t h) {
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
  }
  uint64_t a_ = 0xCBF29CE484222325ull;
  uint64_t b_ = 0x84222325CBF29CE4ull;
};

// The element headers End writes are built the same way when Begin measures the room for them.
struct HeaderValues {
  double duration = 1;
  bool has_date = true;
  int64_t date_ns = 0;
  uint8_t uid[16] = {};
};

}  // namespace

struct SegmentWriter::State {
  FileOutput out;
  std::vector<TrackDescription> tracks;
  uint64_t segment_start = 0;  // where the segment's data begins
  uint64_t room_start = 0;     // the room for the headers, and its size
  uint64_t room_size = 0;
  std::vector<Block> cluster;
  int64_t cluster_time = 0;
  size_t cluster_bytes = 0;
  int64_t clusters = 0;  // written
  std::vector<CueEntry> cues;
  BlockHash hash;
  KaxTracks entries;  // the tracks' entries, for the block coding (it reads their numbers)

  const TrackDescription* Described(uint64_t number) const {
    for (const TrackDescription& t : tracks) {
      if (t.number == number) return &t;
    }
    return nullptr;
  }
  KaxTrackEntry* Entry(uint64_t number) {
    for (EbmlElement* e : entries.GetElementList()) {
      auto* entry = static_cast<KaxTrackEntry*>(e);
      if (uint64(entry->TrackNumber()) == number) return entry;
    }
    return nullptr;
  }
  std::vector<uint8_t> Headers(const HeaderValues& values, const std::vector<uint64_t>& present,
                               const std::vector<std::pair<const EbmlId*, uint64_t>>& more);
  void WriteCluster();
};

// SeekHead, Info and Tracks, as they start the segment's data at room_start.
std::vector<uint8_t> SegmentWriter::State::Headers(
    const HeaderValues& values, const std::vector<uint64_t>& present,
    const std::vector<std::pair<const EbmlId*, uint64_t>>& more) {
  KaxInfo info;
  SetExplicit<KaxTimecodeScale>(info, uint64(kTimestampScale));
  if (values.duration > 0) {
    KaxDuration& duration = GetChild<KaxDuration>(info);
    duration.SetPrecision(EbmlFloat::FLOAT_64);
    duration.SetValue(values.duration);
  }
  if (values.has_date) info.PushElement(*new DateUtc(values.date_ns));
  GetChild<KaxSegmentUID>(info).CopyBuffer(values.uid, 16);
  GetChild<KaxMuxingApp>(info).SetValueUTF8(kMuxingApp);
  GetChild<KaxWritingApp>(info).SetValueUTF8(kWritingApp);
  const std::vector<uint8_t> info_bytes = Rendered(info, false);

  KaxTracks track_list;
  for (const TrackDescription& t : tracks) {
    if (std::find(present.begin(), present.end(), t.number) != present.end()) {
      AddTrackEntry(track_list, t);
    }
  }
  std::vector<uint8_t> track_bytes = Rendered(track_list, false);

  // The seek entries: their positions have a fixed width, so the size is known beforehand.
  auto seek_head = [&](uint64_t info_at, uint64_t tracks_at) {
    KaxSeekHead head;
    std::vector<std::pair<const EbmlId*, uint64_t>> targets = {{&EBML_ID(KaxInfo), info_at},
                                                               {&EBML_ID(KaxTracks), tracks_at}};
    targets.insert(targets.end(), more.begin(), more.end());
    for (const auto& [id, at] : targets) {
      KaxSeek& seek = AddNewChild<KaxSeek>(head);
      binary id_bytes[4];
      id->Fill(id_bytes);
      GetChild<KaxSeekID>(seek).CopyBuffer(id_bytes, uint32(id->GetLength()));
      KaxSeekPosition& position = GetChild<KaxSeekPosition>(seek);
      position.SetValue(at);
      position.SetDefaultSize(8);
    }
    return Rendered(head, false);
  };
  const uint64_t head_size = seek_head(0, 0).size();
  const uint64_t info_at = room_start - segment_start + head_size;
  std::vector<uint8_t> bytes = seek_head(info_at, info_at + info_bytes.size());
  bytes.insert(bytes.end(), info_bytes.begin(), info_bytes.end());
  if (room_size > 0 &&
      room_size - std::min<uint64_t>(room_size, bytes.size()) == track_bytes.size() + 1) {
    // One byte would be left, too little for a Void element: the Tracks size takes it.
    track_list.SetSizeLength(CodedSizeLength(track_list.GetSize(), 0, true) + 1);
    track_bytes = Rendered(track_list, false);
  }
  bytes.insert(bytes.end(), track_bytes.begin(), track_bytes.end());
  return bytes;
}

void SegmentWriter::State::WriteCluster() {
  if (cluster.empty()) return;
  KaxCluster c;
  c.InitTimecode(uint64(cluster_time), kTimestampScale);
  GetChild<KaxClusterTimecode>(c).SetValue(uint64(cluster_time));
  std::vector<KaxInternalBlock*> coded;
  for (Block& b : cluster) {
    KaxTrackEntry& entry = *Entry(b.track);
    // The block refers to the bytes; deleting the block deletes this record, not the bytes.
    auto* data = new DataBuffer(b.data.data(), uint32(b.data.size()));
    const uint64 time = uint64(b.time) * uint64(kTimestampScale);
    if (b.duration < 0) {
      KaxSimpleBlock& block = AddNewChild<KaxSimpleBlock>(c);
      block.SetParent(c);
      block.AddFrame(entry, time, *data, LACING_NONE);
      block.SetKeyframe(b.key);
      coded.push_back(&block);
    } else {
      KaxBlockGroup& group = AddNewChild<KaxBlockGroup>(c);
      group.SetParent(c);
      group.AddFrame(entry, time, *data, LACING_NONE);
      GetChild<KaxBlockDuration>(group).SetValue(uint64(b.duration));
      coded.push_back(&GetChild<KaxBlock>(group));
    }
  }
  static_cast<EbmlElement&>(c).Render(out, false);
  ++clusters;
  const uint64_t cluster_at = c.GetElementPosition();
  const uint64_t data_at = cluster_at + c.HeadSize();
  for (size_t i = 0; i < cluster.size(); ++i) {
    const Block& b = cluster[i];
    const TrackDescription* track = Described(b.track);
    if (track->type == TrackType::kVideo && b.key) {
      cues.push_back(CueEntry{b.time, b.track, cluster_at - segment_start,
                              coded[i]->GetElementPosition() - data_at});
    }
  }
  cluster.clear();
  cluster_bytes = 0;
}

SegmentWriter::SegmentWriter() : s_(std::make_unique<State>()) {}
SegmentWriter::~SegmentWriter() = default;

bool SegmentWriter::Begin(std::FILE* file, std::vector<TrackDescription> tracks) {
  s_ = std::make_unique<State>();
  State& s = *s_;
  s.out.Attach(file);
  s.tracks = std::move(tracks);
  std::vector<uint64_t> all;
  for (const TrackDescription& t : s.tracks) {
    all.push_back(t.number);
    KaxTrackEntry& entry = AddNewChild<KaxTrackEntry>(s.entries);
    GetChild<KaxTrackNumber>(entry).SetValue(t.number);
  }

  EbmlHead head;
  GetChild<EDocType>(head).SetValue("matroska");
  GetChild<EDocTypeVersion>(head).SetValue(4);
  GetChild<EDocTypeReadVersion>(head).SetValue(2);
  head.Render(s.out, true);
  // The segment's size is written at the end; until then it reads as unknown.
  const uint8_t segment[12] = {0x18, 0x53, 0x80, 0x67, 0x01, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  s.out.writeFully(segment, sizeof segment);
  s.segment_start = s.out.getFilePointer();
  s.room_start = s.segment_start;
  // The room: the largest headers End can write (every track, the index and the tag named).
  const std::vector<std::pair<const EbmlId*, uint64_t>> more = {{&EBML_ID(KaxCues), 0},
                                                                {&EBML_ID(KaxTags), 0}};
  s.room_size = s.Headers(HeaderValues{}, all, more).size() + 16;
  const std::vector<uint8_t> room = VoidBytes(s.room_size);
  s.out.writeFully(room.data(), room.size());
  return !s.out.failed();
}

bool SegmentWriter::failed() const {
  return s_->out.failed();
}

bool SegmentWriter::Add(Block block) {
  State& s = *s_;
  const TrackDescription* track = s.Described(block.track);
  if (track == nullptr || block.time < 0 || block.data.size() > 0xFFFFFFF0u) return false;
  s.hash.Add(block);
  if (!s.cluster.empty() &&
      ((track->type == TrackType::kVideo && block.key) || block.time < s.cluster_time ||
       block.time - s.cluster_time > kClusterSpan ||
       s.cluster_bytes + block.data.size() > kClusterBytes)) {
    s.WriteCluster();
  }
  if (s.cluster.empty()) s.cluster_time = block.time;
  s.cluster_bytes += block.data.size();
  s.cluster.push_back(std::move(block));
  return !s.out.failed();
}

bool SegmentWriter::End(const SegmentEnd& end) {
  State& s = *s_;
  s.WriteCluster();
  if (s.clusters == 0) {
    // A file without blocks still has a cluster: ffmpeg opens no file without one.
    KaxCluster c;
    GetChild<KaxClusterTimecode>(c).SetValue(0);
    static_cast<EbmlElement&>(c).Render(s.out, false);
  }
  std::vector<std::pair<const EbmlId*, uint64_t>> more;
  if (!s.cues.empty()) {
    more.push_back({&EBML_ID(KaxCues), s.out.getFilePointer() - s.segment_start});
    KaxCues cues;
    for (const CueEntry& e : s.cues) {
      KaxCuePoint& point = AddNewChild<KaxCuePoint>(cues);
      GetChild<KaxCueTime>(point).SetValue(uint64(e.time));
      KaxCueTrackPositions& positions = GetChild<KaxCueTrackPositions>(point);
      GetChild<KaxCueTrack>(positions).SetValue(e.track);
      GetChild<KaxCueClusterPosition>(positions).SetValue(e.cluster);
      SetExplicit<KaxCueRelativePosition>(positions, e.relative);
    }
    static_cast<EbmlElement&>(cues).Render(s.out, false);
  }
  if (end.cancelled) {
    more.push_back({&EBML_ID(KaxTags), s.out.getFilePointer() - s.segment_start});
    KaxTags tags;
    KaxTag& tag = AddNewChild<KaxTag>(tags);
    GetChild<KaxTagTargets>(tag);
    KaxTagSimple& simple = AddNewChild<KaxTagSimple>(tag);
    GetChild<KaxTagName>(simple).SetValueUTF8(kCancelledTagName);
    GetChild<KaxTagString>(simple).SetValueUTF8(kCancelledTagValue);
    tags.Render(s.out, false);
  }
  const uint64_t segment_end = s.out.getFilePointer();

  HeaderValues values;
  values.duration = end.duration;
  values.has_date = end.has_date;
  values.date_ns = end.date_ns;
  s.hash.Fill(values.uid);
  const std::vector<uint8_t> headers = s.Headers(values, end.tracks, more);
  if (headers.size() > s.room_size || s.room_size - headers.size() == 1) return false;
  s.out.setFilePointer(int64(s.room_start), seek_beginning);
  s.out.writeFully(headers.data(), headers.size());
  if (headers.size() < s.room_size) {
    const std::vector<uint8_t> rest = VoidBytes(s.room_size - headers.size());
    s.out.writeFully(rest.data(), rest.size());
  }
  // The segment's size, in the eight bytes kept for it.
  const uint64_t size = segment_end - s.segment_start;
  uint8_t coded[8] = {0x01};
  for (int i = 1; i < 8; ++i) coded[i] = uint8_t(size >> (8 * (7 - i)));
  s.out.setFilePointer(int64(s.segment_start - 8), seek_beginning);
  s.out.writeFully(coded, sizeof coded);
  s.out.setFilePointer(int64(segment_end), seek_beginning);
  return !s.out.failed();
}

}  // namespace vexlor::mkv
