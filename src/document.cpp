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

// The only attributes recognition reads.
constexpr std::array<std::string_view, 3> kReadAttributes{"href", "rel", "type"};

bool inside(const Tag& tag, const scan::HeadSpan& span) {
  return tag.start >= span.start && tag.end <= span.end;
}

bool is_manifest_link(const scan::TagList& list, const Tag& tag) {
  return list.attr_has_token(tag, "rel", kLinkRel);
}

bool is_manifest_script(const scan::TagList& list, const Tag& tag) {
  // Ill-formed UTF-8 in the value can never match an ASCII type, so the
  // written bytes decide as the text would.
  const std::optional<std::string_view> type = list.raw_attr(tag, "type");
  return type && text::ascii_iequal(text::trim(*type), kScriptType);
}

Candidate link_candidate(const scan::TagList& list, const Tag& tag) {
  return {Candidate::Form::Link, tag.start, tag.end, 0, 0, list.attr(tag, "href")};
}

// The element runs to its own end tag, which the scanner makes the next tag,
// or to the end of the document when there is none.
Candidate script_candidate(const scan::TagList& list, std::size_t index) {
  const std::span<const Tag> all = list.tags();
  const Tag& tag = all[index];
  Candidate candidate{Candidate::Form::Script, tag.start,   list.document_length(), tag.end,
                      list.document_length(),  std::nullopt};
  if (index + 1 < all.size()) {
    const Tag& next = all[index + 1];
    if (next.is_end && next.name == TagName::Script) {
      candidate.content_end = next.start;
      candidate.end = next.end;
    }
  }
  return candidate;
}

// Inserts an element of `length` bytes, written by `write_element`, before the
// head end tag; the output is reserved once at its final size.
template <class WriteElement>
Result<Buffer> insert_element(std::string_view document, std::size_t length,
                              WriteElement&& write_element) {
  const scan::HeadSpan span = scan::head(scan::tags(document));
  // A head end tag after the end of the head region (a body start tag or an
  // html end tag came first) would put the element in the body, where no
  // reader finds it: there is no head to embed into.
  if (!span.close || *span.close != span.end) return Error::no_head();
  const std::size_t close = *span.close;
  Buffer out(document.size() + length);
  out.append(document.substr(0, close));
  write_element(reinterpret_cast<char*>(out.claim(length)));
  out.append(document.substr(close));
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

std::size_t escaped_length(std::string_view href) {
  std::size_t length = href.size();
  for (char c : href) {
    const std::string_view escape = escape_of(c);
    if (!escape.empty()) length += escape.size() - 1;
  }
  return length;
}

char* put_escaped(char* out, std::string_view href) {
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

// Removal is one pass, so the bytes around a removed element can join into a
// new one. The new element then goes in beside it, and a writer that promised
// exactly one must fail instead. When nothing was left behind the written
// document carries the new element alone: it is inserted where the scan was
// between tags, and it ends neither the head region nor any raw text.
Result<Buffer> sole_element(Result<Buffer> written, std::string_view document,
                            std::string_view cleaned) {
  if (written && cleaned.data() != document.data() && !locate_all(cleaned).empty()) {
    return Error::multiple_manifests();
  }
  return written;
}

}  // namespace

std::vector<Candidate> candidates(std::string_view document) {
  const scan::TagList list = scan::tags(document, kReadAttributes);
  const scan::HeadSpan span = scan::head(list);
  const std::span<const Tag> all = list.tags();
  std::vector<Candidate> found;
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Tag& tag = all[i];
    if (tag.is_end || !inside(tag, span)) continue;
    if (tag.name == TagName::Link && is_manifest_link(list, tag)) {
      found.push_back(link_candidate(list, tag));
    } else if (tag.name == TagName::Script && is_manifest_script(list, tag)) {
      found.push_back(script_candidate(list, i));
    }
  }
  return found;
}

std::vector<Range> locate_all(std::string_view document) {
  std::vector<Range> ranges;
  for (const Candidate& candidate : candidates(document)) {
    ranges.push_back({candidate.start, candidate.end});
  }
  return ranges;
}

std::string_view without_manifests(std::string_view document, Buffer& storage) {
  const std::vector<Range> ranges = locate_all(document);
  if (ranges.empty()) return document;
  storage = copy_outside(as_bytes(document), ranges);
  return storage.text();
}

Result<Association> extract(std::string_view document) {
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
  std::optional<Buffer> store = base64::decode(content);
  if (!store) return Error::malformed_element(MalformedDetail::InvalidBase64);
  return Association{Association::Form::Embedded, element.start, length, std::move(*store), {}};
}

Buffer remove(std::string_view document) {
  Buffer storage;
  if (without_manifests(document, storage).data() == document.data()) {
    storage = Buffer(document.size());
    storage.append(document);
  }
  return storage;
}

Result<Buffer> embed(std::string_view document, ByteView store) {
  Buffer storage;
  const std::string_view cleaned = without_manifests(document, storage);
  const std::size_t text_length = base64::encoded_length(store.size());
  const std::size_t length =
      kScriptOpen.size() + kScriptType.size() + kTagEnd.size() + text_length + kScriptClose.size();
  const auto write = [&](char* out) {
    out = put(put(put(out, kScriptOpen), kScriptType), kTagEnd);
    base64::encode_into(store, out);
    put(out + text_length, kScriptClose);
  };
  return sole_element(insert_element(cleaned, length, write), document, cleaned);
}

Result<Buffer> embed_reference(std::string_view document, std::string_view href) {
  Buffer storage;
  const std::string_view cleaned = without_manifests(document, storage);
  const std::size_t length = kLinkOpen.size() + kLinkRel.size() + kLinkHref.size() +
                             escaped_length(href) + kLinkType.size() + kScriptType.size() +
                             kTagEnd.size();
  const auto write = [&](char* out) {
    out = put(put(put(out, kLinkOpen), kLinkRel), kLinkHref);
    out = put_escaped(out, href);
    put(put(put(out, kLinkType), kScriptType), kTagEnd);
  };
  return sole_element(insert_element(cleaned, length, write), document, cleaned);
}

}  // namespace velmora::document
