// AVI writer: turns the media frames of one channel into a RIFF AVI file with an H.264 video
// stream ("00dc" chunks) and an 8-bit mono PCM audio stream ("01wb" chunks).
//
// Calling order per file: set settings.width/height (and settings.open_dml); Open; any number of
// WriteFrame (or WriteChunk); optionally overwrite mainHeader.dwMicroSecPerFrame and
// videoHeader.dwScale/dwRate/dwLength; Close. The same writer is then reused for the next file.
//
// Two forms. The classic one (the default) is a single RIFF with one idx1 index and 32-bit
// offsets, so it ends below 4 GiB. The large-file form (settings.open_dml, AVI 2.0) can grow
// without such a limit: the first RIFF "AVI " (headers, a movi list and an idx1 index of its own
// chunks, which is all that older players read) is followed by RIFF "AVIX" extensions, each with
// its own movi list; every RIFF stays within settings.riff_limit. Each stream's header carries a
// super index ("indx", room for kSuperIndexEntries entries) of standard index chunks ("ix00" for
// video, "ix01" for audio, one per stream at the end of every movi list that holds its chunks),
// and an "odml" list carries the total frame count. The avih frame count counts the first RIFF's
// video chunks, the stream lengths count the whole file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "platform/output_file.h"

namespace vexlor::avi {

// Result codes.
inline constexpr int32_t kAviOk = 0;
inline constexpr int32_t kAviCannotCreate = 1;  // Open: the file could not be created
inline constexpr int32_t kAviRefused = 2;       // WriteFrame: not a frame of a known kind
inline constexpr int32_t kAviWriteFailed = 3;   // WriteFrame: no file, or a write failed
inline constexpr int32_t kAviIndexFull = 4;     // WriteFrame: stored; more than 108,000 chunks
inline constexpr int32_t kAviBadOperation = 5;  // Entry: unknown operation number
// Close returns kAviOk, or kAviWriteFailed when any write or seek of the file failed, or the
// file was never created.

inline constexpr int32_t kAviOpen = 1;
inline constexpr int32_t kAviWriteFrame = 2;
inline constexpr int32_t kAviClose = 3;

// Chunk count above which WriteFrame reports kAviIndexFull in the classic form. The index itself
// keeps growing, so every chunk stays reachable.
inline constexpr uint32_t kIndexCapacity = 108000;
inline constexpr uint32_t kKeyFrameFlag = 0x10;
// Large-file form: the size that one RIFF keeps within, and the standard index chunks that each
// stream's super index can list (one per RIFF: 256 RIFFs of 1 GiB).
inline constexpr uint32_t kRiffLimit = 1u << 30;
inline constexpr uint32_t kSuperIndexEntries = 256;
// In a standard index entry's size: set for a chunk that is not a key frame.
inline constexpr uint32_t kNotKeyFrameBit = 0x80000000u;

struct AviWriterSettings {
  int32_t width = 352;
  int32_t height = 240;
  double frame_rate = 24.0;
  int32_t audio_format = 144;  // selects the 8-bit mono PCM stream; informational
  int32_t audio_sample_rate = 8000;
  int32_t audio_block_size = 2048;  // informational
  // Chosen before Open: the large-file form, for files that may reach 2 GiB and more. Off, every
  // byte is that of the classic form.
  bool open_dml = false;
  // Largest size of one RIFF of the large-file form, headers and indexes included. Only tests
  // lower it; a chunk larger than the limit has a RIFF of its own.
  uint32_t riff_limit = kRiffLimit;
};

// Header records, in the AVI format's own field names.
struct MainAviHeader {
  uint32_t dwMicroSecPerFrame = 0;
  uint32_t dwMaxBytesPerSec = 0;
  uint32_t dwPaddingGranularity = 0;
  uint32_t dwFlags = 0;
  uint32_t dwTotalFrames = 0;
  uint32_t dwInitialFrames = 0;
  uint32_t dwStreams = 0;
  uint32_t dwSuggestedBufferSize = 0;
  uint32_t dwWidth = 0;
  uint32_t dwHeight = 0;
  uint32_t dwReserved[4] = {0, 0, 0, 0};
};

struct AviStreamHeader {
  char fccType[4] = {0, 0, 0, 0};
  char fccHandler[4] = {0, 0, 0, 0};
  uint32_t dwFlags = 0;
  uint16_t wPriority = 0;
  uint16_t wLanguage = 0;
  uint32_t dwInitialFrames = 0;
  uint32_t dwScale = 0;
  uint32_t dwRate = 0;
  uint32_t dwStart = 0;
  uint32_t dwLength = 0;
  uint32_t dwSuggestedBufferSize = 0;
  uint32_t dwQuality = 0;
  uint32_t dwSampleSize = 0;
  int16_t rcFrame[4] = {0, 0, 0, 0};  // left, top, right, bottom
};

struct BitmapInfoHeader {
  uint32_t biSize = 0;
  int32_t biWidth = 0;
  int32_t biHeight = 0;
  uint16_t biPlanes = 0;
  uint16_t biBitCount = 0;
  char biCompression[4] = {0, 0, 0, 0};
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};

struct WaveFormatEx {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
};

// Fixed offsets of the file layout written by Open. Those up to the video stream's header hold in
// both forms; the audio stream's list follows the video super index in the large-file form.
inline constexpr uint32_t kHeaderSize = 314;      // RIFF header and hdrl list
inline constexpr uint32_t kTotalFramesPos = 48;   // avih dwTotalFrames
inline constexpr uint32_t kMicroSecPos = 32;      // avih dwMicroSecPerFrame
inline constexpr uint32_t kVideoScalePos = 128;   // video strh dwScale
inline constexpr uint32_t kVideoRatePos = 132;    // video strh dwRate
inline constexpr uint32_t kVideoLengthPos = 140;  // video strh dwLength
inline constexpr uint32_t kStreamsPos = 56;       // avih dwStreams
inline constexpr uint32_t kAudioListPos = 212;    // the audio stream's LIST strl chunk
inline constexpr uint32_t kAudioListSize = 94;    // its size field
inline constexpr uint32_t kAudioLengthPos = 264;  // audio strh dwLength

// The two streams of a file: video chunks are "00dc", audio chunks "01wb".
enum class AviStream : uint32_t { kVideo = 0, kAudio = 1 };

class AviWriter {
 public:
  AviWriter() = default;
  virtual ~AviWriter();
  AviWriter(const AviWriter&) = delete;
  AviWriter& operator=(const AviWriter&) = delete;

