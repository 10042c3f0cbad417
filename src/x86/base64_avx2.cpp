// AVX2 kernels: eight groups per 256-bit vector, four in each 128-bit lane,
// because vpshufb moves bytes only within a lane.
#include <immintrin.h>

#include <array>

#include "base64.h"
#include "portable.h"
#include "target.h"

#define WITH_AVX2 VELMORA_TARGET("avx2")

namespace velmora::base64 {

namespace {

constexpr std::size_t kGroupsPerStep = 8;

WITH_AVX2 __m256i broadcast(const std::array<std::uint8_t, 16>& table) {
  return _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data())));
}

// Twelve input bytes per lane from two 16-byte loads: a step reads 28 bytes
// to consume 24.
constexpr std::size_t kEncodeBytesRead = 28;

WITH_AVX2 __m256i load_encode_step(const std::uint8_t* in) {
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// Spreads group bytes a b c over a 32-bit element as b a c b: its low 16 bits
// then hold indices 0 and 1, its high 16 bits indices 2 and 3, and one
// multiply per pair moves each index to the bottom of its own byte.
WITH_AVX2 __m256i six_bit_indices(__m256i bytes) {
  const __m256i spread = _mm256_shuffle_epi8(
      bytes, _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                              1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
  const __m256i first_and_third = _mm256_mulhi_epu16(
      _mm256_and_si256(spread, _mm256_set1_epi32(0x0FC0FC00)), _mm256_set1_epi32(0x04000040));
  const __m256i second_and_fourth = _mm256_mullo_epi16(
      _mm256_and_si256(spread, _mm256_set1_epi32(0x003F03F0)), _mm256_set1_epi32(0x01000010));
  return _mm256_or_si256(first_and_third, second_and_fourth);
}

// The alphabet is five runs of consecutive characters; each index gets the
// offset of its run, found by a 16-entry lookup: indices 52..63 map to 1..12
// by saturating subtraction, 0..25 to 13, and 26..51 to 0.
WITH_AVX2 __m256i indices_to_chars(__m256i indices) {
  const __m256i upper_case = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), indices);
  const __m256i run = _mm256_or_si256(_mm256_subs_epu8(indices, _mm256_set1_epi8(51)),
                                      _mm256_and_si256(upper_case, _mm256_set1_epi8(13)));
  const __m256i offsets = _mm256_setr_epi8(                                   //
      'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,   //
      '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,  //
      'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,   //
      '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  return _mm256_add_epi8(indices, _mm256_shuffle_epi8(offsets, run));
}

// Validity is looked up by nibble: each high nibble belongs to one class
// (one bit), and each low nibble lists the classes in which it does not make
// an alphabet character. High nibbles 0-1 and 8-F never do.
constexpr std::array<std::uint8_t, 16> kClassOfHighNibble = {
    0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10};

constexpr bool in_alphabet(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

constexpr auto kInvalidClassesOfLowNibble = [] {
  std::array<std::uint8_t, 16> classes{};
  for (int low = 0; low < 16; ++low) {
    for (int high = 0; high < 16; ++high) {
      if (!in_alphabet(high << 4 | low)) classes[low] |= kClassOfHighNibble[high];
    }
  }
  return classes;
}();

// Every run of the alphabet lies within one high nibble, except that "+" and
// "/" share one with different offsets; "/" moves to slot 1, free because no
// alphabet character has high nibble 1.
WITH_AVX2 __m256i chars_to_values(__m256i chars, __m256i& invalid) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), nibble);
  const __m256i low = _mm256_and_si256(chars, nibble);
  const __m256i classes = _mm256_shuffle_epi8(broadcast(kClassOfHighNibble), high);
  const __m256i excluded = _mm256_shuffle_epi8(broadcast(kInvalidClassesOfLowNibble), low);
  invalid = _mm256_or_si256(invalid, _mm256_and_si256(classes, excluded));
  const __m256i slash = _mm256_cmpeq_epi8(chars, _mm256_set1_epi8('/'));
  const __m256i offsets = _mm256_setr_epi8(                                                     //
      0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0,  //
      0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0);
  return _mm256_add_epi8(chars, _mm256_shuffle_epi8(offsets, _mm256_add_epi8(high, slash)));
}

// Joins the four 6-bit values of each 32-bit element into 24 bits, then
// gathers the three bytes of every group, most significant first, into the
// low 24 bytes of the vector.
WITH_AVX2 __m256i values_to_bytes(__m256i values) {
  const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
  const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
  const __m256i in_lanes = _mm256_shuffle_epi8(
      groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                               2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  return _mm256_permutevar8x32_epi32(in_lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
}

// A step stores 32 bytes to produce 24.
constexpr std::size_t kDecodeBytesWritten = 32;

}  // namespace

WITH_AVX2 void encode_groups_avx2(const std::uint8_t* in, std::size_t groups, char* out) {
  for (; 3 * groups >= kEncodeBytesRead; groups -= kGroupsPerStep, in += 24, out += 32) {
    const __m256i chars = indices_to_chars(six_bit_indices(load_encode_step(in)));
    portable::prefetch_ahead(out, 32);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
  }
  encode_groups_portable(in, groups, out);
}

WITH_AVX2 bool decode_groups_avx2(const char* in, std::size_t groups, std::uint8_t* out) {
  __m256i invalid = _mm256_setzero_si256();
  for (; 3 * groups >= kDecodeBytesWritten; groups -= kGroupsPerStep, in += 32, out += 24) {
    const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i bytes = values_to_bytes(chars_to_values(chars, invalid));
    portable::prefetch_ahead(out, 24);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
  }
  return _mm256_testz_si256(invalid, invalid) && decode_groups_portable(in, groups, out);
}

}  // namespace velmora::base64
