#include "app/conversion_job.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "h264/decoder.h"

namespace vexlor::app {

ConversionJob::ConversionJob() {
  CreateDecoders();
}

ConversionJob::~ConversionJob() {
  CancelAndWait();
  DestroyDecoders();
  CloseRecording();
}

void ConversionJob::CreateDecoders() {
  for (auto*& decoder : decoders_) {
    decoder = nullptr;
    if (h264::CreateDecoder(&decoder) != 0) {
      h264::DestroyDecoder(decoder);  // an instance made by a failed creation is not used
      decoder = nullptr;
    }
  }
}

void ConversionJob::DestroyDecoders() {
  for (auto*& decoder : decoders_) {
    h264::DestroyDecoder(decoder);
    decoder = nullptr;
  }
}

void ConversionJob::RenewDecoders() {
  if (Running()) return;
  DestroyDecoders();
  CreateDecoders();
}

void ConversionJob::SetDecoder(int channel, h264::H264Decoder* decoder) {
  h264::DestroyDecoder(decoders_[channel]);
  decoders_[channel] = decoder;
}

Status ConversionJob::OpenRecording(const std::string& recording_path) {
  if (Running()) return Status(StatusCode::kInvalidArgument, "a conversion is running");
  CloseRecording();
  if (Status opened = reader_.Open(recording_path); !opened.ok()) return opened;
  if (max_recording_size > 0 && reader_.size() >= max_recording_size) {
    reader_.Close();
    return Status(StatusCode::kTooLarge, kTooLargeText);
  }
  return Status::Ok();
}

void ConversionJob::CloseRecording() {
  if (Running()) return;
  reader_.Close();
}

void ConversionJob::JoinFinishedWorker() {
  if (worker_.joinable()) worker_.join();
}

bool ConversionJob::StartConversion(ProgressSink* sink) {
  if (job_running_.load() != 0) return false;
  JoinFinishedWorker();
  cancel_requested_.store(0);
  job_running_.store(1);
  worker_ = std::thread([this, sink] {
    // Out of memory ends the conversion, not the program.
    try {
      ConversionWorker(this, sink);
    } catch (const std::bad_alloc&) {
      last_result_.store(kWorkerStopped);
      job_running_.store(0);
    }
  });
  return true;
}

void ConversionJob::CancelAndWait() {
  if (job_running_.load() != 0) cancel_requested_.store(1);
  JoinFinishedWorker();
}

void ConversionJob::Wait() {
  JoinFinishedWorker();
}

void HoldUntilCancelled(const ConversionJob& job) {
  while (!job.CancelRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

namespace {

std::string ChannelList(int mask) {
  std::string list;
  for (int c = 0; c < kChannelCount; ++c) {
    if (((mask >> c) & 1) == 0) continue;
    char name[8];
    std::snprintf(name, sizeof name, "CH_%02d", c + 1);
    list += list.empty() ? name : std::string(" ") + name;
  }
  return list;
}

}  // namespace

std::string ProgressText(int kind, int value, int64_t read_position, int64_t file_size,
                         const double* channel_rates, const std::string& current) {
  char text[96];
  const double percent = file_size > 0 ? read_position * 100.0 / file_size : 0.0;
  switch (kind) {
    case kScanStep:
      std::snprintf(text, sizeof text, "Retrieving Channels Info. Progress = %.2f%%",
                    value * 0.09765625);
      return text;
    case kWriteStep:
      std::snprintf(text, sizeof text, "CH_%02d. Writing Progress = %.2f%%", value + 1, percent);
      return text;
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
    case kSurveyStep:
      std::snprintf(text, sizeof text, "Finding The Time Range. Progress = %.2f%%", percent);
      return text;
    case kSkipped:
      return "Skipped: Complete Files Exist";
    case kReadStep:
      std::snprintf(text, sizeof text, ". Writing Progress = %.2f%%", percent);
      return ChannelList(value) + text;
    default:
      return current;
  }
}

std::string ProgressText(const ConversionJob& job, int kind, int value,
                         const std::string& current) {
  return ProgressText(kind, value, job.read_position(), job.file_size(), job.channel_rates(),
                      current);
}

}  // namespace vexlor::app
