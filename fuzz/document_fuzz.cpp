// Extracting, removing and embedding manifest elements. The input is a
// document, optionally followed by a NUL and a payload that serves as both
// the store to embed and the href to reference.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base64.h"
#include "check.h"
#include "document.h"
#include "hardbinding.h"
#include "scan.h"
#include "text.h"

namespace {

using velmora::Buffer;
using velmora::ErrorKind;
using velmora::Range;
using velmora::Result;
using velmora::document::Association;
using velmora::document::Candidate;
using velmora::fuzz::without_ranges;

std::vector<std::pair<std::size_t, std::size_t>> pairs_of(const std::vector<Range>& ranges) {
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  for (const Range& range : ranges) pairs.emplace_back(range.start, range.end);
  return pairs;
}

// `remove` cuts out exactly what `locate_all` reports, and nothing else.
void check_remove(std::string_view document) {
  const Buffer removed = velmora::document::remove(document);
  FUZZ_CHECK(removed.text() ==
             without_ranges(document, pairs_of(velmora::document::locate_all(document))));
}

void check_failed_extract(std::string_view document, const Candidate& element, ErrorKind kind) {
  FUZZ_CHECK(kind == ErrorKind::MalformedElement);
  if (element.form == Candidate::Form::Link) {
    FUZZ_CHECK(!element.href || element.href->empty());
  } else {
    const std::string_view content =
        document.substr(element.content_start, element.content_end - element.content_start);
    FUZZ_CHECK(!velmora::base64::decode(velmora::text::trim(content)));
  }
}

void check_extract(std::string_view document) {
  const std::vector<Candidate> found = velmora::document::candidates(document);
  Result<Association> association = velmora::document::extract(document);
  if (found.size() != 1) {
    FUZZ_CHECK(!association);
    FUZZ_CHECK(association.error().kind() ==
               (found.empty() ? ErrorKind::NoManifest : ErrorKind::MultipleManifests));
    return;
  }
  const Candidate& element = found.front();
  if (!association) return check_failed_extract(document, element, association.error().kind());
  FUZZ_CHECK(association->start == element.start);
  FUZZ_CHECK(association->length == element.end - element.start);
  if (association->form == Association::Form::Referenced) {
    FUZZ_CHECK(element.form == Candidate::Form::Link);
    FUZZ_CHECK(!association->href.empty() && association->href == element.href);
    return;
  }
  FUZZ_CHECK(element.form == Candidate::Form::Script);
  const std::string_view content =
      document.substr(element.content_start, element.content_end - element.content_start);
  FUZZ_CHECK(velmora::base64::encode(association->store.view()) == velmora::text::trim(content));
}

// Undoes the three escapes embed_reference writes; any other "&" stays.
std::string unescape(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kEscapes[] = {
      {"&quot;", '"'}, {"&amp;", '&'}, {"&lt;", '<'}};
  std::string plain;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [escape, c] : kEscapes) {
      if (text.substr(i, escape.size()) != escape) continue;
      plain += c;
      i += escape.size();
      replaced = true;
      break;
    }
    if (!replaced) plain += text[i++];
  }
  return plain;
}

// Where the element goes: before the head end tag of the document without
// manifest elements, when that tag is the one that ends the head region.
std::optional<std::size_t> insertion_point(std::string_view cleaned) {
  const velmora::scan::HeadSpan span = velmora::scan::head(velmora::scan::tags(cleaned));
  if (span.close != span.end) return std::nullopt;
  return span.close;
}

// The output is `cleaned` with something inserted at `at`; returns its length.
std::size_t inserted_length(std::string_view cleaned, std::string_view out, std::size_t at) {
  FUZZ_CHECK(out.size() > cleaned.size());
  const std::size_t length = out.size() - cleaned.size();
  FUZZ_CHECK(out.substr(0, at) == cleaned.substr(0, at));
  FUZZ_CHECK(out.substr(at + length) == cleaned.substr(at));
  return length;
}

