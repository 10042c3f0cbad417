// AVX-512 VBMI kernels: sixteen groups per 512-bit vector. vpermb moves bytes
// across the whole vector and serves as a 64-entry alphabet, vpermi2b as a
// 128-entry table of values, so neither direction needs range arithmetic.
// GCC 12 builds the results of these intrinsics on a self-initialised
// "undefined" vector and then reports it as maybe uninitialised at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <array>
#include <string_view>

#include "base64.h"
#include "portable.h"
#include "target.h"

#define WITH_AVX512VBMI VELMORA_TARGET("avx512f,avx512bw,avx512vl,avx512vbmi")

namespace velmora::base64 {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::size_t kGroupsPerStep = 16;
// Masks for the 48 bytes of a step, so loads and stores touch nothing beyond.
constexpr __mmask64 kStepBytes = (__mmask64{1} << 48) - 1;

using ByteTable = std::array<std::uint8_t, 64>;

WITH_AVX512VBMI __m512i load(const std::uint8_t* table) { return _mm512_loadu_si512(table); }

// Group i's bytes a b c become the low three bytes of 32-bit element i, as
// c b a, so the element reads as the group's 24-bit number.
constexpr ByteTable kGroupToElement = [] {
  ByteTable order{};
  for (std::uint8_t group = 0; group < kGroupsPerStep; ++group) {
    for (std::uint8_t byte = 0; byte < 4; ++byte) {
      order[4 * group + byte] = static_cast<std::uint8_t>(3 * group + (byte < 3 ? 2 - byte : 0));
    }
  }
  return order;
}();

// The inverse: the three low bytes of every element, most significant first.
constexpr ByteTable kElementToGroup = [] {
  ByteTable order{};
  for (std::uint8_t group = 0; group < kGroupsPerStep; ++group) {
    for (std::uint8_t byte = 0; byte < 3; ++byte) {
      order[3 * group + byte] = static_cast<std::uint8_t>(4 * group + 2 - byte);
    }
  }
  return order;
}();

// Bit offsets of the four indices within each of the two 32-bit elements of a
// 64-bit word. Each picked byte carries two stray bits above its index, which
// vpermb ignores.
constexpr std::uint64_t kIndexShifts = 0x20262C32'00060C12;

// A character's value, looked up by its low seven bits; characters outside the
// alphabet get 0x80, and those above 0x7F are caught by their own top bit.
constexpr std::array<std::uint8_t, 128> kValues = [] {
  std::array<std::uint8_t, 128> values{};
  values.fill(0x80);
  for (std::size_t index = 0; index < kAlphabet.size(); ++index) {
    values[static_cast<std::size_t>(kAlphabet[index])] = static_cast<std::uint8_t>(index);
  }
  return values;
}();

// Joins the four 6-bit values of each 32-bit element into its 24-bit number.
WITH_AVX512VBMI __m512i values_to_numbers(__m512i values) {
  const __m512i pairs = _mm512_maddubs_epi16(values, _mm512_set1_epi32(0x01400140));
  return _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
}

constexpr int kOrThree = 0xFE;

}  // namespace

WITH_AVX512VBMI void encode_groups_avx512vbmi(const std::uint8_t* in, std::size_t groups,
                                              char* out) {
  const __m512i group_to_element = load(kGroupToElement.data());
  const __m512i index_shifts = _mm512_set1_epi64(kIndexShifts);
  const __m512i alphabet = _mm512_loadu_si512(kAlphabet.data());
  for (; groups >= kGroupsPerStep; groups -= kGroupsPerStep, in += 48, out += 64) {
    const __m512i bytes = _mm512_maskz_loadu_epi8(kStepBytes, in);
    const __m512i numbers = _mm512_permutexvar_epi8(group_to_element, bytes);
    const __m512i indices = _mm512_multishift_epi64_epi8(index_shifts, numbers);
    portable::prefetch_ahead(out, 64);
    _mm512_storeu_si512(out, _mm512_permutexvar_epi8(indices, alphabet));
  }
  encode_groups_portable(in, groups, out);
}

WITH_AVX512VBMI bool decode_groups_avx512vbmi(const char* in, std::size_t groups,
                                              std::uint8_t* out) {
  const __m512i values_low = load(kValues.data()), values_high = load(kValues.data() + 64);
  const __m512i element_to_group = load(kElementToGroup.data());
  __m512i invalid = _mm512_setzero_si512();
  for (; groups >= kGroupsPerStep; groups -= kGroupsPerStep, in += 64, out += 48) {
    const __m512i chars = _mm512_loadu_si512(in);
    const __m512i values = _mm512_permutex2var_epi8(values_low, chars, values_high);
    invalid = _mm512_ternarylogic_epi32(invalid, chars, values, kOrThree);
    const __m512i numbers = values_to_numbers(values);
    portable::prefetch_ahead(out, 48);
    _mm512_mask_storeu_epi8(out, kStepBytes, _mm512_permutexvar_epi8(element_to_group, numbers));
  }
  return _mm512_movepi8_mask(invalid) == 0 && decode_groups_portable(in, groups, out);
}

}  // namespace velmora::base64
