// The AVI format behind the muxer seam: an AviWriter with the rate that the conversion measures
// in its headers, and the format record that lists it.
#pragma once

#include <cstdint>
#include <memory>

#include "avi/avi_writer.h"
#include "mux/muxer.h"

namespace vexlor::avi {

// Recordings of this size or more are written in the large-file form (OpenDML).
inline constexpr int64_t kOpenDmlSourceSize = int64_t{2} << 30;

// Frame rate of a channel from its counted frames and the times (seconds) of the first and the
// last of them: counted / (t_last - t_first + 0.1f).
double MeasureRate(int64_t counted, double t_first, double t_last);
// The rate goes into the headers as dwRate / 100 and as 1,000,000 / rate microseconds per
// frame. A rate that is not positive (time stamps running backwards), not finite, or outside
// what those 32-bit fields hold leaves the values that Open wrote (24 frames per second).
bool FitsHeaders(double rate);
// The video rate a file of these frames carries: *rate / *scale frames per second.
void FileRate(int64_t counted, double t_first, double t_last, uint32_t* rate, uint32_t* scale);

class AviMuxer : public mux::Muxer {
 public:
  Status Open(const std::string& path, const mux::StreamDescription& description) override;
  Status Write(const mux::Sample& sample) override;
  // The measured rate and the counted frames go into the headers; a cancelled file keeps the
  // values Open wrote, with a video length of 0, which marks it as not finished.
  Status Finish(const mux::FinishInfo& info) override;
  Status Commit() override;
  void Abandon() override;
  mux::MuxerFacts Facts() const override { return facts_; }

 private:
  void TakeFacts();
  AviWriter writer_;
  std::string path_;
  mux::MuxerFacts facts_;
};

// "avi", ".avi"; a file is finished when IsFinishedAviFile says so.
const mux::Format& AviFormat();

}  // namespace vexlor::avi
