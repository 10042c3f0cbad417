// SHA-256, SHA-384 and SHA-512 through every compression this CPU can run
// agree with the portable ones, and the public functions use one of them.
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "sha2.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::sha2;
  const velmora::ByteView bytes(data, size);
  const auto& portable = velmora::fuzz::kernel_sets().front();
  const Digest d256 = sha256_with(portable.compress256, bytes);
  const Digest d384 = sha384_with(portable.compress512, bytes);
  const Digest d512 = sha512_with(portable.compress512, bytes);
  FUZZ_CHECK(d256.size() == 32 && d384.size() == 48 && d512.size() == 64);
  for (const auto& kernels : velmora::fuzz::kernel_sets()) {
    FUZZ_CHECK(sha256_with(kernels.compress256, bytes) == d256);
    FUZZ_CHECK(sha384_with(kernels.compress512, bytes) == d384);
    FUZZ_CHECK(sha512_with(kernels.compress512, bytes) == d512);
  }
  FUZZ_CHECK(sha256(bytes) == d256 && sha384(bytes) == d384 && sha512(bytes) == d512);
  return 0;
}
