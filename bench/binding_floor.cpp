// The floor of a hard binding over freshly gathered bytes: one SHA-256 of the
// kept bytes plus getting that much fresh memory and filling it, for each way
// of getting the memory. The methods run in turn, run after run, so that other
// work on the machine slows them alike; each figure is the best run, in ms,
// and its ratio to the best SHA-256 alone.
// `bench/run.py --kernels` builds and runs it (CMake option VELMORA_BENCH).
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "bytes.h"
#include "sha2.h"

namespace {

using velmora::ByteView;

constexpr int kMadvPopulateWrite = 23;  // absent from older headers

// Fresh memory of `size` bytes, filled from `data`, and its digest.
using Gather = void (*)(ByteView data);

void hash_only(ByteView data) { (void)velmora::sha2::sha256(data); }

void fill_and_hash(std::uint8_t* out, ByteView data) {
  std::memcpy(out, data.data(), data.size());
  (void)velmora::sha2::sha256({out, data.size()});
}

void malloc_faulting(ByteView data) {
  auto* out = static_cast<std::uint8_t*>(std::malloc(data.size()));
  fill_and_hash(out, data);
  std::free(out);
}

void malloc_populate_write(ByteView data) {
  auto* out = static_cast<std::uint8_t*>(std::malloc(data.size()));
  velmora::prefault(out, data.size());
  fill_and_hash(out, data);
  std::free(out);
}

void map(ByteView data, int flags, bool populate_write) {
  void* memory = mmap(nullptr, data.size(), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
  if (memory == MAP_FAILED) std::abort();
  if (populate_write) madvise(memory, data.size(), kMadvPopulateWrite);
  fill_and_hash(static_cast<std::uint8_t*>(memory), data);
  munmap(memory, data.size());
}

void mmap_faulting(ByteView data) { map(data, 0, false); }
void mmap_populate(ByteView data) { map(data, MAP_POPULATE, false); }
void mmap_populate_write(ByteView data) { map(data, 0, true); }

double elapsed_ms(Gather gather, ByteView data) {
  const auto start = std::chrono::steady_clock::now();
  gather(data);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main() {
  struct Method {
    const char* name;
    Gather gather;
  };
  const Method methods[] = {
      {"sha256 alone", hash_only},
      {"malloc, faults", malloc_faulting},
      {"malloc + MADV_POPULATE_WRITE", malloc_populate_write},
      {"mmap, faults", mmap_faulting},
      {"mmap MAP_POPULATE", mmap_populate},
      {"mmap + MADV_POPULATE_WRITE", mmap_populate_write},
  };
  std::printf("%-30s %16s %16s %16s %16s\n", "copy + sha256: ms (x sha256)", "1 MiB", "16 MiB",
              "64 MiB", "256 MiB");
  constexpr std::size_t kMethods = std::size(methods);
  std::vector<std::array<double, kMethods>> best;
  for (std::size_t mebibytes : {1, 16, 64, 256}) {
    const std::vector<std::uint8_t> input(mebibytes << 20, 0x5A);
    std::array<double, kMethods> fastest;
    fastest.fill(1e30);
    for (int run = 0, runs = mebibytes >= 256 ? 7 : 21; run < runs; ++run) {
      for (std::size_t m = 0; m < kMethods; ++m) {
        fastest[m] = std::min(fastest[m], elapsed_ms(methods[m].gather, input));
      }
    }
    best.push_back(fastest);
  }
  for (std::size_t m = 0; m < kMethods; ++m) {
    std::printf("%-30s", methods[m].name);
    for (const auto& size : best) std::printf(" %9.3f (%4.2f)", size[m], size[m] / size[0]);
    std::printf("\n");
  }
}
