// The conversion worker: the stages in order. The scan finds the channels, the plan decides the
// files, the writing copies the frames: in one read of the recording for every channel, or (the
// dialog) in one pass per channel, channel after channel.
#include "app/channel_survey.h"
#include "app/conversion_job.h"
#include "app/conversion_plan.h"
#include "conversion_write.h"
#include "platform/file.h"
#include "platform/output_file.h"

namespace vexlor::app {
namespace {

void Post(ProgressSink* sink, ProgressKind kind, int value) {
  if (sink) sink->PostProgress(kind, value);
}

// skip_existing: true when every file the run would write exists and was finished by its
// format's writer. A temporary file of one of them beside it means a run that was killed while
// it wrote that file (or one still writing it): not finished. With a time range, the channels
// whose range holds no clip write nothing; in one read, channels the scan did not find may
// write files too: a survey of the recording tells which those are.
bool AllFilesFinished(ConversionJob* job, ConversionPlan* plan, ProgressSink* sink,
                      bool* cancelled) {
  bool late = false;
  for (const ChannelPlan& p : plan->channels) late |= p.late;
  if (plan->range.Limited() || late) {
    // The files of the scan's channels first: when one is missing, no survey is needed.
    for (const ChannelPlan& p : plan->channels) {
      if (!p.write) continue;
      for (const PlannedFile& f : p.files) {
        if (!f.format->is_finished(f.path)) return false;
      }
    }
    ChannelSurvey survey[kChannelCount];
    if (SurveyChannels(job, plan->range, survey, sink) == 0) {
      *cancelled = true;
      return false;
    }
    for (int c = 0; c < kChannelCount; ++c) {
      ChannelPlan& p = plan->channels[c];
      if (p.late && survey[c].first_index >= 0 && survey[c].counted > 0) {
        p.write = LearnChannelSize(job->reader(), c, survey[c].first_offset, survey[c].first_index)
                      .HasSize();
      }
      if (p.write && !survey[c].HasClip()) p.write = false;
    }
  }
  bool any = false;
  for (const ChannelPlan& p : plan->channels) {
    if (!p.write) continue;
    for (const PlannedFile& f : p.files) {
      if (!f.format->is_finished(f.path)) return false;
      if (!platform::TemporariesBeside(f.path).empty()) return false;
    }
    any = true;
  }
  return any;
}

}  // namespace

WorkerResult ConversionWorker(ConversionJob* job, ProgressSink* sink) {
  job->job_running_.store(1);
  auto finish = [job](WorkerResult result) {
    job->last_result_.store(result);
    job->job_running_.store(0);
    return result;
  };
  for (int c = 0; c < kChannelCount; ++c) {
    job->results_[c] = ChannelResult{};
    job->channel_rates_[c] = 0;
  }
  if (!job->HasRecording()) return finish(kWorkerFinished);

  // One read looks for channels beyond the scan too: a recording whose channels the scan did
  // not find may still hold some.
  const bool found = job->scan_channels(job, sink) == kChannelsFound;
  if (!found && !job->settings.one_read) {
    Post(sink, kNoChannel, 0);
    return finish(kWorkerStopped);
  }
  // Cancelled during the scan: no file is written, and existing files stay as they are.
  if (job->CancelRequested()) return finish(kWorkerStopped);

  ConversionPlan plan = PlanConversion(job->scan(), job->settings, job->path(), job->file_size());
  for (int c = 0; c < kChannelCount; ++c) {
    const ChannelPlan& p = plan.channels[c];
    job->results_[c].outcome = p.outcome;
    if (!p.files.empty()) job->results_[c].file = p.files[0].path;
  }
  if (job->settings.skip_existing) {
    ConversionPlan checked = plan;
    bool cancelled = false;
    if (AllFilesFinished(job, &checked, sink, &cancelled)) {
      for (int c = 0; c < kChannelCount; ++c) {
        if (checked.channels[c].write) job->results_[c].outcome = ChannelOutcome::kExisting;
      }
      Post(sink, kSkipped, 0);
      return finish(kWorkerFinished);
    }
    if (cancelled) return finish(kWorkerStopped);
  }

  WriteOutcome outcome = WriteOutcome::kFinished;
  if (plan.one_read) {
    outcome = WriteChannels(job, plan, plan.WrittenMask(), sink);
  } else {
    for (int c = 0; c < kChannelCount && outcome == WriteOutcome::kFinished; ++c) {
      if (plan.channels[c].write) outcome = WriteChannels(job, plan, 1u << c, sink);
    }
  }
  if (outcome != WriteOutcome::kFinished) return finish(kWorkerStopped);
  if (!found) {
    bool any = false;
    for (const ChannelResult& r : job->results_) any |= r.outcome == ChannelOutcome::kWritten;
    if (!any) {
      Post(sink, kNoChannel, 0);
      return finish(kWorkerStopped);
    }
  }

  // skip_existing: the temporary files a killed run left of these files would make every later
  // run convert the recording again.
  if (job->settings.skip_existing) {
    for (const ChannelResult& r : job->results_) {
      if (r.outcome != ChannelOutcome::kWritten) continue;
      for (const FileResult& f : r.files) {
        for (const std::string& left : platform::TemporariesBeside(f.path)) {
          platform::RemoveFile(left);
        }
      }
    }
  }
  Post(sink, kDone, 0);
  return finish(kWorkerFinished);
}

}  // namespace vexlor::app
