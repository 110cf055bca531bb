// Account sections: reading an interval's six values and merging it into its account.
#include "accounts.hpp"

#include <optional>
#include <string>

namespace vexdal {
namespace {

bool same_optional(const std::optional<Decimal>& a, const std::optional<Decimal>& b) noexcept {
  if (a.has_value() != b.has_value()) return false;
  return !a.has_value() || same_value(*a, *b);
}

// Reads an optional amount key: absent stays none, but a present value must be an amount, even
// when it is blank.
bool read_amount(const TextMap& attrs, std::string_view key, std::optional<Decimal>& target,
                 std::string& failure) {
  const std::string_view* value = attrs.find(key);
  if (value == nullptr) return true;
  auto amount = parse_amount(*value);
  if (!amount) {
    failure = amount.error();
    return false;
  }
  target = amount.value();
  return true;
}

// The interval, or the failure text. Keys are visited in the byte order of their UTF-8 form, so
// of two bad values the one whose key sorts first is reported.
Result<Interval, std::string> build_interval(const TextMap& attrs) {
  std::optional<Decimal> total_income, total_expense, end_amount, start_amount;
  std::optional<Date> date_end, date_start;
  std::string failure;
  if (!read_amount(attrs, "ВсегоПоступило", total_income, failure) ||
      !read_amount(attrs, "ВсегоСписано", total_expense, failure)) {
    return fail(std::move(failure));
  }
  if (const std::string_view* value = attrs.find("ДатаКонца")) {
    auto date = parse_optional_date(*value);
    if (!date) return fail(date.error());
    date_end = date.value();
  }
  if (const std::string_view* value = attrs.find("ДатаНачала")) {
    auto date = parse_required_date(*value);
    if (!date) return fail(date.error());
    date_start = date.value();
  }
  if (!read_amount(attrs, "КонечныйОстаток", end_amount, failure) ||
      !read_amount(attrs, "НачальныйОстаток", start_amount, failure)) {
    return fail(std::move(failure));
  }
  if (!date_start) return fail(std::string("missing field `ДатаНачала`"));
  if (!start_amount) return fail(std::string("missing field `НачальныйОстаток`"));
  return Interval{*date_start, date_end, *start_amount, end_amount, total_income, total_expense};
}

// Files a new interval into an account's list, kept ascending by start date. Among intervals
// with the same start date the search lands on the last one and the new interval goes directly
// before it; an interval equal in all six values to one already there is dropped.
void merge_interval(std::vector<Interval>& intervals, const Interval& interval) {
  std::size_t size = intervals.size();
  std::size_t base = 0;
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t mid = base + half;
    if (!(interval.date_start < intervals[mid].date_start)) base = mid;
    size -= half;
  }
  // Equal intervals share the start date, and intervals with one start date stand together
  // ending at base, so only that run needs comparing.
  for (std::size_t i = base + 1; i-- > 0 && intervals[i].date_start == interval.date_start;) {
    if (same_interval(intervals[i], interval)) return;
  }
  const bool after = intervals[base].date_start < interval.date_start;
  intervals.insert(intervals.begin() + static_cast<std::ptrdiff_t>(base + (after ? 1 : 0)),
                   interval);
}

}  // namespace

bool same_interval(const Interval& a, const Interval& b) noexcept {
  return a.date_start == b.date_start && a.date_end == b.date_end &&
         same_value(a.start_amount, b.start_amount) && same_optional(a.end_amount, b.end_amount) &&
         same_optional(a.total_income, b.total_income) &&
         same_optional(a.total_expense, b.total_expense);
}

Result<std::monostate, StatementError> AccountBook::add_section(const TextMap& attrs,
                                                                std::size_t lineno) {
  auto interval = build_interval(attrs);
  if (!interval) return fail(account_parse_error(lineno, interval.error()));
  // The number is looked for only once the interval is complete: interval errors win.
  const std::string_view* number = attrs.find("РасчСчет");
  if (number == nullptr) return fail(missing_field(lineno, "РасчСчет", Context::Account));

  const auto [slot, inserted] = by_number_.emplace(*number, accounts_.size());
  if (inserted) {
    accounts_.push_back(Account{*number, {interval.value()}});
  } else {
    merge_interval(accounts_[slot->second].intervals, interval.value());
  }
  return std::monostate{};
}

}  // namespace vexdal
