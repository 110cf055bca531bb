// Money amounts: exact decimals with a 96-bit magnitude and the scale as written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "charsets.hpp"
#include "result.hpp"

namespace vexdal {

constexpr std::uint8_t max_scale = 28;

// value = (negative ? -1 : 1) * magnitude / 10^scale. The scale is kept as written, so 5 and
// 5.00 are different texts of the same number.
struct Decimal {
  std::array<std::uint32_t, 3> magnitude{};  // least significant limb first
  std::uint8_t scale = 0;
  bool negative = false;
};

// The same number in its one canonical form: no trailing fraction zeros, and zero unsigned with
// scale 0. Numerically equal amounts have equal canonical forms.
Decimal canonical(const Decimal& amount) noexcept;

// Numeric equality: trailing fraction zeros and the sign of zero do not count.
bool same_value(const Decimal& a, const Decimal& b) noexcept;

// Exact: digits that do not fit are rejected, never rounded.
std::optional<Decimal> parse_amount(std::string_view text) noexcept;

namespace amount_forms {

// The common form alone, an optional sign and at most 19 digits with at most one full stop, read
// into 64 bits without the general reader's chunks; false for anything else, valid or not,
// which read_long then settles. The same value and scale as that reader gives. Inline, and apart
// from read_long, whose registers and stack would otherwise be set up for every amount.
// Written into amount field by field, and only on success: an amount built in a local and then
// copied whole costs a stall, as a wide load cannot take its bytes from several pending stores.
inline bool read_short(std::string_view text, Decimal& amount) noexcept {
  const std::size_t size = text.size();
  if (size == 0) return false;
  const bool negative = text[0] == '-';
  const std::size_t start = negative || text[0] == '+' ? 1 : 0;
  if (start == size || size - start > 19) return false;  // 10^19 - 1 fits 64 bits
  const auto digit_at = [text](std::size_t i) {
    return static_cast<unsigned>(static_cast<unsigned char>(text[i]) - '0');
  };
  std::uint64_t value = 0;
  std::size_t i = start;
  if (size - start >= 8) {
    // The lead digits of eight bytes at once, with no branch on where they stop: a loop would
    // guess wrong at its end on nearly every amount, as their lengths vary.
    const std::uint64_t word = little_endian_word(text.data() + start);
    // Zero in the bytes that are digits: 0x30 to 0x39 are the bytes whose high nibble is 3
    // before and after adding 6. A carry out of a byte of 0xFA or more changes only bytes after
    // it, and it is no digit itself, so the first nonzero byte is still the first non-digit.
    constexpr std::uint64_t high_nibbles = 0xF0F0F0F0F0F0F0F0u;
    const std::uint64_t non_digits =
        ((word & high_nibbles) | ((word + 0x0606060606060606u) & high_nibbles) >> 4) ^
        0x3333333333333333u;
    const unsigned lead =
        non_digits == 0 ? 8u : static_cast<unsigned>(__builtin_ctzll(non_digits)) / 8;
    if (lead > 0) {
      // The digits' values moved up to the word's top, so the bytes after them are shifted out
      // and zeros stand before them; then pairs, fours and eights of digits are summed up.
      std::uint64_t digits = (word - 0x3030303030303030u) << (8 * (8 - lead));
      digits = ((digits & 0x0F0F0F0F0F0F0F0Fu) * 2561) >> 8;
      digits = ((digits & 0x00FF00FF00FF00FFu) * 6553601) >> 16;
      value = ((digits & 0x0000FFFF0000FFFFu) * 42949672960001u) >> 32;
      i += lead;
    }
  }
  // The digits before the full stop that are left, then those after it: two loops that test
  // nothing but the digit.
  for (; i < size && digit_at(i) < 10; ++i) value = value * 10 + digit_at(i);
  std::size_t scale = 0;
  if (i < size) {
    if (text[i] != '.' || size - start == 1) return false;  // "." alone has no digit
    scale = size - i - 1;
    for (++i; i < size; ++i) {
      if (digit_at(i) >= 10) return false;
      value = value * 10 + digit_at(i);
    }
  }
  amount.magnitude = {static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32),
                      0};
  amount.scale = static_cast<std::uint8_t>(scale);
  amount.negative = negative;
  return true;
}

// Every other form: underscores, more digits, an exponent; and every text that is no amount.
bool read_long(std::string_view text, Decimal& amount) noexcept;

}  // namespace amount_forms

// The same, read into amount, which keeps what it held when the text is no amount. For records
// filled in place. Only ASCII text is ever an amount, so the text may be in either charset.
inline bool parse_amount(std::string_view text, Decimal& amount) noexcept {
  return amount_forms::read_short(text, amount) || amount_forms::read_long(text, amount);
}

// Digits with the written scale, a leading "-" for negatives, no exponent.
std::string amount_text(const Decimal& amount);

}  // namespace vexdal
