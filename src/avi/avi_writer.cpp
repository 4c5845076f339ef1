// AVI file writer.
#include "avi/avi_writer.h"

#include <algorithm>
#include <cstring>

#include "container/recording.h"
#include "h264/annexb.h"
#include "platform/file.h"

namespace vexlor::avi {
namespace {

constexpr uint32_t kChunkHeaderSize = 8;
constexpr size_t kFileBufferSize = 1 << 20;
// Offsets are 32-bit in RIFF; refuse to grow a file (or one RIFF of the large-file form) past
// this.
constexpr uint32_t kMaxFileSize = 0xFFFFFF00u;
// The large-file form's own bound on the file, far beyond kSuperIndexEntries full RIFFs.
constexpr uint64_t kMaxLargeFileSize = uint64_t{1} << 62;
// Large-file form: the header of a standard index chunk and of a super index chunk, their
// entries, and the odml list's frame count chunk.
constexpr uint32_t kStdIndexHeader = 32;
constexpr uint32_t kStdIndexEntry = 8;
constexpr uint32_t kSuperIndexHeader = 32;
constexpr uint32_t kSuperIndexEntry = 16;
constexpr uint32_t kDmlhSize = 248;
constexpr uint32_t kIdx1Entry = 16;

// Little-endian serialiser into a byte vector.
class Bytes {
 public:
  // Starts `out` afresh, or appends to what it holds.
  explicit Bytes(std::vector<uint8_t>* out, bool append = false) : out_(out) {
    if (!append) out_->clear();
  }
  void Tag(const char* t) {
    for (int k = 0; k < 4; ++k) out_->push_back(uint8_t(t[k]));
  }
  void U8(uint32_t v) { out_->push_back(uint8_t(v)); }
  void U16(uint32_t v) {
    out_->push_back(uint8_t(v));
    out_->push_back(uint8_t(v >> 8));
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void U64(uint64_t v) {
    U32(uint32_t(v));
    U32(uint32_t(v >> 32));
  }
  void Zeros(size_t n) { out_->insert(out_->end(), n, 0); }
  size_t size() const { return out_->size(); }
  void PatchU32(size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) (*out_)[at + size_t(k)] = uint8_t(v >> (8 * k));
  }

