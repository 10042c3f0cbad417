#include "document.h"

#include <algorithm>
#include <array>

#include "base64.h"
#include "scan.h"
#include "text.h"

namespace velmora::document {

namespace {

using scan::Tag;
using scan::TagName;

// The only attributes recognition reads, and their positions among them.
constexpr std::array<std::string_view, 3> kReadAttributes{"href", "rel", "type"};
constexpr std::size_t kRel = 1, kType = 2;
static_assert(kReadAttributes[kRel] == "rel" && kReadAttributes[kType] == "type");

bool inside(const Tag& tag, const scan::HeadSpan& span) {
  return tag.start >= span.start && tag.end <= span.end;
}

bool is_manifest_link(const scan::TagList& list, const Tag& tag) {
  return list.attr_has_token(tag, kRel, kLinkRel);
}

bool is_manifest_script(const scan::TagList& list, const Tag& tag) {
  // Ill-formed UTF-8 in the value can never match an ASCII type, so the
  // written bytes decide as the text would.
  const std::optional<std::string_view> type = list.raw_attr_at(tag, kType);
  return type && text::ascii_iequal(text::trim(*type), kScriptType);
}

// A script element runs to its own end tag, which the scanner makes the next
// tag, or to the end of the document when there is none.
const Tag* script_end_tag(const scan::TagList& list, std::size_t index) {
  const std::span<const Tag> all = list.tags();
  if (index + 1 == all.size()) return nullptr;
  const Tag& next = all[index + 1];
  return next.is_end && next.name == TagName::Script ? &next : nullptr;
}

Range range_at(const scan::TagList& list, std::size_t index) {
  const Tag& tag = list.tags()[index];
  if (tag.name == TagName::Link) return {tag.start, tag.end};
  const Tag* end_tag = script_end_tag(list, index);
  return {tag.start, end_tag ? end_tag->end : list.document_length()};
}

Candidate candidate_at(const scan::TagList& list, std::size_t index) {
  const Tag& tag = list.tags()[index];
  const Range element = range_at(list, index);
  if (tag.name == TagName::Link) {
    return {Candidate::Form::Link, element.start, element.end, 0, 0, list.attr(tag, "href")};
  }
  const Tag* end_tag = script_end_tag(list, index);
  return {Candidate::Form::Script,
          element.start,
          element.end,
          tag.end,
          end_tag ? end_tag->start : list.document_length(),
          std::nullopt};
}

// Calls `visit(index)` for the start tag of each manifest element of the head,
// in order, and returns the head region.
template <class Visit>
scan::HeadSpan visit_manifest_elements(const scan::TagList& list, Visit&& visit) {
  const scan::HeadSpan span = scan::head(list);
  const std::span<const Tag> all = list.tags();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Tag& tag = all[i];
    if (tag.is_end || !inside(tag, span)) continue;
    if ((tag.name == TagName::Link && is_manifest_link(list, tag)) ||
        (tag.name == TagName::Script && is_manifest_script(list, tag))) {
      visit(i);
    }
  }
  return span;
}

// The manifest elements of the head and the head itself, from one scan. Most
// documents carry at most one element, which then costs no allocation.
struct HeadScan {
  scan::SmallVector<Range, 4> found;
  scan::HeadSpan span;
};

HeadScan scan_head(std::string_view document) {
  const scan::TagList list = scan::tags(document, kReadAttributes);
  HeadScan scanned;
  scanned.span = visit_manifest_elements(
      list, [&](std::size_t index) { scanned.found.emplace_back() = range_at(list, index); });
  return scanned;
}

// Where the new element goes in a document whose head scan is `scanned`, or
// why it cannot go in. `removed_any` tells that the document is another with
// its manifest elements removed.
Result<std::size_t> insertion_point(const HeadScan& scanned, bool removed_any) {
  const scan::HeadSpan& span = scanned.span;
  // A head end tag after the end of the head region (a body start tag or an
  // html end tag came first) would put the element in the body, where no
  // reader finds it: there is no head to embed into.
  if (!span.close || *span.close != span.end) return Error::no_head();
  // Removal is one pass, so the bytes around a removed element can join into a
  // new one. The new element would then go in beside it, and a writer that
  // promised exactly one must fail instead. When nothing was left behind the
  // written document carries the new element alone: it is inserted where the
  // scan was between tags, and it ends neither the head region nor any raw text.
  if (removed_any && !scanned.found.empty()) return Error::multiple_manifests();
  return *span.close;
}

// Inserts an element of `length` bytes, written by `write_element`, before the
// head end tag of the document without its manifest elements. The output is
// reserved once at its final size and is the only copy made: when there are
// elements to remove, the rest of the document is written there first and
// checked in place.
template <class WriteElement>
Result<Buffer> insert_element(std::string_view document, std::size_t length, Allocator* allocator,
                              WriteElement&& write_element) {
  const HeadScan scanned = scan_head(document);
  if (scanned.found.empty()) {
    Result<std::size_t> at = insertion_point(scanned, false);
    if (!at) return std::move(at).error();
    Buffer out(document.size() + length, allocator);
    out.append(document.substr(0, *at));
    write_element(reinterpret_cast<char*>(out.claim(length)));
    out.append(document.substr(*at));
    return out;
  }
  Buffer out = copy_outside(as_bytes(document), scanned.found.view(), allocator, length);
  Result<std::size_t> at = insertion_point(scan_head(out.text()), true);
  if (!at) return std::move(at).error();
  write_element(reinterpret_cast<char*>(out.open_gap(*at, length)));
  return out;
}

char* put(char* out, std::string_view text) { return std::copy(text.begin(), text.end(), out); }

constexpr std::string_view kScriptOpen = "<script type=\"";
constexpr std::string_view kScriptClose = "</script>";
constexpr std::string_view kLinkOpen = "<link rel=\"";
constexpr std::string_view kLinkHref = "\" href=\"";
constexpr std::string_view kLinkType = "\" type=\"";
constexpr std::string_view kTagEnd = "\">";

std::string_view escape_of(char c) {
  switch (c) {
    case '"':
      return "&quot;";
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    default:
      return {};
  }
}

// Without branches, so that the compiler tests many bytes per step: most
// references need no escape at all.
bool needs_escape(std::string_view href) {
  unsigned char found = 0;
  for (char c : href) found |= (c == '"') | (c == '&') | (c == '<');
  return found != 0;
}

std::size_t escaped_length(std::string_view href) {
  std::size_t length = href.size();
  if (!needs_escape(href)) return length;
  for (char c : href) {
    const std::size_t escape = escape_of(c).size();
    if (escape != 0) length += escape - 1;
  }
  return length;
}

char* put_escaped(char* out, std::string_view href, std::size_t escaped) {
  if (escaped == href.size()) return put(out, href);
  for (char c : href) {
    const std::string_view escape = escape_of(c);
    if (escape.empty()) {
      *out++ = c;
    } else {
      out = put(out, escape);
    }
  }
  return out;
}

}  // namespace

