// The tag scanner and the manifest element finder: whatever the bytes, every
// tag, attribute value and element they report lies inside the document, in
// document order and without overlap, and each element lies in the head.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.h"
#include "document.h"
#include "scan.h"
#include "text.h"

namespace {

using velmora::document::Candidate;
using velmora::scan::Tag;
using velmora::scan::TagList;
using velmora::scan::TagName;

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

// Replacing ill-formed UTF-8 yields text that needs no more replacing, and
// leaves ASCII alone.
void check_utf8_replacement(std::string_view document) {
  const std::string text = velmora::text::utf8_with_replacement(document);
  FUZZ_CHECK(velmora::text::utf8_with_replacement(text) == text);
  bool ascii = true;
  for (const char c : document) ascii &= static_cast<unsigned char>(c) < 0x80;
  FUZZ_CHECK(!ascii || text == document);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view document = velmora::fuzz::text_of(data, size);
  const TagList list = velmora::scan::tags(document, kAttributeNames);
  check_tags(document, list);
  check_head(document, list);
  check_candidates(document, list);
  check_utf8_replacement(document);
  return 0;
}
