// NEON kernels: sixteen groups a step. The structured loads and stores
// (de)interleave the bytes of a group, so each of its 3 bytes or 4
// characters sits in a register of its own and no shuffle is needed.
#include <arm_neon.h>

#include <array>

#include "base64.h"
#include "portable.h"

namespace velmora::base64 {

namespace {

constexpr std::size_t kGroupsPerStep = 16;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A byte above 63 in a value marks a character outside the alphabet.
constexpr std::uint8_t kInvalid = 0xFF;

// The value of each character below 128; one table lookup covers 64 entries.
constexpr auto kValues = [] {
  std::array<std::uint8_t, 128> values{};
  values.fill(kInvalid);
  for (std::size_t index = 0; index < kAlphabet.size(); ++index) {
    values[static_cast<std::size_t>(kAlphabet[index])] = static_cast<std::uint8_t>(index);
  }
  return values;
}();

uint8x16x4_t load_table(const std::uint8_t* entries) {
  return {
      {vld1q_u8(entries), vld1q_u8(entries + 16), vld1q_u8(entries + 32), vld1q_u8(entries + 48)}};
}

// An index past a table's 64 entries yields 0 from vqtbl4q and leaves the
// lane alone in vqtbx4q, so characters from 128 up come out as 0 and must be
// caught by their own high bit.
uint8x16_t chars_to_values(uint8x16_t chars, const uint8x16x4_t (&tables)[2], uint8x16_t& invalid) {
  const uint8x16_t low = vqtbl4q_u8(tables[0], chars);
  const uint8x16_t values = vqtbx4q_u8(low, tables[1], vsubq_u8(chars, vdupq_n_u8(64)));
  invalid = vorrq_u8(invalid, vorrq_u8(values, chars));
  return values;
}

}  // namespace

void encode_groups_neon(const std::uint8_t* in, std::size_t groups, char* out) {
  const uint8x16x4_t alphabet = load_table(reinterpret_cast<const std::uint8_t*>(kAlphabet.data()));
  const uint8x16_t low6 = vdupq_n_u8(63);
  for (; groups >= kGroupsPerStep; groups -= kGroupsPerStep, in += 48, out += 64) {
    const uint8x16x3_t bytes = vld3q_u8(in);
    const uint8x16_t indices[4] = {
        vshrq_n_u8(bytes.val[0], 2),
        vandq_u8(vorrq_u8(vshlq_n_u8(bytes.val[0], 4), vshrq_n_u8(bytes.val[1], 4)), low6),
        vandq_u8(vorrq_u8(vshlq_n_u8(bytes.val[1], 2), vshrq_n_u8(bytes.val[2], 6)), low6),
        vandq_u8(bytes.val[2], low6)};
    uint8x16x4_t chars;
    for (int i = 0; i < 4; ++i) chars.val[i] = vqtbl4q_u8(alphabet, indices[i]);
    portable::prefetch_ahead(out, 64);
    vst4q_u8(reinterpret_cast<std::uint8_t*>(out), chars);
  }
  encode_groups_portable(in, groups, out);
}

bool decode_groups_neon(const char* in, std::size_t groups, std::uint8_t* out) {
  const uint8x16x4_t tables[2] = {load_table(kValues.data()), load_table(kValues.data() + 64)};
  uint8x16_t invalid = vdupq_n_u8(0);
  for (; groups >= kGroupsPerStep; groups -= kGroupsPerStep, in += 64, out += 48) {
    const uint8x16x4_t chars = vld4q_u8(reinterpret_cast<const std::uint8_t*>(in));
    uint8x16_t values[4];
    for (int i = 0; i < 4; ++i) values[i] = chars_to_values(chars.val[i], tables, invalid);
    uint8x16x3_t bytes;
    bytes.val[0] = vorrq_u8(vshlq_n_u8(values[0], 2), vshrq_n_u8(values[1], 4));
    bytes.val[1] = vorrq_u8(vshlq_n_u8(values[1], 4), vshrq_n_u8(values[2], 2));
    bytes.val[2] = vorrq_u8(vshlq_n_u8(values[2], 6), values[3]);
    portable::prefetch_ahead(out, 48);
    vst3q_u8(out, bytes);
  }
  return vmaxvq_u8(invalid) < 0x80 && decode_groups_portable(in, groups, out);
}

}  // namespace velmora::base64
