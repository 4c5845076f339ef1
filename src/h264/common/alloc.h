// Allocation inside the decoder. Every allocation goes through these helpers, which end the
// process with exit status 1 when memory runs out, so decoder code never sees a failed
// allocation.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

namespace vexlor::h264 {

// Prints "out of memory" and ends the process with exit status 1.
[[noreturn]] void OutOfMemory();

template <class T>
void ResizeOrDie(std::vector<T>* v, size_t n) {
  try {
    v->resize(n);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  } catch (const std::length_error&) {
    OutOfMemory();
  }
}

template <class T>
std::unique_ptr<T> MakeOrDie() {
  try {
    return std::make_unique<T>();
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
}

}  // namespace vexlor::h264
