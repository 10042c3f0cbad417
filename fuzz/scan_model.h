// A literal, slow model of tag scanning, the head region and manifest
// recognition, for the harnesses to hold the fast scanner against. It reads
// every document to its end, keeps every tag and every attribute, applies
// first-wins by searching the attributes read so far, and shares no code with
// the scanner, so a tag the scanner misses or a stop it makes too early shows
// up as a difference.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::fuzz::model {

struct Tag {
  std::string name;  // lower case
  std::size_t start;
  std::size_t end;
  bool is_end;
  std::vector<std::pair<std::string, std::string_view>> attributes;  // lower-case name, raw value

  std::optional<std::string_view> attr(std::string_view attribute_name) const;
};

std::vector<Tag> tags(std::string_view document);

struct Head {
  std::size_t start;
  std::size_t end;
  std::optional<std::size_t> close;
};

Head head(std::string_view document, const std::vector<Tag>& all);

struct Candidate {
  bool is_link;
  std::size_t start;
  std::size_t end;
  std::size_t content_start;  // script only
  std::size_t content_end;    // script only
  std::optional<std::string> href;
};

std::vector<Candidate> candidates(std::string_view document, const std::vector<Tag>& all);

// The bytes read as UTF-8 with each maximal ill-formed subpart replaced by
// U+FFFD, following the decoder's state machine step by step.
std::string utf8_decoded(std::string_view bytes);

}  // namespace velmora::fuzz::model
