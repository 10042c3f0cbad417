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

Buffer copy_outside(ByteView data, std::span<const Range> ranges) {
  Buffer kept(data.size());
  std::size_t kept_from = 0;
  for (const Range& range : ranges) {
    kept.append(data.subspan(kept_from, range.start - kept_from));
    kept_from = range.end;
  }
  kept.append(data.subspan(kept_from));
  return kept;
}

}  // namespace velmora
