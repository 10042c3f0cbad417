// Base64 throughput of every kernel this CPU can run, in GB/s of input:
// bytes for encoding, characters for decoding. `bench/run.py --kernels` builds
// and runs it (CMake option VELMORA_BENCH).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base64.h"
#include "dispatch.h"

namespace {

using Clock = std::chrono::steady_clock;

// The best of several rounds, each repeating `run` for about 20 ms, so that
// one preempted round does not decide the figure.
template <typename Run>
double gigabytes_per_second(std::size_t input_bytes, Run run) {
  double best = 0;
  for (int round = 0; round < 10; ++round) {
    std::size_t repeats = 0;
    const Clock::time_point start = Clock::now();
    Clock::duration elapsed{};
    for (; elapsed < std::chrono::milliseconds(20); elapsed = Clock::now() - start) {
      run();
      ++repeats;
    }
    const double seconds = std::chrono::duration<double>(elapsed).count();
    best = std::max(best, static_cast<double>(input_bytes * repeats) / seconds / 1e9);
  }
  return best;
}

void measure(const velmora::base64::Kernel& kernel, std::size_t size) {
  std::mt19937 generator(1);
  std::vector<std::uint8_t> data(size);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
  std::string text(velmora::base64::encoded_length(size), '\0');
  const double encode = gigabytes_per_second(
      size, [&] { velmora::base64::encode_into_with(kernel.encode_groups, data, text.data()); });
  bool all_decoded = true;
  const double decode = gigabytes_per_second(text.size(), [&] {
    all_decoded &= velmora::base64::decode_with(kernel.decode_groups, text).has_value();
  });
  std::printf("%-11.*s %5zu KiB  encode %6.2f GB/s  decode %6.2f GB/s%s\n",
              static_cast<int>(kernel.name.size()), kernel.name.data(), size / 1024, encode, decode,
              all_decoded ? "" : "  (decode FAILED)");
}

}  // namespace

int main() {
  for (const auto& kernel : velmora::dispatch::supported_rows(velmora::base64::kernels())) {
    for (const std::size_t size : {std::size_t{64} << 10, std::size_t{1} << 20}) {
      measure(kernel, size);
    }
  }
}
