#include "avi/avi_muxer.h"

#include <cmath>
#include <limits>

#include "avi/avi_check.h"

namespace vexlor::avi {

double MeasureRate(int64_t counted, double t_first, double t_last) {
  return static_cast<double>(counted) / (t_last - t_first + static_cast<double>(0.1f));
}

bool FitsHeaders(double rate) {
  constexpr double kMax = static_cast<double>(std::numeric_limits<uint32_t>::max());
  return std::isfinite(rate) && rate > 0 && rate * 100.0 < kMax && 1000000.0 / rate < kMax;
}

void FileRate(int64_t counted, double t_first, double t_last, uint32_t* rate, uint32_t* scale) {
  const double measured = MeasureRate(counted, t_first, t_last);
  if (FitsHeaders(measured)) {
    *scale = 100;
    *rate = static_cast<uint32_t>(measured * 100.0);
  } else {  // the writer's default
    *scale = 1;
    *rate = static_cast<uint32_t>(AviWriterSettings{}.frame_rate);
  }
}

Status AviMuxer::Open(const std::string& path, const mux::StreamDescription& description) {
  path_ = path;
  facts_ = mux::MuxerFacts{};
  writer_.settings.width = description.width;
  writer_.settings.height = description.height;
  // The recording being converted is the last file to keep.
  writer_.keep_path = description.keep_paths.empty() ? "" : description.keep_paths.back();
  // Recordings of 2 GiB or more may give files beyond what 32-bit offsets reach: the large-file
  // form from the start.
  writer_.settings.open_dml = description.source_size >= kOpenDmlSourceSize;
  if (writer_.Open(path.c_str()) != kAviOk) {
    return Status(StatusCode::kCannotCreate, writer_.last_error());
  }
  return Status::Ok();
}

Status AviMuxer::Write(const mux::Sample& sample) {
  const AviStream stream =
      sample.track == mux::Track::kAudio ? AviStream::kAudio : AviStream::kVideo;
  if (writer_.WriteChunk(stream, sample.payload, sample.key) == kAviWriteFailed) {
    return Status(StatusCode::kWriteFailed, "cannot write " + path_);
  }
  return Status::Ok();
}

void AviMuxer::TakeFacts() {
  facts_.video_samples = writer_.video_chunks();
  facts_.audio_samples = writer_.audio_chunks();
  facts_.audio_bytes = writer_.audio_bytes();
  facts_.rate = writer_.videoHeader.dwRate;
  facts_.scale = writer_.videoHeader.dwScale;
}

Status AviMuxer::Finish(const mux::FinishInfo& info) {
  if (!info.cancelled) {
    const double rate = MeasureRate(info.counted, info.t_first, info.t_last);
    if (FitsHeaders(rate)) {
      writer_.mainHeader.dwMicroSecPerFrame = static_cast<uint32_t>(1000000.0 / rate);
      writer_.videoHeader.dwScale = 100;
      writer_.videoHeader.dwRate = static_cast<uint32_t>(rate * 100.0);
    }
    writer_.videoHeader.dwLength = static_cast<uint32_t>(info.counted);
  }
  TakeFacts();
  if (writer_.Complete() != kAviOk)
    return Status(StatusCode::kWriteFailed, "cannot write " + path_);
  return Status::Ok();
}

Status AviMuxer::Commit() {
  if (writer_.Commit() != kAviOk) {
    const std::string why = writer_.last_error();
    return Status(StatusCode::kWriteFailed, why.empty() ? "cannot write " + path_ : why);
  }
  return Status::Ok();
}

void AviMuxer::Abandon() {
  TakeFacts();
  writer_.Discard();
}

namespace {

std::unique_ptr<mux::Muxer> CreateAvi() {
  return std::make_unique<AviMuxer>();
}

bool IsFinishedAvi(const std::string& path) {
  AviFacts facts;
  return IsFinishedAviFile(path.c_str(), &facts);
}

}  // namespace

const mux::Format& AviFormat() {
  static const mux::Format kFormat{"avi", ".avi", &CreateAvi, &IsFinishedAvi};
  return kFormat;
}

}  // namespace vexlor::avi
