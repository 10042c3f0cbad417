#include "scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "portable.h"
#include "text.h"

namespace velmora::scan {

namespace {

using text::ascii_iequal;
using text::is_html_space_char;

// Setting the 0x20 bit maps A-Z onto a-z and no other byte into a-z.
constexpr bool is_ascii_letter(unsigned char c) {
  return static_cast<unsigned char>((c | 0x20) - 'a') < 26;
}

// What each byte can do in a tag, as bits, so that every loop over a tag
// tests one table entry rather than a chain of comparisons.
enum ByteClass : std::uint8_t {
  kSpace = 1,                // HTML space
  kTagNameChar = 2,          // continues a tag name
  kEndsAttributeName = 4,    // space, "/", "=" or ">"
  kEndsUnquotedValue = 8,    // space or ">"
  kBeforeAttributeName = 16  // space or "/": passed over between attributes
};

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
  std::array<std::uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const auto byte = static_cast<unsigned char>(c);
    std::uint8_t bits = 0;
    if (is_html_space_char(byte)) {
      bits |= kSpace | kEndsAttributeName | kEndsUnquotedValue | kBeforeAttributeName;
    }
    if (is_ascii_letter(byte) || (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
        byte == ':' || byte == '_') {
      bits |= kTagNameChar;
    }
    if (byte == '/') bits |= kEndsAttributeName | kBeforeAttributeName;
    if (byte == '=') bits |= kEndsAttributeName;
    if (byte == '>') bits |= kEndsAttributeName | kEndsUnquotedValue;
    table[c] = bits;
  }
  return table;
}
constexpr std::array<std::uint8_t, 256> kByteClasses = make_byte_classes();

constexpr bool has_class(unsigned char c, ByteClass bits) { return (kByteClasses[c] & bits) != 0; }

constexpr std::size_t kNotFound = std::string_view::npos;

// Word-at-a-time tests: eight bytes per step, on any CPU.
using Word = std::uint64_t;

// The eight bytes at `p`, the first in the lowest position.
Word load_word(const unsigned char* p) {
  Word word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = portable::byte_swap64(word);
  return word;
}

// 0x80 in each byte of `word` that equals `c`, 0 in every other byte. Exact:
// no carry crosses from one byte into the next.
constexpr Word bytes_equal(Word word, unsigned char c) {
  constexpr Word kOnes = 0x0101010101010101;
  constexpr Word kLow7 = 0x7F7F7F7F7F7F7F7F;
  const Word zero_where_equal = word ^ (kOnes * c);
  return ~(((zero_where_equal & kLow7) + kLow7) | zero_where_equal | kLow7);
}

// The 0x20 bit of every byte: setting it folds A-Z onto a-z.
constexpr Word kFoldBits = 0x2020202020202020;

// A mask of the low `n` bytes of a word, for n from 1 to 8.
constexpr Word low_bytes(std::size_t n) { return n == 8 ? ~Word{0} : (Word{1} << (8 * n)) - 1; }

// The index of the first byte marked by `bytes_equal` (non-zero `marks`).
constexpr std::size_t first_marked_byte(Word marks) {
  return static_cast<std::size_t>(std::countr_zero(marks)) / 8;
}

// A name of at most eight bytes packed into a word, each byte with its 0x20
// bit set. Among name characters that folds exactly A-Z onto a-z ("_" becomes
// DEL, which no known name holds), so one comparison matches a name in any case.
constexpr std::uint64_t folded_word(std::string_view name) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    word |= static_cast<std::uint64_t>(static_cast<unsigned char>(name[i]) | 0x20u) << (8 * i);
  }
  return word;
}

// Folded words of names of different lengths differ: every byte of a name
// is non-zero once folded, and the bytes past it are zero.
struct KnownName {
  std::uint64_t folded;
  TagName name;
  std::string_view text;
};
constexpr KnownName known(std::string_view text, TagName name) {
  return {folded_word(text), name, text};
}
constexpr std::array<KnownName, 8> kKnownNames{{
    known("html", TagName::Html),
    known("head", TagName::Head),
    known("body", TagName::Body),
    known("link", TagName::Link),
    known("script", TagName::Script),
    known("style", TagName::Style),
    known("title", TagName::Title),
    known("textarea", TagName::Textarea),
}};