void check_hash_binding(std::string_view out, std::string_view covered) {
  using namespace velmora::hardbinding;
  Result<DataHash> binding = compute_data_hash(out, Algorithm::Sha256, Sha2());
  FUZZ_CHECK(binding.ok());
  FUZZ_CHECK(binding->hash == velmora::sha2::sha256(velmora::as_bytes(covered)));
  FUZZ_CHECK(verify_data_hash(out, *binding, Sha2()).ok());
}

struct Inserted {
  Buffer cleaned;  // the input without its manifest elements
  Buffer out;
  std::size_t at;
  std::size_t length;
};

// What both writers share: NoHead exactly when the document without its
// manifest elements has no head end tag ending its head region;
// MultipleManifests only when the written document would carry more than one;
// else that document with one element inserted at the head end tag, which is
// the output's lone manifest element and, for an input that had none, all
// that removal takes out again.
std::optional<Inserted> check_insertion(std::string_view document, Result<Buffer> out,
                                        bool had_elements) {
  Buffer cleaned = velmora::document::remove(document);
  const std::optional<std::size_t> at = insertion_point(cleaned.text());
  if (!at) {
    FUZZ_CHECK(!out && out.error().kind() == ErrorKind::NoHead);
    return std::nullopt;
  }
  if (!out && out.error().kind() == ErrorKind::MultipleManifests) {
    // Writing would have left the new element beside one that removal joined.
    std::string written(cleaned.text().substr(0, *at));
    written += "<link rel=c2pa-manifest>";
    written += cleaned.text().substr(*at);
    FUZZ_CHECK(had_elements && velmora::document::locate_all(written).size() > 1);
    return std::nullopt;
  }
  FUZZ_CHECK(out.ok());
  const std::size_t length = inserted_length(cleaned.text(), out->text(), *at);
  const std::vector<Range> ranges = velmora::document::locate_all(out->text());
  FUZZ_CHECK(ranges.size() == 1 && ranges[0].start == *at && ranges[0].end == *at + length);
  if (!had_elements) FUZZ_CHECK(velmora::document::remove(out->text()).text() == document);
  return Inserted{std::move(cleaned), std::move(*out), *at, length};
}

void check_embed(std::string_view document, std::string_view store, bool had_elements) {
  const std::optional<Inserted> inserted = check_insertion(
      document, velmora::document::embed(document, velmora::as_bytes(store)), had_elements);
  if (!inserted) return;
  Result<Association> association = velmora::document::extract(inserted->out.text());
  FUZZ_CHECK(association.ok() && association->form == Association::Form::Embedded);
  FUZZ_CHECK(association->start == inserted->at && association->length == inserted->length);
  FUZZ_CHECK(association->store.text() == store);
  check_hash_binding(inserted->out.text(), inserted->cleaned.text());
}

void check_embed_reference(std::string_view document, std::string_view href, bool had_elements) {
  const std::optional<Inserted> inserted =
      check_insertion(document, velmora::document::embed_reference(document, href), had_elements);
  if (!inserted) return;
  Result<Association> association = velmora::document::extract(inserted->out.text());
  if (href.empty()) {
    FUZZ_CHECK(!association && association.error().kind() == ErrorKind::MalformedElement);
    return;
  }
  FUZZ_CHECK(association.ok() && association->form == Association::Form::Referenced);
  FUZZ_CHECK(association->start == inserted->at && association->length == inserted->length);
  FUZZ_CHECK(unescape(association->href) == velmora::text::utf8_with_replacement(href));
  check_hash_binding(inserted->out.text(), inserted->out.text());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [document, payload] =
      velmora::fuzz::split_at_last_nul(velmora::fuzz::text_of(data, size));
  const bool had_elements = !velmora::document::locate_all(document).empty();
  check_remove(document);
  check_extract(document);
  check_embed(document, payload, had_elements);
  check_embed_reference(document, payload, had_elements);
  return 0;
}
