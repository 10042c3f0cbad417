// The small text operations that HTML reading and writing share: ASCII case
// folding, HTML space, and UTF-8 read with replacement.
#pragma once

#include <string>
#include <string_view>

namespace velmora::text {

constexpr unsigned char to_lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// TAB, LF, FF, CR and SPACE; nothing else.
constexpr bool is_html_space_char(unsigned char c) {
  return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}

// Removes leading and trailing HTML space characters.
std::string_view trim(std::string_view text);

// Equal lengths and equal bytes once A-Z are mapped to a-z. Inline: the
// scanner asks it of every kept attribute name.
constexpr bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x != y && to_lower(x) != to_lower(y)) return false;  // most bytes match as written
  }
  return true;
}

// `raw` read as UTF-8, each maximal ill-formed subpart replaced by U+FFFD.
std::string utf8_with_replacement(std::string_view raw);

}  // namespace velmora::text
