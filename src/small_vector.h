// A growable array whose first entries live inside the object, so that a
// short list costs no allocation at all.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <type_traits>
#include <vector>

namespace velmora::scan {

template <class T, std::size_t N>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SmallVector() = default;
  // Copies only the entries in use: the others were never written.
  SmallVector(const SmallVector& other) : size_(other.size_), heap_(other.heap_) {
    std::copy_n(other.local_.begin(), std::min(size_, N), local_.begin());
  }
  SmallVector& operator=(const SmallVector&) = delete;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const T> view() const {
    return on_heap() ? std::span<const T>(heap_) : std::span<const T>(local_.data(), size_);
  }

  // A new last entry, left for the caller to fill.
  T& emplace_back() {
    if (size_ < N) return local_[size_++];
    if (size_ == N) {
      heap_.reserve(4 * N);
      heap_.assign(local_.begin(), local_.end());
    }
    T& entry = heap_.emplace_back();
    ++size_;
    return entry;
  }

 private:
  bool on_heap() const { return size_ > N; }

  std::array<T, N> local_;
  std::size_t size_ = 0;
  std::vector<T> heap_;
};

}  // namespace velmora::scan
