// SHA-384/512 with the ARMv8.2 SHA-512 instructions. The working variables
// are kept in pairs {A, B}, {C, D}, {E, F}, {G, H} (lowest lane first), the
// order of the state words. Each pair of rounds shifts every pair down by
// one: the new {C, D} is the old {A, B} and the new {G, H} the old {E, F}.
#include <arm_neon.h>

#include "portable.h"
#include "sha2.h"
#include "target.h"

#define WITH_SHA512 VELMORA_TARGET("arch=armv8.2-a+crypto+sha3")

namespace velmora::sha2 {

namespace {

struct PackedState {
  uint64x2_t ab, cd, ef, gh;
};

WITH_SHA512 uint64x2_t load_words(const std::uint8_t* bytes) {
  return vreinterpretq_u64_u8(vrev64q_u8(vld1q_u8(bytes)));
}

// Words t, t+1 from the sixteen before them, held two to a register.
WITH_SHA512 uint64x2_t next_words(uint64x2_t from_t16, uint64x2_t from_t14, uint64x2_t from_t8,
                                  uint64x2_t from_t6, uint64x2_t from_t2) {
  const uint64x2_t from_t7 = vextq_u64(from_t8, from_t6, 1);
  return vsha512su1q_u64(vsha512su0q_u64(from_t16, from_t14), from_t2, from_t7);
}

// SHA512H takes the word for the first round in the upper lane, with H
// already added; the second round's H is the first round's G.
WITH_SHA512 void two_rounds(PackedState& s, uint64x2_t words, int first_round) {
  const uint64x2_t words_plus_constants =
      vaddq_u64(words, vld1q_u64(kRoundConstants512 + first_round));
  const uint64x2_t with_gh =
      vaddq_u64(s.gh, vextq_u64(words_plus_constants, words_plus_constants, 1));
  const uint64x2_t fg = vextq_u64(s.ef, s.gh, 1);
  const uint64x2_t de = vextq_u64(s.cd, s.ef, 1);
  const uint64x2_t sums = vsha512hq_u64(with_gh, fg, de);
  const uint64x2_t ab = vsha512h2q_u64(sums, s.cd, s.ab);
  s.gh = s.ef;
  s.ef = vaddq_u64(s.cd, sums);
  s.cd = s.ab;
  s.ab = ab;
}

WITH_SHA512 void compress_block(PackedState& state, const std::uint8_t* block) {
  PackedState s = state;
  uint64x2_t words[8];  // a window over the schedule; pair p lives in words[p % 8]
#pragma GCC unroll 40
  for (int pair = 0; pair < 40; ++pair) {
    uint64x2_t& current = words[pair % 8];
    current = pair < 8 ? load_words(block + 16 * pair)
                       : next_words(current, words[(pair + 1) % 8], words[(pair + 4) % 8],
                                    words[(pair + 5) % 8], words[(pair + 7) % 8]);
    two_rounds(s, current, 2 * pair);
  }
  state.ab = vaddq_u64(state.ab, s.ab);
  state.cd = vaddq_u64(state.cd, s.cd);
  state.ef = vaddq_u64(state.ef, s.ef);
  state.gh = vaddq_u64(state.gh, s.gh);
}

}  // namespace

WITH_SHA512 void compress512_armv82(std::uint64_t state[8], const std::uint8_t* blocks,
                                    std::size_t count) {
  PackedState packed = {vld1q_u64(state), vld1q_u64(state + 2), vld1q_u64(state + 4),
                        vld1q_u64(state + 6)};
  for (; count > 0; --count, blocks += 128) {
    portable::prefetch_ahead(blocks, 128);
    compress_block(packed, blocks);
  }
  vst1q_u64(state, packed.ab);
  vst1q_u64(state + 2, packed.cd);
  vst1q_u64(state + 4, packed.ef);
  vst1q_u64(state + 6, packed.gh);
}

}  // namespace velmora::sha2
