// Calendar dates as statement files write them (day.month.year) and as Python sees them
// (YYYY-MM-DD).
#pragma once

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

// The form nearly every date has, DD.MM.YYYY of ASCII digits and nothing else, read into date,
// which is left as it was for any other text, valid or not; the readers below settle those. The
// same date as they give. Only ASCII passes, so the text may be in either charset.
bool read_plain_date(std::string_view text, Date& date) noexcept;

Result<Date, DateError> parse_required_date(std::string_view text);
// A blank text is an absent date, not a failure.
Result<std::optional<Date>, DateError> parse_optional_date(std::string_view text);

// YYYY-MM-DD; years outside 0..9999 as their sign and at least four digits.
std::string date_text(const Date& date);

}  // namespace vexdal
