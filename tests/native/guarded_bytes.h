// Test inputs and outputs placed against an inaccessible page, so that a
// kernel reading or writing past its end faults instead of passing by luck.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>

namespace velmora::testing {

// `size` bytes that end where an inaccessible page begins, so a kernel that
// loads or stores past its end faults instead of passing by luck.
class GuardedBytes {
 public:
  explicit GuardedBytes(std::size_t size) {
    const std::size_t page = page_size();
    const std::size_t usable = (size + page - 1) / page * page;
    mapping_size_ = usable + page;
    mapping_ = map_with_guard(usable, page);
    data_ = mapping_ + usable - size;
  }
  ~GuardedBytes() { unmap(); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  std::uint8_t* data() { return data_; }
  char* chars() { return reinterpret_cast<char*>(data_); }

 private:
#if defined(_WIN32)
  static std::size_t page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
  }
  std::uint8_t* map_with_guard(std::size_t usable, std::size_t page) {
    auto* mapping = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, mapping_size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD previous = 0;
    VirtualProtect(mapping + usable, page, PAGE_NOACCESS, &previous);
    return mapping;
  }
  void unmap() { VirtualFree(mapping_, 0, MEM_RELEASE); }
#else
  static std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
  std::uint8_t* map_with_guard(std::size_t usable, std::size_t page) {
    auto* mapping = static_cast<std::uint8_t*>(
        mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(mapping + usable, page, PROT_NONE);
    return mapping;
  }
  void unmap() { munmap(mapping_, mapping_size_); }
#endif

  std::uint8_t* mapping_;
  std::size_t mapping_size_;
  std::uint8_t* data_;
};

}  // namespace velmora::testing
