#include "sha2.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "portable.h"

namespace velmora::sha2 {

alignas(64) const std::uint32_t kRoundConstants256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

alignas(64) const std::uint64_t kRoundConstants512[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

namespace {

constexpr std::uint32_t kInitial256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::uint64_t kInitial384[8] = {
    0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17, 0x152fecd8f70e5939,
    0x67332667ffc00b31, 0x8eb44a8768581511, 0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
constexpr std::uint64_t kInitial512[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

// What tells the two word sizes apart besides the word itself. Each mixing
// function is three rotations, or two rotations and a right shift.
struct Sha256Shape {
  using Word = std::uint32_t;
  static constexpr int kRounds = 64;
  static constexpr std::size_t kLengthBytes = 8;
  static constexpr int kBigSigma0[3] = {2, 13, 22};
  static constexpr int kBigSigma1[3] = {6, 11, 25};
  static constexpr int kSmallSigma0[3] = {7, 18, 3};
  static constexpr int kSmallSigma1[3] = {17, 19, 10};
  static constexpr const Word* kRoundConstants = kRoundConstants256;
};

struct Sha512Shape {
  using Word = std::uint64_t;
  static constexpr int kRounds = 80;
  static constexpr std::size_t kLengthBytes = 16;
  static constexpr int kBigSigma0[3] = {28, 34, 39};
  static constexpr int kBigSigma1[3] = {14, 18, 41};
  static constexpr int kSmallSigma0[3] = {1, 8, 7};
  static constexpr int kSmallSigma1[3] = {19, 61, 6};
  static constexpr const Word* kRoundConstants = kRoundConstants512;
};

template <class Word>
constexpr std::size_t kBlockBytes = 16 * sizeof(Word);

template <class Word>
Word load_big_endian(const std::uint8_t* bytes) {
  Word word = 0;
  for (std::size_t i = 0; i < sizeof(Word); ++i) word = (word << 8) | bytes[i];
  return word;
}

template <class Word>
void store_big_endian(std::uint8_t* bytes, Word word) {
  for (std::size_t i = 0; i < sizeof(Word); ++i) {
    bytes[i] = static_cast<std::uint8_t>(word >> (8 * (sizeof(Word) - 1 - i)));
  }
}

template <class Word>
Word rotations(Word x, const int (&amounts)[3]) {
  return std::rotr(x, amounts[0]) ^ std::rotr(x, amounts[1]) ^ std::rotr(x, amounts[2]);
}

template <class Word>
Word rotations_and_shift(Word x, const int (&amounts)[3]) {
  return std::rotr(x, amounts[0]) ^ std::rotr(x, amounts[1]) ^ (x >> amounts[2]);
}

// The same truth tables as the textbook forms with fewer operations; majority
// also lets `a` arrive late, as b | c and b & c were known a round earlier.
template <class Word>
Word choose(Word e, Word f, Word g) {
  return g ^ (e & (f ^ g));
}

template <class Word>
Word majority(Word a, Word b, Word c) {
  return (a & (b | c)) | (b & c);
}

template <class Shape, class Word = typename Shape::Word>
void expand_schedule(const std::uint8_t* block, Word (&schedule)[Shape::kRounds]) {
  for (int t = 0; t < 16; ++t) schedule[t] = load_big_endian<Word>(block + t * sizeof(Word));
  for (int t = 16; t < Shape::kRounds; ++t) {
    schedule[t] = rotations_and_shift(schedule[t - 2], Shape::kSmallSigma1) + schedule[t - 7] +
                  rotations_and_shift(schedule[t - 15], Shape::kSmallSigma0) + schedule[t - 16];
  }
}

// Instead of shifting all eight working variables down each round, the caller
// rotates the roles, so only `d` and `h` change. The sums are grouped so that
// the new `e` waits on as few operations after the old `e` as possible.
template <class Shape, class Word = typename Shape::Word>
void round(Word a, Word b, Word c, Word& d, Word e, Word f, Word g, Word& h,
           Word word_plus_constant) {
  const Word h_plus_word = h + word_plus_constant;
  const Word chosen = choose(e, f, g);
  const Word sum1 = rotations(e, Shape::kBigSigma1);
  d = (d + h_plus_word + chosen) + sum1;
  h = (h_plus_word + chosen + sum1) + (majority(a, b, c) + rotations(a, Shape::kBigSigma0));
}

template <class Shape, class Word = typename Shape::Word>
void eight_rounds(Word (&v)[8], const Word* words, const Word* constants) {
  round<Shape>(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], words[0] + constants[0]);
  round<Shape>(v[7], v[0], v[1], v[2], v[3], v[4], v[5], v[6], words[1] + constants[1]);
  round<Shape>(v[6], v[7], v[0], v[1], v[2], v[3], v[4], v[5], words[2] + constants[2]);
  round<Shape>(v[5], v[6], v[7], v[0], v[1], v[2], v[3], v[4], words[3] + constants[3]);
  round<Shape>(v[4], v[5], v[6], v[7], v[0], v[1], v[2], v[3], words[4] + constants[4]);
  round<Shape>(v[3], v[4], v[5], v[6], v[7], v[0], v[1], v[2], words[5] + constants[5]);
  round<Shape>(v[2], v[3], v[4], v[5], v[6], v[7], v[0], v[1], words[6] + constants[6]);
  round<Shape>(v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[0], words[7] + constants[7]);
}

template <class Shape, class Word = typename Shape::Word>
void compress_portable(Word state[8], const std::uint8_t* blocks, std::size_t count) {
  for (; count > 0; --count, blocks += kBlockBytes<Word>) {
    portable::prefetch_ahead(blocks, kBlockBytes<Word>);
    Word schedule[Shape::kRounds];
    expand_schedule<Shape>(blocks, schedule);
    Word v[8];
    std::copy_n(state, 8, v);
    for (int t = 0; t < Shape::kRounds; t += 8) {
      eight_rounds<Shape>(v, schedule + t, Shape::kRoundConstants + t);
    }
    for (int i = 0; i < 8; ++i) state[i] += v[i];
  }
}

// The message length in bits, big-endian, ending at `field_end`.
template <class Shape>
void store_bit_length(std::uint8_t* field_end, std::uint64_t length) {
  store_big_endian<std::uint64_t>(field_end - 8, length << 3);
  if constexpr (Shape::kLengthBytes == 16) {
    store_big_endian<std::uint64_t>(field_end - 16, length >> 61);
  }
}

// Whole blocks are compressed where they lie; only the tail is copied, to be
// followed by the 0x80 marker, zeros and the length field.
template <class Shape, class Word = typename Shape::Word>
Digest digest_with(void (*compress)(Word*, const std::uint8_t*, std::size_t),
                   const Word (&initial)[8], std::size_t digest_words, ByteView data) {
  constexpr std::size_t kBlock = kBlockBytes<Word>;
  Word state[8];
  std::copy_n(initial, 8, state);
  const std::size_t whole_blocks = data.size() / kBlock;
  if (whole_blocks > 0) compress(state, data.data(), whole_blocks);

  std::uint8_t tail[2 * kBlock] = {};
  const std::size_t remainder = data.size() % kBlock;
  if (remainder > 0) std::memcpy(tail, data.data() + whole_blocks * kBlock, remainder);
  tail[remainder] = 0x80;
  const std::size_t tail_blocks = remainder < kBlock - Shape::kLengthBytes ? 1 : 2;
  store_bit_length<Shape>(tail + tail_blocks * kBlock, data.size());
  compress(state, tail, tail_blocks);

  Digest digest(digest_words * sizeof(Word));
  for (std::size_t i = 0; i < digest_words; ++i) {
    store_big_endian(digest.data() + i * sizeof(Word), state[i]);
  }
  return digest;
}

}  // namespace

void compress256_portable(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count) {
  compress_portable<Sha256Shape>(state, blocks, count);
}

void compress512_portable(std::uint64_t state[8], const std::uint8_t* blocks, std::size_t count) {
  compress_portable<Sha512Shape>(state, blocks, count);
}

Digest sha256_with(Compress256 compress, ByteView data) {
  return digest_with<Sha256Shape>(compress, kInitial256, 8, data);
}

Digest sha384_with(Compress512 compress, ByteView data) {
  return digest_with<Sha512Shape>(compress, kInitial384, 6, data);
}

Digest sha512_with(Compress512 compress, ByteView data) {
  return digest_with<Sha512Shape>(compress, kInitial512, 8, data);
}

constexpr Kernel256 kKernels256[] = {
#if VELMORA_X86_64
    {"sha-ni", dispatch::kX86Sha, compress256_shani},
#endif
#if VELMORA_ARM64
    {"armv8-sha2", dispatch::kArmSha256, compress256_armv8},
#endif
    {"portable", 0, compress256_portable},
};

constexpr Kernel512 kKernels512[] = {
#if VELMORA_X86_64
    {"avx512", dispatch::kX86Avx512Vl, compress512_avx512},
    {"avx2", dispatch::kX86Avx2, compress512_avx2},
#endif
#if VELMORA_ARM64
    {"armv8.2-sha512", dispatch::kArmSha512, compress512_armv82},
#endif
    {"portable", 0, compress512_portable},
};

std::span<const Kernel256> sha256_kernels() { return kKernels256; }
std::span<const Kernel512> sha512_kernels() { return kKernels512; }

namespace {

Compress256 chosen256() {
  static const Compress256 chosen = dispatch::first_supported(sha256_kernels()).compress;
  return chosen;
}

Compress512 chosen512() {
  static const Compress512 chosen = dispatch::first_supported(sha512_kernels()).compress;
  return chosen;
}

}  // namespace

Digest sha256(ByteView data) { return sha256_with(chosen256(), data); }
Digest sha384(ByteView data) { return sha384_with(chosen512(), data); }
Digest sha512(ByteView data) { return sha512_with(chosen512(), data); }

}  // namespace velmora::sha2
