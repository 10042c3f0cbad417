// SHA-512 with an AVX2 message schedule (see sha512_pairs.h).
#include "target.h"

#define SHA512_PAIRS_TARGET VELMORA_TARGET("avx2,bmi2")
#include "x86/sha512_pairs.h"

namespace velmora::sha2 {

namespace {

// AVX2 has no 64-bit rotation: two shifts and an or, or one shuffle for a
// rotation by whole bytes.
struct Avx2Sigmas {
  SHA512_PAIRS_TARGET static __m256i rotate_right(__m256i x, int count) {
    return _mm256_or_si256(_mm256_srli_epi64(x, count), _mm256_slli_epi64(x, 64 - count));
  }

  // A rotation by whole bytes is a single shuffle instead of two shifts and an or.
  SHA512_PAIRS_TARGET static __m256i rotate_right_8(__m256i x) {
    const __m256i by_one_byte =
        _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8, 1, 2, 3, 4, 5, 6, 7,
                         0, 9, 10, 11, 12, 13, 14, 15, 8);
    return _mm256_shuffle_epi8(x, by_one_byte);
  }

  SHA512_PAIRS_TARGET static __m256i small_sigma0(__m256i x) {
    return _mm256_xor_si256(_mm256_xor_si256(rotate_right(x, 1), rotate_right_8(x)),
                            _mm256_srli_epi64(x, 7));
  }

  SHA512_PAIRS_TARGET static __m256i small_sigma1(__m256i x) {
    return _mm256_xor_si256(_mm256_xor_si256(rotate_right(x, 19), rotate_right(x, 61)),
                            _mm256_srli_epi64(x, 6));
  }
};

}  // namespace

SHA512_PAIRS_TARGET void compress512_avx2(std::uint64_t state[8], const std::uint8_t* blocks,
                                          std::size_t count) {
  compress_pairs<Avx2Sigmas>(state, blocks, count);
}

}  // namespace velmora::sha2
