// Runs every registered native test, says which kernels of each table ran and
// which this CPU could not, and prints one summary line.
#include <cstdio>
#include <span>

#include "base64.h"
#include "check.h"
#include "dispatch.h"
#include "sha2.h"

namespace {

// The tests run every row this CPU supports; the others are named so that a
// run on a lesser CPU shows what it left out.
template <class Kernel>
void report(const char* algorithm, std::span<const Kernel> table) {
  for (const Kernel& kernel : table) {
    const bool ran = velmora::dispatch::supports(kernel.required);
    std::printf("kernel %s %.*s: %s\n", algorithm, static_cast<int>(kernel.name.size()),
                kernel.name.data(), ran ? "ran" : "not supported");
  }
}

}  // namespace

int main() {
  int passed = 0, failed = 0;
  for (const auto& test : velmora::testing::registry()) {
    const int before = velmora::testing::failures();
    test.run();
    const bool ok = velmora::testing::failures() == before;
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", test.name);
    (ok ? passed : failed)++;
  }
  report("sha256", velmora::sha2::sha256_kernels());
  report("sha512", velmora::sha2::sha512_kernels());
  report("base64", velmora::base64::kernels());
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
