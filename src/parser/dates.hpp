// Calendar dates as statement files write them (day.month.year) and as Python sees them
// (YYYY-MM-DD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"

namespace vexdal {

// A day of the proleptic Gregorian calendar; year 0 exists and is a leap year.
struct Date {
  std::int32_t year = 0;
  std::uint8_t month = 1;
  std::uint8_t day = 1;

  friend bool operator==(const Date& a, const Date& b) noexcept {
    return a.year == b.year && a.month == b.month && a.day == b.day;
  }
  friend bool operator!=(const Date& a, const Date& b) noexcept { return !(a == b); }
  friend bool operator<(const Date& a, const Date& b) noexcept {
    if (a.year != b.year) return a.year < b.year;
    if (a.month != b.month) return a.month < b.month;
    return a.day < b.day;
  }
};

// The years a Date can hold; anything outside is "input is out of range".
constexpr std::int32_t min_year = -999999;
constexpr std::int32_t max_year = 999999;

// Why a text is not a date, in the order the reader meets the faults; messages.cpp words them.
enum class DateError : std::uint8_t {
  Empty,              // a required date that is blank
  PrematureEnd,       // the text ends where a number or a full stop is due
  InvalidCharacters,  // another character where a digit or the full stop is due
  TrailingInput,      // characters after the year
  OutOfRange,         // no such day, or a year too large to hold
};

namespace dates {

constexpr bool is_leap_year(std::int32_t year) noexcept {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr std::uint8_t days_in_month(std::int32_t year, std::uint8_t month) noexcept {
  constexpr std::uint8_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : days[month - 1];
}

}  // namespace dates

// The form nearly every date has, DD.MM.YYYY of ASCII digits and nothing else, read into date,
// which is left as it was for any other text, valid or not; the readers below settle those. The
// same date as they give. Only ASCII passes, so the text may be in either charset. Inline, as an
// account section reads two of them.
inline bool read_plain_date(std::string_view text, Date& date) noexcept {
  if (text.size() != 10 || text[2] != '.' || text[5] != '.') return false;
  unsigned digits[8];
  constexpr std::size_t at[8] = {0, 1, 3, 4, 6, 7, 8, 9};
  for (std::size_t i = 0; i < 8; ++i) {
    digits[i] = static_cast<unsigned>(static_cast<unsigned char>(text[at[i]]) - '0');
    if (digits[i] > 9) return false;
  }
  const unsigned day = digits[0] * 10 + digits[1];
  const unsigned month = digits[2] * 10 + digits[3];
  if (day < 1 || month < 1 || month > 12) return false;
  const auto year =
      static_cast<std::int32_t>(digits[4] * 1000 + digits[5] * 100 + digits[6] * 10 + digits[7]);
  if (day > dates::days_in_month(year, static_cast<std::uint8_t>(month))) return false;
  date.year = year;
  date.month = static_cast<std::uint8_t>(month);
  date.day = static_cast<std::uint8_t>(day);
  return true;
}

Result<Date, DateError> parse_required_date(std::string_view text);
// A blank text is an absent date, not a failure.
Result<std::optional<Date>, DateError> parse_optional_date(std::string_view text);

// YYYY-MM-DD; years outside 0..9999 as their sign and at least four digits.
std::string date_text(const Date& date);

}  // namespace vexdal