// A multiplier, found by search, under which the top three bits of the
// product send each known name to a slot of its own: one lookup and one
// comparison tell any name.
constexpr std::uint64_t kNameHash = 0x4f426dcbb394fb37;
constexpr std::size_t slot_of(std::uint64_t folded) { return (folded * kNameHash) >> 61; }

// A slot no name took would hold 0, which no folded name equals.
constexpr std::array<KnownName, 8> make_name_slots() {
  std::array<KnownName, 8> slots{};
  for (const KnownName& k : kKnownNames) slots[slot_of(k.folded)] = k;
  return slots;
}
constexpr std::array<KnownName, 8> kNameSlots = make_name_slots();

constexpr bool every_name_has_its_slot() {
  for (const KnownName& k : kKnownNames) {
    if (kNameSlots[slot_of(k.folded)].folded != k.folded) return false;
  }
  return true;
}
static_assert(every_name_has_its_slot());

// kKnownNames lists the names in the order of TagName, after Other.
constexpr bool known_names_in_order() {
  for (std::size_t i = 0; i < kKnownNames.size(); ++i) {
    if (static_cast<std::size_t>(kKnownNames[i].name) != i + 1) return false;
  }
  return true;
}
static_assert(known_names_in_order());

// `name` is followed by at least `readable - name.size()` more bytes of the
// document; with eight in all, the name is folded from one load.
TagName classify(std::string_view name, std::size_t readable) {
  if (name.size() < 4 || name.size() > 8) return TagName::Other;  // most names, quickly
  std::uint64_t folded = 0;
  if (readable >= sizeof(Word)) {
    folded = (load_word(reinterpret_cast<const unsigned char*>(name.data())) | kFoldBits) &
             low_bytes(name.size());
  } else {
    folded = folded_word(name);
  }
  const KnownName& slot = kNameSlots[slot_of(folded)];
  return slot.folded == folded ? slot.name : TagName::Other;
}

// The position in `names` (lower case) of the name `written`, in any case,
// or kNotFound. The names are few and short, so a plain loop beats a search.
std::size_t index_of_name(std::span<const std::string_view> names, std::string_view written) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (ascii_iequal(written, names[i])) return i;
  }
  return kNotFound;
}

// Rejects most attribute names before any comparison: a name can only be one
// of those asked for if its length and its first byte, in either case, are
// among theirs. Both are kept as bits of a word, so distinct values may share
// a bit: the test can pass wrongly, never fail wrongly.
class NameFilter {
 public:
  explicit NameFilter(std::span<const std::string_view> names) {
    for (const std::string_view name : names) {
      if (name.empty()) continue;  // no attribute name as written is empty
      lengths_ |= length_bit(name.size());
      first_bytes_ |= byte_bit(static_cast<unsigned char>(name[0]));
    }
  }

  bool may_hold(const unsigned char* name, std::size_t length) const {
    return (lengths_ & length_bit(length)) != 0 && (first_bytes_ & byte_bit(name[0])) != 0;
  }

 private:
  static std::uint64_t length_bit(std::size_t length) {
    return std::uint64_t{1} << std::min<std::size_t>(length, 63);
  }
  // Setting 0x20 maps A-Z onto a-z, and each other byte onto itself or a
  // byte that is not a letter: a name and the same name in other case agree.
  static std::uint64_t byte_bit(unsigned char c) { return std::uint64_t{1} << ((c | 0x20) & 63); }

  std::uint64_t lengths_ = 0;
  std::uint64_t first_bytes_ = 0;
};

bool is_raw_text(TagName name) {
  return name == TagName::Script || name == TagName::Style || name == TagName::Title ||
         name == TagName::Textarea;
}

bool ends_head(const Tag& tag) {
  return tag.is_end ? (tag.name == TagName::Head || tag.name == TagName::Html)
                    : tag.name == TagName::Body;
}

