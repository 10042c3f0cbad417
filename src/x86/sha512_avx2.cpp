// SHA-512 with scalar rounds, whose rotations compile to BMI2 rorx, and an
// AVX2 message schedule. Blocks go in pairs, one per 128-bit lane: both
// schedules are expanded while the first block's rounds run, so the second
// block's rounds only read prepared words. A lone last block takes both lanes.
#include <immintrin.h>

#include "sha2.h"
#include "target.h"

#define WITH_AVX2 VELMORA_TARGET("avx2,bmi2")

namespace velmora::sha2 {

namespace {

using Word = std::uint64_t;
constexpr std::size_t kBlockBytes = 128;
constexpr int kRounds = 80;

// Message words plus round constants for two blocks, stored as the vector
// schedule produces them: for each pair of rounds t, t + 1 the first block's
// two words, then the second block's. The rounds walk it in groups of sixteen
// starting at a pointer, so that every offset within a group is a constant.
constexpr int kGroupRounds = 16;

struct alignas(32) PairSchedule {
  Word words[2 * kRounds];

  Word* group(int first_round) { return words + 2 * first_round; }
  const Word* group(int first_round) const { return words + 2 * first_round; }
};

WITH_AVX2 Word word_of(const Word* group, int round, int block) {
  return group[2 * (round & ~1) + 2 * block + (round & 1)];
}

WITH_AVX2 void store_pair(Word* group, const Word* constants, int pair, __m256i words_of_both) {
  const __m256i constants_of_both = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(constants + 2 * pair)));
  _mm256_store_si256(reinterpret_cast<__m256i*>(group + 4 * pair),
                     _mm256_add_epi64(words_of_both, constants_of_both));
}

WITH_AVX2 __m256i load_pair(const std::uint8_t* first, const std::uint8_t* second, int pair) {
  const __m256i big_endian_words =
      _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                       15, 14, 13, 12, 11, 10, 9, 8);
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 16 * pair));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + 16 * pair));
  return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1),
                             big_endian_words);
}

WITH_AVX2 __m256i rotate_right(__m256i x, int count) {
  return _mm256_or_si256(_mm256_srli_epi64(x, count), _mm256_slli_epi64(x, 64 - count));
}

// A rotation by whole bytes is a single shuffle instead of two shifts and an or.
WITH_AVX2 __m256i rotate_right_8(__m256i x) {
  const __m256i by_one_byte =
      _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8, 1, 2, 3, 4, 5, 6, 7, 0,
                       9, 10, 11, 12, 13, 14, 15, 8);
  return _mm256_shuffle_epi8(x, by_one_byte);
}

WITH_AVX2 __m256i small_sigma0(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(rotate_right(x, 1), rotate_right_8(x)),
                          _mm256_srli_epi64(x, 7));
}

WITH_AVX2 __m256i small_sigma1(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(rotate_right(x, 19), rotate_right(x, 61)),
                          _mm256_srli_epi64(x, 6));
}

// Words t, t + 1 of both blocks from the pairs starting at t - 16, t - 14,
// t - 8, t - 6 and t - 2.
WITH_AVX2 __m256i next_pair(__m256i from_t16, __m256i from_t14, __m256i from_t8, __m256i from_t6,
                            __m256i from_t2) {
  const __m256i from_t15 = _mm256_alignr_epi8(from_t14, from_t16, 8);
  const __m256i from_t7 = _mm256_alignr_epi8(from_t6, from_t8, 8);
  return _mm256_add_epi64(_mm256_add_epi64(from_t16, small_sigma0(from_t15)),
                          _mm256_add_epi64(from_t7, small_sigma1(from_t2)));
}

WITH_AVX2 Word rotate_right(Word x, int count) { return (x >> count) | (x << (64 - count)); }

WITH_AVX2 Word big_sigma0(Word x) {
  return rotate_right(x, 28) ^ rotate_right(x, 34) ^ rotate_right(x, 39);
}
WITH_AVX2 Word big_sigma1(Word x) {
  return rotate_right(x, 14) ^ rotate_right(x, 18) ^ rotate_right(x, 41);
}

