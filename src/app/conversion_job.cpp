#include "app/conversion_job.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "h264/decoder.h"
#include "platform/file.h"

namespace vexlor::app {
namespace {

constexpr size_t kRecordingBufferSize = size_t{1} << 18;

}  // namespace

ConversionJob::ConversionJob() {
  container::InitFrame(&frame);
  for (int c = 0; c < kChannelCount; ++c) {
    h264::H264Decoder* decoder = nullptr;
    if (h264::CreateDecoder(&decoder) != 0) {
      h264::DestroyDecoder(decoder);  // an instance made by a failed creation is not used
      decoder = nullptr;
    }
    decoders[c] = decoder;
  }
}

ConversionJob::~ConversionJob() {
  CancelAndWait();
  for (auto*& decoder : decoders) {
    h264::DestroyDecoder(decoder);
    decoder = nullptr;
  }
  CloseRecording();
}

OpenResult ConversionJob::OpenRecording(const std::string& recording_path) {
  if (Running()) return kBusy;
  CloseRecording();
  // Only regular files: a FIFO would block the open, a device could be read for ever.
  switch (platform::KindOf(recording_path)) {
    case platform::PathKind::kDirectory:
      return kIsDirectory;
    case platform::PathKind::kFifo:
    case platform::PathKind::kOther:
      return kNotRegularFile;
    default:
      break;
  }
  std::FILE* file = platform::OpenFile(recording_path, "rb");
  if (file == nullptr) return kCannotOpen;
  if (!platform::IsRegularFile(file)) {
    std::fclose(file);
    return kNotRegularFile;
  }
  // The reader takes one packet at a time; the runtime's default buffer (4 KB with glibc and
  // the Windows runtime) would make that a system call every third packet.
  std::setvbuf(file, nullptr, _IOFBF, kRecordingBufferSize);
  if (platform::SeekFile(file, 0, SEEK_END) != 0) {
    std::fclose(file);
    return kCannotOpen;
  }
  const int64_t size = platform::TellFile(file);
  if (size < 0) {
    std::fclose(file);
    return kCannotOpen;
  }
  if (size >= kMaxRecordingSize) {
    std::fclose(file);
    return kTooLarge;
  }
  source.file = file;
  source.read_position.store(0);
  path = recording_path;
  file_size = size;
  return kOpened;
}

void ConversionJob::CloseRecording() {
  if (Running()) return;
  if (source.file != nullptr) std::fclose(source.file);
  source.file = nullptr;
  path.clear();
  file_size = 0;
}

void ConversionJob::JoinFinishedWorker() {
  if (worker_.joinable()) worker_.join();
}

bool ConversionJob::StartConversion(ProgressSink* sink) {
  if (job_running.load() != 0) return false;
  JoinFinishedWorker();
  cancel_requested.store(0);
  job_running.store(1);
  worker_ = std::thread([this, sink] {
    // Out of memory ends the conversion, not the program.
    try {
      ConversionWorker(this, sink);
    } catch (const std::bad_alloc&) {
      std::fputs("error: out of memory\n", stderr);
      last_result.store(0);
      job_running.store(0);
    }
  });
  return true;
}

void ConversionJob::CancelAndWait() {
  if (job_running.load() != 0) {
    cancel_requested.store(1);
    while (job_running.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  JoinFinishedWorker();
}

void ConversionJob::Wait() {
  JoinFinishedWorker();
}

void HoldUntilCancelled(ConversionJob* job) {
  while (job->cancel_requested.load() == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int ParseHoldPoint(const char* text) {
  if (text == nullptr) return kHoldNowhere;
  if (std::strcmp(text, "scan") == 0) return kHoldInScan;
  int number = 0;
  char rest = 0;
  if (std::sscanf(text, "CH_%d%c", &number, &rest) == 1 && number >= 1 && number <= kChannelCount) {
    return number - 1;
  }
  return kHoldNowhere;
}

std::string OutputName(const std::string& recording_path, int channel, const char* suffix) {
  // Drop the file name's extension (".kvr", ".ms2", ".m4v": the last four characters); a file
  // name without a dot keeps all of it, so the name never reaches into the directory part.
  const size_t slash = recording_path.find_last_of(platform::kPathSeparators);
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = recording_path.find_last_of('.');
  const size_t stem_end =
      (dot != std::string::npos && dot >= name_start) ? dot : recording_path.size();
  char number[16];
  std::snprintf(number, sizeof number, "_%02d", channel + 1);
  return recording_path.substr(0, stem_end) + number + suffix;
}

std::string OutputNameIn(const std::string& output_dir, const std::string& recording_path,
                         int channel, const char* suffix) {
  std::string name = OutputName(recording_path, channel, suffix);
  if (output_dir.empty()) return name;
  const size_t slash = name.find_last_of(platform::kPathSeparators);
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  const bool ends_with_separator =
      std::string(platform::kPathSeparators).find(output_dir.back()) != std::string::npos;
  return ends_with_separator ? output_dir + base : output_dir + "/" + base;
}

double MeasureRate(int64_t counted, double t_first, double t_last) {
  return static_cast<double>(counted) / (t_last - t_first + static_cast<double>(0.1f));
}

std::string ProgressText(int kind, int value, int64_t read_position, int64_t file_size,
                         const double* channel_rates, const std::string& current) {
  char text[96];
  switch (kind) {
    case kScanStep:
      std::snprintf(text, sizeof text, "Retrieving Channels Info. Progress = %.2f%%",
                    value * 0.09765625);
      return text;
    case kWriteStep: {
      const double percent = file_size > 0 ? read_position * 100.0 / file_size : 0.0;
      std::snprintf(text, sizeof text, "CH_%02d. Writing Progress = %.2f%%", value + 1, percent);
      return text;
    }
    case kDone: {
      double sum = 0;
      int above_zero = 0;
      for (int c = 0; c < kChannelCount; ++c) {
        if (channel_rates[c] > 0) {
          sum += channel_rates[c];
          ++above_zero;
        }
      }
      std::snprintf(text, sizeof text, "Done. Average FPS = %.2f",
                    above_zero > 0 ? sum / above_zero : 0.0);
      return text;
    }
    case kNoChannel:
      return "It's Not A Mpeg-4 File";
    case kWriteError:
      std::snprintf(text, sizeof text, "CH_%02d. Write Error", value + 1);
      return text;
    case kSurveyStep: {
      const double percent = file_size > 0 ? read_position * 100.0 / file_size : 0.0;
      std::snprintf(text, sizeof text, "Finding The Time Range. Progress = %.2f%%", percent);
      return text;
    }
    case kSkipped:
      return "Skipped: Complete Files Exist";
    default:
      return current;
  }
}

std::string ProgressText(const ConversionJob& job, int kind, int value,
                         const std::string& current) {
  return ProgressText(kind, value, job.source.read_position.load(std::memory_order_relaxed),
                      job.file_size, job.channel_rates, current);
}

}  // namespace vexlor::app
