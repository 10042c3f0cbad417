// SHA-256, SHA-384 and SHA-512 through every compression this CPU can run
// agree with the portable ones, and the public functions use one of them.
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "sha2.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::sha2;
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
