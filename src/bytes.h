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

// Supplies the storage of an output, so that whoever asked for a result can
// have it written straight into its final home. The storage belongs to the
// allocator, which must keep it alive for as long as the result is used; the
// operation only fills it.
class Allocator {
 public:
  // `size` bytes, or a thrown exception.
  virtual std::uint8_t* allocate(std::size_t size) = 0;

 protected:
  ~Allocator() = default;
};

// A byte string reserved once at its final (or maximal) size and filled front
// to back. Unlike std::vector it does not zero the memory it is about to
// overwrite, which matters for multi-megabyte documents. Its storage comes
// from `allocator` when one is given, else the buffer owns it.
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t capacity, Allocator* allocator = nullptr);

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool full() const { return size_ == capacity_; }
  const std::uint8_t* data() const { return data_; }
  ByteView view() const { return {data_, size_}; }
  std::string_view text() const { return as_text(view()); }

  void append(ByteView bytes) {
    if (!bytes.empty()) std::memcpy(claim(bytes.size()), bytes.data(), bytes.size());
  }
  void append(std::string_view text) { append(as_bytes(text)); }

  // Hands out the next `count` bytes for the caller to fill.
  std::uint8_t* claim(std::size_t count) {
    if (count > capacity_ - size_) throw std::logic_error("output buffer reserved too small");
    std::uint8_t* out = data_ + size_;
    size_ += count;
    return out;
  }

  // Moves the bytes from `at` on `count` places further and hands out the
  // `count` bytes at `at` for the caller to fill.
  std::uint8_t* open_gap(std::size_t at, std::size_t count) {
    if (at > size_) throw std::logic_error("gap opened past the end of the output");
    const std::size_t moved = size_ - at;
    claim(count);
    std::memmove(data_ + at + count, data_ + at, moved);
    return data_ + at;
  }

 private:
  std::unique_ptr<std::uint8_t[]> owned_;
  std::uint8_t* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

// The bytes of `data` outside `ranges`, in order, with room for `spare` more.
// The ranges must ascend without overlapping and lie inside `data`.
Buffer copy_outside(ByteView data, std::span<const Range> ranges, Allocator* allocator = nullptr,
                    std::size_t spare = 0);

}  // namespace velmora
