#include "text.h"

namespace velmora::text {

namespace {

// Length of the well-formed UTF-8 sequence at `i`, or 0 when the bytes there
// begin an ill-formed subpart; `subpart` then receives that subpart's length.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i, std::size_t& subpart) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t needed = 0;
  unsigned char lower = 0x80, upper = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    if (lead == 0xE0) lower = 0xA0;
    if (lead == 0xED) upper = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    if (lead == 0xF0) lower = 0x90;
    if (lead == 0xF4) upper = 0x8F;
  } else {
    subpart = 1;
    return 0;
  }
  std::size_t j = i + 1;
  for (std::size_t k = 0; k < needed; ++k, ++j) {
    const bool in_range = j < s.size() && static_cast<unsigned char>(s[j]) >= lower &&
                          static_cast<unsigned char>(s[j]) <= upper;
    if (!in_range) {
      subpart = j - i;
      return 0;
    }
    lower = 0x80;
    upper = 0xBF;
  }
  return needed + 1;
}

}  // namespace

std::string_view trim(std::string_view text) {
  std::size_t first = 0, last = text.size();
  while (first < last && is_html_space_char(static_cast<unsigned char>(text[first]))) ++first;
  while (last > first && is_html_space_char(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(first, last - first);
}

std::string utf8_with_replacement(std::string_view raw) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    if (static_cast<unsigned char>(raw[i]) < 0x80) {
      out += raw[i++];
      continue;
    }
    std::size_t subpart = 0;
    const std::size_t length = utf8_sequence_length(raw, i, subpart);
    if (length == 0) {
      out += kReplacement;
      i += subpart;
    } else {
      out.append(raw.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace velmora::text
