// A forgiving, single-pass reader of HTML start and end tags. It never
// rejects a document: comments, declarations, processing instructions and the
// text of raw-text elements are passed over, and markup left open at the end
// of the document is closed there. All positions are byte offsets into the
// document exactly as the caller passed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "small_vector.h"

namespace velmora::scan {

// The tag names that anything in the module asks about; every other name is
// Other. Comparison is ASCII case-insensitive, as for stored lower-case names.
enum class TagName : std::uint8_t { Other, Html, Head, Body, Link, Script, Style, Title, Textarea };

// A kept attribute: which of the names asked for, and its value as written
// (a span of the document).
struct Attribute {
  std::size_t name_index;  // into the names the list was built to keep
  std::size_t value_start;
  std::size_t value_length;
};

struct Tag {
  std::size_t start;  // offset of the "<"
  std::size_t end;    // just past the closing ">", or the document length
  TagName name;
  bool is_end;
  std::size_t first_attribute;  // index into the list's attributes
  std::size_t attribute_count;
};

// The tags of one document that the head region and manifest recognition
// depend on, in document order: every tag whose name is not Other. The scan
// stops once no later tag could change the head region, so the list may end
// early; every answer drawn from it (head, the tags inside the head, the tag
// after a script start tag) is the one a full scan would give.
//
// Of each tag's attributes only the first occurrence of each name in
// `attribute_names` is kept: the first one is the one that counts, and keeping
// no others bounds the memory a hostile tag can claim.
class TagList {
 public:
  // Enough for the head of most pages without allocating.
  using Tags = SmallVector<Tag, 64>;
  using Attributes = SmallVector<Attribute, 64>;

  // Scans `document`, which must outlive the list.
  TagList(std::string_view document, std::span<const std::string_view> attribute_names);

  std::span<const Tag> tags() const { return tags_.view(); }
  std::size_t document_length() const { return document_.size(); }

  // The value of the attribute `name` (lower case, one of the names the list
  // was built to keep), as text.
  std::optional<std::string> attr(const Tag& tag, std::string_view name) const;

  // The same value as the bytes written in the document, before any
  // replacement of ill-formed UTF-8. Tests on ASCII pieces of the value (space
  // splitting, comparison with ASCII tokens) give the same answers on these
  // bytes as on the text, without building it.
  std::optional<std::string_view> raw_attr(const Tag& tag, std::string_view name) const;

  // The same, for the name at `name_index` among those the list was built to
  // keep: recognition asks this of every script and link tag of a head, so it
  // spares the search for the name.
  std::optional<std::string_view> raw_attr_at(const Tag& tag, std::size_t name_index) const {
    for (const Attribute& a :
         attributes_.view().subspan(tag.first_attribute, tag.attribute_count)) {
      if (a.name_index == name_index) return document_.substr(a.value_start, a.value_length);
    }
    return std::nullopt;
  }

  // Whether the attribute at `name_index` holds `token` among its pieces
  // separated by HTML space, compared ASCII case-insensitively.
  bool attr_has_token(const Tag& tag, std::size_t name_index, std::string_view token) const;

 private:
  std::string_view document_;
  std::span<const std::string_view> attribute_names_;
  Tags tags_;
  Attributes attributes_;
};

TagList tags(std::string_view document, std::span<const std::string_view> attribute_names = {});

struct HeadSpan {
  std::size_t start;
  std::size_t end;                   // exclusive
  std::optional<std::size_t> close;  // start of the head end tag, if any
};

HeadSpan head(const TagList& list);

}  // namespace velmora::scan
