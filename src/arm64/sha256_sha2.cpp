// SHA-256 with the ARMv8 SHA-2 instructions. The working variables live in
// two registers, {A, B, C, D} and {E, F, G, H} (lowest lane first), which is
// also the order of the state words, so nothing is shuffled around the loop.
#include "sha2.h"

#include <arm_neon.h>

#include "portable.h"
#include "target.h"

#define WITH_SHA2 VELMORA_TARGET("arch=armv8-a+crypto")

namespace velmora::sha2 {

namespace {

struct PackedState {
  uint32x4_t abcd;
  uint32x4_t efgh;
};

WITH_SHA2 uint32x4_t load_words(const std::uint8_t* bytes) {
  return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(bytes)));
}

// Words t..t+3 from the sixteen before them, each argument holding four.
WITH_SHA2 uint32x4_t next_words(uint32x4_t from_t16, uint32x4_t from_t12, uint32x4_t from_t8,
                                uint32x4_t from_t4) {
  return vsha256su1q_u32(vsha256su0q_u32(from_t16, from_t12), from_t8, from_t4);
}

WITH_SHA2 void four_rounds(PackedState& s, uint32x4_t words, int first_round) {
  const uint32x4_t words_plus_constants =
      vaddq_u32(words, vld1q_u32(kRoundConstants256 + first_round));
  const uint32x4_t abcd = s.abcd;
  s.abcd = vsha256hq_u32(abcd, s.efgh, words_plus_constants);
  s.efgh = vsha256h2q_u32(s.efgh, abcd, words_plus_constants);
}

WITH_SHA2 void compress_block(PackedState& state, const std::uint8_t* block) {
  PackedState s = state;
  uint32x4_t words[4];  // a window over the schedule; group g lives in words[g % 4]
#pragma GCC unroll 16
  for (int group = 0; group < 16; ++group) {
    uint32x4_t& current = words[group % 4];
    current = group < 4 ? load_words(block + 16 * group)
                        : next_words(current, words[(group + 1) % 4], words[(group + 2) % 4],
                                     words[(group + 3) % 4]);
    four_rounds(s, current, 4 * group);
  }
  state.abcd = vaddq_u32(state.abcd, s.abcd);
  state.efgh = vaddq_u32(state.efgh, s.efgh);
}

}  // namespace

WITH_SHA2 void compress256_armv8(std::uint32_t state[8], const std::uint8_t* blocks,
                                 std::size_t count) {
  PackedState packed = {vld1q_u32(state), vld1q_u32(state + 4)};
  for (; count > 0; --count, blocks += 64) {
    portable::prefetch_ahead(blocks, 64);
    compress_block(packed, blocks);
  }
  vst1q_u32(state, packed.abcd);
  vst1q_u32(state + 4, packed.efgh);
}

}  // namespace velmora::sha2