 private:
  std::vector<uint8_t>* out_;
};

void PutStreamHeader(Bytes* b, const AviStreamHeader& h) {
  b->Tag(h.fccType);
  b->Tag(h.fccHandler);
  b->U32(h.dwFlags);
  b->U16(h.wPriority);
  b->U16(h.wLanguage);
  b->U32(h.dwInitialFrames);
  b->U32(h.dwScale);
  b->U32(h.dwRate);
  b->U32(h.dwStart);
  b->U32(h.dwLength);
  b->U32(h.dwSuggestedBufferSize);
  b->U32(h.dwQuality);
  b->U32(h.dwSampleSize);
  for (int16_t v : h.rcFrame) b->U16(uint16_t(v));
}

// Opens a LIST or chunk whose size is patched when it is closed.
size_t Begin(Bytes* b, const char* tag) {
  b->Tag(tag);
  b->U32(0);
  return b->size();
}
void End(Bytes* b, size_t start) {
  b->PatchU32(start - 4, uint32_t(b->size() - start));
}

void SetTag(char* dst, const char* src) {
  std::memcpy(dst, src, 4);
}

// A header value computed from the frame rate setting, held within its 32-bit field: 0 for a
// value that is not positive (or not a number), the field's largest value for one beyond it.
uint32_t HeaderValue(double v) {
  if (!(v > 0)) return 0;
  return v < 4294967295.0 ? uint32_t(v) : 0xFFFFFFFFu;
}

}  // namespace

AviWriter::~AviWriter() {
  if (file_ != nullptr) Close();
}

int32_t AviWriter::Entry(int32_t operation, const void* a, uint32_t b) {
  switch (operation) {
    case kAviOpen:
      return Open(static_cast<const char*>(a));
    case kAviWriteFrame:
      return WriteFrame(static_cast<const uint8_t*>(a), b);
    case kAviClose:
      return Close();
    default:
      return kAviBadOperation;
  }
}

void AviWriter::BuildHeaders() {
  const AviWriterSettings& s = settings;
  mainHeader = MainAviHeader{};
  mainHeader.dwMicroSecPerFrame = s.frame_rate > 0 ? HeaderValue(1000000.0 / s.frame_rate) : 0;
  mainHeader.dwFlags = 0x110;  // has index, interleaved
  mainHeader.dwStreams = 2;
  mainHeader.dwWidth = uint32_t(s.width);
  mainHeader.dwHeight = uint32_t(s.height);

  videoHeader = AviStreamHeader{};
  SetTag(videoHeader.fccType, "vids");
  SetTag(videoHeader.fccHandler, "h264");
  videoHeader.dwScale = 1;
  videoHeader.dwRate = HeaderValue(s.frame_rate);
  videoHeader.dwQuality = 10000;
  videoHeader.rcFrame[2] = int16_t(s.width);
  videoHeader.rcFrame[3] = int16_t(s.height);

  audioHeader = AviStreamHeader{};
  SetTag(audioHeader.fccType, "auds");
  audioHeader.dwScale = 1;
  audioHeader.dwRate = uint32_t(s.audio_sample_rate);
  audioHeader.dwLength = 26880;
  audioHeader.dwSuggestedBufferSize = 26880;
  audioHeader.dwSampleSize = 1;

  videoFormat = BitmapInfoHeader{};
  videoFormat.biSize = 40;
  videoFormat.biWidth = s.width;
  videoFormat.biHeight = s.height;
  videoFormat.biPlanes = 1;
  videoFormat.biBitCount = 24;
  SetTag(videoFormat.biCompression, "H264");
  videoFormat.biSizeImage = uint32_t(s.width) * uint32_t(s.height) * 3u;

  audioFormat = WaveFormatEx{};
  audioFormat.wFormatTag = 1;  // PCM
  audioFormat.nChannels = 1;
  audioFormat.nSamplesPerSec = uint32_t(s.audio_sample_rate);
  audioFormat.nAvgBytesPerSec = uint32_t(s.audio_sample_rate);
  audioFormat.nBlockAlign = 1;
  audioFormat.wBitsPerSample = 8;
}

bool AviWriter::Put(const void* bytes, size_t count) {
  if (file_ == nullptr || failed_) return false;
  const uint64_t limit = open_dml_ ? kMaxLargeFileSize : kMaxFileSize;
  if (count > limit - position_ || std::fwrite(bytes, 1, count, file_) != count) {
    failed_ = true;
    return false;
  }
  position_ += count;
  return true;
}

bool AviWriter::SeekTo(uint64_t offset) {
  if (file_ == nullptr || failed_) return false;
  if (platform::SeekFile(file_, int64_t(offset), SEEK_SET) != 0) {
    failed_ = true;
    return false;
  }
  position_ = offset;
  return true;
}

bool AviWriter::PatchU32(uint64_t offset, uint32_t value) {
  const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                        uint8_t(value >> 24)};
  return SeekTo(offset) && Put(b, 4);
}

bool AviWriter::StartMovi() {
  const uint8_t list[12] = {'L', 'I', 'S', 'T', 0, 0, 0, 0, 'm', 'o', 'v', 'i'};
  movi_size_pos_ = position_ + 4;
  movi_pending_ = false;
  return Put(list, sizeof list);
}

void AviWriter::AppendSuperIndex(AviStream stream) {
  const std::vector<SuperEntry>& entries = super_[size_t(stream)];
  Bytes b(&staging_, true);
  b.Tag("indx");
  b.U32(kSuperIndexHeader - 8 + kSuperIndexEntry * kSuperIndexEntries);
  b.U16(4);  // longs per entry
  b.U8(0);   // sub type
  b.U8(0);   // an index of indexes
  b.U32(uint32_t(entries.size()));
  b.Tag(stream == AviStream::kAudio ? "01wb" : "00dc");
  b.Zeros(12);
  for (const SuperEntry& e : entries) {
    b.U64(e.offset);
    b.U32(e.size);
    b.U32(e.duration);
  }
  b.Zeros(kSuperIndexEntry * (kSuperIndexEntries - entries.size()));
}

void AviWriter::PutIdx1() {
  Bytes b(&staging_);
  b.Tag("idx1");
  b.U32(uint32_t(kIdx1Entry * index_.size()));
  for (const IndexEntry& e : index_) {
    b.Tag(e.is_audio ? "01wb" : "00dc");
    b.U32(e.is_key ? kKeyFrameFlag : 0);
    b.U32(e.offset);
    b.U32(e.size);
  }
  Put(staging_.data(), staging_.size());
}

