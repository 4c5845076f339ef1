// Inspection of a stream's headers: the parameter sets and slice headers as the decoder parses
// them, one field per line (what `vexlor decode --headers` prints).
#pragma once

#include <memory>
#include <span>
#include <string>

namespace vexlor::h264 {

class HeaderInspector {
 public:
  HeaderInspector();
  ~HeaderInspector();
  HeaderInspector(const HeaderInspector&) = delete;
  HeaderInspector& operator=(const HeaderInspector&) = delete;

  // Parses one NAL unit (start code prefix included or not) with parameter set tables of the
  // inspector's own, and describes it: "SPS id (result r)", "PPS id (result r)" or
  // "slice (result r)" followed by "  field = value" lines, or "NAL unit type t, n bytes".
  // Every line ends with a newline.
  std::string Describe(std::span<const uint8_t> nalUnit);

 private:
  struct Tables;
  std::unique_ptr<Tables> tables_;
};

}  // namespace vexlor::h264
