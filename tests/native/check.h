// A minimal test registry for the native test program: each test file
// registers its cases with VELMORA_TEST and reports failures with CHECK.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace velmora::testing {

struct Case {
  const char* name;
  void (*run)();
};

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

inline int& failures() {
  static int count = 0;
  return count;
}

struct Registration {
  Registration(const char* name, void (*run)()) { registry().push_back({name, run}); }
};

inline void fail(const char* file, int line, const std::string& what) {
  if (++failures() <= 50)
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

}  // namespace velmora::testing

#define VELMORA_TEST(name)                                                        \
  static void name();                                                             \
  static const ::velmora::testing::Registration name##_registration(#name, name); \
  static void name()

#define CHECK(condition) \
  ((condition) ? (void)0 : ::velmora::testing::fail(__FILE__, __LINE__, #condition))
#define CHECK_MSG(condition, message) \
  ((condition) ? (void)0 : ::velmora::testing::fail(__FILE__, __LINE__, (message)))
