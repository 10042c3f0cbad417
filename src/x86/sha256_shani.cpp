// SHA-256 with the SHA extensions. The instructions keep the working
// variables in two registers ordered {A, B, E, F} and {C, D, G, H} (highest
// lane first) and expect message words in native lane order.
#include <immintrin.h>

#include "portable.h"
#include "sha2.h"
#include "target.h"

#define WITH_SHA VELMORA_TARGET("sha,sse4.1,ssse3")

namespace velmora::sha2 {

namespace {

struct PackedState {
  __m128i abef;
  __m128i cdgh;
};

WITH_SHA PackedState pack(const std::uint32_t state[8]) {
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  return {_mm_alignr_epi8(cdab, efgh, 8), _mm_blend_epi16(efgh, cdab, 0xF0)};
}

WITH_SHA void unpack(const PackedState& packed, std::uint32_t state[8]) {
  const __m128i feba = _mm_shuffle_epi32(packed.abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(packed.cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

WITH_SHA __m128i load_words(const std::uint8_t* bytes) {
  const __m128i big_endian_words =
      _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)),
                          big_endian_words);
}

// Words t..t+3 from the sixteen before them, each argument holding four.
WITH_SHA __m128i next_words(__m128i from_t16, __m128i from_t12, __m128i from_t8, __m128i from_t4) {
  const __m128i partial = _mm_sha256msg1_epu32(from_t16, from_t12);
  const __m128i from_t7 = _mm_alignr_epi8(from_t4, from_t8, 4);
  return _mm_sha256msg2_epu32(_mm_add_epi32(partial, from_t7), from_t4);
}

WITH_SHA void four_rounds(PackedState& s, __m128i words, int first_round) {
  const __m128i constants =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants256 + first_round));
  const __m128i words_plus_constants = _mm_add_epi32(words, constants);
  s.cdgh = _mm_sha256rnds2_epu32(s.cdgh, s.abef, words_plus_constants);
  // The second pair of rounds reads its words from the low half.
  s.abef = _mm_sha256rnds2_epu32(s.abef, s.cdgh, _mm_shuffle_epi32(words_plus_constants, 0x0E));
}

WITH_SHA void compress_block(PackedState& state, const std::uint8_t* block) {
  PackedState s = state;
  __m128i words[4];  // a window over the schedule; group g lives in words[g % 4]
#pragma GCC unroll 16
  for (int group = 0; group < 16; ++group) {
    __m128i& current = words[group % 4];
    current = group < 4 ? load_words(block + 16 * group)
                        : next_words(current, words[(group + 1) % 4], words[(group + 2) % 4],
                                     words[(group + 3) % 4]);
    four_rounds(s, current, 4 * group);
  }
  state.abef = _mm_add_epi32(state.abef, s.abef);
  state.cdgh = _mm_add_epi32(state.cdgh, s.cdgh);
}

}  // namespace

WITH_SHA void compress256_shani(std::uint32_t state[8], const std::uint8_t* blocks,
                                std::size_t count) {
  PackedState packed = pack(state);
  for (; count > 0; --count, blocks += 64) {
    portable::prefetch_ahead(blocks, 64);
    compress_block(packed, blocks);
  }
  unpack(packed, state);
}

}  // namespace velmora::sha2
