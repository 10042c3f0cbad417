// The SHA-512 compression shared by the x86 kernels: scalar rounds, whose
// rotations compile to BMI2 rorx, and a vector message schedule. Blocks go in
// pairs, one per 128-bit lane: both schedules are expanded while the first
// block's rounds run, so the second block's rounds only read prepared words. A
// lone last block takes both lanes. The kernels differ only in how they compute
// the schedule's small sigmas, which they pass as `Sigmas`.
//
// A kernel file defines SHA512_PAIRS_TARGET (its extensions) and then includes
// this header, once. Everything here has internal linkage, so each file keeps
// its own copy, compiled for its own extensions only.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "portable.h"
#include "sha2.h"

#ifndef SHA512_PAIRS_TARGET
#error "define SHA512_PAIRS_TARGET before including sha512_pairs.h"
#endif

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

SHA512_PAIRS_TARGET Word word_of(const Word* group, int round, int block) {
  return group[2 * (round & ~1) + 2 * block + (round & 1)];
}

SHA512_PAIRS_TARGET void store_pair(Word* group, const Word* constants, int pair,
                                    __m256i words_of_both) {
  const __m256i constants_of_both = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(constants + 2 * pair)));
  _mm256_store_si256(reinterpret_cast<__m256i*>(group + 4 * pair),
                     _mm256_add_epi64(words_of_both, constants_of_both));
}

SHA512_PAIRS_TARGET __m256i load_pair(const std::uint8_t* first, const std::uint8_t* second,
                                      int pair) {
  const __m256i big_endian_words =
      _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                       15, 14, 13, 12, 11, 10, 9, 8);
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 16 * pair));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + 16 * pair));
  return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1),
                             big_endian_words);
}

// Words t, t + 1 of both blocks from the pairs starting at t - 16, t - 14,
// t - 8, t - 6 and t - 2.
template <class Sigmas>
SHA512_PAIRS_TARGET __m256i next_pair(__m256i from_t16, __m256i from_t14, __m256i from_t8,
                                      __m256i from_t6, __m256i from_t2) {
  const __m256i from_t15 = _mm256_alignr_epi8(from_t14, from_t16, 8);
  const __m256i from_t7 = _mm256_alignr_epi8(from_t6, from_t8, 8);
  return _mm256_add_epi64(_mm256_add_epi64(from_t16, Sigmas::small_sigma0(from_t15)),
                          _mm256_add_epi64(from_t7, Sigmas::small_sigma1(from_t2)));
}

SHA512_PAIRS_TARGET Word rotate_right(Word x, int count) {
  return (x >> count) | (x << (64 - count));
}

SHA512_PAIRS_TARGET Word big_sigma0(Word x) {
  return rotate_right(x, 28) ^ rotate_right(x, 34) ^ rotate_right(x, 39);
}
SHA512_PAIRS_TARGET Word big_sigma1(Word x) {
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
// the old `e` as possible, and the new `a` on as few after the old `a`: the
// rounds are bound by those two chains, four operations each.
SHA512_PAIRS_TARGET [[gnu::always_inline]] inline void round(Working& w, int index,
                                                             Word word_plus_constant) {
  auto role = [&](int letter) -> Word& { return w.v[(letter - index) & 7]; };
  const Word a = role(0), b = role(1), e = role(4), f = role(5), g = role(6);
  Word& d = role(3);
  Word& h = role(7);
  const Word chosen = g ^ (e & (f ^ g));
  const Word old_d = d;
  d = (d + (h + word_plus_constant) + chosen) + big_sigma1(e);
  // Majority as (a & (b ^ c)) + (b & c), whose terms share no bit, and
  // b & c as b without the bits where b and c differ: the new `a` then waits
  // on a single operation after the old `a` besides its big sigma.
  const Word b_and_c = b & ~w.b_xor_c;
  h = (((d - old_d) + b_and_c) + (a & w.b_xor_c)) + big_sigma0(a);
  w.b_xor_c = a ^ b;
}

SHA512_PAIRS_TARGET [[gnu::always_inline]] inline void group_of_rounds(Working& working,
                                                                       const Word* group,
                                                                       int block) {
#pragma GCC unroll 16
  for (int i = 0; i < kGroupRounds; ++i) round(working, i, word_of(group, i, block));
}

SHA512_PAIRS_TARGET Working start(const Word state[8]) {
  Working w;
  for (int i = 0; i < 8; ++i) w.v[i] = state[i];
  w.b_xor_c = state[1] ^ state[2];
  return w;
}

SHA512_PAIRS_TARGET void add_into(Word state[8], const Working& w) {
  for (int i = 0; i < 8; ++i) state[i] += w.v[i];
}

template <class Sigmas>
SHA512_PAIRS_TARGET void compress_first_while_expanding(Word state[8], const std::uint8_t* first,
                                                        const std::uint8_t* second,
                                                        PairSchedule& schedule) {
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
      window[i] = next_pair<Sigmas>(window[i], window[(i + 1) % 8], window[(i + 4) % 8],
                                    window[(i + 5) % 8], window[(i + 7) % 8]);
      store_pair(next_group, next_constants, i, window[i]);
      round(working, 2 * i, word_of(group, 2 * i, 0));
      round(working, 2 * i + 1, word_of(group, 2 * i + 1, 0));
    }
  }
  group_of_rounds(working, schedule.group(kRounds - kGroupRounds), 0);
  add_into(state, working);
}

SHA512_PAIRS_TARGET void compress_second(Word state[8], const PairSchedule& schedule) {
  Working working = start(state);
  for (int first_round = 0; first_round < kRounds; first_round += kGroupRounds) {
    group_of_rounds(working, schedule.group(first_round), 1);
  }
  add_into(state, working);
}

template <class Sigmas>
SHA512_PAIRS_TARGET void compress_pairs(Word state[8], const std::uint8_t* blocks,
                                        std::size_t count) {
  PairSchedule schedule;
  for (; count >= 2; count -= 2, blocks += 2 * kBlockBytes) {
    portable::prefetch_ahead(blocks, 2 * kBlockBytes);
    compress_first_while_expanding<Sigmas>(state, blocks, blocks + kBlockBytes, schedule);
    compress_second(state, schedule);
  }
  if (count == 1) compress_first_while_expanding<Sigmas>(state, blocks, blocks, schedule);
}

}  // namespace

}  // namespace velmora::sha2