std::vector<Candidate> candidates(std::string_view document) {
  const scan::TagList list = scan::tags(document, kReadAttributes);
  std::vector<Candidate> found;
  visit_manifest_elements(list,
                          [&](std::size_t index) { found.push_back(candidate_at(list, index)); });
  return found;
}

std::vector<Range> locate_all(std::string_view document) {
  const HeadScan scanned = scan_head(document);
  const std::span<const Range> found = scanned.found.view();
  return {found.begin(), found.end()};
}

Result<Association> extract(std::string_view document, Allocator* allocator) {
  std::vector<Candidate> found = candidates(document);
  if (found.empty()) return Error::no_manifest();
  if (found.size() > 1) return Error::multiple_manifests();
  Candidate& element = found.front();
  const std::size_t length = element.end - element.start;
  if (element.form == Candidate::Form::Link) {
    if (!element.href || element.href->empty()) {
      return Error::malformed_element(MalformedDetail::LinkWithoutHref);
    }
    return Association{Association::Form::Referenced, element.start, length, Buffer(),
                       std::move(*element.href)};
  }
  const std::string_view content = text::trim(
      document.substr(element.content_start, element.content_end - element.content_start));
  std::optional<Buffer> store = base64::decode(content, allocator);
  if (!store) return Error::malformed_element(MalformedDetail::InvalidBase64);
  return Association{Association::Form::Embedded, element.start, length, std::move(*store), {}};
}

Buffer remove(std::string_view document, Allocator* allocator) {
  return copy_outside(as_bytes(document), scan_head(document).found.view(), allocator);
}

Result<Buffer> embed(std::string_view document, ByteView store, Allocator* allocator) {
  const std::size_t text_length = base64::encoded_length(store.size());
  const std::size_t length =
      kScriptOpen.size() + kScriptType.size() + kTagEnd.size() + text_length + kScriptClose.size();
  const auto write = [&](char* out) {
    out = put(put(put(out, kScriptOpen), kScriptType), kTagEnd);
    base64::encode_into(store, out);
    put(out + text_length, kScriptClose);
  };
  return insert_element(document, length, allocator, write);
}

Result<Buffer> embed_reference(std::string_view document, std::string_view href,
                               Allocator* allocator) {
  const std::size_t escaped = escaped_length(href);
  const std::size_t length = kLinkOpen.size() + kLinkRel.size() + kLinkHref.size() + escaped +
                             kLinkType.size() + kScriptType.size() + kTagEnd.size();
  const auto write = [&](char* out) {
    out = put(put(put(out, kLinkOpen), kLinkRel), kLinkHref);
    out = put_escaped(out, href, escaped);
    put(put(put(out, kLinkType), kScriptType), kTagEnd);
  };
  return insert_element(document, length, allocator, write);
}

}  // namespace velmora::document
