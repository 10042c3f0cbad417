// SHA-2 digests: published example vectors and a digest chain from an
// independent implementation anchor the results; every kernel set the CPU
// offers must then agree with the portable one on every input.
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "dispatch.h"
#include "sha2.h"

namespace {

using velmora::ByteView;
using velmora::dispatch::Kernels;
using velmora::sha2::Digest;
namespace sha2 = velmora::sha2;

std::string hex(const Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

Digest sha256(const Kernels& kernels, ByteView data) {
  return sha2::sha256_with(kernels.compress256, data);
}
Digest sha384(const Kernels& kernels, ByteView data) {
  return sha2::sha384_with(kernels.compress512, data);
}
Digest sha512(const Kernels& kernels, ByteView data) {
  return sha2::sha512_with(kernels.compress512, data);
}

struct ExampleVector {
  std::string message;
  std::string_view sha256, sha384, sha512;
};

std::vector<ExampleVector> example_vectors() {
  return {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
       "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f1489"
       "8b95b",
       "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877"
       "eec2f63b931bd47417a81a538327af927da3e"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c"
       "825a7",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3f"
       "eebbd454d4423643ce80e2a9ac94fa54ca49f"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
       "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c"
       "8452b",
       "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea577"
       "89ca031ad85c7a71dd70354ec631238ca3445"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opq"
       "rsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
       "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa917"
       "46039",
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b"
       "5433ac7d329eeb6dd26545e96e55b874be909"},
      {std::string(1'000'000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
       "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3"
       "d8985",
       "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce57"
       "7c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
  };
}

std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

std::string failure(std::string_view what, const Kernels& kernels, std::size_t size) {
  return std::string(what) + " differs from portable in kernel set " + std::string(kernels.name) +
         " for " + std::to_string(size) + " bytes";
}

void check_agrees_with_portable(const Kernels& kernels, ByteView data) {
  const Kernels& portable = velmora::dispatch::available().front();
  CHECK_MSG(sha256(kernels, data) == sha256(portable, data),
            failure("SHA-256", kernels, data.size()));
  CHECK_MSG(sha384(kernels, data) == sha384(portable, data),
            failure("SHA-384", kernels, data.size()));
  CHECK_MSG(sha512(kernels, data) == sha512(portable, data),
            failure("SHA-512", kernels, data.size()));
}

}  // namespace

VELMORA_TEST(sha2_example_vectors_in_every_kernel_set) {
  for (const ExampleVector& vector : example_vectors()) {
    const ByteView message = velmora::as_bytes(vector.message);
    for (const Kernels& kernels : velmora::dispatch::available()) {
      CHECK(hex(sha256(kernels, message)) == vector.sha256);
      CHECK(hex(sha384(kernels, message)) == vector.sha384);
      CHECK(hex(sha512(kernels, message)) == vector.sha512);
    }
    CHECK(hex(sha2::sha256(message)) == vector.sha256);
    CHECK(hex(sha2::sha384(message)) == vector.sha384);
    CHECK(hex(sha2::sha512(message)) == vector.sha512);
  }
}

// The digests of the first n bytes of (167 i + 13) mod 256 for n = 0..299,
// concatenated and digested again, as an independent implementation gives
// them. This crosses every padding case of both block sizes.
VELMORA_TEST(sha2_digest_chain_over_every_tail_length) {
  std::vector<std::uint8_t> pattern(300);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    pattern[i] = static_cast<std::uint8_t>(i * 167 + 13);
  }
  const auto chain = [&](Digest (*digest)(ByteView)) {
    std::vector<std::uint8_t> digests;
    for (std::size_t n = 0; n < pattern.size(); ++n) {
      const Digest prefix_digest = digest(ByteView(pattern).first(n));
      digests.insert(digests.end(), prefix_digest.begin(), prefix_digest.end());
    }
    return hex(digest(digests));
  };
  CHECK(chain(sha2::sha256) == "43016a920b6cf73fdec25796614855feeba21146dc202839cd4959c9e3df8e5d");
  CHECK(chain(sha2::sha384) ==
        "cc49fecd8fb076f547db80ca818533f91d5a5d4ac584542ec762b38cf09a583a54b1e7baed3f3dbaf8cc2aa1dd"
        "fc7696");
  CHECK(chain(sha2::sha512) ==
        "cf984f561dd9ca8105f9ea6006c567b4893c9f7e80a0c0efc1d6f72174290c0f5418755760b05f6820ec0501c4"
        "f3180c2680643e5e864798fa09baac955903f4");
}

VELMORA_TEST(sha2_kernels_agree_on_every_length_up_to_1000) {
  const std::vector<std::uint8_t> data = random_bytes(1000 + 1, 1);
  for (const Kernels& kernels : velmora::dispatch::available()) {
    for (std::size_t size = 0; size <= 1000; ++size) {
      // Odd sizes start one byte in, so half the inputs are misaligned.
      check_agrees_with_portable(kernels, ByteView(data).subspan(size % 2, size));
    }
  }
}

VELMORA_TEST(sha2_kernels_agree_on_large_misaligned_inputs) {
  const std::vector<std::uint8_t> data = random_bytes((1 << 20) + 4096, 2);
  const std::size_t sizes[] = {1 << 20, (1 << 20) + 1, (1 << 20) + 127, (1 << 20) + 4000, 777'777};
  for (const Kernels& kernels : velmora::dispatch::available()) {
    for (std::size_t offset = 0; offset < 4; ++offset) {
      for (std::size_t size : sizes) {
        check_agrees_with_portable(kernels, ByteView(data).subspan(offset * 3, size));
      }
    }
  }
}