// Large-file form: ends the movi list of the current RIFF with the standard index chunk of each
// stream that has chunks in it, adds the first RIFF's idx1 index, and sets the sizes. The RIFF's
// entries are then dropped.
bool AviWriter::EndRiff() {
  const uint64_t movi = movi_size_pos_ + 4;  // the "movi" tag: every entry's base
  for (uint32_t s = 0; s < 2; ++s) {
    const uint32_t n = riff_chunks_[s];
    if (n == 0) continue;
    if (super_[s].size() >= kSuperIndexEntries) {
      failed_ = true;
      return false;
    }
    Bytes b(&staging_);
    b.Tag(s == 1 ? "ix01" : "ix00");
    b.U32(kStdIndexHeader - 8 + kStdIndexEntry * n);
    b.U16(2);  // longs per entry
    b.U8(0);   // sub type
    b.U8(1);   // an index of chunks
    b.U32(n);
    b.Tag(s == 1 ? "01wb" : "00dc");
    b.U64(movi);
    b.U32(0);
    for (const IndexEntry& e : index_) {
      if (e.is_audio != s) continue;
      b.U32(e.offset + 8);  // the chunk's data
      b.U32(e.size | (e.is_key ? 0 : kNotKeyFrameBit));
    }
    super_[s].push_back(
        SuperEntry{position_, uint32_t(staging_.size()), s == 1 ? uint32_t(riff_audio_bytes_) : n});
    if (!Put(staging_.data(), staging_.size())) return false;
  }
  const uint64_t movi_end = position_;
  PatchU32(movi_size_pos_, uint32_t(movi_end - movi));
  SeekTo(movi_end);
  if (riffs_ == 1) PutIdx1();
  const uint64_t end = position_;
  PatchU32(riff_start_ + 4, uint32_t(end - riff_start_ - 8));
  riff_chunks_[0] = riff_chunks_[1] = 0;
  riff_audio_bytes_ = 0;
  index_.clear();
  return SeekTo(end);
}

// Large-file form: makes sure that a chunk of `chunk_bytes` (header and pad included) can be
// added, beginning a RIFF "AVIX" when it would take the current RIFF, closed with its indexes,
// past the limit. A chunk that no RIFF can hold, or one past the super indexes' room, fails.
bool AviWriter::MakeRoom(uint64_t chunk_bytes, bool audio) {
  const uint64_t limit = std::min<uint64_t>(settings.riff_limit, kMaxFileSize);
  const auto closed_size = [&] {
    uint64_t n[2] = {riff_chunks_[0], riff_chunks_[1]};
    ++n[audio ? 1 : 0];
    uint64_t size = position_ - riff_start_ + chunk_bytes;
    for (uint64_t k : n) size += k > 0 ? kStdIndexHeader + kStdIndexEntry * k : 0;
    if (riffs_ == 1) size += 8 + kIdx1Entry * (n[0] + n[1]);
    return size;
  };
  if (riff_chunks_[0] + riff_chunks_[1] > 0 && closed_size() > limit) {
    if (!EndRiff()) return false;
    if (super_[0].size() >= kSuperIndexEntries || super_[1].size() >= kSuperIndexEntries) {
      failed_ = true;
      return false;
    }
    riff_start_ = position_;
    ++riffs_;
    const uint8_t riff[12] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', 'X'};
    if (!Put(riff, sizeof riff) || !StartMovi()) return false;
  }
  if (chunk_bytes - 8 >= kNotKeyFrameBit || closed_size() > kMaxFileSize) {
    failed_ = true;
    return false;
  }
  return true;
}