// Follows the tags as they are read to tell when the head region can no
// longer change. Until a head start tag is seen a later one could still move
// the region's start; after it, the region is known once both its first ender
// and the first head end tag have followed.
class HeadWatch {
 public:
  void observe(const Tag& tag) {
    if (!head_start_) {
      head_start_ = !tag.is_end && tag.name == TagName::Head;
      return;
    }
    ender_seen_ = ender_seen_ || ends_head(tag);
    close_seen_ = close_seen_ || (tag.is_end && tag.name == TagName::Head);
    settled_ = ender_seen_ && close_seen_;
  }
  // Asked before every step, so kept rather than worked out.
  bool settled() const { return settled_; }

 private:
  bool head_start_ = false;
  bool ender_seen_ = false;
  bool close_seen_ = false;
  bool settled_ = false;
};

// One forward pass over the document producing the tag list.
class Scanner {
 public:
  using Tags = TagList::Tags;
  using Attributes = TagList::Attributes;

  Scanner(std::string_view document, std::span<const std::string_view> attribute_names, Tags& tags,
          Attributes& attributes)
      : text_(document),
        attribute_names_(attribute_names),
        bytes_(reinterpret_cast<const unsigned char*>(document.data())),
        size_(document.size()),
        tags_(tags),
        attributes_(attributes),
        wanted_(attribute_names) {}

  void run() {
    while (position_ < size_ && !head_.settled()) step();
  }

 private:
  // Reads whatever starts at the next "<": a tag, or something passed over.
  void step() {
    if (bytes_[position_] != '<') {  // runs of "<" need no search
      const std::size_t found = find_byte(position_, size_, '<');
      if (found == kNotFound) return finish();
      position_ = found;
    }
    if (size_ - position_ < 2) return finish();  // a lone "<" at the end
    switch (bytes_[position_ + 1]) {
      case '!':
        if (size_ - position_ >= 4 && bytes_[position_ + 2] == '-' &&
            bytes_[position_ + 3] == '-') {
          return skip_comment();
        }
        return skip_past(position_ + 1, '>');
      case '?':
        return skip_past(position_ + 1, '>');
      case '/':
        return read_tag(true);
      default:
        return read_tag(false);
    }
  }

  void finish() { position_ = size_; }

  // "-->" is searched only after the opener, so "<!-->" and "<!--->" do not close.
  void skip_comment() {
    const std::size_t body = position_ + 4;
    if (size_ - body < 3) return finish();
    const std::size_t close = find_comment_close(body);
    if (close == kNotFound) return finish();
    position_ = close + 3;
  }

  // Eight positions per step, each tested for the whole "-->": steady on any
  // text, where a search for one byte of it stalls on runs of dashes or ">".
  std::size_t find_comment_close(std::size_t from) const {
    std::size_t i = from;
    for (; i + 2 + sizeof(Word) <= size_; i += sizeof(Word)) {
      const Word hits = bytes_equal(load_word(bytes_ + i), '-') &
                        bytes_equal(load_word(bytes_ + i + 1), '-') &
                        bytes_equal(load_word(bytes_ + i + 2), '>');
      if (hits != 0) return i + first_marked_byte(hits);
    }
    for (; i + 2 < size_; ++i) {
      if (bytes_[i] == '-' && bytes_[i + 1] == '-' && bytes_[i + 2] == '>') return i;
    }
    return kNotFound;
  }

  void skip_past(std::size_t from, unsigned char delimiter) {
    const std::size_t found = find_byte(from, size_, delimiter);
    if (found == kNotFound) return finish();
    position_ = found + 1;
  }

  // The first `c` in [from, limit), or kNotFound. Most distances in markup
  // are short (the line break between two tags, a short value), so the first
  // sixteen bytes are tested here and only longer searches pay for a call.
  std::size_t find_byte(std::size_t from, std::size_t limit, unsigned char c) const {
    for (int word = 0; word < 2 && limit - from >= sizeof(Word); ++word, from += sizeof(Word)) {
      const Word hits = bytes_equal(load_word(bytes_ + from), c);
      if (hits != 0) return from + first_marked_byte(hits);
    }
    const void* found = std::memchr(bytes_ + from, c, limit - from);
    if (found == nullptr) return kNotFound;
    return static_cast<std::size_t>(static_cast<const unsigned char*>(found) - bytes_);
  }

