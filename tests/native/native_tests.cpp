// Runs every registered native test and prints one summary line.
#include <cstdio>

#include "check.h"

int main() {
  int passed = 0, failed = 0;
  for (const auto& test : velmora::testing::registry()) {
    const int before = velmora::testing::failures();
    test.run();
    const bool ok = velmora::testing::failures() == before;
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", test.name);
    (ok ? passed : failed)++;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
