// The manifest association in a document head: finding manifest elements,
// reading the one a document carries, and writing documents that carry
// exactly one (inline or by reference) or none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "error.h"

namespace velmora::document {

inline constexpr std::string_view kScriptType = "application/c2pa";
inline constexpr std::string_view kLinkRel = "c2pa-manifest";

// One manifest element found in the head.
struct Candidate {
  enum class Form : std::uint8_t { Script, Link };
  Form form;
  std::size_t start;                // the "<" of its start tag
  std::size_t end;                  // just past the element
  std::size_t content_start;        // Script: just past the start tag
  std::size_t content_end;          // Script: the end tag's start, or the document length
  std::optional<std::string> href;  // Link: its href, if it has one
};

std::vector<Candidate> candidates(std::string_view document);
std::vector<Range> locate_all(std::string_view document);

// The document's single manifest association.
struct Association {
  enum class Form : std::uint8_t { Embedded, Referenced };
  Form form;
  std::size_t start;
  std::size_t length;
  Buffer store;      // Embedded: the decoded manifest store
  std::string href;  // Referenced: the reference as written, never empty
};

// The writing operations and `extract` build their output (the new document,
// the decoded store) in storage from `allocator` when one is given, reserved
// once at its final size; on an error nothing is written.
Result<Association> extract(std::string_view document, Allocator* allocator = nullptr);

// A new document without any manifest element of the head.
Buffer remove(std::string_view document, Allocator* allocator = nullptr);

Result<Buffer> embed(std::string_view document, ByteView store, Allocator* allocator = nullptr);
Result<Buffer> embed_reference(std::string_view document, std::string_view href,
                               Allocator* allocator = nullptr);

}  // namespace velmora::document
