// Reads the day.month.year dates of statement fields and writes them back as YYYY-MM-DD. Knows
// only the value text, never the field or section it came from.
#include "dates.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

#include "charsets.hpp"
#include "utf8.hpp"

namespace vexdal {
namespace {

// Walks the text once, left to right; the first element that does not match decides the
// message, so the order of the checks below is the order of the messages.
class DateReader {
 public:
  explicit DateReader(std::string_view text) noexcept : text_(text) {}

  Result<Date, DateError> read() noexcept {
    if (Date date; read_plain_date(text_, date)) return date;
    auto day = read_number(2, 31);
    if (!day) return fail(day.error());
    if (auto dot = expect_full_stop(); !dot) return fail(dot.error());
    auto month = read_number(2, 12);
    if (!month) return fail(month.error());
    if (auto dot = expect_full_stop(); !dot) return fail(dot.error());
    auto year = read_year();
    if (!year) return fail(year.error());
    if (pos_ != text_.size()) return fail(DateError::TrailingInput);
    // Only now: a year too large to hold is a range error, but stray text after it is reported
    // first.
    if (!year.value().fits) return fail(DateError::OutOfRange);
    Date date;
    date.year = year.value().value;
    date.month = static_cast<std::uint8_t>(month.value());
    date.day = static_cast<std::uint8_t>(day.value());
    if (date.day > dates::days_in_month(date.year, date.month)) return fail(DateError::OutOfRange);
    return date;
  }

 private:
  struct Year {
    std::int32_t value;
    bool fits;
  };

  void skip_white_space() noexcept {
    while (pos_ < text_.size()) {
      std::size_t next = pos_;
      if (!is_white_space(next_code_point(text_, next))) return;
      pos_ = next;
    }
  }

  // The next character must be a digit; says why not.
  Result<std::monostate, DateError> expect_digit() const noexcept {
    if (pos_ == text_.size()) return fail(DateError::PrematureEnd);
    if (!is_ascii_digit(text_[pos_])) return fail(DateError::InvalidCharacters);
    return std::monostate{};
  }

  // Leading white space, then one to max_digits digits; the range is checked at once.
  Result<std::uint32_t, DateError> read_number(std::size_t max_digits,
                                               std::uint32_t max_value) noexcept {
    skip_white_space();
    if (auto digit = expect_digit(); !digit) return fail(digit.error());
    std::uint32_t value = 0;
    for (std::size_t read = 0;
         read < max_digits && pos_ < text_.size() && is_ascii_digit(text_[pos_]); ++read, ++pos_) {
      value = value * 10 + static_cast<std::uint32_t>(text_[pos_] - '0');
    }
    if (value < 1 || value > max_value) return fail(DateError::OutOfRange);
    return value;
  }

  Result<std::monostate, DateError> expect_full_stop() noexcept {
    if (pos_ == text_.size()) return fail(DateError::PrematureEnd);
    if (text_[pos_] != '.') return fail(DateError::InvalidCharacters);
    ++pos_;
    return std::monostate{};
  }

  // Up to four digits as written, or a sign and any number of digits. A signed run of digits
  // can be absurdly long, so the value stops growing once it is past the largest year.
  Result<Year, DateError> read_year() noexcept {
    skip_white_space();
    bool negative = false;
    bool is_signed = false;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
      negative = text_[pos_] == '-';
      is_signed = true;
      ++pos_;
    }
    if (auto digit = expect_digit(); !digit) return fail(digit.error());
    constexpr auto beyond = static_cast<std::uint32_t>(max_year) + 1;
    static_assert(min_year == -max_year, "a magnitude that fits one sign fits the other");
    std::uint32_t magnitude = 0;
    for (std::size_t read = 0;
         (is_signed || read < 4) && pos_ < text_.size() && is_ascii_digit(text_[pos_]);
         ++read, ++pos_) {
      if (magnitude < beyond) {
        magnitude = magnitude * 10 + static_cast<std::uint32_t>(text_[pos_] - '0');
      }
    }
    if (magnitude >= beyond) return Year{0, false};
    const auto value = static_cast<std::int32_t>(magnitude);
    return Year{negative ? -value : value, true};
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Writes value in decimal, with leading zeros up to min_digits.
void append_padded(std::string& out, std::uint32_t value, std::size_t min_digits) {
  char buffer[10];
  std::size_t start = sizeof buffer;
  do {
    buffer[--start] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::size_t digits = sizeof buffer - start; digits < min_digits; ++digits) out += '0';
  out.append(buffer + start, sizeof buffer - start);
}

// Almost every date starts with its day's digit, and such a text is not blank: only the rest pay
// for the white space scan.
bool is_blank_date(std::string_view text) noexcept {
  return (text.empty() || !is_ascii_digit(text[0])) && is_blank(text);
}

}  // namespace

Result<Date, DateError> parse_required_date(std::string_view text) {
  if (is_blank_date(text)) return fail(DateError::Empty);
  return DateReader(text).read();
}

Result<std::optional<Date>, DateError> parse_optional_date(std::string_view text) {
  if (is_blank_date(text)) return std::optional<Date>();
  auto date = DateReader(text).read();
  if (!date) return fail(date.error());
  return std::optional<Date>(date.value());
}

std::string date_text(const Date& date) {
  std::string out;
  out.reserve(16);
  if (date.year >= 0 && date.year <= 9999) {
    append_padded(out, static_cast<std::uint32_t>(date.year), 4);
  } else {
    // Computed in unsigned arithmetic so that even the most negative int32 has a magnitude.
    const auto year = static_cast<std::uint32_t>(date.year);
    out += date.year < 0 ? '-' : '+';
    append_padded(out, date.year < 0 ? 0u - year : year, 4);
  }
  out += '-';
  append_padded(out, date.month, 2);
  out += '-';
  append_padded(out, date.day, 2);
  return out;
}

}  // namespace vexdal
