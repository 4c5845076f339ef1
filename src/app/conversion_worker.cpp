// The conversion worker: scans the channels, then copies every channel that has a picture size
// into its own AVI file and measures the channel's frame rate from the frames' time stamps.
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "app/channel_survey.h"
#include "app/conversion_job.h"
#include "avi/avi_check.h"
#include "avi/avi_writer.h"
#include "platform/file.h"
#include "platform/output_file.h"

namespace vexlor::app {
namespace {

void Post(ProgressSink* sink, ProgressKind kind, int value) {
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

// Under settings other than the defaults: which channels get a file, and where their clips lie.
// Returns false when cancelled.
bool PlanChannels(ConversionJob* job, ProgressSink* sink, ChannelSurvey survey[kChannelCount]) {
  const ConversionSettings& settings = job->settings;
  if (settings.range.Limited() && SurveyChannels(job, settings.range, survey, sink) == 0) {
    return false;
  }
  for (int c = 0; c < kChannelCount; ++c) {
    ChannelResult& r = job->results[c];
    if (job->widths[c] <= 0 || job->heights[c] <= 0) continue;
    if (!settings.Selected(c)) {
      r.outcome = ChannelOutcome::kNotSelected;
    } else if (settings.range.Limited()) {
      r.all_counted = survey[c].counted;
      r.all_first = survey[c].t_first;
      r.all_last = survey[c].t_last;
      r.starts_at_key_before_from = survey[c].clip_starts_before;
      if (!survey[c].HasClip()) r.outcome = ChannelOutcome::kOutsideRange;
    }
  }
  return true;
}

bool WillWrite(const ConversionJob& job, int c) {
  return job.widths[c] > 0 && job.heights[c] > 0 &&
         job.results[c].outcome == ChannelOutcome::kNotReached;
}

// skip_existing: true when every file the run would write exists and was finished. A temporary
// file of one of them beside it means a run that was killed while it wrote that file (or one
// still writing it): not finished.
bool AllFilesFinished(ConversionJob* job) {
  bool any = false;
  for (int c = 0; c < kChannelCount; ++c) {
    if (!WillWrite(*job, c)) continue;
    avi::AviFacts facts;
    const std::string& file = job->results[c].file;
    if (!avi::IsFinishedAviFile(file.c_str(), &facts)) return false;
    if (!platform::TemporariesBeside(file).empty()) return false;
    any = true;
  }
  if (!any) return false;
  for (int c = 0; c < kChannelCount; ++c) {
    if (WillWrite(*job, c)) job->results[c].outcome = ChannelOutcome::kExisting;
  }
  return true;
}

}  // namespace

bool FitsHeaders(double rate) {
  constexpr double kMax = static_cast<double>(std::numeric_limits<uint32_t>::max());
  return MeasuredRate(rate) && rate * 100.0 < kMax && 1000000.0 / rate < kMax;
}

WorkerResult ConversionWorker(ConversionJob* job, ProgressSink* sink) {
  auto writer = std::make_unique<avi::AviWriter>();
  auto finish = [job](WorkerResult result) {
    job->last_result.store(result);
    job->job_running.store(0);
    return result;
  };
  for (ChannelResult& r : job->results) r = ChannelResult{};
  if (job->source.file == nullptr) return finish(kWorkerFinished);

  if (job->scan_channels(job, sink) == kNoChannelFound) {
    Post(sink, kNoChannel, 0);
    return finish(kWorkerStopped);
  }
  // Cancelled during the scan: no file is written, and existing files stay as they are.
  if (job->cancel_requested.load() == 1) return finish(kWorkerStopped);
  writer->keep_path = job->path;  // the recording is never replaced, whatever the folder holds

  std::string names[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) {
    names[c] = OutputNameIn(job->settings.output_dir, job->path, c);
    job->channel_rates[c] = 0;
    if (job->widths[c] > 0 && job->heights[c] > 0) {
      job->results[c].outcome = ChannelOutcome::kNotReached;
      job->results[c].file = names[c];
    }
  }
  ChannelSurvey survey[kChannelCount];
  const bool ranged = job->settings.range.Limited();
  if (!PlanChannels(job, sink, survey)) return finish(kWorkerStopped);
  if (job->settings.skip_existing && AllFilesFinished(job)) {
    Post(sink, kSkipped, 0);
    return finish(kWorkerFinished);
  }

  container::MediaFrame* frame = &job->frame;
  for (int c = 0; c < kChannelCount; ++c) {
    if (!WillWrite(*job, c)) continue;
    ChannelResult& result = job->results[c];
    writer->settings.width = job->widths[c];
    writer->settings.height = job->heights[c];
    if (writer->Open(names[c].c_str()) != avi::kAviOk) {
      result.outcome = ChannelOutcome::kFailed;
      Post(sink, kWriteError, c);
      return finish(kWorkerStopped);
    }
    Rewind(job);
    int64_t counted = 0;
    double t_first = 0, t_last = 0;
    bool first_of_pass = true;
    for (int64_t n = 0; container::ReadNextFrame(&job->source, frame) == 1; ++n) {
      if (job->cancel_requested.load() == 1) {
        writer->Close();
        result.outcome = ChannelOutcome::kCancelled;
        return finish(kWorkerStopped);
      }
      Post(sink, kWriteStep, c);
      if (first_of_pass && job->hold_point == c) HoldUntilCancelled(job);
      first_of_pass = false;
      if (frame->channel != c) continue;
      if (ranged && !survey[c].InClip(n)) continue;
      if (!frame->passthrough) {
        if (!IsCountedVideoFrame(*frame)) continue;
        const double t = FrameTime(*frame);
        if (counted == 0) {
          t_first = t;
        } else {
          t_last = t;
        }
        ++counted;
      }
      if (writer->WriteFrame(frame->data.data(), frame->length) == avi::kAviWriteFailed) {
        writer->Close();
        result.outcome = ChannelOutcome::kFailed;
        Post(sink, kWriteError, c);
        return finish(kWorkerStopped);
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
    result.video_chunks = writer->video_chunks();
    result.audio_chunks = writer->audio_chunks();
    result.counted = counted;
    result.t_first = t_first;
    result.t_last = t_last;
    result.rate_scale = writer->videoHeader.dwScale;
    result.rate_rate = writer->videoHeader.dwRate;
    if (writer->Close() != avi::kAviOk) {
      result.outcome = ChannelOutcome::kFailed;
      Post(sink, kWriteError, c);
      return finish(kWorkerStopped);
    }
    result.outcome = ChannelOutcome::kWritten;
    // skip_existing: the temporary files a killed run left of this file would make every later
    // run convert the recording again.
    if (job->settings.skip_existing) {
      for (const std::string& left : platform::TemporariesBeside(names[c])) {
        platform::RemoveFile(left);
      }
    }
  }
  Post(sink, kDone, 0);
  return finish(kWorkerFinished);
}

}  // namespace vexlor::app
