// Money amounts: exact decimals with a 96-bit magnitude and the scale as written.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
// The same, read into amount, which keeps what it held when the text is no amount. For records
// filled in place. Only ASCII text is ever an amount, so the text may be in either charset.
bool parse_amount(std::string_view text, Decimal& amount) noexcept;

// Digits with the written scale, a leading "-" for negatives, no exponent.
std::string amount_text(const Decimal& amount);

}  // namespace vexdal
