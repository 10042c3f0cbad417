// The Base64 codec against a bit-by-bit reference written independently of
// it, for every kernel this CPU can run.
#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base64.h"
#include "check.h"
#include "dispatch.h"
#include "guarded_bytes.h"

namespace velmora::base64 {

namespace {

using testing::GuardedBytes;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const std::vector<Kernel>& supported_kernels() {
  static const std::vector<Kernel> supported = dispatch::supported_rows(kernels());
  return supported;
}

std::string reference_encode(ByteView data) {
  std::string text;
  std::uint32_t pending = 0;
  int pending_bits = 0;
  for (const std::uint8_t byte : data) {
    pending = pending << 8 | byte;
    for (pending_bits += 8; pending_bits >= 6;) {
      pending_bits -= 6;
      text += kAlphabet[(pending >> pending_bits) & 63];
    }
  }
  if (pending_bits > 0) text += kAlphabet[(pending << (6 - pending_bits)) & 63];
  while (text.size() % 4 != 0) text += '=';
  return text;
}

// Right for canonical text only; what it makes of other text never encodes
// back to that text, which is how is_canonical tells the two apart.
std::string reference_decode(std::string_view text) {
  std::string bytes;
  std::uint32_t pending = 0;
  int pending_bits = 0;
  for (const char c : text.substr(0, text.find_last_not_of('=') + 1)) {
    pending = pending << 6 | static_cast<std::uint32_t>(kAlphabet.find(c) & 63);
    pending_bits += 6;
    if (pending_bits >= 8) {
      pending_bits -= 8;
      bytes += static_cast<char>(pending >> pending_bits);
    }
  }
  return bytes;
}

bool is_canonical(std::string_view text) {
  return text.find_first_not_of(kAlphabet) == text.find_first_of('=') &&
         reference_encode(as_bytes(reference_decode(text))) == text;
}

std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

std::string encode_with(EncodeGroups kernel, ByteView data) {
  std::string text(encoded_length(data.size()), '\0');
  encode_into_with(kernel, data, text.data());
  return text;
}

std::string describe(const Kernel& kernel, std::string_view what, std::size_t size) {
  return std::string(kernel.name) + ": " + std::string(what) + " of size " + std::to_string(size);
}

// Every kernel decodes `text` exactly as the reference says it should.
// Returns whether the text is canonical.
bool check_decoders_against_reference(std::string_view text) {
  const bool canonical = is_canonical(text);
  const std::string expected = canonical ? reference_decode(text) : std::string();
  for (const Kernel& kernel : supported_kernels()) {
    const auto decoded = decode_with(kernel.decode_groups, text);
    CHECK_MSG(decoded.has_value() == canonical &&
                  (!decoded || decoded->text() == std::string_view(expected)),
              describe(kernel, "decoding '" + std::string(text) + "'", text.size()));
  }
  return canonical;
}

}  // namespace

VELMORA_TEST(base64_known_vectors) {
  const std::pair<std::string_view, std::string_view> vectors[] = {{"", ""},
                                                                   {"f", "Zg=="},
                                                                   {"fo", "Zm8="},
                                                                   {"foo", "Zm9v"},
                                                                   {"foob", "Zm9vYg=="},
                                                                   {"fooba", "Zm9vYmE="},
                                                                   {"foobar", "Zm9vYmFy"}};
  for (const Kernel& kernel : supported_kernels()) {
    for (const auto& [plain, text] : vectors) {
      CHECK_MSG(encode_with(kernel.encode_groups, as_bytes(plain)) == text,
                describe(kernel, "encoding", plain.size()));
      const auto decoded = decode_with(kernel.decode_groups, text);
      CHECK_MSG(decoded && decoded->text() == plain, describe(kernel, "decoding", text.size()));
    }
  }
}

VELMORA_TEST(base64_public_functions_use_the_codec) {
  CHECK(encode(as_bytes("foobar")) == "Zm9vYmFy");
  CHECK(encode({}).empty());
  const auto decoded = decode("Zm9vYmE=");
  CHECK(decoded && decoded->text() == "fooba");
  CHECK(!decode("Zm9vYmF="));
  const auto empty = decode("");
  CHECK(empty && empty->size() == 0);
}

// The store may be written into storage that cannot shrink (a bytes object).
VELMORA_TEST(base64_decode_reserves_exactly_the_decoded_size) {
  for (const std::string_view text : {"", "Zg==", "Zm8=", "Zm9vYmFy", "Zm9vYmFyYg=="}) {
    const auto decoded = decode(text);
    CHECK(decoded && decoded->full());
  }
}

VELMORA_TEST(base64_rejects_non_canonical_text) {
  using namespace std::string_view_literals;
  const std::string_view rejected[] = {
      "Zh==",          "Zm9=",      "Zg",         "Zm8",          "Z",
      "Zg=",           "Zg===",     "Zg==Zg==",   "Z===",         "====",
      "=Zm9",          "Z=m9",      "Zm=9",       "=Zg=",         "=Z==",
      "Zm9v\nYmFy",    "Zm9v YmFy", "Zm9v\tYmFy", "Zm9v\rYmFy",   "Zm9vYmFy\n",
      "Zm9-",          "Zm9_",      "Zm-=",       "Z_==",         "Zm9v\x80YmF",
      "Zm9vYmF\xff",   "Zm9\0"sv,   "Zg\0="sv,    "Zm9vYmFy====", "Zm8=Zm9v",
      "Zm9vYmFy Zg==", "Zm9v=mFy"};
  for (const std::string_view text : rejected) {
    CHECK_MSG(!check_decoders_against_reference(text), std::string(text));
  }
}

VELMORA_TEST(base64_every_length_matches_the_reference) {
  for (std::size_t size = 0; size <= 1000; ++size) {
    const auto data = random_bytes(size, static_cast<std::uint32_t>(size));
    const std::string expected = reference_encode(data);
    for (const Kernel& kernel : supported_kernels()) {
      CHECK_MSG(encode_with(kernel.encode_groups, data) == expected,
                describe(kernel, "encoding", size));
      const auto decoded = decode_with(kernel.decode_groups, expected);
      CHECK_MSG(decoded && std::ranges::equal(decoded->view(), data),
                describe(kernel, "round trip", size));
    }
  }
}

VELMORA_TEST(base64_large_inputs_match_the_portable_kernels) {
  for (const std::size_t size : {std::size_t{1} << 16, (std::size_t{1} << 20) + 1,
                                 (std::size_t{3} << 19) + 2, std::size_t{4999999}}) {
    const auto data = random_bytes(size, static_cast<std::uint32_t>(size));
    const std::string expected = encode_with(encode_groups_portable, data);
    CHECK(expected == reference_encode(data));
    std::string broken = expected;
    broken[broken.size() / 2 + 1] = '.';
    for (const Kernel& kernel : supported_kernels()) {
      CHECK_MSG(encode_with(kernel.encode_groups, data) == expected,
                describe(kernel, "encoding", size));
      const auto decoded = decode_with(kernel.decode_groups, expected);
      CHECK_MSG(decoded && std::ranges::equal(decoded->view(), data),
                describe(kernel, "round trip", size));
      CHECK_MSG(!decode_with(kernel.decode_groups, broken), describe(kernel, "broken text", size));
    }
  }
}

// Sizes 201, 202 and 200 end in "==", "=" and a full group. Positions run
// through the vector steps of both SIMD kernels (16 and 8 groups), the
// portable remainder after them, and the final group.
VELMORA_TEST(base64_every_single_byte_corruption_agrees) {
  for (const std::size_t size : {200, 201, 202}) {
    const std::string text = reference_encode(random_bytes(size, 7));
    std::vector<std::size_t> positions = {0,  1,  2,  3,   5,   31,  32, 33,
                                          63, 64, 65, 127, 128, 200, 255};
    for (std::size_t back = 1; back <= 12; ++back) positions.push_back(text.size() - back);
    for (const std::size_t position : positions) {
      for (int value = 0; value < 256; ++value) {
        std::string corrupted = text;
        corrupted[position] = static_cast<char>(value);
        check_decoders_against_reference(corrupted);
      }
    }
  }
}

// The last two characters of one group take all 65536 values, in the final
// group (where padding may appear) and in groups the SIMD steps decode.
VELMORA_TEST(base64_group_endings_accept_exactly_the_canonical_ones) {
  const std::string text = reference_encode(random_bytes(3 * 40, 11));
  for (const std::size_t group : {0, 5, 17, 36, 39}) {
    std::string varied = text;
    varied.replace(4 * group, 2, "Zg");
    std::size_t accepted = 0;
    for (int third = 0; third < 256; ++third) {
      for (int fourth = 0; fourth < 256; ++fourth) {
        varied[4 * group + 2] = static_cast<char>(third);
        varied[4 * group + 3] = static_cast<char>(fourth);
        accepted += check_decoders_against_reference(varied);
      }
    }
    // 64 * 64 unpadded; in the final group also 16 "Zg?=" and "Zg==".
    CHECK_MSG(accepted == (group == 39 ? 4096 + 16 + 1 : 4096), std::to_string(accepted));
  }
}

VELMORA_TEST(base64_kernels_stay_within_their_buffers) {
  for (std::size_t groups = 0; groups <= 100; ++groups) {
    const auto data = random_bytes(3 * groups, static_cast<std::uint32_t>(groups));
    const std::string text = reference_encode(data);
    for (const Kernel& kernel : supported_kernels()) {
      GuardedBytes input(3 * groups), encoded(4 * groups);
      std::copy(data.begin(), data.end(), input.data());
      kernel.encode_groups(input.data(), groups, encoded.chars());
      CHECK_MSG(std::string_view(encoded.chars(), 4 * groups) == text,
                describe(kernel, "guarded encoding", groups));

      GuardedBytes chars(4 * groups), decoded(3 * groups);
      std::copy(text.begin(), text.end(), chars.chars());
      CHECK_MSG(kernel.decode_groups(chars.chars(), groups, decoded.data()) &&
                    std::equal(data.begin(), data.end(), decoded.data()),
                describe(kernel, "guarded decoding", groups));
    }
  }
}

}  // namespace velmora::base64
