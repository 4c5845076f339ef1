// Writing boxes: big-endian fields into a byte vector, each box's size set when it is closed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexlor::mp4 {

class BoxWriter {
 public:
  explicit BoxWriter(std::vector<uint8_t>* out) : out_(out) {}

  void U8(uint32_t v) { out_->push_back(uint8_t(v)); }
  void U16(uint32_t v) { U8(v >> 8), U8(v); }
  void U32(uint32_t v) { U16(v >> 16), U16(v); }
  void U64(uint64_t v) { U32(uint32_t(v >> 32)), U32(uint32_t(v)); }
  void Type(const char* t) { out_->insert(out_->end(), t, t + 4); }
  void Bytes(std::span<const uint8_t> b) { out_->insert(out_->end(), b.begin(), b.end()); }
  void Text(const std::string& s) { out_->insert(out_->end(), s.begin(), s.end()); }
  void Zeros(size_t n) { out_->insert(out_->end(), n, 0); }

  // Opens a box (a full box with its version and flags); End closes the innermost open one.
  void Begin(const char* type) {
    open_.push_back(out_->size());
    U32(0);
    Type(type);
  }
  void BeginFull(const char* type, uint8_t version, uint32_t flags) {
    Begin(type);
    U32(uint32_t(version) << 24 | flags);
  }
  void End() {
    const size_t start = open_.back();
    open_.pop_back();
    PatchU32(start, uint32_t(out_->size() - start));
  }
  // The offset of the box that Begin would open now.
  size_t size() const { return out_->size(); }
  void PatchU32(size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) (*out_)[at + size_t(k)] = uint8_t(v >> (24 - 8 * k));
  }

 private:
  std::vector<uint8_t>* out_;
  std::vector<size_t> open_;
};

}  // namespace vexlor::mp4
