// Base64 (RFC 4648 section 4): padded, unwrapped encoding and the strict
// decoder that accepts exactly the canonical form and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bytes.h"
#include "dispatch.h"

namespace velmora::base64 {

// 4 * ceil(n / 3).
constexpr std::size_t encoded_length(std::size_t n) { return (n + 2) / 3 * 4; }

// Writes exactly encoded_length(data.size()) characters to `out`.
void encode_into(ByteView data, char* out);
std::string encode(ByteView data);

// The decoded bytes, in storage from `allocator` when one is given, or nothing
// when `text` is not canonical Base64.
std::optional<Buffer> decode(std::string_view text, Allocator* allocator = nullptr);

// Kernels over whole groups. `encode_groups` turns
// `groups` 3-byte groups into 4 characters each. `decode_groups` turns
// `groups` 4-character groups without padding into 3 bytes each and returns
// false when any character lies outside the alphabet (what it wrote is then
// meaningless).
using EncodeGroups = void (*)(const std::uint8_t* in, std::size_t groups, char* out);
using DecodeGroups = bool (*)(const char* in, std::size_t groups, std::uint8_t* out);

void encode_groups_portable(const std::uint8_t* in, std::size_t groups, char* out);
bool decode_groups_portable(const char* in, std::size_t groups, std::uint8_t* out);
#if VELMORA_X86_64
void encode_groups_avx2(const std::uint8_t* in, std::size_t groups, char* out);
bool decode_groups_avx2(const char* in, std::size_t groups, std::uint8_t* out);
void encode_groups_avx512vbmi(const std::uint8_t* in, std::size_t groups, char* out);
bool decode_groups_avx512vbmi(const char* in, std::size_t groups, std::uint8_t* out);
#endif
#if VELMORA_ARM64
void encode_groups_neon(const std::uint8_t* in, std::size_t groups, char* out);
bool decode_groups_neon(const char* in, std::size_t groups, std::uint8_t* out);
#endif

// A table row: a pair of kernels and what the CPU needs to run them.
struct Kernel {
  std::string_view name;
  dispatch::Features required;
  EncodeGroups encode_groups;
  DecodeGroups decode_groups;
};

// Every kernel pair built for this architecture, best first, the portable one
// last; encode and decode use the first this CPU supports.
std::span<const Kernel> kernels();

// The codec with explicitly chosen kernels, for comparing implementations.
void encode_into_with(EncodeGroups kernel, ByteView data, char* out);
std::optional<Buffer> decode_with(DecodeGroups kernel, std::string_view text,
                                  Allocator* allocator = nullptr);

}  // namespace velmora::base64
