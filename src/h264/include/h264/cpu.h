// The processor features the pixel kernels may use, probed once per process.
//
// Every kernel family (the decoder's transforms, intra prediction, motion compensation and
// deblocking filters, and the colour conversion) has a portable version and may have faster ones
// for an instruction set; the family's Init function takes CPU flags and picks the fastest
// version those flags allow. The flags in use are the processor's, limited by the environment
// variable VEXLOR_CPU when it names a level: VEXLOR_CPU=c runs the portable kernels on any
// machine, VEXLOR_CPU=sse2 stops below AVX2. Tests and benchmarks use it to reach every level.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace vexlor::dsp {

enum CpuFlag : uint32_t {
  kCpuMmx = 1u << 0,
  kCpuSse2 = 1u << 1,
  kCpuAvx2 = 1u << 2,
};

// A kernel level: a name and the flags of the instruction sets it may use.
struct CpuLevel {
  const char* name;
  uint32_t flags;
};

// Every level, from the portable kernels up: "c", "sse2", "avx2".
std::span<const CpuLevel> CpuLevels();

// The flags of the level called `name`; false (and *flags untouched) for an unknown name.
bool CpuLevelFlags(std::string_view name, uint32_t* flags);

// What the processor reports (CPUID on x86; nothing elsewhere), probed once.
uint32_t DetectCpuFlags();

// DetectCpuFlags(), limited to the level named by VEXLOR_CPU when that is set to a known level
// (read once, at the first call).
uint32_t CpuFlagsInUse();

// The table of a kernel family for the flags in use, built once by the family's
// Init(table, cpuFlags).
template <class Table, void (*Init)(Table*, uint32_t)>
const Table& KernelsInUse() {
  static const Table table = [] {
    Table t{};
    Init(&t, CpuFlagsInUse());
    return t;
  }();
  return table;
}

}  // namespace vexlor::dsp
