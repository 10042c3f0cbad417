// The builtin replacements, checked at compile time on every compiler.
#include <cstdint>
#include <limits>

#include "portable.h"

namespace {

using velmora::portable::add_overflows;
using velmora::portable::byte_swap64;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

constexpr bool overflows(std::uint64_t a, std::uint64_t b, std::uint64_t expected_sum) {
  std::uint64_t sum = 0;
  const bool wrapped = add_overflows(a, b, sum);
  return sum == expected_sum && wrapped;
}

constexpr bool fits(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return !add_overflows(a, b, sum) && sum == a + b;
}

static_assert(fits(0, 0) && fits(kMax, 0) && fits(0, kMax) && fits(kMax - 5, 5));
static_assert(overflows(kMax, 1, 0) && overflows(1, kMax, 0) && overflows(kMax, kMax, kMax - 1));
static_assert(overflows(std::uint64_t{1} << 63, std::uint64_t{1} << 63, 0));
static_assert(byte_swap64(0x0102030405060708) == 0x0807060504030201);
static_assert(byte_swap64(byte_swap64(0xF00DFACEDEADBEEF)) == 0xF00DFACEDEADBEEF);
static_assert(byte_swap64(0xFF) == 0xFF00000000000000);

}  // namespace