  AviWriterSettings settings;
  // A file that no output may replace (the recording being converted); empty for none.
  std::string keep_path;

  // Header values. Open rebuilds them from the settings; the caller may overwrite
  // mainHeader.dwMicroSecPerFrame and videoHeader.dwScale, dwRate and dwLength before Close.
  MainAviHeader mainHeader;
  AviStreamHeader videoHeader;
  AviStreamHeader audioHeader;
  BitmapInfoHeader videoFormat;
  WaveFormatEx audioFormat;

  // Operation entry: 1 Open(a = path), 2 WriteFrame(a = frame, b = length), 3 Close; any other
  // operation returns kAviBadOperation.
  int32_t Entry(int32_t operation, const void* a = nullptr, uint32_t b = 0);

  // Creates the file and writes its headers. The file is written under a temporary name beside
  // `path` and gets its final name at Close (platform::OutputFile). When `path` cannot be
  // written (a directory, a FIFO or a device, or keep_path) prints "error: <path> <why>", when
  // the file cannot be created "error: file create error <path>", to stderr; then holds no
  // file and returns kAviCannotCreate; WriteFrame then writes nothing and Close reports the
  // failure. A file still open from an earlier Open is closed first.
  int32_t Open(const char* path);
  // Stores one media frame of the recording (its 32-byte frame header included) as a chunk of
  // the stream its header names, without the frame header; a video chunk is a key chunk when it
  // holds an IDR slice, an audio chunk always. kAviRefused for a frame that is neither video nor
  // audio, else what WriteChunk returns.
  int32_t WriteFrame(const uint8_t* frame, uint32_t length);
  // Appends one chunk to a stream and its entry to the index: kAviOk, kAviWriteFailed (no file,
  // or a write failed), or kAviIndexFull (classic form: stored, but beyond the index capacity).
  // The chunk
  // beyond what the file can hold fails like a write: past 4 GiB in the classic form, past
  // kSuperIndexEntries RIFFs (or one RIFF's 4 GiB for a single chunk) in the large-file form.
  int32_t WriteChunk(AviStream stream, std::span<const uint8_t> bytes, bool key);
  // Writes the index, patches sizes, counts and timing, closes the file and gives it its final
  // name. The audio stream's length becomes the number of samples written (at most 2^32 - 1);
  // a file without any
  // audio chunk declares one stream, its audio stream list turned into a JUNK chunk of the
  // same size, so every offset stays where it was. After a failed write the file is removed
  // instead: an earlier file of that name stays.
  int32_t Close();

