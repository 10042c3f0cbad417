// The tag scanner and the manifest element finder: whatever the bytes, every
// tag, attribute value and element they report lies inside the document, in
// document order and without overlap, and each element lies in the head; and
// they agree with the literal model, which reads every tag, so a tag missed or
// a scan stopped too early is caught as well as a malformed answer.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "check.h"
#include "document.h"
#include "scan.h"
#include "scan_model.h"
#include "text.h"

namespace {

using velmora::document::Candidate;
using velmora::scan::Tag;
using velmora::scan::TagList;
using velmora::scan::TagName;
namespace model = velmora::fuzz::model;

// Indexed by TagName.
constexpr std::array<std::string_view, 9> kKnownNames = {
    "", "html", "head", "body", "link", "script", "style", "title", "textarea"};

// The attributes manifest recognition reads.
constexpr std::array<std::string_view, 3> kAttributeNames = {"href", "rel", "type"};

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == ':' || c == '_';
}

std::string_view tag_name_text(std::string_view document, const Tag& tag) {
  const std::size_t start = tag.start + (tag.is_end ? 2 : 1);
  std::size_t end = start;
  while (end < document.size() && is_name_char(document[end])) ++end;
  return document.substr(start, end - start);
}

// Only tags of the known names are listed, each under its own name.
void check_name(std::string_view document, const Tag& tag) {
  FUZZ_CHECK(tag.name != TagName::Other);
  const std::string_view known = kKnownNames[static_cast<std::size_t>(tag.name)];
  FUZZ_CHECK(velmora::text::ascii_iequal(tag_name_text(document, tag), known));
}

void check_value_inside(std::string_view document, const TagList& list, const Tag& tag,
                        std::string_view attribute) {
  const std::optional<std::string_view> value = list.raw_attr(tag, attribute);
  if (!value) return;
  FUZZ_CHECK(value->data() >= document.data() + tag.start);
  FUZZ_CHECK(value->data() + value->size() <= document.data() + tag.end);
  const std::optional<std::string> text = list.attr(tag, attribute);
  FUZZ_CHECK(text && velmora::text::utf8_with_replacement(*text) == *text);
}

void check_tags(std::string_view document, const TagList& list) {
  std::size_t previous_end = 0;
  for (const Tag& tag : list.tags()) {
    FUZZ_CHECK(tag.start >= previous_end);
    FUZZ_CHECK(tag.start < tag.end && tag.end <= document.size());
    FUZZ_CHECK(document[tag.start] == '<');
    FUZZ_CHECK(!tag.is_end || document[tag.start + 1] == '/');
    FUZZ_CHECK(tag.end == document.size() || document[tag.end - 1] == '>');
    check_name(document, tag);
    for (const std::string_view attribute : kAttributeNames) {
      check_value_inside(document, list, tag, attribute);
    }
    previous_end = tag.end;
  }
}

void check_head(std::string_view document, const TagList& list) {
  const velmora::scan::HeadSpan span = velmora::scan::head(list);
  FUZZ_CHECK(span.start <= span.end && span.end <= document.size());
  if (!span.close) return;
  FUZZ_CHECK(*span.close >= span.start);
  bool is_head_end_tag = false;
  for (const Tag& tag : list.tags()) {
    is_head_end_tag |= tag.start == *span.close && tag.is_end && tag.name == TagName::Head;
  }
  FUZZ_CHECK(is_head_end_tag);
}

void check_candidate(std::string_view document, const Candidate& candidate) {
  FUZZ_CHECK(candidate.start < candidate.end && candidate.end <= document.size());
  FUZZ_CHECK(document[candidate.start] == '<');
  if (candidate.form == Candidate::Form::Link) {
    FUZZ_CHECK(velmora::text::ascii_iequal(document.substr(candidate.start, 5), "<link"));
    return;
  }
  FUZZ_CHECK(velmora::text::ascii_iequal(document.substr(candidate.start, 7), "<script"));
  FUZZ_CHECK(candidate.start < candidate.content_start);
  FUZZ_CHECK(candidate.content_start <= candidate.content_end);
  FUZZ_CHECK(candidate.content_end <= candidate.end);
  if (candidate.content_end < document.size()) {
    FUZZ_CHECK(velmora::text::ascii_iequal(document.substr(candidate.content_end, 8), "</script"));
  }
}

