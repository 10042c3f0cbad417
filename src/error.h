// The module's single error enumeration, and the result type that every
// fallible operation below the Python boundary returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace velmora {

enum class ErrorKind : std::uint8_t {
  NoManifest,
  MultipleManifests,
  MalformedElement,
  NoHead,
  MalformedExclusion,
  HashMismatch,
  UnsupportedAlgorithm,
};

// The two fixed reasons a manifest element can be malformed.
enum class MalformedDetail : std::uint8_t { InvalidBase64, LinkWithoutHref };

class Error {
 public:
  static Error no_manifest() { return Error(ErrorKind::NoManifest); }
  static Error multiple_manifests() { return Error(ErrorKind::MultipleManifests); }
  static Error malformed_element(MalformedDetail detail) {
    Error e(ErrorKind::MalformedElement);
    e.detail_ = detail;
    return e;
  }
  static Error no_head() { return Error(ErrorKind::NoHead); }
  static Error malformed_exclusion() { return Error(ErrorKind::MalformedExclusion); }
  static Error hash_mismatch() { return Error(ErrorKind::HashMismatch); }
  static Error unsupported_algorithm(std::string_view name) {
    Error e(ErrorKind::UnsupportedAlgorithm);
    e.algorithm_.assign(name);
    return e;
  }

  ErrorKind kind() const { return kind_; }

  // Appends the kind's message (with its detail or algorithm name) to `sink`.
  void write_message(std::string& sink) const;
  std::string message() const;

  // The C2PA status code of the kind, if it has one.
  std::optional<std::string_view> status_code() const;

 private:
  explicit Error(ErrorKind kind) : kind_(kind) {}

  ErrorKind kind_;
  MalformedDetail detail_ = MalformedDetail::InvalidBase64;
  std::string algorithm_;
};

// A value or an Error; g++ 12 has no std::expected.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  Error& error() & { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// Success carries nothing.
struct Ok {};
using Status = Result<Ok>;

}  // namespace velmora