// The working variables stay in place while their roles rotate: in round
// `index` (taken mod 8), `a` is v[-index mod 8]. b_xor_c carries the previous
// round's a ^ b, which is this round's b ^ c and saves an operation in the
// majority function.
struct Working {
  Word v[8];
  Word b_xor_c;
};

// The sums are grouped so that the new `e` waits on as few operations after
// the old `e` as possible; the rounds are bound by that chain.
WITH_AVX2 [[gnu::always_inline]] inline void round(Working& w, int index, Word word_plus_constant) {
  auto role = [&](int letter) -> Word& { return w.v[(letter - index) & 7]; };
  const Word a = role(0), b = role(1), e = role(4), f = role(5), g = role(6);
  Word& d = role(3);
  Word& h = role(7);
  const Word a_xor_b = a ^ b;
  const Word majority = b ^ (a_xor_b & w.b_xor_c);
  w.b_xor_c = a_xor_b;
  const Word chosen = g ^ (e & (f ^ g));
  const Word sum1 = big_sigma1(e);
  const Word h_plus_word = h + word_plus_constant;
  d = (d + h_plus_word + chosen) + sum1;
  h = (h_plus_word + chosen + sum1) + (majority + big_sigma0(a));
}

WITH_AVX2 [[gnu::always_inline]] inline void group_of_rounds(Working& working, const Word* group,
                                                             int block) {
#pragma GCC unroll 16
  for (int i = 0; i < kGroupRounds; ++i) round(working, i, word_of(group, i, block));
}

WITH_AVX2 Working start(const Word state[8]) {
  Working w;
  for (int i = 0; i < 8; ++i) w.v[i] = state[i];
  w.b_xor_c = state[1] ^ state[2];
  return w;
}

WITH_AVX2 void add_into(Word state[8], const Working& w) {
  for (int i = 0; i < 8; ++i) state[i] += w.v[i];
}

WITH_AVX2 void compress_first_while_expanding(Word state[8], const std::uint8_t* first,
                                              const std::uint8_t* second, PairSchedule& schedule) {
  // The last eight pairs, as far back as the schedule reaches; pair p lives in
  // window[p % 8]. A group of rounds expands exactly eight pairs ahead.
  __m256i window[8];
  for (int pair = 0; pair < 8; ++pair) {
    window[pair] = load_pair(first, second, pair);
    store_pair(schedule.group(0), kRoundConstants512, pair, window[pair]);
  }
  Working working = start(state);
  for (int first_round = 0; first_round < kRounds - kGroupRounds; first_round += kGroupRounds) {
    const Word* group = schedule.group(first_round);
    Word* next_group = schedule.group(first_round + kGroupRounds);
    const Word* next_constants = kRoundConstants512 + first_round + kGroupRounds;
    // Fully unrolled, so the window indices are constants and the window
    // stays in registers.
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      window[i] = next_pair(window[i], window[(i + 1) % 8], window[(i + 4) % 8],
                            window[(i + 5) % 8], window[(i + 7) % 8]);
      store_pair(next_group, next_constants, i, window[i]);
      round(working, 2 * i, word_of(group, 2 * i, 0));
      round(working, 2 * i + 1, word_of(group, 2 * i + 1, 0));
    }
  }
  group_of_rounds(working, schedule.group(kRounds - kGroupRounds), 0);
  add_into(state, working);
}

WITH_AVX2 void compress_second(Word state[8], const PairSchedule& schedule) {
  Working working = start(state);
  for (int first_round = 0; first_round < kRounds; first_round += kGroupRounds) {
    group_of_rounds(working, schedule.group(first_round), 1);
  }
  add_into(state, working);
}

}  // namespace

WITH_AVX2 void compress512_avx2(std::uint64_t state[8], const std::uint8_t* blocks,
                                std::size_t count) {
  PairSchedule schedule;
  for (; count >= 2; count -= 2, blocks += 2 * kBlockBytes) {
    compress_first_while_expanding(state, blocks, blocks + kBlockBytes, schedule);
    compress_second(state, schedule);
  }
  if (count == 1) compress_first_while_expanding(state, blocks, blocks, schedule);
}

}  // namespace velmora::sha2
