// Built into the extension only with VELMORA_FAIL_ALLOCATION, for the tests
// of allocation failure: every C++ allocation of the extension goes through
// here, the one a test picks fails, and the blocks still alive are counted so
// a test can tell that a failed call freed what it took.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

long countdown = 0;  // allocations until the one that fails; 0: none fails
long live = 0;

void* allocate(std::size_t size) {
  if (countdown > 0 && --countdown == 0) throw std::bad_alloc();
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  ++live;
  return block;
}

void release(void* block) noexcept {
  if (block == nullptr) return;
  --live;
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }

// Found by the tests through ctypes; the interpreter lock serialises calls.
extern "C" {

// Makes the `nth` allocation from now fail (0: none) and returns how many
// allocations the previous setting still had to go.
__attribute__((visibility("default"))) long velmora_fail_allocation(long nth) {
  const long left = countdown;
  countdown = nth;
  return left;
}

__attribute__((visibility("default"))) long velmora_live_allocations() { return live; }
}
