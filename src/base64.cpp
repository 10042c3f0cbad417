// The portable kernels, and the one place that knows how the final partial
// group is padded, so every kernel agrees on it by construction.
#include "base64.h"

#include <array>
#include <cstring>

namespace velmora::base64 {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Set in the value of every character outside the alphabet; values proper
// stay below 64, so OR-ing values keeps the mark.
constexpr std::uint8_t kInvalid = 0x80;

// The two characters for every 12-bit half of a group: two lookups a group.
constexpr auto kCharPairs = [] {
  std::array<std::array<char, 2>, 4096> pairs{};
  for (std::size_t bits = 0; bits < pairs.size(); ++bits) {
    pairs[bits] = {kAlphabet[bits >> 6], kAlphabet[bits & 63]};
  }
  return pairs;
}();

constexpr auto kValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kInvalid);
  for (std::size_t index = 0; index < kAlphabet.size(); ++index) {
    values[static_cast<std::uint8_t>(kAlphabet[index])] = static_cast<std::uint8_t>(index);
  }
  return values;
}();

std::uint8_t value_of(char c) { return kValues[static_cast<std::uint8_t>(c)]; }

char char_at(std::uint32_t group_bits, int shift) { return kAlphabet[(group_bits >> shift) & 63]; }

// Writes the top `count` bytes of a 24-bit group, most significant first.
void store_group_bytes(std::uint32_t group_bits, std::size_t count, std::uint8_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<std::uint8_t>(group_bits >> (16 - 8 * i));
  }
}

// The last 1 or 2 input bytes, zero-filled to a group, with "=" for each
// missing byte.
void encode_partial_group(const std::uint8_t* in, std::size_t count, char* out) {
  const std::uint32_t group_bits = in[0] << 16 | (count == 2 ? in[1] << 8 : 0);
  out[0] = char_at(group_bits, 18);
  out[1] = char_at(group_bits, 12);
  out[2] = count == 2 ? char_at(group_bits, 6) : kPad;
  out[3] = kPad;
}

// A final group whose last character is "=". Only what encode_partial_group
// writes is accepted: the bits no output byte carries must be zero, which
// keeps one text per byte string.
bool decode_padded_group(const char* in, Buffer& out) {
  const std::size_t count = in[2] == kPad ? 1 : 2;
  const std::uint8_t third = count == 2 ? value_of(in[2]) : 0;
  const std::uint8_t first = value_of(in[0]), second = value_of(in[1]);
  if ((first | second | third) & kInvalid) return false;
  const std::uint32_t group_bits = first << 18 | second << 12 | third << 6;
  const std::uint32_t unused_bits = 0xFFFFFFu >> (8 * count);
  if (group_bits & unused_bits) return false;
  store_group_bytes(group_bits, count, out.claim(count));
  return true;
}

}  // namespace

void encode_groups_portable(const std::uint8_t* in, std::size_t groups, char* out) {
  for (; groups > 0; --groups, in += 3, out += 4) {
    const std::uint32_t group_bits = in[0] << 16 | in[1] << 8 | in[2];
    std::memcpy(out, kCharPairs[group_bits >> 12].data(), 2);
    std::memcpy(out + 2, kCharPairs[group_bits & 0xFFF].data(), 2);
  }
}

bool decode_groups_portable(const char* in, std::size_t groups, std::uint8_t* out) {
  std::uint8_t seen = 0;
  for (; groups > 0; --groups, in += 4, out += 3) {
    const std::uint8_t a = value_of(in[0]), b = value_of(in[1]);
    const std::uint8_t c = value_of(in[2]), d = value_of(in[3]);
    seen |= a | b | c | d;
    store_group_bytes(a << 18 | b << 12 | c << 6 | d, 3, out);
  }
  return !(seen & kInvalid);
}

void encode_into_with(EncodeGroups kernel, ByteView data, char* out) {
  const std::size_t whole = data.size() / 3;
  kernel(data.data(), whole, out);
  if (const std::size_t rest = data.size() % 3) {
    encode_partial_group(data.data() + 3 * whole, rest, out + 4 * whole);
  }
}

std::optional<Buffer> decode_with(DecodeGroups kernel, std::string_view text,
                                  Allocator* allocator) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return Buffer(0, allocator);
  // Any "=" elsewhere is outside the alphabet for the kernel and so rejected.
  const bool padded = text.back() == kPad;
  const std::size_t whole = text.size() / 4 - padded;
  const std::size_t partial = padded ? (text[text.size() - 2] == kPad ? 1 : 2) : 0;
  // Reserved at the size of a valid text: an invalid one is refused anyway.
  Buffer out(3 * whole + partial, allocator);
  if (!kernel(text.data(), whole, out.claim(3 * whole))) return std::nullopt;
  if (padded && !decode_padded_group(text.data() + 4 * whole, out)) return std::nullopt;
  return out;
}

constexpr Kernel kKernels[] = {
#if VELMORA_X86_64
    {"avx512vbmi", dispatch::kX86Avx512Vbmi, encode_groups_avx512vbmi, decode_groups_avx512vbmi},
    {"avx2", dispatch::kX86Avx2, encode_groups_avx2, decode_groups_avx2},
#endif
#if VELMORA_ARM64
    {"neon", dispatch::kArmNeon, encode_groups_neon, decode_groups_neon},
#endif
    {"portable", 0, encode_groups_portable, decode_groups_portable},
};

std::span<const Kernel> kernels() { return kKernels; }

namespace {

const Kernel& chosen() {
  static const Kernel& kernel = dispatch::first_supported(kernels());
  return kernel;
}

}  // namespace

void encode_into(ByteView data, char* out) { encode_into_with(chosen().encode_groups, data, out); }

std::string encode(ByteView data) {
  std::string text(encoded_length(data.size()), '\0');
  encode_into(data, text.data());
  return text;
}

std::optional<Buffer> decode(std::string_view text, Allocator* allocator) {
  return decode_with(chosen().decode_groups, text, allocator);
}

}  // namespace velmora::base64
