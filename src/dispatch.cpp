#include "dispatch.h"

#include <cstddef>

#if defined(__x86_64__) || defined(_M_X64)
#define VELMORA_DETECT_X86_64 1
#if defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#elif defined(__aarch64__) || defined(_M_ARM64)
#if defined(__linux__)
#define VELMORA_DETECT_LINUX_ARM64 1
#include <sys/auxv.h>
#elif defined(__APPLE__)
#define VELMORA_DETECT_MACOS_ARM64 1
#include <sys/sysctl.h>
#include <sys/types.h>
#elif defined(_WIN32)
#define VELMORA_DETECT_WINDOWS_ARM64 1
#include <windows.h>
#endif
#endif

namespace velmora::dispatch {

namespace {

#if VELMORA_DETECT_X86_64
struct CpuidRegisters {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

#if defined(_MSC_VER)
CpuidRegisters cpuid(unsigned leaf, unsigned subleaf) {
  int highest[4];
  __cpuid(highest, 0);
  if (static_cast<unsigned>(highest[0]) < leaf) return {};
  int r[4];
  __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
  return {static_cast<unsigned>(r[0]), static_cast<unsigned>(r[1]), static_cast<unsigned>(r[2]),
          static_cast<unsigned>(r[3])};
}

std::uint64_t xgetbv0() { return _xgetbv(0); }
#else
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
#endif

bool bit(unsigned value, int index) { return (value >> index) & 1u; }

Features detect() {
  Features found = 0;
  const CpuidRegisters leaf1 = cpuid(1, 0);
  const CpuidRegisters leaf7 = cpuid(7, 0);
  const bool ssse3 = bit(leaf1.ecx, 9);
  const bool sse41 = bit(leaf1.ecx, 19);
  const bool osxsave = bit(leaf1.ecx, 27);
  const bool avx = bit(leaf1.ecx, 28);
  if (ssse3 && sse41 && bit(leaf7.ebx, 29)) found |= kX86Sha;
  if (!osxsave || !avx) return found;
  const std::uint64_t xcr0 = xgetbv0();
  const bool ymm_saved = (xcr0 & 0x6) == 0x6;                 // SSE and AVX state
  const bool zmm_saved = ymm_saved && (xcr0 & 0xE0) == 0xE0;  // opmask and ZMM state
  const bool avx2 = ymm_saved && bit(leaf7.ebx, 5) && bit(leaf7.ebx, 8);
  if (avx2) found |= kX86Avx2;
  const bool avx512f = bit(leaf7.ebx, 16);
  const bool avx512bw = bit(leaf7.ebx, 30);
  const bool avx512vl = bit(leaf7.ebx, 31);
  const bool avx512vbmi = bit(leaf7.ecx, 1);
  if (zmm_saved && avx2 && avx512f && avx512vl) found |= kX86Avx512Vl;
  if (zmm_saved && avx2 && avx512f && avx512bw && avx512vl && avx512vbmi) found |= kX86Avx512Vbmi;
  return found;
}

#elif VELMORA_DETECT_LINUX_ARM64
// The kernel's AT_HWCAP bits, spelled out because older headers lack some.
constexpr unsigned long kHwcapAsimd = 1ul << 1;
constexpr unsigned long kHwcapSha2 = 1ul << 6;
constexpr unsigned long kHwcapSha512 = 1ul << 21;

Features detect() {
  const unsigned long hwcap = getauxval(AT_HWCAP);
  Features found = 0;
  if (hwcap & kHwcapAsimd) found |= kArmNeon;
  if (hwcap & kHwcapSha2) found |= kArmSha256;
  if (hwcap & kHwcapSha512) found |= kArmSha512;
  return found;
}

#elif VELMORA_DETECT_MACOS_ARM64
bool sysctl_flag(const char* name) {
  int value = 0;
  std::size_t size = sizeof value;
  return sysctlbyname(name, &value, &size, nullptr, 0) == 0 && value != 0;
}

// The FEAT_ names came with macOS 12; the older names answer on macOS 11.
Features detect() {
  Features found = kArmNeon;  // every arm64 Mac has it
  if (sysctl_flag("hw.optional.arm.FEAT_SHA256") || sysctl_flag("hw.optional.armv8_crypto")) {
    found |= kArmSha256;
  }
  if (sysctl_flag("hw.optional.arm.FEAT_SHA512") || sysctl_flag("hw.optional.armv8_2_sha512")) {
    found |= kArmSha512;
  }
  return found;
}

#elif VELMORA_DETECT_WINDOWS_ARM64
Features detect() {
  Features found = kArmNeon;  // required by Windows on arm64
  if (IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE)) found |= kArmSha256;
#if defined(PF_ARM_SHA512_INSTRUCTIONS_AVAILABLE)
  // Only recent SDKs name it; without the name the SHA-512 kernel stays unused.
  if (IsProcessorFeaturePresent(PF_ARM_SHA512_INSTRUCTIONS_AVAILABLE)) found |= kArmSha512;
#endif
  return found;
}

#else
Features detect() { return 0; }
#endif

}  // namespace

Features cpu_features() {
  static const Features detected = detect();
  return detected;
}

bool supports(Features required) { return (cpu_features() & required) == required; }

}  // namespace velmora::dispatch
