// Reads money amounts exactly, in 96-bit integer arithmetic with no floating point and no rounding,
// and writes their canonical text. Knows only the value text, not the field it came from.
#include "amounts.hpp"

#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>

#include "charsets.hpp"

namespace vexdal {
namespace {

// Least significant limb first, like Decimal::magnitude. Only 64-bit intermediates, so the same
// code runs on 32-bit targets.
using Magnitude = std::array<std::uint32_t, 3>;

constexpr std::uint32_t powers_of_ten[] = {1,      10,      100,      1000,      10000,
                                           100000, 1000000, 10000000, 100000000, 1000000000};
constexpr std::size_t max_chunk_digits = 9;  // 10^9 is the largest power of ten in 32 bits

bool is_zero(const Magnitude& m) noexcept { return (m[0] | m[1] | m[2]) == 0; }

// m = m * factor + addend. False when the result needs more than 96 bits; m is then unusable.
bool multiply_add(Magnitude& m, std::uint32_t factor, std::uint32_t addend) noexcept {
  std::uint64_t carry = addend;
  for (std::uint32_t& limb : m) {
    // (2^32 - 1)^2 + (2^32 - 1) still fits 64 bits.
    const std::uint64_t product = std::uint64_t{limb} * factor + carry;
    limb = static_cast<std::uint32_t>(product);
    carry = product >> 32;
  }
  return carry == 0;
}

// m = m / divisor; returns the remainder.
std::uint32_t divide(Magnitude& m, std::uint32_t divisor) noexcept {
  std::uint64_t remainder = 0;
  for (std::size_t i = m.size(); i-- > 0;) {
    const std::uint64_t current = (remainder << 32) | m[i];
    m[i] = static_cast<std::uint32_t>(current / divisor);
    remainder = current % divisor;
  }
  return static_cast<std::uint32_t>(remainder);
}

// m = m * 10^shift. False when that does not fit.
bool shift_left(Magnitude& m, std::size_t shift) noexcept {
  while (shift > 0) {
    const std::size_t step = shift < max_chunk_digits ? shift : max_chunk_digits;
    if (!multiply_add(m, powers_of_ten[step], 0)) return false;
    shift -= step;
  }
  return true;
}

// An optional leading sign: tells whether it is a minus and returns where the digits start.
constexpr std::size_t skip_sign(std::string_view text, bool& negative) noexcept {
  const bool sign = !text.empty() && (text[0] == '+' || text[0] == '-');
  negative = sign && text[0] == '-';
  return sign ? 1 : 0;
}

// A plain-form number before its scale is checked: the scale of a scientific base may exceed the
// limit as long as the exponent brings it back.
struct Number {
  Magnitude magnitude{};
  std::size_t scale = 0;
  bool negative = false;
  std::size_t end = 0;  // where reading stopped: the text's end or its first "e" or "E"
};

// An optional sign, then digits with at most one full stop and underscores after the first digit,
// up to the end or the exponent letter; one pass, since this runs for every amount of a statement.
// Digits go into the magnitude nine at a time, so a typical amount costs one multiplication.
std::optional<Number> read_number(std::string_view text) noexcept {
  Number number;
  std::size_t pos = skip_sign(text, number.negative);
  bool seen_digit = false;
  bool seen_point = false;
  std::uint32_t chunk = 0;
  std::size_t chunk_digits = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (is_ascii_digit(c)) {
      seen_digit = true;
      if (seen_point) ++number.scale;
      chunk = chunk * 10 + static_cast<std::uint32_t>(c - '0');
      if (++chunk_digits == max_chunk_digits) {
        if (!multiply_add(number.magnitude, powers_of_ten[chunk_digits], chunk)) return {};
        chunk = 0;
        chunk_digits = 0;
      }
    } else if (c == '.' && !seen_point) {
      seen_point = true;
    } else if (c == 'e' || c == 'E') {
      break;
    } else if (c != '_' || !seen_digit) {
      return {};
    }
  }
  if (!seen_digit) return {};
  if (!multiply_add(number.magnitude, powers_of_ten[chunk_digits], chunk)) return {};
  number.end = pos;
  return number;
}

struct Exponent {
  std::uint32_t value = 0;
  bool negative = false;
};

// An optional sign and at least one digit; the value must fit 32 bits unsigned.
std::optional<Exponent> read_exponent(std::string_view text) noexcept {
  Exponent exponent;
  std::size_t pos = skip_sign(text, exponent.negative);
  if (pos == text.size()) return {};
  std::uint64_t value = 0;
  for (; pos < text.size(); ++pos) {
    if (!is_ascii_digit(text[pos])) return {};
    value = value * 10 + static_cast<std::uint64_t>(text[pos] - '0');
    // Checked per digit, so the 64-bit value itself never overflows.
    if (value > std::numeric_limits<std::uint32_t>::max()) return {};
  }
  exponent.value = static_cast<std::uint32_t>(value);
  return exponent;
}

Decimal to_decimal(const Number& number) noexcept {
  Decimal decimal;
  decimal.magnitude = number.magnitude;
  decimal.scale = static_cast<std::uint8_t>(number.scale);
  decimal.negative = number.negative;
  return decimal;
}

// The base written before the exponent letter, scaled exactly. The base is a plain amount (at
// most 28 digits after the point), a negative exponent may not take the scale past 28, and an
// exponent above the base's scale may not exceed 28; within those bounds a result that does not
// fit is rejected rather than rounded. A zero keeps the sign that was written.
std::optional<Decimal> apply_exponent(Number number, std::string_view exponent_text) noexcept {
  const std::optional<Exponent> exponent = read_exponent(exponent_text);
  if (!exponent || number.scale > max_scale) return {};
  if (exponent->negative) {
    if (exponent->value > max_scale - number.scale) return {};
    number.scale += exponent->value;
  } else if (exponent->value <= number.scale) {
    number.scale -= exponent->value;
  } else {
    if (exponent->value > max_scale) return {};
    // The point moves past every fraction digit: the result is an integer, written with scale 0.
    if (!shift_left(number.magnitude, exponent->value - number.scale)) return {};
    number.scale = 0;
  }
  return to_decimal(number);
}

std::optional<Decimal> read_long_amount(std::string_view text) noexcept {
  const std::optional<Number> number = read_number(text);
  if (!number) return {};
  if (number->end < text.size()) return apply_exponent(*number, text.substr(number->end + 1));
  if (number->scale > max_scale) return {};
  return to_decimal(*number);
}

// Drops trailing fraction zeros, so that equal numbers get equal magnitudes and scales.
void strip_trailing_zeros(Magnitude& m, std::uint8_t& scale) noexcept {
  while (scale > 0) {
    // The last digit without a division: 2^32 and 2^64 both leave 6 when divided by 10. Most
    // amounts end in a digit other than 0, and for them this is all the work.
    const std::uint64_t last = (std::uint64_t{m[2]} + m[1]) * 6 + m[0];
    if (last % 10 != 0) return;
    Magnitude quotient = m;
    if (divide(quotient, 10) != 0) return;
    m = quotient;
    --scale;
  }
}

}  // namespace

