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

// A value or an error value. Nothing in the core throws across a module
// boundary; failures travel as these.
template <class T>
class Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return state_.index() == 0; }
  T& operator*() & { return std::get<0>(state_); }
  T&& operator*() && { return std::get<0>(std::move(state_)); }
  const T& operator*() const& { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

}  // namespace quillgate
