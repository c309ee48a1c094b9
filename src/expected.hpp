#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quillgate {

// An error value: a UTF-8 message composed where the failure happened and
// passed up unchanged.
struct Error {
  std::string message;
};

// A value or an error value (an Error, or a richer one where the caller needs
// more than the text). Nothing in the core throws across a module boundary;
// failures travel as these.
template <class T, class E = Error>
class Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return state_.index() == 0; }
  T& operator*() & { return std::get<0>(state_); }
  T&& operator*() && { return std::get<0>(std::move(state_)); }
  const T& operator*() const& { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace quillgate
