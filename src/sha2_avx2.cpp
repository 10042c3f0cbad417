// SHA-512 with scalar rounds, whose rotations compile to BMI2 rorx, and an
// AVX2 message schedule. Blocks go in pairs, one per 128-bit lane: both
// schedules are expanded while the first block's rounds run, so the second
// block's rounds only read prepared words. A lone last block takes both lanes.
#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "sha2.h"

namespace velmora::sha2 {

namespace {

using Word = std::uint64_t;
constexpr std::size_t kBlockBytes = 128;
constexpr int kRounds = 80;

// Message words plus round constants for two blocks, stored as the vector
// schedule produces them: for each pair of rounds t, t + 1 the first block's
// two words, then the second block's.
struct alignas(32) PairSchedule {
  Word words[2 * kRounds];

  Word at(int round, int block) const { return words[2 * (round & ~1) + 2 * block + (round & 1)]; }
  void store(int pair, __m256i words_of_both) {
    const __m256i constants = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants512 + 2 * pair)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(words + 4 * pair),
                       _mm256_add_epi64(words_of_both, constants));
  }
};

__m256i load_pair(const std::uint8_t* first, const std::uint8_t* second, int pair) {
  const __m256i big_endian_words =
      _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                       15, 14, 13, 12, 11, 10, 9, 8);
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 16 * pair));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + 16 * pair));
  return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1),
                             big_endian_words);
}

__m256i rotate_right(__m256i x, int count) {
  return _mm256_or_si256(_mm256_srli_epi64(x, count), _mm256_slli_epi64(x, 64 - count));
}

__m256i small_sigma0(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(rotate_right(x, 1), rotate_right(x, 8)),
                          _mm256_srli_epi64(x, 7));
}

__m256i small_sigma1(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(rotate_right(x, 19), rotate_right(x, 61)),
                          _mm256_srli_epi64(x, 6));
}

// Words t, t + 1 of both blocks from the pairs starting at t - 16, t - 14,
// t - 8, t - 6 and t - 2.
__m256i next_pair(__m256i from_t16, __m256i from_t14, __m256i from_t8, __m256i from_t6,
                  __m256i from_t2) {
  const __m256i from_t15 = _mm256_alignr_epi8(from_t14, from_t16, 8);
  const __m256i from_t7 = _mm256_alignr_epi8(from_t6, from_t8, 8);
  return _mm256_add_epi64(_mm256_add_epi64(from_t16, small_sigma0(from_t15)),
                          _mm256_add_epi64(from_t7, small_sigma1(from_t2)));
}

Word big_sigma0(Word x) { return std::rotr(x, 28) ^ std::rotr(x, 34) ^ std::rotr(x, 39); }
Word big_sigma1(Word x) { return std::rotr(x, 14) ^ std::rotr(x, 18) ^ std::rotr(x, 41); }

// The working variables stay in place; the role of each shifts by one per
// round, so `index` (taken mod 8) says where `a` through `h` are.
[[gnu::always_inline]] inline void round(Word (&v)[8], int index, Word word_plus_constant) {
  auto role = [&](int letter) -> Word& { return v[(letter - index) & 7]; };
  const Word a = role(0), b = role(1), c = role(2), e = role(4), f = role(5), g = role(6);
  Word& d = role(3);
  Word& h = role(7);
  const Word t1 = h + word_plus_constant + (g ^ (e & (f ^ g))) + big_sigma1(e);
  d += t1;
  h = t1 + ((a & b) | (c & (a | b))) + big_sigma0(a);
}

void sixteen_rounds(Word (&v)[8], const PairSchedule& schedule, int first_round, int block) {
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) round(v, i, schedule.at(first_round + i, block));
}

void add_into(Word state[8], const Word (&v)[8]) {
  for (int i = 0; i < 8; ++i) state[i] += v[i];
}

void compress_first_while_expanding(Word state[8], const std::uint8_t* first,
                                    const std::uint8_t* second, PairSchedule& schedule) {
  __m256i window[8];  // the last eight pairs; pair p lives in window[p % 8]
  for (int pair = 0; pair < 8; ++pair) {
    window[pair] = load_pair(first, second, pair);
    schedule.store(pair, window[pair]);
  }
  Word v[8];
  std::copy_n(state, 8, v);
  for (int first_round = 0; first_round < kRounds - 16; first_round += 16) {
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      window[i] = next_pair(window[i], window[(i + 1) % 8], window[(i + 4) % 8],
                            window[(i + 5) % 8], window[(i + 7) % 8]);
      schedule.store(first_round / 2 + 8 + i, window[i]);
      round(v, 2 * i, schedule.at(first_round + 2 * i, 0));
      round(v, 2 * i + 1, schedule.at(first_round + 2 * i + 1, 0));
    }
  }
  sixteen_rounds(v, schedule, kRounds - 16, 0);
  add_into(state, v);
}

void compress_second(Word state[8], const PairSchedule& schedule) {
  Word v[8];
  std::copy_n(state, 8, v);
  for (int first_round = 0; first_round < kRounds; first_round += 16) {
    sixteen_rounds(v, schedule, first_round, 1);
  }
  add_into(state, v);
}

}  // namespace

void compress512_avx2(std::uint64_t state[8], const std::uint8_t* blocks, std::size_t count) {
  PairSchedule schedule;
  for (; count >= 2; count -= 2, blocks += 2 * kBlockBytes) {
    compress_first_while_expanding(state, blocks, blocks + kBlockBytes, schedule);
    compress_second(state, schedule);
  }
  if (count == 1) compress_first_while_expanding(state, blocks, blocks, schedule);
}

}  // namespace velmora::sha2
