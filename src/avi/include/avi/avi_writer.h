// AVI writer: turns the media frames of one channel into a RIFF AVI file with an H.264 video
// stream ("00dc" chunks) and an 8-bit mono PCM audio stream ("01wb" chunks).
//
// Calling order per file: set settings.width/height; Open; any number of WriteFrame (or
// WriteChunk); optionally overwrite mainHeader.dwMicroSecPerFrame and
// videoHeader.dwScale/dwRate/dwLength; Close. The same writer is then reused for the next file.
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

// Chunk count above which WriteFrame reports kAviIndexFull. The index itself keeps growing, so
// every chunk stays reachable.
inline constexpr uint32_t kIndexCapacity = 108000;
inline constexpr uint32_t kKeyFrameFlag = 0x10;

struct AviWriterSettings {
  int32_t width = 352;
  int32_t height = 240;
  double frame_rate = 24.0;
  int32_t audio_format = 144;  // selects the 8-bit mono PCM stream; informational
  int32_t audio_sample_rate = 8000;
  int32_t audio_block_size = 2048;  // informational
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

// Fixed offsets of the file layout written by Open.
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
  // or a write failed), or kAviIndexFull (stored, but beyond the index capacity).
  int32_t WriteChunk(AviStream stream, std::span<const uint8_t> bytes, bool key);
  // Writes the index, patches sizes, counts and timing, closes the file and gives it its final
  // name. The audio stream's length becomes the number of samples written; a file without any
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

  void BuildHeaders();
  bool Put(const void* bytes, size_t count);
  bool SeekTo(uint32_t offset);
  bool PatchU32(uint32_t offset, uint32_t value);
  bool StartMovi();

  platform::OutputFile output_;
  std::FILE* file_ = nullptr;  // output_'s file while one is open
  bool failed_ = false;        // a write or seek of the current file failed
  bool movi_pending_ = false;
  uint32_t position_ = 0;  // current write offset
  uint32_t video_chunks_ = 0;
  uint32_t audio_chunks_ = 0;
  uint32_t audio_bytes_ = 0;  // data bytes of the audio chunks: one byte per sample
  uint32_t total_frames_pos_ = kTotalFramesPos;
  uint32_t movi_size_pos_ = 0;
  std::vector<IndexEntry> index_;
  std::vector<uint8_t> staging_;
  std::vector<char> file_buffer_;
};

}  // namespace vexlor::avi
