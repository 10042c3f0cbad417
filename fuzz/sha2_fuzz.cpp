// SHA-256, SHA-384 and SHA-512 through every compression this CPU can run
// give the known answers at start-up and agree with the portable ones on
// every input, and the public functions use one of them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.h"
#include "sha2.h"
#include "sha2_known_answers.h"

namespace {

using namespace velmora::sha2;

std::string hex(const Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t byte : digest) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
  }
  return out;
}

std::string message(const velmora::fuzz::KnownAnswer& answer) {
  std::string out;
  while (out.size() < answer.length) out += answer.pattern;
  out.resize(answer.length);
  return out;
}

void check_known_answers() {
  for (const velmora::fuzz::KnownAnswer& answer : velmora::fuzz::kKnownAnswers) {
    const std::string text = message(answer);
    const velmora::ByteView bytes = velmora::as_bytes(text);
    for (const Kernel256& kernel : velmora::fuzz::supported(sha256_kernels())) {
      FUZZ_CHECK_KERNEL(hex(sha256_with(kernel.compress, bytes)) == answer.sha256, kernel);
    }
    for (const Kernel512& kernel : velmora::fuzz::supported(sha512_kernels())) {
      FUZZ_CHECK_KERNEL(hex(sha384_with(kernel.compress, bytes)) == answer.sha384, kernel);
      FUZZ_CHECK_KERNEL(hex(sha512_with(kernel.compress, bytes)) == answer.sha512, kernel);
    }
    FUZZ_CHECK(hex(sha256(bytes)) == answer.sha256);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  check_known_answers();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velmora::ByteView bytes(data, size);
  const auto& kernels256 = velmora::fuzz::supported(sha256_kernels());
  const auto& kernels512 = velmora::fuzz::supported(sha512_kernels());
  const Digest d256 = sha256_with(kernels256.back().compress, bytes);
  const Digest d384 = sha384_with(kernels512.back().compress, bytes);
  const Digest d512 = sha512_with(kernels512.back().compress, bytes);
  FUZZ_CHECK(d256.size() == 32 && d384.size() == 48 && d512.size() == 64);
  for (const Kernel256& kernel : kernels256) {
    FUZZ_CHECK_KERNEL(sha256_with(kernel.compress, bytes) == d256, kernel);
  }
  for (const Kernel512& kernel : kernels512) {
    FUZZ_CHECK_KERNEL(sha384_with(kernel.compress, bytes) == d384, kernel);
    FUZZ_CHECK_KERNEL(sha512_with(kernel.compress, bytes) == d512, kernel);
  }
  FUZZ_CHECK(sha256(bytes) == d256 && sha384(bytes) == d384 && sha512(bytes) == d512);
  return 0;
}