  // Close in two steps, for files that must take their names together: Complete writes all of
  // the above under the temporary name and reports a failed write; Commit then closes the file
  // and gives it its final name (or removes it after a failure).
  int32_t Complete();
  int32_t Commit();
  // Closes the file without giving it its final name: it is removed, and an earlier file of
  // that name stays.
  void Discard();

  // Why the latest Open or Commit failed, for a person: "file create error cam_01.avi",
  // "cam_01.avi is a directory". Nothing is printed.
  const std::string& last_error() const { return last_error_; }

  uint32_t video_chunks() const { return video_chunks_; }
  uint32_t audio_chunks() const { return audio_chunks_; }
  uint32_t audio_bytes() const { return audio_bytes_; }

 private:
  struct IndexEntry {
    uint32_t is_audio;
    uint32_t size;
    uint32_t offset;
    uint32_t is_key;
  };

  // One entry of a stream's super index: a standard index chunk.
  struct SuperEntry {
    uint64_t offset;    // of the chunk's header in the file
    uint32_t size;      // header included
    uint32_t duration;  // video: chunks; audio: samples
  };

  void BuildHeaders();
  bool Put(const void* bytes, size_t count);
  bool SeekTo(uint64_t offset);
  bool PatchU32(uint64_t offset, uint32_t value);
  bool StartMovi();
  void PutIdx1();
  // Large-file form. AppendSuperIndex adds the stream's super index chunk, at its full size, to
  // staging_.
  void AppendSuperIndex(AviStream stream);
  bool MakeRoom(uint64_t chunk_bytes, bool audio);
  bool EndRiff();

  platform::OutputFile output_;
  std::FILE* file_ = nullptr;  // output_'s file while one is open
  bool failed_ = false;        // a write or seek of the current file failed
  bool movi_pending_ = false;
  bool open_dml_ = false;  // the current file's form
  uint64_t position_ = 0;  // current write offset
  uint32_t video_chunks_ = 0;
  uint32_t audio_chunks_ = 0;
  uint64_t audio_bytes_ = 0;  // data bytes of the audio chunks: one byte per sample
  uint32_t total_frames_pos_ = kTotalFramesPos;
  uint64_t movi_size_pos_ = 0;
  uint32_t audio_list_pos_ = kAudioListPos;
  uint32_t audio_list_size_ = kAudioListSize;
  uint32_t audio_length_pos_ = kAudioLengthPos;
  // Large-file form: where the super indexes and the odml frame count are, the current RIFF,
  // what its chunks add to its indexes, and the standard index chunks written so far.
  uint32_t super_index_pos_[2] = {0, 0};
  uint32_t dmlh_frames_pos_ = 0;
  uint64_t riff_start_ = 0;
  uint32_t riffs_ = 0;  // RIFFs begun
  uint32_t first_riff_video_ = 0;
  uint32_t riff_chunks_[2] = {0, 0};
  uint64_t riff_audio_bytes_ = 0;
  std::vector<SuperEntry> super_[2];
  // The index entries of the file (classic form) or of the current RIFF (large-file form).
  std::vector<IndexEntry> index_;
  std::string last_error_;
  std::vector<uint8_t> staging_;
  std::vector<char> file_buffer_;
};

}  // namespace vexlor::avi