  void read_tag(bool is_end) {
    const std::size_t name_start = position_ + (is_end ? 2 : 1);
    if (name_start >= size_ || !is_ascii_letter(bytes_[name_start])) {
      ++position_;
      return;
    }
    std::size_t name_end = name_start + 1;
    while (name_end < size_ && has_class(bytes_[name_end], kTagNameChar)) ++name_end;
    const std::string_view name = text_.substr(name_start, name_end - name_start);

    const TagName known_name = classify(name, size_ - name_start);
    // Tags of other names are read for their extent only: no caller asks
    // about them, so neither they nor their attributes are kept.
    const bool keep = known_name != TagName::Other;
    if (keep) tag_first_attribute_ = attributes_.size();
    const std::size_t end = name_end < size_ ? read_attributes(name_end, keep) : size_;
    if (keep) keep_tag(end, known_name, is_end);
    position_ = (!is_end && is_raw_text(known_name)) ? raw_text_end(end, known_name) : end;
  }

  // Fills the new entry field by field: a Tag built aside and copied in is
  // written in pieces and read back whole, which stalls store forwarding.
  void keep_tag(std::size_t end, TagName name, bool is_end) {
    Tag& tag = tags_.emplace_back();
    tag.start = position_;
    tag.end = end;
    tag.name = name;
    tag.is_end = is_end;
    tag.first_attribute = tag_first_attribute_;
    tag.attribute_count = attributes_.size() - tag_first_attribute_;
    head_.observe(tag);
  }

  // Reads attributes from `j` until ">" or the document end; returns the tag's end.
  std::size_t read_attributes(std::size_t j, bool keep) {
    while (j < size_) {
      const unsigned char c = bytes_[j];
      if (has_class(c, kBeforeAttributeName)) {
        ++j;
        continue;
      }
      if (c == '>') return j + 1;
      const std::size_t name_start = j;
      while (j < size_ && !has_class(bytes_[j], kEndsAttributeName)) ++j;
      if (j == name_start) {  // a stray "="
        ++j;
        continue;
      }
      const std::size_t name_end = j;
      std::size_t k = skip_spaces(name_end);
      if (k == size_ || bytes_[k] != '=') {
        offer_attribute(keep, name_start, name_end, name_end, name_end);
        continue;
      }
      k = skip_spaces(k + 1);
      if (k == size_) {
        offer_attribute(keep, name_start, name_end, k, k);
        return size_;
      }
      const Range value = read_value(k);
      offer_attribute(keep, name_start, name_end, value.start, value.end);
      j = value.resume;
    }
    return size_;
  }

  struct Range {
    std::size_t start, end, resume;
  };

  // The value starting at `k`, and where reading resumes after it.
  Range read_value(std::size_t k) const {
    const unsigned char quote = bytes_[k];
    if (quote == '"' || quote == '\'') {
      const std::size_t close = find_byte(k + 1, size_, quote);
      if (close == kNotFound) return {k + 1, size_, size_};
      return {k + 1, close, close + 1};
    }
    std::size_t value_end = k;
    while (value_end < size_ && !has_class(bytes_[value_end], kEndsUnquotedValue)) ++value_end;
    return {k, value_end, value_end};
  }

  std::size_t skip_spaces(std::size_t j) const {
    while (j < size_ && has_class(bytes_[j], kSpace)) ++j;
    return j;
  }

  void offer_attribute(bool keep, std::size_t name_start, std::size_t name_end,
                       std::size_t value_start, std::size_t value_end) {
    if (keep && wanted_.may_hold(bytes_ + name_start, name_end - name_start)) {
      add_attribute(name_start, name_end, value_start, value_end);
    }
  }

  // Keeps the first occurrence of each wanted name; with a handful of wanted
  // names the search of the ones kept so far is bounded.
  void add_attribute(std::size_t name_start, std::size_t name_end, std::size_t value_start,
                     std::size_t value_end) {
    const std::size_t index =
        index_of_name(attribute_names_, text_.substr(name_start, name_end - name_start));
    if (index == kNotFound) return;
    const auto kept = attributes_.view().subspan(tag_first_attribute_);
    const auto same_name = [&](const Attribute& a) { return a.name_index == index; };
    if (std::any_of(kept.begin(), kept.end(), same_name)) return;
    attributes_.emplace_back() = {index, value_start, value_end - value_start};
  }

