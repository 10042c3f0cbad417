// Byte views and the owned output buffer that every writing operation fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>

namespace velmora {

using ByteView = std::span<const std::uint8_t>;

inline std::string_view as_text(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
inline ByteView as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A half-open byte range [start, end).
struct Range {
  std::size_t start;
  std::size_t end;
};

// Asks the kernel to map the pages of [data, data + size) at once, where the
// system can: a large block straight from the allocator is mapped a page at a
// time as it is first written, and on virtual machines those faults cost more
// than the copy that fills the block. Nothing changes where it cannot.
void prefault(std::uint8_t* data, std::size_t size);

// A byte string reserved once at its final (or maximal) size and filled front
// to back. Unlike std::vector it does not zero the memory it is about to
// overwrite, which matters for multi-megabyte documents.
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t capacity)
      : data_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity)), capacity_(capacity) {
    if (capacity >= kPrefaultFrom) prefault(data_.get(), capacity);
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  const std::uint8_t* data() const { return data_.get(); }
  ByteView view() const { return {data_.get(), size_}; }
  std::string_view text() const { return as_text(view()); }

  void append(ByteView bytes) {
    if (!bytes.empty()) std::memcpy(claim(bytes.size()), bytes.data(), bytes.size());
  }
  void append(std::string_view text) { append(as_bytes(text)); }

  // Hands out the next `count` bytes for the caller to fill.
  std::uint8_t* claim(std::size_t count) {
    if (count > capacity_ - size_) throw std::logic_error("output buffer reserved too small");
    std::uint8_t* out = data_.get() + size_;
    size_ += count;
    return out;
  }

 private:
  // Below this the allocator soon serves blocks from memory it keeps mapped
  // between calls (glibc raises its mapping threshold up to 32 MiB as blocks
  // are freed), where the advice would only walk pages already present.
  static constexpr std::size_t kPrefaultFrom = std::size_t{32} << 20;

  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

// The bytes of `data` outside `ranges`, in order. The ranges must ascend
// without overlapping and lie inside `data`.
Buffer copy_outside(ByteView data, std::span<const Range> ranges);

}  // namespace velmora