int32_t AviWriter::Open(const char* path) {
  if (file_ != nullptr) Close();
  failed_ = false;
  movi_pending_ = true;
  open_dml_ = settings.open_dml;
  video_chunks_ = 0;
  audio_chunks_ = 0;
  audio_bytes_ = 0;
  position_ = 0;
  movi_size_pos_ = 0;
  riff_start_ = 0;
  riffs_ = 1;
  first_riff_video_ = 0;
  riff_chunks_[0] = riff_chunks_[1] = 0;
  riff_audio_bytes_ = 0;
  super_[0].clear();
  super_[1].clear();
  index_.clear();
  BuildHeaders();

  const platform::OutputFile::Result created =
      path != nullptr ? output_.Create(path, keep_path) : platform::OutputFile::kCannotCreate;
  file_ = output_.file();
  if (file_ == nullptr) {
    const std::string name = path != nullptr ? path : "";
    last_error_ = created == platform::OutputFile::kCannotCreate
                      ? "file create error " + name
                      : name + " " + platform::OutputFileError(created);
    failed_ = true;
    return kAviCannotCreate;
  }
  file_buffer_.resize(kFileBufferSize);
  std::setvbuf(file_, file_buffer_.data(), _IOFBF, file_buffer_.size());
  index_.reserve(4096);

  Bytes b(&staging_);
  const size_t riff = Begin(&b, "RIFF");
  b.Tag("AVI ");
  (void)riff;
  const size_t hdrl = Begin(&b, "LIST");
  b.Tag("hdrl");
  const size_t avih = Begin(&b, "avih");
  const MainAviHeader& m = mainHeader;
  for (uint32_t v :
       {m.dwMicroSecPerFrame, m.dwMaxBytesPerSec, m.dwPaddingGranularity, m.dwFlags,
        m.dwTotalFrames, m.dwInitialFrames, m.dwStreams, m.dwSuggestedBufferSize, m.dwWidth,
        m.dwHeight, m.dwReserved[0], m.dwReserved[1], m.dwReserved[2], m.dwReserved[3]}) {
    b.U32(v);
  }
  End(&b, avih);
  total_frames_pos_ = uint32_t(avih) + 16;

  const size_t vstrl = Begin(&b, "LIST");
  b.Tag("strl");
  const size_t vstrh = Begin(&b, "strh");
  PutStreamHeader(&b, videoHeader);
  End(&b, vstrh);
  const size_t vstrf = Begin(&b, "strf");
  const BitmapInfoHeader& v = videoFormat;
  b.U32(v.biSize);
  b.U32(uint32_t(v.biWidth));
  b.U32(uint32_t(v.biHeight));
  b.U16(v.biPlanes);
  b.U16(v.biBitCount);
  b.Tag(v.biCompression);
  b.U32(v.biSizeImage);
  b.U32(uint32_t(v.biXPelsPerMeter));
  b.U32(uint32_t(v.biYPelsPerMeter));
  b.U32(v.biClrUsed);
  b.U32(v.biClrImportant);
  End(&b, vstrf);
  if (open_dml_) {
    super_index_pos_[0] = uint32_t(b.size());
    AppendSuperIndex(AviStream::kVideo);
  }
  End(&b, vstrl);

  const size_t astrl = Begin(&b, "LIST");
  audio_list_pos_ = uint32_t(astrl) - 8;
  b.Tag("strl");
  const size_t astrh = Begin(&b, "strh");
  audio_length_pos_ = uint32_t(astrh) + 32;
  PutStreamHeader(&b, audioHeader);
  End(&b, astrh);
  const size_t astrf = Begin(&b, "strf");
  const WaveFormatEx& w = audioFormat;
  b.U16(w.wFormatTag);
  b.U16(w.nChannels);
  b.U32(w.nSamplesPerSec);
  b.U32(w.nAvgBytesPerSec);
  b.U16(w.nBlockAlign);
  b.U16(w.wBitsPerSample);
  b.U16(w.cbSize);
  End(&b, astrf);
  if (open_dml_) {
    super_index_pos_[1] = uint32_t(b.size());
    AppendSuperIndex(AviStream::kAudio);
  }
  End(&b, astrl);
  audio_list_size_ = uint32_t(b.size() - astrl);
  if (open_dml_) {
    const size_t odml = Begin(&b, "LIST");
    b.Tag("odml");
    const size_t dmlh = Begin(&b, "dmlh");
    dmlh_frames_pos_ = uint32_t(dmlh);
    b.Zeros(kDmlhSize);
    End(&b, dmlh);
    End(&b, odml);
  }
  End(&b, hdrl);

  Put(staging_.data(), staging_.size());
  return kAviOk;
}

int32_t AviWriter::WriteFrame(const uint8_t* frame, uint32_t length) {
  if (frame == nullptr || length < container::kFrameHeaderSize) return kAviRefused;
  const container::FrameKind kind = container::KindOfFrame(frame, length);
  if (kind == container::FrameKind::kOther) return kAviRefused;
  const std::span<const uint8_t> data(frame + container::kFrameHeaderSize,
                                      length - container::kFrameHeaderSize);
  if (kind == container::FrameKind::kAudio) return WriteChunk(AviStream::kAudio, data, true);
  return WriteChunk(AviStream::kVideo, data, h264::HoldsIdrSlice(data));
}