  // Where the scan resumes after the start tag of a raw-text element whose
  // content begins at `content`: at its matching end tag, or the document end.
  std::size_t raw_text_end(std::size_t content, TagName name) const {
    const KnownName& known = kKnownNames[static_cast<std::size_t>(name) - 1];
    const std::size_t n = known.text.size();
    if (content + n + 2 > size_) return size_;
    const std::size_t last = size_ - n - 2;  // last position an end tag can start at
    for (std::size_t g = content; g <= last; ++g) {
      g = find_byte(g, last + 1, '<');
      if (g == kNotFound) break;
      if (closes_raw_text(g, known)) return g;
    }
    return size_;
  }

  // The raw-text names are all letters, and a byte with its 0x20 bit set is
  // a given lower-case letter only if it was that letter in either case: the
  // folded word compares exactly.
  bool closes_raw_text(std::size_t g, const KnownName& name) const {
    if (bytes_[g + 1] != '/') return false;
    const std::size_t n = name.text.size();
    const bool named = size_ - (g + 2) >= sizeof(Word)
                           ? ((load_word(bytes_ + g + 2) | kFoldBits) & low_bytes(n)) == name.folded
                           : ascii_iequal(text_.substr(g + 2, n), name.text);
    if (!named) return false;
    const std::size_t after = g + 2 + n;
    return after == size_ || has_class(bytes_[after], kBeforeAttributeName) || bytes_[after] == '>';
  }

  std::string_view text_;
  std::span<const std::string_view> attribute_names_;
  const unsigned char* bytes_;
  std::size_t size_;
  std::size_t position_ = 0;
  Tags& tags_;
  Attributes& attributes_;
  std::size_t tag_first_attribute_ = 0;
  HeadWatch head_;
  NameFilter wanted_;
};

}  // namespace

std::optional<std::string_view> TagList::raw_attr(const Tag& tag, std::string_view name) const {
  const std::size_t index = index_of_name(attribute_names_, name);
  if (index == kNotFound) {
    throw std::logic_error("asked for an attribute the tag list does not keep");
  }
  return raw_attr_at(tag, index);
}

std::optional<std::string> TagList::attr(const Tag& tag, std::string_view name) const {
  const std::optional<std::string_view> raw = raw_attr(tag, name);
  if (!raw) return std::nullopt;
  return text::utf8_with_replacement(*raw);
}

bool TagList::attr_has_token(const Tag& tag, std::size_t name_index, std::string_view token) const {
  const std::optional<std::string_view> value = raw_attr_at(tag, name_index);
  if (!value) return false;
  std::size_t piece_start = 0;
  for (std::size_t i = 0; i <= value->size(); ++i) {
    if (i < value->size() && !is_html_space_char(static_cast<unsigned char>((*value)[i]))) continue;
    const std::size_t length = i - piece_start;
    if (length == token.size() && ascii_iequal(value->substr(piece_start, length), token)) {
      return true;
    }
    piece_start = i + 1;
  }
  return false;
}

TagList::TagList(std::string_view document, std::span<const std::string_view> attribute_names)
    : document_(document), attribute_names_(attribute_names) {
  Scanner(document, attribute_names, tags_, attributes_).run();
}

TagList tags(std::string_view document, std::span<const std::string_view> attribute_names) {
  return TagList(document, attribute_names);
}

HeadSpan head(const TagList& list) {
  const std::span<const Tag> all = list.tags();
  auto first_start_tag = [&](TagName name) {
    return std::find_if(all.begin(), all.end(),
                        [&](const Tag& t) { return !t.is_end && t.name == name; });
  };
  HeadSpan span{0, list.document_length(), std::nullopt};
  auto opener = first_start_tag(TagName::Head);
  if (opener == all.end()) opener = first_start_tag(TagName::Html);
  if (opener != all.end()) span.start = opener->end;

  bool end_found = false;
  for (const Tag& t : all) {
    if (t.start < span.start) continue;
    if (ends_head(t) && !end_found) {
      span.end = t.start;
      end_found = true;
    }
    if (t.is_end && t.name == TagName::Head && !span.close) span.close = t.start;
    if (end_found && span.close) break;
  }
  return span;
}

}  // namespace velmora::scan
