// Throughput of each SHA-2 kernel this CPU supports, for comparison with
// Python's hashlib on the same machine. Each figure is the best of many
// single digests, which filters out interference from other processes.
// `bench/run.py --kernels` builds and runs it (CMake option VELMORA_BENCH).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "dispatch.h"
#include "sha2.h"

namespace {

using velmora::ByteView;
using velmora::sha2::Digest;

template <class Compress>
double best_throughput(Digest (*digest_with)(Compress, ByteView), Compress compress,
                       ByteView data) {
  const std::size_t runs = std::max<std::size_t>(5, (std::size_t{256} << 20) / data.size());
  double best_seconds = 1e30;
  for (std::size_t run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const Digest digest = digest_with(compress, data);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best_seconds = std::min(best_seconds, elapsed.count());
  }
  return static_cast<double>(data.size()) / best_seconds / 1e9;
}

// Every row of `table` this CPU supports, through each digest that uses it.
template <class Kernel, class DigestWith>
void measure(std::span<const Kernel> table,
             std::initializer_list<std::pair<const char*, DigestWith>> algorithms, ByteView data) {
  for (const Kernel& kernel : velmora::dispatch::supported_rows(table)) {
    for (const auto& [name, digest_with] : algorithms) {
      std::printf("%-10s %s %3zu MiB %6.3f GB/s\n", std::string(kernel.name).c_str(), name,
                  data.size() >> 20, best_throughput(digest_with, kernel.compress, data));
    }
  }
}

}  // namespace

int main() {
  using namespace velmora::sha2;
  using Digest256 = Digest (*)(Compress256, ByteView);
  using Digest512 = Digest (*)(Compress512, ByteView);
  for (std::size_t mebibytes : {1, 64}) {
    const std::vector<std::uint8_t> data(mebibytes << 20, 0x5A);
    measure<Kernel256, Digest256>(sha256_kernels(), {{"sha256", sha256_with}}, data);
    measure<Kernel512, Digest512>(sha512_kernels(),
                                  {{"sha384", sha384_with}, {"sha512", sha512_with}}, data);
  }
}
