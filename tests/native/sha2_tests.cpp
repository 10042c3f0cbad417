// SHA-2 digests: published example vectors and digests from an independent
// implementation anchor every kernel; beyond those, every kernel the CPU
// offers must agree with the portable one on every input tried.
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "guarded_bytes.h"
#include "sha2.h"

namespace {

using velmora::ByteView;
using velmora::sha2::Digest;
namespace sha2 = velmora::sha2;

// One kernel this CPU supports, bound to one algorithm.
struct Kernel {
  std::string_view name;
  std::function<Digest(ByteView)> digest;
};

template <class Row>
std::vector<Kernel> supported(std::span<const Row> table,
                              Digest (*digest_with)(decltype(Row::compress), ByteView)) {
  std::vector<Kernel> kernels;
  for (const Row& row : velmora::dispatch::supported_rows(table)) {
    kernels.push_back({row.name, [=](ByteView data) { return digest_with(row.compress, data); }});
  }
  return kernels;
}

struct Algorithm {
  std::string_view name;
  std::vector<Kernel> kernels;  // the portable one last
  Digest (*dispatched)(ByteView);

  const Kernel& portable() const { return kernels.back(); }
};

// Expected values below list SHA-256, SHA-384 and SHA-512 in this order.
const Algorithm kAlgorithms[] = {
    {"SHA-256", supported(sha2::sha256_kernels(), sha2::sha256_with), sha2::sha256},
    {"SHA-384", supported(sha2::sha512_kernels(), sha2::sha384_with), sha2::sha384},
    {"SHA-512", supported(sha2::sha512_kernels(), sha2::sha512_with), sha2::sha512},
};
using Expected = std::array<std::string_view, 3>;

std::string hex(const Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

std::string describe(const Algorithm& algorithm, std::string_view kernel, std::size_t size) {
  return std::string(algorithm.name) + " with kernel " + std::string(kernel) + " on " +
         std::to_string(size) + " bytes";
}

struct ExampleVector {
  std::string message;
  Expected digests;
};

std::vector<ExampleVector> example_vectors() {
  return {{"",
           {"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
            "38b060a751ac96384cd9327eb1b1e36a21fdb71114be0743"
            "4c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b",
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"}},
          {"abc",
           {"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
            "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded163"
            "1a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7",
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"}},
          {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
           {"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
            "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05ab"
            "fe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b",
            "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c335"
            "96fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445"}},
          {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
           "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
           {"cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
            "09330c33f71147e83d192fc782cd1b4753111b173b3b05d2"
            "2fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039",
            "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
            "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"}},
          {std::string(1'000'000, 'a'),
           {"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
            "9d0e1809716474cb086e834e310a4a1ced149e9c00f24852"
            "7972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985",
            "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
            "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"}}};
}

// The digests of the first n bytes of (167 i + 13) mod 256 for n = 0..299,
// concatenated and digested once more. This crosses every padding case of
// both block sizes.
std::string digest_chain(const Kernel& kernel) {
  std::vector<std::uint8_t> pattern(300);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    pattern[i] = static_cast<std::uint8_t>(i * 167 + 13);
  }
  std::vector<std::uint8_t> digests;
  for (std::size_t n = 0; n < pattern.size(); ++n) {
    const Digest digest = kernel.digest(ByteView(pattern).first(n));
    digests.insert(digests.end(), digest.begin(), digest.end());
  }
  return hex(kernel.digest(digests));
}

// As Python's hashlib computes them.
constexpr Expected kDigestChain = {
    "43016a920b6cf73fdec25796614855feeba21146dc202839cd4959c9e3df8e5d",
    "cc49fecd8fb076f547db80ca818533f91d5a5d4ac584542e"
    "c762b38cf09a583a54b1e7baed3f3dbaf8cc2aa1ddfc7696",
    "cf984f561dd9ca8105f9ea6006c567b4893c9f7e80a0c0efc1d6f72174290c0f"
    "5418755760b05f6820ec0501c4f3180c2680643e5e864798fa09baac955903f4"};

std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

void check_agrees_with_portable(const Algorithm& algorithm, const Kernel& kernel, ByteView data) {
  CHECK_MSG(kernel.digest(data) == algorithm.portable().digest(data),
            describe(algorithm, kernel.name, data.size()) + " differs from portable");
}

// A stand-in compression that keeps a copy of the padded tail: the last call,
// one or two blocks long. The calls before it would read the message in place
// and are ignored, so the message need not exist.
std::vector<std::uint8_t>& recorded_tail() {
  static std::vector<std::uint8_t> tail;
  return tail;
}

template <class Word>
void record_tail(Word*, const std::uint8_t* blocks, std::size_t count) {
  if (count <= 2) recorded_tail().assign(blocks, blocks + count * 16 * sizeof(Word));
}

std::uint64_t big_endian_at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | bytes.at(offset + i);
  return value;
}

}  // namespace

VELMORA_TEST(sha2_example_vectors_in_every_kernel) {
  for (const ExampleVector& vector : example_vectors()) {
    const ByteView message = velmora::as_bytes(vector.message);
    for (std::size_t i = 0; i < std::size(kAlgorithms); ++i) {
      const Algorithm& algorithm = kAlgorithms[i];
      for (const Kernel& kernel : algorithm.kernels) {
        CHECK_MSG(hex(kernel.digest(message)) == vector.digests[i],
                  describe(algorithm, kernel.name, message.size()));
      }
      CHECK_MSG(hex(algorithm.dispatched(message)) == vector.digests[i],
                describe(algorithm, "chosen for this CPU", message.size()));
    }
  }
}

VELMORA_TEST(sha2_digest_chain_over_every_tail_length) {
  for (std::size_t i = 0; i < std::size(kAlgorithms); ++i) {
    for (const Kernel& kernel : kAlgorithms[i].kernels) {
      CHECK_MSG(digest_chain(kernel) == kDigestChain[i],
                describe(kAlgorithms[i], kernel.name, 300) + " digest chain");
    }
  }
}

// Lengths of 2^61 bytes and more overflow a 64-bit bit count: SHA-256 keeps
// the count mod 2^64, SHA-384 and SHA-512 carry the excess into the upper half
// of their 128-bit field.
VELMORA_TEST(sha2_length_field_beyond_64_bits) {
  const std::uint8_t anything = 0;
  const ByteView huge(&anything, std::size_t{3} << 60);  // 3 * 2^63 bits
  sha2::sha256_with(record_tail<std::uint32_t>, huge);
  CHECK(recorded_tail().size() == 64);
  CHECK(recorded_tail()[0] == 0x80);
  CHECK(big_endian_at(recorded_tail(), 56) == std::uint64_t{1} << 63);
  for (auto digest_with : {sha2::sha384_with, sha2::sha512_with}) {
    digest_with(record_tail<std::uint64_t>, huge);
    CHECK(recorded_tail().size() == 128);
    CHECK(recorded_tail()[0] == 0x80);
    CHECK(big_endian_at(recorded_tail(), 112) == 1);
    CHECK(big_endian_at(recorded_tail(), 120) == std::uint64_t{1} << 63);
  }
}

VELMORA_TEST(sha2_kernels_agree_on_every_length_up_to_1000) {
  const std::vector<std::uint8_t> data = random_bytes(1000 + 1, 1);
  for (const Algorithm& algorithm : kAlgorithms) {
    for (const Kernel& kernel : algorithm.kernels) {
      for (std::size_t size = 0; size <= 1000; ++size) {
        // Odd sizes start one byte in, so half the inputs are misaligned.
        check_agrees_with_portable(algorithm, kernel, ByteView(data).subspan(size % 2, size));
      }
    }
  }
}

VELMORA_TEST(sha2_kernels_agree_on_large_misaligned_inputs) {
  const std::vector<std::uint8_t> data = random_bytes((1 << 20) + 4096, 2);
  const std::size_t sizes[] = {1 << 20, (1 << 20) + 1, (1 << 20) + 127, (1 << 20) + 4000, 777'777};
  for (const Algorithm& algorithm : kAlgorithms) {
    for (const Kernel& kernel : algorithm.kernels) {
      for (std::size_t offset = 0; offset < 4; ++offset) {
        for (std::size_t size : sizes) {
          const ByteView input = ByteView(data).subspan(offset * 3, size);
          check_agrees_with_portable(algorithm, kernel, input);
        }
      }
    }
  }
}

// Input ending where an inaccessible page begins: every kernel reads ahead of
// the block it is on, which must never turn into an access past the input.
VELMORA_TEST(sha2_kernels_stay_within_their_input) {
  const std::vector<std::uint8_t> data = random_bytes(5000, 3);
  for (const std::size_t size : {0, 1, 63, 64, 127, 128, 1000, 1024 + 64, 2048, 5000}) {
    velmora::testing::GuardedBytes input(size);
    std::copy_n(data.begin(), size, input.data());
    const ByteView guarded(input.data(), size);
    for (const Algorithm& algorithm : kAlgorithms) {
      const Digest expected = algorithm.portable().digest(ByteView(data).first(size));
      for (const Kernel& kernel : algorithm.kernels) {
        CHECK_MSG(kernel.digest(guarded) == expected, describe(algorithm, kernel.name, size));
      }
    }
  }
}
