#include "bytes.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velmora {

void prefault(std::uint8_t* data, std::size_t size) {
#if defined(__linux__)
  // Linux 5.14 and later; older kernels refuse the advice, which is harmless.
  constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE, absent from older headers
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
  const auto last = (reinterpret_cast<std::uintptr_t>(data) + size) / page * page;
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, kPopulateWrite);
#else
  (void)data;
  (void)size;
#endif
}

namespace {

// Below this the allocator soon serves blocks from memory it keeps mapped
// between calls (glibc raises its mapping threshold up to 32 MiB as blocks
// are freed), where the advice would only walk pages already present.
constexpr std::size_t kPrefaultFrom = std::size_t{32} << 20;

std::size_t kept_size(std::size_t size, std::span<const Range> ranges) {
  for (const Range& range : ranges) size -= range.end - range.start;
  return size;
}

}  // namespace

// Every output below the boundary is reserved here, whoever supplies the storage.
Buffer::Buffer(std::size_t capacity, Allocator* allocator) : capacity_(capacity) {
  if (allocator != nullptr) {
    data_ = allocator->allocate(capacity);
  } else {
    owned_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    data_ = owned_.get();
  }
  if (capacity >= kPrefaultFrom) prefault(data_, capacity);
}

Buffer copy_outside(ByteView data, std::span<const Range> ranges, Allocator* allocator,
                    std::size_t spare) {
  Buffer kept(kept_size(data.size(), ranges) + spare, allocator);
  std::size_t kept_from = 0;
  for (const Range& range : ranges) {
    kept.append(data.subspan(kept_from, range.start - kept_from));
    kept_from = range.end;
  }
  kept.append(data.subspan(kept_from));
  return kept;
}

}  // namespace velmora