Decimal canonical(const Decimal& amount) noexcept {
  if (is_zero(amount.magnitude)) return Decimal{};
  Decimal result = amount;
  strip_trailing_zeros(result.magnitude, result.scale);
  return result;
}

bool same_value(const Decimal& a, const Decimal& b) noexcept {
  // Written with the same scale, as the amounts of one statement mostly are: equal digits, and
  // the same sign unless both are zero.
  if (a.scale == b.scale) {
    return a.magnitude == b.magnitude &&
           (a.negative == b.negative || is_zero(a.magnitude));
  }
  const Decimal x = canonical(a);
  const Decimal y = canonical(b);
  return x.negative == y.negative && x.scale == y.scale && x.magnitude == y.magnitude;
}

bool amount_forms::read_long(std::string_view text, Decimal& amount) noexcept {
  const std::optional<Decimal> long_amount = read_long_amount(text);
  if (long_amount) amount = *long_amount;
  return long_amount.has_value();
}

std::optional<Decimal> parse_amount(std::string_view text) noexcept {
  std::optional<Decimal> amount(std::in_place);
  if (!parse_amount(text, *amount)) amount.reset();
  return amount;
}

std::string amount_text(const Decimal& amount) {
  // 2^96 - 1 has 29 decimal digits.
  char digits[32];
  std::size_t start = sizeof digits;
  Magnitude m = amount.magnitude;
  // Nine digits per 96-bit division while the upper limbs are in use, then plain 32-bit steps.
  while (m[1] != 0 || m[2] != 0) {
    std::uint32_t part = divide(m, powers_of_ten[max_chunk_digits]);
    for (std::size_t i = 0; i < max_chunk_digits; ++i, part /= 10) {
      digits[--start] = static_cast<char>('0' + part % 10);
    }
  }
  for (std::uint32_t rest = m[0]; rest != 0 || start == sizeof digits; rest /= 10) {
    digits[--start] = static_cast<char>('0' + rest % 10);
  }
  const std::size_t count = sizeof digits - start;
  const std::size_t scale = amount.scale;

  // Built on the stack and copied once: a sign, "0." and up to 255 zero-padded fraction digits is
  // the longest text any scale can ask for.
  char text[1 + 2 + 255 + 1];
  std::size_t length = 0;
  if (amount.negative) text[length++] = '-';
  const std::size_t whole = count > scale ? count - scale : 0;
  if (whole == 0) {
    text[length++] = '0';
  } else {
    std::memcpy(text + length, digits + start, whole);
    length += whole;
  }
  if (scale > 0) {
    text[length++] = '.';
    for (std::size_t zeros = count < scale ? scale - count : 0; zeros > 0; --zeros) {
      text[length++] = '0';
    }
    std::memcpy(text + length, digits + start + whole, count - whole);
    length += count - whole;
  }
  return std::string(text, length);
}

}  // namespace vexdal
