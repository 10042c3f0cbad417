#include "scan_model.h"

#include <algorithm>

namespace velmora::fuzz::model {

namespace {

constexpr std::string_view kSpaces{"\t\n\f\r ", 5};

bool is_space(char c) { return kSpaces.find(c) != std::string_view::npos; }

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_name_char(char c) {
  return is_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' || c == '_';
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool is_raw_text(std::string_view name) {
  return name == "script" || name == "style" || name == "title" || name == "textarea";
}

void add_attribute(Tag& tag, std::string_view name, std::string_view value) {
  const std::string stored = lower(name);
  for (const auto& existing : tag.attributes) {
    if (existing.first == stored) return;
  }
  tag.attributes.emplace_back(stored, value);
}

std::size_t skip_spaces(std::string_view doc, std::size_t k) {
  while (k < doc.size() && is_space(doc[k])) ++k;
  return k;
}

// Reads attributes from `j` into `tag`; returns the tag's end.
std::size_t read_attributes(std::string_view doc, std::size_t j, Tag& tag) {
  const std::size_t n = doc.size();
  while (true) {
    if (j >= n) return n;
    const char c = doc[j];
    if (is_space(c) || c == '/') {
      ++j;
      continue;
    }
    if (c == '>') return j + 1;
    const std::size_t name_start = j;
    while (j < n && !is_space(doc[j]) && doc[j] != '/' && doc[j] != '=' && doc[j] != '>') ++j;
    if (j == name_start) {
      ++j;
      continue;
    }
    const std::string_view name = doc.substr(name_start, j - name_start);
    std::size_t k = skip_spaces(doc, j);
    if (k >= n || doc[k] != '=') {
      add_attribute(tag, name, {});
      continue;
    }
    k = skip_spaces(doc, k + 1);
    if (k >= n) {
      add_attribute(tag, name, {});
      return n;
    }
    if (doc[k] == '"' || doc[k] == '\'') {
      const std::size_t close = doc.find(doc[k], k + 1);
      if (close == std::string_view::npos) {
        add_attribute(tag, name, doc.substr(k + 1));
        return n;
      }
      add_attribute(tag, name, doc.substr(k + 1, close - k - 1));
      j = close + 1;
      continue;
    }
    std::size_t v = k;
    while (v < n && !is_space(doc[v]) && doc[v] != '>') ++v;
    add_attribute(tag, name, doc.substr(k, v - k));
    j = v;
  }
}

std::size_t raw_text_end(std::string_view doc, std::size_t from, std::string_view name) {
  const std::size_t n = doc.size();
  for (std::size_t g = from; g + name.size() + 2 <= n; ++g) {
    const std::size_t after = g + name.size() + 2;
    if (doc.substr(g, 2) == "</" && lower(doc.substr(g + 2, name.size())) == name &&
        (after == n || is_space(doc[after]) || doc[after] == '/' || doc[after] == '>')) {
      return g;
    }
  }
  return n;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

bool has_token(std::optional<std::string_view> value, std::string_view token) {
  if (!value) return false;
  std::string piece;
  for (const char c : std::string(*value) + ' ') {
    if (!is_space(c)) {
      piece += c;
      continue;
    }
    if (lower(piece) == token) return true;
    piece.clear();
  }
  return false;
}

bool is_start(const Tag& tag, std::string_view name) { return !tag.is_end && tag.name == name; }

}  // namespace

std::optional<std::string_view> Tag::attr(std::string_view attribute_name) const {
  for (const auto& [name, value] : attributes) {
    if (name == attribute_name) return value;
  }
  return std::nullopt;
}

std::vector<Tag> tags(std::string_view doc) {
  std::vector<Tag> out;
  const std::size_t n = doc.size();
  std::size_t i = 0;
  while (i < n) {
    if (doc[i] != '<') {
      ++i;
      continue;
    }
    if (doc.substr(i, 4) == "<!--") {
      if (n - (i + 4) < 3) break;
      const std::size_t close = doc.find("-->", i + 4);
      if (close == std::string_view::npos) break;
      i = close + 3;
      continue;
    }
    if (n - i >= 2 && (doc[i + 1] == '!' || doc[i + 1] == '?')) {
      const std::size_t close = doc.find('>', i + 1);
      if (close == std::string_view::npos) break;
      i = close + 1;
      continue;
    }
    const bool is_end = n - i >= 2 && doc[i + 1] == '/';
    const std::size_t name_start = i + (is_end ? 2 : 1);
    if (name_start >= n || !is_letter(doc[name_start])) {
      ++i;
      continue;
    }
    std::size_t name_end = name_start;
    while (name_end < n && is_name_char(doc[name_end])) ++name_end;
    Tag tag{lower(doc.substr(name_start, name_end - name_start)), i, n, is_end, {}};
    if (name_end < n) tag.end = read_attributes(doc, name_end, tag);
    i = (!is_end && is_raw_text(tag.name)) ? raw_text_end(doc, tag.end, tag.name) : tag.end;
    out.push_back(std::move(tag));
  }
  return out;
}

Head head(std::string_view doc, const std::vector<Tag>& all) {
  const auto first_start = [&](std::string_view name) {
    return std::find_if(all.begin(), all.end(), [&](const Tag& t) { return is_start(t, name); });
  };
  auto opener = first_start("head");
  if (opener == all.end()) opener = first_start("html");
  Head span{opener == all.end() ? 0 : opener->end, doc.size(), std::nullopt};
  bool end_found = false;
  for (const Tag& t : all) {
    if (t.start < span.start) continue;
    const bool ends = (t.is_end && (t.name == "head" || t.name == "html")) || is_start(t, "body");
    if (ends && !end_found) {
      span.end = t.start;
      end_found = true;
    }
    if (t.is_end && t.name == "head" && !span.close) span.close = t.start;
  }
  return span;
}

std::vector<Candidate> candidates(std::string_view doc, const std::vector<Tag>& all) {
  const Head span = head(doc, all);
  std::vector<Candidate> found;
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Tag& t = all[i];
    if (t.is_end || t.start < span.start || t.end > span.end) continue;
    if (t.name == "link" && has_token(t.attr("rel"), "c2pa-manifest")) {
      const std::optional<std::string_view> href = t.attr("href");
      found.push_back({true, t.start, t.end, 0, 0,
                       href ? std::optional<std::string>(utf8_decoded(*href)) : std::nullopt});
    } else if (t.name == "script") {
      const std::optional<std::string_view> type = t.attr("type");
      if (!type || lower(trimmed(*type)) != "application/c2pa") continue;
      Candidate script{false, t.start, doc.size(), t.end, doc.size(), std::nullopt};
      if (i + 1 < all.size() && all[i + 1].is_end && all[i + 1].name == "script") {
        script.content_end = all[i + 1].start;
        script.end = all[i + 1].end;
      }
      found.push_back(script);
    }
  }
  return found;
}

std::string utf8_decoded(std::string_view bytes) {
  const std::string_view replacement = "\xEF\xBF\xBD";
  std::string out;
  int needed = 0, seen = 0;
  unsigned lower_bound = 0x80, upper_bound = 0xBF;
  std::size_t sequence_start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (needed == 0) {
      sequence_start = i;
      if (byte <= 0x7F) {
        out += bytes[i];
      } else if (byte >= 0xC2 && byte <= 0xDF) {
        needed = 1;
      } else if (byte >= 0xE0 && byte <= 0xEF) {
        if (byte == 0xE0) lower_bound = 0xA0;
        if (byte == 0xED) upper_bound = 0x9F;
        needed = 2;
      } else if (byte >= 0xF0 && byte <= 0xF4) {
        if (byte == 0xF0) lower_bound = 0x90;
        if (byte == 0xF4) upper_bound = 0x8F;
        needed = 3;
      } else {
        out += replacement;
      }
      continue;
    }
    if (byte < lower_bound || byte > upper_bound) {
      needed = seen = 0;
      lower_bound = 0x80;
      upper_bound = 0xBF;
      out += replacement;
      --i;  // the byte is read again as the start of what follows
      continue;
    }
    lower_bound = 0x80;
    upper_bound = 0xBF;
    if (++seen == needed) {
      out += bytes.substr(sequence_start, i + 1 - sequence_start);
      needed = seen = 0;
    }
  }
  if (needed != 0) out += replacement;
  return out;
}

}  // namespace velmora::fuzz::model