int32_t AviWriter::WriteChunk(AviStream stream, std::span<const uint8_t> bytes, bool key) {
  if (file_ == nullptr || failed_) return kAviWriteFailed;
  const bool audio = stream == AviStream::kAudio;
  if (movi_pending_ && !StartMovi()) return kAviWriteFailed;
  if (bytes.size() > kMaxFileSize) {
    failed_ = true;
    return kAviWriteFailed;
  }
  const auto size = uint32_t(bytes.size());
  if (open_dml_ && !MakeRoom(kChunkHeaderSize + uint64_t{size} + (size & 1), audio)) {
    return kAviWriteFailed;
  }
  uint8_t header[kChunkHeaderSize];
  std::memcpy(header, audio ? "01wb" : "00dc", 4);
  for (int k = 0; k < 4; ++k) header[4 + k] = uint8_t(size >> (8 * k));
  const auto chunk_offset = uint32_t(position_ - movi_size_pos_ - 4);
  const uint8_t pad = 0;
  if (!Put(header, sizeof header) || !Put(bytes.data(), size) ||
      ((size & 1) != 0 && !Put(&pad, 1))) {
    return kAviWriteFailed;
  }
  index_.push_back(IndexEntry{audio ? 1u : 0u, size, chunk_offset, key ? 1u : 0u});
  if (audio) {
    ++audio_chunks_;
    audio_bytes_ += size;
    riff_audio_bytes_ += size;
  } else {
    ++video_chunks_;
    first_riff_video_ += riffs_ == 1 ? 1 : 0;
  }
  ++riff_chunks_[audio ? 1 : 0];
  // The large-file form keeps only each RIFF's entries: it has no such capacity.
  const bool beyond = !open_dml_ && uint64_t{video_chunks_} + audio_chunks_ > kIndexCapacity;
  return beyond ? kAviIndexFull : kAviOk;
}

void AviWriter::Discard() {
  if (file_ == nullptr) return;
  output_.Finish(false);
  file_ = nullptr;
  failed_ = false;
  index_.clear();
  index_.shrink_to_fit();
  staging_.clear();
  staging_.shrink_to_fit();
}

int32_t AviWriter::Close() {
  const int32_t completed = Complete();
  const int32_t committed = Commit();
  return completed != kAviOk ? completed : committed;
}

int32_t AviWriter::Complete() {
  if (file_ == nullptr) {
    // Open failed (or was never called): there is no file to finish.
    failed_ = false;
    return kAviWriteFailed;
  }
  if (movi_pending_) StartMovi();

  if (open_dml_) {
    EndRiff();
    PatchU32(total_frames_pos_, first_riff_video_);
    PatchU32(dmlh_frames_pos_, video_chunks_);
    for (AviStream s : {AviStream::kVideo, AviStream::kAudio}) {
      if (s == AviStream::kAudio && audio_chunks_ == 0) continue;  // becomes JUNK below
      staging_.clear();
      AppendSuperIndex(s);
      if (SeekTo(super_index_pos_[size_t(s)])) Put(staging_.data(), staging_.size());
    }
  } else {
    // 1 to 4 zero bytes close the movi list.
    const uint8_t zeros[4] = {0, 0, 0, 0};
    Put(zeros, size_t(4 - position_ % 4));
    const uint64_t end = position_;
    PatchU32(total_frames_pos_, video_chunks_);
    PatchU32(movi_size_pos_, uint32_t(end - movi_size_pos_ - 4));
    SeekTo(end);
    PutIdx1();
    PatchU32(4, uint32_t(position_ - 8));
  }

  PatchU32(kMicroSecPos, mainHeader.dwMicroSecPerFrame);
  PatchU32(kVideoScalePos, videoHeader.dwScale);
  PatchU32(kVideoRatePos, videoHeader.dwRate);
  PatchU32(kVideoLengthPos, videoHeader.dwLength);
  // The audio stream as written: its true length, or no audio stream at all.
  audioHeader.dwLength = uint32_t(std::min<uint64_t>(audio_bytes_, 0xFFFFFFFFu));
  PatchU32(audio_length_pos_, audioHeader.dwLength);
  if (audio_chunks_ == 0) {
    mainHeader.dwStreams = 1;
    PatchU32(kStreamsPos, mainHeader.dwStreams);
    Bytes junk(&staging_);
    junk.Tag("JUNK");
    junk.U32(audio_list_size_);
    junk.Zeros(audio_list_size_);
    if (SeekTo(audio_list_pos_)) Put(staging_.data(), staging_.size());
  }
  // Whatever the buffer still holds is written now, so that a full disk shows here.
  if (!failed_ && std::fflush(file_) != 0) failed_ = true;
  return failed_ ? kAviWriteFailed : kAviOk;
}

int32_t AviWriter::Commit() {
  if (file_ == nullptr) return kAviWriteFailed;
  const platform::OutputFile::Result finished = output_.Finish(!failed_);
  file_ = nullptr;
  const bool ok = finished == platform::OutputFile::kOk;
  if (!ok) {
    last_error_ = output_.final_path() + " " + platform::OutputFileError(finished);
  }
  failed_ = false;
  index_.clear();
  index_.shrink_to_fit();
  staging_.clear();
  staging_.shrink_to_fit();
  return ok ? kAviOk : kAviWriteFailed;
}

}  // namespace vexlor::avi
