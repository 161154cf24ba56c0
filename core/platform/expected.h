#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <variant>

// One way to fail: a call returns its value or the reason it has none. This is the subset of
// C++23's std::expected that the program uses, with the same names and meaning; the clang 14
// and libstdc++ 12 that build the fuzz targets and run clang-tidy have no <expected> yet. Once
// every build has it, Expected becomes an alias of std::expected and MakeUnexpected of
// std::unexpected. The error types are small structs per layer that keep the reason (the OS
// error, the file or port, the step); the message is built from them at the edge, by the
// layer's Describe().
namespace lumaflash {

// The member names are std::expected's own, so that the switch to it changes no caller.
// NOLINTBEGIN(readability-identifier-naming)

template <typename E>
class Unexpected {
 public:
  explicit Unexpected(E error) : m_error(std::move(error)) {}
  const E& error() const& { return m_error; }
  E&& error() && { return std::move(m_error); }

 private:
  E m_error;
};

template <typename E>
Unexpected<std::decay_t<E>> MakeUnexpected(E&& error) {
  return Unexpected<std::decay_t<E>>(std::forward<E>(error));
}

template <typename T, typename E>
class [[nodiscard]] Expected {
 public:
  Expected() : m_state(std::in_place_index<0>) {}
  // NOLINTNEXTLINE(google-explicit-constructor): a value converts as with std::expected
  Expected(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
  // NOLINTNEXTLINE(google-explicit-constructor)
  Expected(Unexpected<E> failure) : m_state(std::in_place_index<1>, std::move(failure).error()) {}

  bool has_value() const { return m_state.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // Only with a value: like std::expected's operator*, these do not check, and never throw.
  T& value() & { return *Held<0>(m_state); }
  const T& value() const& { return *Held<0>(m_state); }
  T& operator*() & { return *Held<0>(m_state); }
  const T& operator*() const& { return *Held<0>(m_state); }
  T* operator->() { return Held<0>(m_state); }
  const T* operator->() const { return Held<0>(m_state); }

  template <typename U>
  T value_or(U&& fallback) const& {
    return has_value() ? value() : static_cast<T>(std::forward<U>(fallback));
  }

  // Only without a value.
  const E& error() const& { return *Held<1>(m_state); }

 private:
  // The alternative the caller says is there. Asking for the other one is the caller's fault,
  // as with std::expected, not an exception.
  template <std::size_t kIndex, typename State>
  static auto* Held(State& state) {
    auto* held = std::get_if<kIndex>(&state);
    if (held == nullptr) {
      __builtin_unreachable();
    }
    return held;
  }

  std::variant<T, E> m_state;
};

// A call that gives nothing back but may fail.
template <typename E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  // NOLINTNEXTLINE(google-explicit-constructor)
  Expected(Unexpected<E> failure) : m_failed(true), m_error(std::move(failure).error()) {}

  bool has_value() const { return !m_failed; }
  explicit operator bool() const { return has_value(); }
  void value() const {}

  const E& error() const& { return m_error; }

 private:
  bool m_failed = false;
  E m_error{};
};

// NOLINTEND(readability-identifier-naming)

}  // namespace lumaflash
