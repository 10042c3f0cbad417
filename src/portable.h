// Integer operations that GCC and Clang offer as builtins and MSVC lacks,
// written in plain C++ that each of them compiles to the same instructions.
#pragma once

#include <concepts>
#include <cstdint>

namespace velmora::portable {

// Stores a + b wrapped around in `sum` and says whether it wrapped.
template <std::unsigned_integral T>
constexpr bool add_overflows(T a, T b, T& sum) {
  sum = static_cast<T>(a + b);
  return sum < a;
}

constexpr std::uint64_t byte_swap64(std::uint64_t x) {
  x = (x & 0x00000000FFFFFFFF) << 32 | (x >> 32);
  x = (x & 0x0000FFFF0000FFFF) << 16 | ((x >> 16) & 0x0000FFFF0000FFFF);
  return (x & 0x00FF00FF00FF00FF) << 8 | ((x >> 8) & 0x00FF00FF00FF00FF);
}

}  // namespace velmora::portable
