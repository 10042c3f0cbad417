// Exclusion ranges and the data-hash binding, with ranges chosen by the
// fuzzer: the input is a document, a NUL, then parameters. Their first byte
// picks the algorithm id, the second says whether to put the document's own
// exclusion among the ranges (and where) and whether to spoil the hash, and
// every following four bytes are one (start, length) pair of little-endian
// 16-bit numbers, the top few of which stand for extreme values.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.h"
#include "document.h"
#include "hardbinding.h"

namespace {

using velmora::ErrorKind;
using velmora::Result;
using velmora::hardbinding::Algorithm;
using velmora::hardbinding::DataHash;
using velmora::hardbinding::Exclusion;

constexpr std::string_view kAlgorithmIds[] = {"sha256", "sha384", "sha512", "SHA256", "md5", ""};

struct Parameters {
  std::string alg;
  bool add_own = false;
  std::size_t own_position = 0;
  bool spoil_hash = false;
  std::vector<Exclusion> exclusions;
};

std::uint64_t number(std::uint16_t code, std::size_t document_size) {
  switch (code) {
    case 0xFFFF:
      return UINT64_MAX;
    case 0xFFFE:
      return UINT64_MAX - 1;
    case 0xFFFD:
      return std::uint64_t{1} << 63;
    case 0xFFFC:
      return document_size;
    default:
      return code;
  }
}

Parameters parse(std::string_view bytes, std::size_t document_size) {
  Parameters p;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const auto code = [&](std::size_t i) {
    return static_cast<std::uint16_t>(byte(i) | byte(i + 1) << 8);
  };
  p.alg = kAlgorithmIds[bytes.empty() ? 0 : byte(0) % std::size(kAlgorithmIds)];
  if (bytes.size() >= 2) {
    p.add_own = byte(1) & 1;
    p.spoil_hash = byte(1) & 2;
    p.own_position = byte(1) >> 2;
  }
  for (std::size_t i = 2; i + 4 <= bytes.size(); i += 4) {
    p.exclusions.push_back({number(code(i), document_size), number(code(i + 2), document_size)});
  }
  return p;
}

// The bytes outside the ranges when every range lies inside the document and
// each starts at or after the end of the one before, in wide arithmetic.
std::optional<std::string> reference_gather(std::string_view document,
                                            const std::vector<Exclusion>& exclusions) {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  unsigned __int128 previous_end = 0;
  for (const Exclusion& e : exclusions) {
    const unsigned __int128 end = static_cast<unsigned __int128>(e.start) + e.length;
    if (e.start < previous_end || end > document.size()) return std::nullopt;
    ranges.emplace_back(e.start, static_cast<std::size_t>(end));
    previous_end = end;
  }
  return velmora::fuzz::without_ranges(document, ranges);
}

void check_apply(std::string_view document, const std::vector<Exclusion>& exclusions) {
  const Result<velmora::Buffer> kept =
      velmora::hardbinding::apply_exclusions(velmora::as_bytes(document), exclusions);
  const std::optional<std::string> expected = reference_gather(document, exclusions);
  FUZZ_CHECK(kept.ok() == expected.has_value());
  if (kept.ok()) FUZZ_CHECK(kept->text() == *expected);
}

// The exclusion the document's own element calls for, or the error reading it.
Result<std::vector<Exclusion>> own_exclusions(std::string_view document) {
  Result<velmora::document::Association> association = velmora::document::extract(document);
  if (!association) return std::move(association).error();
  if (association->form == velmora::document::Association::Form::Referenced) {
    return std::vector<Exclusion>{};
  }
  return std::vector<Exclusion>{{association->start, association->length}};
}

std::optional<ErrorKind> expected_verdict(std::string_view document, const DataHash& binding) {
  const Result<Algorithm> alg = velmora::hardbinding::from_id(binding.alg);
  if (!alg.ok()) return ErrorKind::UnsupportedAlgorithm;
  Result<std::vector<Exclusion>> own = own_exclusions(document);
  if (!own) return own.error().kind();
  bool agrees = own->empty() && binding.exclusions.empty();
  for (const Exclusion& e : binding.exclusions) agrees |= !own->empty() && e == own->front();
  if (!agrees) return ErrorKind::MalformedExclusion;
  const std::optional<std::string> kept = reference_gather(document, binding.exclusions);
  if (!kept) return ErrorKind::MalformedExclusion;
  const velmora::sha2::Digest digest =
      velmora::hardbinding::Sha2().digest(*alg, velmora::as_bytes(*kept));
  if (digest != binding.hash) return ErrorKind::HashMismatch;
  return std::nullopt;
}

// The hash the binding carries: right for the gathered bytes unless spoilt.
std::vector<std::uint8_t> hash_for(std::string_view document, const Parameters& p) {
  const Result<Algorithm> alg = velmora::hardbinding::from_id(p.alg);
  const std::optional<std::string> kept = reference_gather(document, p.exclusions);
  std::vector<std::uint8_t> hash;
  if (alg.ok() && kept) hash = velmora::hardbinding::Sha2().digest(*alg, velmora::as_bytes(*kept));
  if (p.spoil_hash) hash.push_back(0);
  return hash;
}

void check_verify(std::string_view document, Parameters p) {
  Result<std::vector<Exclusion>> own = own_exclusions(document);
  if (p.add_own && own.ok() && !own->empty()) {
    const std::size_t at = p.own_position % (p.exclusions.size() + 1);
    p.exclusions.insert(p.exclusions.begin() + static_cast<std::ptrdiff_t>(at), own->front());
  }
  check_apply(document, p.exclusions);
  const DataHash binding{p.exclusions, p.alg, hash_for(document, p)};
  velmora::Status verified =
      velmora::hardbinding::verify_data_hash(document, binding, velmora::hardbinding::Sha2());
  const std::optional<ErrorKind> expected = expected_verdict(document, binding);
  FUZZ_CHECK(verified.ok() == !expected.has_value());
  if (expected) FUZZ_CHECK(verified.error().kind() == *expected);
}

// A computed binding names the document's own exclusions and verifies.
void check_compute(std::string_view document, std::string_view alg_id) {
  const Result<Algorithm> alg = velmora::hardbinding::from_id(alg_id);
  if (!alg.ok()) return;
  Result<DataHash> binding =
      velmora::hardbinding::compute_data_hash(document, *alg, velmora::hardbinding::Sha2());
  Result<std::vector<Exclusion>> own = own_exclusions(document);
  FUZZ_CHECK(binding.ok() == own.ok());
  if (!own) {
    FUZZ_CHECK(binding.error().kind() == own.error().kind());
    return;
  }
  FUZZ_CHECK(binding->exclusions == *own && binding->alg == alg_id);
  const velmora::hardbinding::Sha2 hasher;
  FUZZ_CHECK(velmora::hardbinding::verify_data_hash(document, *binding, hasher).ok());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [document, parameters] =
      velmora::fuzz::split_at_last_nul(velmora::fuzz::text_of(data, size));
  const Parameters p = parse(parameters, document.size());
  check_verify(document, p);
  check_compute(document, p.alg);
  return 0;
}
