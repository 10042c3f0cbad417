// The C2PA data-hash hard binding (c2pa.hash.data): a digest over the
// document with the manifest element's own bytes left out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "error.h"
#include "sha2.h"

namespace velmora::hardbinding {

enum class Algorithm : std::uint8_t { Sha256, Sha384, Sha512 };

// Exactly "sha256", "sha384" or "sha512": no case folding, no trimming.
Result<Algorithm> from_id(std::string_view id);
std::string_view id(Algorithm alg);

struct Exclusion {
  std::uint64_t start;
  std::uint64_t length;
  bool operator==(const Exclusion&) const = default;
};

struct DataHash {
  std::vector<Exclusion> exclusions;
  std::string alg;
  std::vector<std::uint8_t> hash;
};

class Hasher {
 public:
  virtual ~Hasher() = default;
  virtual sha2::Digest digest(Algorithm alg, ByteView data) const = 0;
};

class Sha2 final : public Hasher {
 public:
  sha2::Digest digest(Algorithm alg, ByteView data) const override;
};

// The bytes of `data` outside the ranges, in order. The ranges must ascend
// without overlapping and lie inside `data`.
Result<Buffer> apply_exclusions(ByteView data, std::span<const Exclusion> exclusions);

Result<DataHash> compute_data_hash(std::string_view document, Algorithm alg, const Hasher& hasher);
Status verify_data_hash(std::string_view document, const DataHash& binding, const Hasher& hasher);

}  // namespace velmora::hardbinding
