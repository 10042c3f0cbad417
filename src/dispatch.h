// What this CPU can do, asked once. Each algorithm keeps its own table of
// kernels and picks the first row whose requirements are met here.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velmora::dispatch {

// Instruction-set extensions a kernel may require, as bits. An extension that
// uses wider registers counts only when the operating system saves them.
using Features = std::uint32_t;

enum Feature : Features {
  kX86Sha = 1u << 0,         // SHA extensions with SSE4.1 and SSSE3
  kX86Avx2 = 1u << 1,        // AVX2 and BMI2
  kX86Avx512Vbmi = 1u << 2,  // AVX-512 F, BW, VL and VBMI
  kX86Avx512Vl = 1u << 3,    // AVX-512 F and VL, with AVX2 and BMI2
  kArmNeon = 1u << 8,        // Advanced SIMD
  kArmSha256 = 1u << 9,      // SHA-256 instructions
  kArmSha512 = 1u << 10,     // SHA-512 instructions
};

// The extensions of this CPU, detected on first use.
Features cpu_features();

// Whether this CPU has every extension in `required`.
bool supports(Features required);

// The first row of a kernel table (rows with `required`, best first, the
// portable kernel last and requiring nothing) that this CPU can run.
template <class Kernel>
const Kernel& first_supported(std::span<const Kernel> table) {
  for (const Kernel& kernel : table) {
    if (supports(kernel.required)) return kernel;
  }
  return table.back();
}

// Every row of a kernel table this CPU can run, in table order; for the tests,
// fuzz harnesses and benchmarks that compare kernels.
template <class Kernel>
std::vector<Kernel> supported_rows(std::span<const Kernel> table) {
  std::vector<Kernel> rows;
  for (const Kernel& kernel : table) {
    if (supports(kernel.required)) rows.push_back(kernel);
  }
  return rows;
}

}  // namespace velmora::dispatch
