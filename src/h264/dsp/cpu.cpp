// The processor probe: CPUID on x86 processors (with the operating system's consent for the AVX
// registers), nothing elsewhere.
#include "h264/cpu.h"

#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define VEXLOR_CPUID 1
#endif

namespace vexlor::dsp {
namespace {

constexpr CpuLevel kLevels[] = {
    {"c", 0},
    {"sse2", kCpuSse2},
    {"avx2", kCpuSse2 | kCpuAvx2},
};

uint32_t Probe() {
  uint32_t flags = 0;
#if defined(VEXLOR_CPUID)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
  if ((edx >> 23) & 1) flags |= kCpuMmx;
  if ((edx >> 26) & 1) flags |= kCpuSse2;
  // AVX2 needs the processor's AVX and the operating system saving the YMM registers (XCR0 bits
  // 1 and 2, read with XGETBV once OSXSAVE says it may be used).
  const bool osxsave = (ecx >> 27) & 1, avx = (ecx >> 28) & 1;
  if (osxsave && avx) {
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 6) == 6 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && ((ebx >> 5) & 1)) {
      flags |= kCpuAvx2;
    }
  }
#endif
  return flags;
}

}  // namespace

std::span<const CpuLevel> CpuLevels() {
  return kLevels;
}

bool CpuLevelFlags(std::string_view name, uint32_t* flags) {
  for (const CpuLevel& level : kLevels) {
    if (name == level.name) {
      *flags = level.flags;
      return true;
    }
  }
  return false;
}

uint32_t DetectCpuFlags() {
  static const uint32_t flags = Probe();
  return flags;
}

uint32_t CpuFlagsInUse() {
  static const uint32_t flags = [] {
    uint32_t limit = ~0u;
    const char* level = std::getenv("VEXLOR_CPU");
    if (level != nullptr) CpuLevelFlags(level, &limit);
    return DetectCpuFlags() & limit;
  }();
  return flags;
}

}  // namespace vexlor::dsp
