#include "dispatch.h"

#if VELMORA_X86_64
#include <cpuid.h>

#include <cstdint>
#endif

namespace velmora::dispatch {

namespace {

#if VELMORA_X86_64
struct CpuidRegisters {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

CpuidRegisters cpuid(unsigned leaf, unsigned subleaf) {
  CpuidRegisters r;
  if (!__get_cpuid_count(leaf, subleaf, &r.eax, &r.ebx, &r.ecx, &r.edx)) return {};
  return r;
}

// Which register states the operating system saves on a context switch.
std::uint64_t xgetbv0() {
  std::uint32_t eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

bool bit(unsigned value, int index) { return (value >> index) & 1u; }
#endif

Kernels portable() {
  return {"portable", sha2::compress256_portable, sha2::compress512_portable,
          base64::encode_groups_portable, base64::decode_groups_portable};
}

}  // namespace

CpuFeatures detect_cpu() {
  CpuFeatures features;
#if VELMORA_X86_64
  const CpuidRegisters leaf1 = cpuid(1, 0);
  const CpuidRegisters leaf7 = cpuid(7, 0);
  const bool ssse3 = bit(leaf1.ecx, 9);
  const bool sse41 = bit(leaf1.ecx, 19);
  const bool osxsave = bit(leaf1.ecx, 27);
  const bool avx = bit(leaf1.ecx, 28);
  features.sha = ssse3 && sse41 && bit(leaf7.ebx, 29);
  if (!osxsave || !avx) return features;
  const std::uint64_t xcr0 = xgetbv0();
  const bool ymm_saved = (xcr0 & 0x6) == 0x6;                 // SSE and AVX state
  const bool zmm_saved = ymm_saved && (xcr0 & 0xE0) == 0xE0;  // opmask and ZMM state
  features.avx2 = ymm_saved && bit(leaf7.ebx, 5) && bit(leaf7.ebx, 8);
  const bool avx512f = bit(leaf7.ebx, 16);
  const bool avx512bw = bit(leaf7.ebx, 30);
  const bool avx512vl = bit(leaf7.ebx, 31);
  const bool avx512vbmi = bit(leaf7.ecx, 1);
  features.avx512vbmi = zmm_saved && features.avx2 && avx512f && avx512bw && avx512vl && avx512vbmi;
#endif
  return features;
}

std::vector<Kernels> available() {
  std::vector<Kernels> sets{portable()};
#if VELMORA_X86_64
  const CpuFeatures cpu = detect_cpu();
  if (cpu.sha || cpu.avx2) {
    Kernels best = portable();
    best.name = "native";
    if (cpu.sha) best.compress256 = sha2::compress256_shani;
    if (cpu.avx2) {
      best.compress512 = sha2::compress512_avx2;
      best.encode_groups = base64::encode_groups_avx2;
      best.decode_groups = base64::decode_groups_avx2;
    }
    sets.push_back(best);
  }
  if (cpu.avx512vbmi) {
    Kernels wide = sets.back();
    wide.name = "avx512vbmi";
    wide.encode_groups = base64::encode_groups_avx512vbmi;
    wide.decode_groups = base64::decode_groups_avx512vbmi;
    sets.push_back(wide);
  }
#endif
  return sets;
}

const Kernels& active() {
  static const Kernels chosen = available().back();
  return chosen;
}

}  // namespace velmora::dispatch
