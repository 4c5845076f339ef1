// The conversion worker: scans the channels, then copies every channel that has a picture size
// into its own AVI file and measures the channel's frame rate from the frames' time stamps.
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "app/conversion_job.h"
#include "avi/avi_writer.h"
#include "platform/file.h"

namespace vexlor::app {
namespace {

void Post(ProgressSink* sink, int kind, int value) {
  if (sink) sink->PostProgress(kind, value);
}

void Rewind(ConversionJob* job) {
  platform::SeekFile(job->source.file, 0, SEEK_SET);
  job->source.read_position.store(0);
  job->frame.length = 0;
}

bool MeasuredRate(double rate) {
  return std::isfinite(rate) && rate > 0;
}

// The rate goes into the headers as dwRate / 100 and as 1,000,000 / rate microseconds per
// frame. A rate that is not positive (time stamps running backwards), not finite, or outside
// what those 32-bit fields hold leaves the values that Open wrote (24 frames per second).
bool FitsHeaders(double rate) {
  constexpr double kMax = static_cast<double>(std::numeric_limits<uint32_t>::max());
  return MeasuredRate(rate) && rate * 100.0 < kMax && 1000000.0 / rate < kMax;
}

}  // namespace

int ConversionWorker(ConversionJob* job, ProgressSink* sink) {
  auto writer = std::make_unique<avi::AviWriter>();
  auto finish = [job](int result) {
    job->last_result.store(result);
    job->job_running.store(0);
    return result;
  };
  if (job->source.file == nullptr) return finish(1);

  if (job->scan_channels(job, sink) == 0) {
    Post(sink, kNoChannel, 0);
    return finish(0);
  }
  // Cancelled during the scan: no file is written, and existing files stay as they are.
  if (job->cancel_requested.load() == 1) return finish(0);
  writer->keep_path = job->path;  // the recording is never replaced, whatever the folder holds

  std::string names[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) {
    names[c] = OutputName(job->path, c);
    job->channel_rates[c] = 0;
  }

  container::MediaFrame* frame = &job->frame;
  for (int c = 0; c < kChannelCount; ++c) {
    if (job->widths[c] <= 0 || job->heights[c] <= 0) continue;
    writer->settings.width = job->widths[c];
    writer->settings.height = job->heights[c];
    if (writer->Open(names[c].c_str()) != avi::kAviOk) {
      Post(sink, kWriteError, c);
      return finish(0);
    }
    Rewind(job);
    int64_t counted = 0;
    double t_first = 0, t_last = 0;
    bool first_of_pass = true;
    while (container::ReadNextFrame(&job->source, frame) == 1) {
      if (job->cancel_requested.load() == 1) {
        writer->Close();
        return finish(0);
      }
      Post(sink, kWriteStep, c);
      if (first_of_pass && job->hold_point == c) HoldUntilCancelled(job);
      first_of_pass = false;
      if (frame->channel != c) continue;
      if (!frame->passthrough) {
        if (!IsCountedVideoFrame(*frame)) continue;
        const double t =
            frame->frame_ticks * (1.0 / 60) + static_cast<double>(frame->frame_seconds);
        if (counted == 0) {
          t_first = t;
        } else {
          t_last = t;
        }
        ++counted;
      }
      if (writer->WriteFrame(frame->data.data(), frame->length) == avi::kAviWriteFailed) {
        writer->Close();
        Post(sink, kWriteError, c);
        return finish(0);
      }
    }
    // A single counted frame spans no time: its rate is 1 / 0.1 s.
    if (counted == 1) t_last = t_first;
    const double rate = MeasureRate(counted, t_first, t_last);
    // The rate shown is the one the headers carry: one they cannot hold counts as none.
    job->channel_rates[c] = FitsHeaders(rate) ? rate : 0.0;
    if (FitsHeaders(rate)) {
      writer->mainHeader.dwMicroSecPerFrame = static_cast<uint32_t>(1000000.0 / rate);
      writer->videoHeader.dwScale = 100;
      writer->videoHeader.dwRate = static_cast<uint32_t>(rate * 100.0);
    }
    writer->videoHeader.dwLength = static_cast<uint32_t>(counted);
    if (writer->Close() != avi::kAviOk) {
      Post(sink, kWriteError, c);
      return finish(0);
    }
  }
  Post(sink, kDone, 0);
  return finish(1);
}

}  // namespace vexlor::app
