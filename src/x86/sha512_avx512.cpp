// SHA-512 with an AVX-512 message schedule (see sha512_pairs.h): vprorq
// rotates a 64-bit lane in one instruction and vpternlogq joins three terms
// of a sigma in one, which leaves more of the shared ports to the scalar
// rounds.
#include "target.h"

#define SHA512_PAIRS_TARGET VELMORA_TARGET("avx2,bmi2,avx512f,avx512vl")
#include "x86/sha512_pairs.h"

namespace velmora::sha2 {

namespace {

constexpr int kXorOfThree = 0x96;

struct Avx512Sigmas {
  SHA512_PAIRS_TARGET static __m256i small_sigma0(__m256i x) {
    return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 1), _mm256_ror_epi64(x, 8),
                                     _mm256_srli_epi64(x, 7), kXorOfThree);
  }

  SHA512_PAIRS_TARGET static __m256i small_sigma1(__m256i x) {
    return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 19), _mm256_ror_epi64(x, 61),
                                     _mm256_srli_epi64(x, 6), kXorOfThree);
  }
};

}  // namespace

SHA512_PAIRS_TARGET void compress512_avx512(std::uint64_t state[8], const std::uint8_t* blocks,
                                            std::size_t count) {
  compress_pairs<Avx512Sigmas>(state, blocks, count);
}

}  // namespace velmora::sha2
