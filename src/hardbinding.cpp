#include "hardbinding.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "document.h"
#include "portable.h"

namespace velmora::hardbinding {

namespace {

constexpr std::array<std::string_view, 3> kIds{"sha256", "sha384", "sha512"};

// The digest of the bytes outside the ranges. Without ranges the kept bytes
// are the document itself, which is then hashed in place rather than copied.
Result<sha2::Digest> digest_of_kept(std::string_view document,
                                    std::span<const Exclusion> exclusions, Algorithm alg,
                                    const Hasher& hasher) {
  if (exclusions.empty()) return hasher.digest(alg, as_bytes(document));
  Result<Buffer> kept = apply_exclusions(as_bytes(document), exclusions);
  if (!kept) return std::move(kept).error();
  return hasher.digest(alg, kept->view());
}

// The exclusions the document's own manifest element calls for: one range for
// an inline store, none for a reference.
Result<std::vector<Exclusion>> manifest_exclusions(std::string_view document) {
  Result<document::Association> association = document::extract(document);
  if (!association) return std::move(association).error();
  if (association->form == document::Association::Form::Referenced) {
    return std::vector<Exclusion>{};
  }
  return std::vector<Exclusion>{{association->start, association->length}};
}

}  // namespace

Result<Algorithm> from_id(std::string_view text) {
  for (std::size_t i = 0; i < kIds.size(); ++i) {
    if (text == kIds[i]) return static_cast<Algorithm>(i);
  }
  return Error::unsupported_algorithm(text);
}

std::string_view id(Algorithm alg) { return kIds[static_cast<std::size_t>(alg)]; }

sha2::Digest Sha2::digest(Algorithm alg, ByteView data) const {
  switch (alg) {
    case Algorithm::Sha256:
      return sha2::sha256(data);
    case Algorithm::Sha384:
      return sha2::sha384(data);
    case Algorithm::Sha512:
      return sha2::sha512(data);
  }
  throw std::logic_error("unknown hash algorithm");
}

Result<Buffer> apply_exclusions(ByteView data, std::span<const Exclusion> exclusions) {
  std::vector<Range> ranges;
  ranges.reserve(exclusions.size());
  std::uint64_t previous_end = 0;
  for (const Exclusion& exclusion : exclusions) {
    std::uint64_t end = 0;
    if (portable::add_overflows(exclusion.start, exclusion.length, end)) {
      return Error::malformed_exclusion();
    }
    if (exclusion.start < previous_end || end > data.size()) return Error::malformed_exclusion();
    // Both lie inside `data`, so they fit a size_t.
    ranges.push_back({static_cast<std::size_t>(exclusion.start), static_cast<std::size_t>(end)});
    previous_end = end;
  }
  return copy_outside(data, ranges);
}

Result<DataHash> compute_data_hash(std::string_view document, Algorithm alg, const Hasher& hasher) {
  Result<std::vector<Exclusion>> exclusions = manifest_exclusions(document);
  if (!exclusions) return std::move(exclusions).error();
  Result<sha2::Digest> digest = digest_of_kept(document, *exclusions, alg, hasher);
  if (!digest) return std::move(digest).error();
  return DataHash{std::move(*exclusions), std::string(id(alg)), std::move(*digest)};
}

Status verify_data_hash(std::string_view document, const DataHash& binding, const Hasher& hasher) {
  Result<Algorithm> alg = from_id(binding.alg);
  if (!alg) return std::move(alg).error();
  Result<std::vector<Exclusion>> own = manifest_exclusions(document);
  if (!own) return std::move(own).error();
  const bool agrees = own->empty() ? binding.exclusions.empty()
                                   : std::find(binding.exclusions.begin(), binding.exclusions.end(),
                                               own->front()) != binding.exclusions.end();
  if (!agrees) return Error::malformed_exclusion();
  Result<sha2::Digest> digest = digest_of_kept(document, binding.exclusions, *alg, hasher);
  if (!digest) return Error::malformed_exclusion();
  if (digest->size() != binding.hash.size() ||
      !std::equal(digest->begin(), digest->end(), binding.hash.begin())) {
    return Error::hash_mismatch();
  }
  return Ok{};
}

}  // namespace velmora::hardbinding
