// What the harnesses share: the invariant check that turns a wrong answer
// into a crash libFuzzer records, and the plain reference operations that the
// optimised ones are compared with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch.h"

#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::velmora::fuzz::fail(__FILE__, __LINE__, #condition))
// The same for a check on one kernel, which is named when the check fails.
#define FUZZ_CHECK_KERNEL(condition, kernel) \
  ((condition) ? (void)0 : ::velmora::fuzz::fail(__FILE__, __LINE__, #condition, (kernel).name))

namespace velmora::fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* what,
                              std::string_view kernel = {}) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  if (!kernel.empty()) {
    std::fprintf(stderr, "with kernel %.*s\n", static_cast<int>(kernel.size()), kernel.data());
  }
  std::abort();
}

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The rows of a kernel table this CPU can run, the portable one last,
// gathered once (each table has a row type of its own).
template <class Kernel>
const std::vector<Kernel>& supported(std::span<const Kernel> table) {
  static const std::vector<Kernel> rows = dispatch::supported_rows(table);
  return rows;
}

// Splits "first\0second" at the last NUL; without one, all is `first`.
struct Parts {
  std::string_view first;
  std::string_view second;
};

inline Parts split_at_last_nul(std::string_view input) {
  const std::size_t nul = input.rfind('\0');
  if (nul == std::string_view::npos) return {input, {}};
  return {input.substr(0, nul), input.substr(nul + 1)};
}

// The document with the half-open [start, end) ranges cut out, built byte by
// byte from a mask so that it shares no logic with the code under test.
inline std::string without_ranges(std::string_view document,
                                  const std::vector<std::pair<std::size_t, std::size_t>>& ranges) {
  std::vector<bool> cut(document.size(), false);
  for (const auto& [start, end] : ranges) {
    for (std::size_t i = start; i < end; ++i) cut[i] = true;
  }
  std::string kept;
  for (std::size_t i = 0; i < document.size(); ++i) {
    if (!cut[i]) kept += document[i];
  }
  return kept;
}

}  // namespace velmora::fuzz
