// The parser's failure channel: every fallible step returns its value or one reason, never throws
// for bad input.
#pragma once

#include <utility>
#include <variant>

namespace vexdal {

template <typename E>
struct Failure {
  E error;
};

template <typename E>
Failure<E> fail(E error) {
  return {std::move(error)};
}

// The value, or the reason there is none.
template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <typename U>
  Result(Failure<U> f) : state_(std::in_place_index<1>, E(std::move(f.error))) {}
  explicit operator bool() const noexcept { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  E& error() { return std::get<1>(state_); }
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace vexdal
