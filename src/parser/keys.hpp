// Tells which of a fixed set of keys a line's key is, with one hash and one comparison: every
// attribute line of a statement goes through here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "charsets.hpp"

namespace vexdal {

// Byte equality of two texts of length n, inline: the texts compared here are a few dozen bytes
// at most, where a call to memcmp costs more than the comparison. Reads only [0, n) of each.
inline bool equal_bytes(const char* a, const char* b, std::size_t n) noexcept {
  const auto word = [](const char* at) {
    std::uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
  };
  const auto half = [](const char* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      if (word(a + i) != word(b + i)) return false;
    }
    return word(a + n - 8) == word(b + n - 8);  // the last word may overlap the one before
  }
  if (n >= 4) return half(a) == half(b) && half(a + n - 4) == half(b + n - 4);
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// A perfect hash over a few dozen keys, spelled in one charset, built at compile time: the seed
// is searched until no two keys share a slot, so a lookup reads one slot and compares one key.
template <std::size_t N>
class KeyIndex {
 public:
  static constexpr std::size_t not_found = N;

  constexpr KeyIndex(const std::array<std::string_view, N>& utf8_keys, Charset charset) {
    for (std::size_t i = 0; i < N; ++i) keys_[i] = Spelling(utf8_keys[i], charset);
    while (!try_seed()) seed_ += 2;
  }

  // The key's position in the set, or not_found for any other key.
  std::size_t find(std::string_view key) const noexcept {
    const std::size_t index = slots_[slot_of(key, seed_)];
    if (index == not_found) return not_found;
    const std::string_view candidate = keys_[index].view();
    return candidate.size() == key.size() && equal_bytes(candidate.data(), key.data(), key.size())
               ? index
               : not_found;
  }

 private:
  // Four times as many slots as keys, or more, make a seed without collisions likely at the
  // first few tries, which keeps the search within any compiler's limits on constant evaluation.
  static constexpr std::size_t slot_count = 256;
  static_assert(4 * N <= slot_count, "a perfect hash needs free slots to be found quickly");

  static constexpr std::uint32_t byte(std::string_view key, std::size_t i) noexcept {
    return static_cast<std::uint8_t>(key[i]);
  }

  // The length and three bytes (last, middle, second) tell the format's keys apart in both
  // charsets; the multiply and shifts spread them over the slots.
  static constexpr std::size_t slot_of(std::string_view key, std::uint32_t seed) noexcept {
    const std::size_t n = key.size();
    auto x = static_cast<std::uint32_t>(n);
    if (n > 0) {
      constexpr std::uint32_t golden = 0x9E3779B1u;
      x = x * golden + byte(key, n - 1);
      x = x * golden + byte(key, n / 2);
      x = x * golden + byte(key, n > 1 ? 1 : 0);
    }
    x = (x ^ (x >> 15)) * seed;
    x ^= x >> 13;
    return x & (slot_count - 1);
  }

  constexpr bool try_seed() {
    for (auto& slot : slots_) slot = static_cast<std::uint8_t>(not_found);
    for (std::size_t i = 0; i < N; ++i) {
      auto& slot = slots_[slot_of(keys_[i].view(), seed_)];
      if (slot != not_found) return false;
      slot = static_cast<std::uint8_t>(i);
    }
    return true;
  }

  std::array<Spelling, N> keys_{};
  std::array<std::uint8_t, slot_count> slots_{};
  std::uint32_t seed_ = 1;
};

// The values a section gave the keys of a fixed table, all in one charset.
template <std::size_t N>
struct SectionValues {
  std::array<std::string_view, N> text{};
  std::uint32_t seen = 0;  // one bit per key, in table order
  Charset charset = Charset::Utf8;

  void clear(Charset values_charset) noexcept {
    seen = 0;
    charset = values_charset;
  }
  // A key given again replaces its earlier value.
  void set(std::size_t index, std::string_view value) noexcept {
    text[index] = value;
    seen |= std::uint32_t{1} << index;
  }
  bool has(std::size_t index) const noexcept { return (seen >> index & 1u) != 0; }
  Text operator[](std::size_t index) const noexcept { return {text[index], charset}; }
};

}  // namespace vexdal
