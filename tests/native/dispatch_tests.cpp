// The kernel tables: each ends with a portable row that needs nothing, and
// the row in use is the first one this CPU supports.
#include <span>
#include <string_view>
#include <vector>

#include "base64.h"
#include "check.h"
#include "dispatch.h"
#include "sha2.h"

namespace {

namespace dispatch = velmora::dispatch;

template <class Kernel>
void check_table(std::span<const Kernel> table) {
  CHECK(!table.empty() && table.back().name == "portable" && table.back().required == 0);
  const std::vector<Kernel> rows = dispatch::supported_rows(table);
  CHECK(!rows.empty() && rows.back().name == "portable");
  CHECK(dispatch::first_supported(table).name == rows.front().name);
}

struct Row {
  std::string_view name;
  dispatch::Features required;
};

}  // namespace

VELMORA_TEST(kernel_tables_end_portable_and_choose_the_first_supported_row) {
  check_table(velmora::sha2::sha256_kernels());
  check_table(velmora::sha2::sha512_kernels());
  check_table(velmora::base64::kernels());
}

VELMORA_TEST(rows_needing_an_absent_extension_are_passed_over) {
  // No CPU has the extensions of another architecture.
#if VELMORA_X86_64
  const dispatch::Features absent = dispatch::kArmSha512;
#else
  const dispatch::Features absent = dispatch::kX86Sha;
#endif
  const Row table[] = {{"absent", absent}, {"portable", 0}};
  CHECK(!dispatch::supports(absent) && dispatch::supports(0));
  CHECK(dispatch::supported_rows(std::span<const Row>(table)).size() == 1);
  CHECK(dispatch::first_supported(std::span<const Row>(table)).name == "portable");
}
