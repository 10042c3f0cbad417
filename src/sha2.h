// SHA-256, SHA-384 and SHA-512 (FIPS 180-4), one-shot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "dispatch.h"

namespace velmora::sha2 {

using Digest = std::vector<std::uint8_t>;

Digest sha256(ByteView data);
Digest sha384(ByteView data);
Digest sha512(ByteView data);

// Block compressions over `count` consecutive whole blocks (64 bytes for
// SHA-256, 128 for SHA-512), updating the eight state words in place.
using Compress256 = void (*)(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count);
using Compress512 = void (*)(std::uint64_t state[8], const std::uint8_t* blocks, std::size_t count);

// The round constants, shared by every compression.
extern const std::uint32_t kRoundConstants256[64];
extern const std::uint64_t kRoundConstants512[80];

void compress256_portable(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count);
void compress512_portable(std::uint64_t state[8], const std::uint8_t* blocks, std::size_t count);
#if VELMORA_X86_64
void compress256_shani(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count);
void compress512_avx2(std::uint64_t state[8], const std::uint8_t* blocks, std::size_t count);
void compress512_avx512(std::uint64_t state[8], const std::uint8_t* blocks, std::size_t count);
#endif
#if VELMORA_ARM64
void compress256_armv8(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count);
void compress512_armv82(std::uint64_t state[8], const std::uint8_t* blocks, std::size_t count);
#endif

// A table row: a compression and what the CPU needs to run it.
template <class Compress>
struct Kernel {
  std::string_view name;
  dispatch::Features required;
  Compress compress;
};
using Kernel256 = Kernel<Compress256>;
using Kernel512 = Kernel<Compress512>;

// Every compression built for this architecture, best first, the portable
// one last; the public digests use the first this CPU supports.
std::span<const Kernel256> sha256_kernels();
std::span<const Kernel512> sha512_kernels();

// The digests computed with explicitly chosen compressions.
Digest sha256_with(Compress256 compress, ByteView data);
Digest sha384_with(Compress512 compress, ByteView data);
Digest sha512_with(Compress512 compress, ByteView data);

}  // namespace velmora::sha2