void check_candidates(std::string_view document, const TagList& list) {
  const velmora::scan::HeadSpan span = velmora::scan::head(list);
  const std::vector<Candidate> found = velmora::document::candidates(document);
  const std::vector<velmora::Range> ranges = velmora::document::locate_all(document);
  FUZZ_CHECK(ranges.size() == found.size());
  std::size_t previous_end = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    check_candidate(document, found[i]);
    FUZZ_CHECK(found[i].start >= previous_end && found[i].start >= span.start);
    FUZZ_CHECK(found[i].start < span.end);
    FUZZ_CHECK(ranges[i].start == found[i].start && ranges[i].end == found[i].end);
    previous_end = found[i].end;
  }
}

bool is_known_name(std::string_view name) {
  return std::find(kKnownNames.begin() + 1, kKnownNames.end(), name) != kKnownNames.end();
}

// How many of the known-name tags any answer depends on: all of them unless
// the head start tag, the first tag ending the head and the head end tag are
// all present, since until then a later tag could still change the span.
std::size_t tags_answers_depend_on(const std::vector<const model::Tag*>& known,
                                   const model::Head& span) {
  std::optional<std::size_t> opener, ender, close;
  for (std::size_t i = 0; i < known.size(); ++i) {
    const model::Tag& t = *known[i];
    if (!opener && !t.is_end && t.name == "head") opener = i;
    if (t.start < span.start) continue;
    if (!ender && t.start == span.end) ender = i;
    if (!close && span.close && t.start == *span.close) close = i;
  }
  if (!opener || !ender || !close) return known.size();
  return std::max({*opener, *ender, *close}) + 1;
}

void check_same_tag(const TagList& list, const Tag& tag, const model::Tag& expected) {
  FUZZ_CHECK(tag.start == expected.start && tag.end == expected.end);
  FUZZ_CHECK(tag.is_end == expected.is_end);
  FUZZ_CHECK(kKnownNames[static_cast<std::size_t>(tag.name)] == expected.name);
  for (const std::string_view attribute : kAttributeNames) {
    FUZZ_CHECK(list.raw_attr(tag, attribute) == expected.attr(attribute));
  }
}

void check_same_candidates(std::string_view document, const std::vector<model::Tag>& all) {
  const std::vector<Candidate> found = velmora::document::candidates(document);
  const std::vector<model::Candidate> expected = model::candidates(document, all);
  FUZZ_CHECK(found.size() == expected.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    FUZZ_CHECK((found[i].form == Candidate::Form::Link) == expected[i].is_link);
    FUZZ_CHECK(found[i].start == expected[i].start && found[i].end == expected[i].end);
    if (expected[i].is_link) {
      FUZZ_CHECK(found[i].href == expected[i].href);
    } else {
      FUZZ_CHECK(found[i].content_start == expected[i].content_start);
      FUZZ_CHECK(found[i].content_end == expected[i].content_end);
    }
  }
}

// The scanner keeps the known-name tags of a prefix of the document: they
// must be the model's, with the same values for the attributes recognition
// reads, and the prefix must reach every tag an answer depends on.
void check_against_model(std::string_view document, const TagList& list) {
  const std::vector<model::Tag> all = model::tags(document);
  const model::Head span = model::head(document, all);
  std::vector<const model::Tag*> known;
  for (const model::Tag& t : all) {
    if (is_known_name(t.name)) known.push_back(&t);
  }
  const std::span<const Tag> listed = list.tags();
  FUZZ_CHECK(listed.size() <= known.size());
  FUZZ_CHECK(listed.size() >= tags_answers_depend_on(known, span));
  for (std::size_t i = 0; i < listed.size(); ++i) check_same_tag(list, listed[i], *known[i]);

  const velmora::scan::HeadSpan found = velmora::scan::head(list);
  FUZZ_CHECK(found.start == span.start && found.end == span.end && found.close == span.close);
  check_same_candidates(document, all);
}

// Replacing ill-formed UTF-8 yields text that needs no more replacing, and
// leaves ASCII alone.
void check_utf8_replacement(std::string_view document) {
  const std::string text = velmora::text::utf8_with_replacement(document);
  FUZZ_CHECK(velmora::text::utf8_with_replacement(text) == text);
  bool ascii = true;
  for (const char c : document) ascii &= static_cast<unsigned char>(c) < 0x80;
  FUZZ_CHECK(!ascii || text == document);
  FUZZ_CHECK(text == model::utf8_decoded(document));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view document = velmora::fuzz::text_of(data, size);
  const TagList list = velmora::scan::tags(document, kAttributeNames);
  check_tags(document, list);
  check_head(document, list);
  check_candidates(document, list);
  check_against_model(document, list);
  check_utf8_replacement(document);
  return 0;
}
