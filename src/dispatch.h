// The one place where the CPU is asked what it can do and the kernels for
// this process are chosen. Every kernel also has a portable version that gives
// identical results.
#pragma once

#include <string_view>
#include <vector>

#include "base64.h"
#include "sha2.h"

namespace velmora::dispatch {

struct CpuFeatures {
  bool sha = false;         // SHA-NI with SSE4.1 and SSSE3
  bool avx2 = false;        // AVX2 and BMI2, with the OS saving YMM state
  bool avx512vbmi = false;  // AVX-512 F, BW, VL and VBMI, with the OS saving ZMM state
};

CpuFeatures detect_cpu();

struct Kernels {
  std::string_view name;
  sha2::Compress256 compress256;
  sha2::Compress512 compress512;
  base64::EncodeGroups encode_groups;
  base64::DecodeGroups decode_groups;
};

// The kernels chosen once for this process.
const Kernels& active();

// Every kernel set this CPU can run, the portable one first; for tests and
// benchmarks that compare implementations.
std::vector<Kernels> available();

}  // namespace velmora::dispatch
