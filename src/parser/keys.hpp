// Tells which of a fixed set of keys a line's key is, with one hash and one comparison: every
// attribute line of a statement goes through here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "charsets.hpp"

namespace vexdal {

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
    return index != not_found && keys_[index].view() == key ? index : not_found;
  }

  // The key at a position, in this index's charset.
  constexpr std::string_view key(std::size_t index) const noexcept { return keys_[index].view(); }

 private:
  static constexpr std::size_t slot_count = 64;
  static_assert(N < slot_count, "a perfect hash needs free slots to be found quickly");

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

}  // namespace vexdal
