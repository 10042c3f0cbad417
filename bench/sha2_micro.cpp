// Throughput of each SHA-2 kernel set on this CPU, for comparison with
// Python's hashlib on the same machine. Each figure is the best of many
// single digests, which filters out interference from other processes.
// `bench/run.py --kernels` builds and runs it (CMake option VELMORA_BENCH).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dispatch.h"
#include "sha2.h"

namespace {

using velmora::ByteView;
using velmora::dispatch::Kernels;
using velmora::sha2::Digest;

struct Algorithm {
  const char* name;
  Digest (*digest)(const Kernels&, ByteView);
};

const Algorithm kAlgorithms[] = {
    {"sha256",
     [](const Kernels& k, ByteView d) { return velmora::sha2::sha256_with(k.compress256, d); }},
    {"sha384",
     [](const Kernels& k, ByteView d) { return velmora::sha2::sha384_with(k.compress512, d); }},
    {"sha512",
     [](const Kernels& k, ByteView d) { return velmora::sha2::sha512_with(k.compress512, d); }},
};

double best_throughput(const Algorithm& algorithm, const Kernels& kernels, ByteView data) {
  const std::size_t runs = std::max<std::size_t>(5, (std::size_t{256} << 20) / data.size());
  double best_seconds = 1e30;
  for (std::size_t run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const Digest digest = algorithm.digest(kernels, data);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best_seconds = std::min(best_seconds, elapsed.count());
  }
  return static_cast<double>(data.size()) / best_seconds / 1e9;
}

}  // namespace

int main() {
  for (std::size_t mebibytes : {1, 64}) {
    const std::vector<std::uint8_t> data(mebibytes << 20, 0x5A);
    for (const Kernels& kernels : velmora::dispatch::available()) {
      for (const Algorithm& algorithm : kAlgorithms) {
        std::printf("%-10s %s %3zu MiB %6.3f GB/s\n", std::string(kernels.name).c_str(),
                    algorithm.name, mebibytes, best_throughput(algorithm, kernels, data));
      }
    }
  }
}
