// Account sections: reading an interval's six values and merging it into its account.
#include "accounts.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

namespace vexdal {
namespace {

bool same_optional(const std::optional<Decimal>& a, const std::optional<Decimal>& b) noexcept {
  if (a.has_value() != b.has_value()) return false;
  return !a.has_value() || same_value(*a, *b);
}

std::size_t index_of(AccountKey key) noexcept { return static_cast<std::size_t>(key); }

// Reads the value of an amount key: absent stays none, but a present value must be an amount,
// even when it is blank. An amount is ASCII in either charset, so the value's own bytes are read.
std::optional<SectionFailure> read_amount(const AccountValues& values, AccountKey key,
                                          std::optional<Decimal>& target) {
  if (!values.has(index_of(key))) return std::nullopt;
  if (parse_amount(values.text[index_of(key)], target.emplace())) return std::nullopt;
  return SectionFailure{SectionFailure::Kind::BadAmount, {}, values[index_of(key)]};
}

// Reads the interval into target, a fresh one where it is to be kept, or says why there is none.
// Filled in place, as a record copied whole right after its fields were written makes the
// processor wait for those stores. A date in the plain form is read from the value's own bytes,
// which are then ASCII; any other goes to the reader of every form as UTF-8. Keys are visited in
// the byte order of their UTF-8 form, so of two bad values the one whose key sorts first is
// reported.
std::optional<SectionFailure> read_interval(const AccountValues& values, Interval& target) {
  if (auto failure = read_amount(values, AccountKey::TotalIncome, target.total_income)) {
    return failure;
  }
  if (auto failure = read_amount(values, AccountKey::TotalExpense, target.total_expense)) {
    return failure;
  }
  if (values.has(index_of(AccountKey::DateEnd))) {
    if (!read_plain_date(values.text[index_of(AccountKey::DateEnd)], target.date_end.emplace())) {
      target.date_end.reset();
      std::string scratch;
      auto date = parse_optional_date(utf8_view(values[index_of(AccountKey::DateEnd)], scratch));
      if (!date) return bad_date(date.error());
      target.date_end = date.value();
    }
  }
  const bool has_start = values.has(index_of(AccountKey::DateStart));
  if (has_start && !read_plain_date(values.text[index_of(AccountKey::DateStart)],
                                    target.date_start)) {
    std::string scratch;
    auto date = parse_required_date(utf8_view(values[index_of(AccountKey::DateStart)], scratch));
    if (!date) return bad_date(date.error());
    target.date_start = date.value();
  }
  if (auto failure = read_amount(values, AccountKey::EndAmount, target.end_amount)) {
    return failure;
  }
  const bool has_start_amount = values.has(index_of(AccountKey::StartAmount));
  if (has_start_amount &&
      !parse_amount(values.text[index_of(AccountKey::StartAmount)], target.start_amount)) {
    return SectionFailure{SectionFailure::Kind::BadAmount, {},
                          values[index_of(AccountKey::StartAmount)]};
  }
  const auto missing = [](AccountKey key) {
    return SectionFailure{
        SectionFailure::Kind::MissingField, {}, Text{account_keys[index_of(key)], Charset::Utf8}};
  };
  if (!has_start) return missing(AccountKey::DateStart);
  if (!has_start_amount) return missing(AccountKey::StartAmount);
  return std::nullopt;
}

// Puts an account's intervals, given in the order they were filed, into the order that filing
// each into a list sorted by start date would give, where a binary search for the new start date
// lands on the last interval not starting later and the new one goes directly before it when
// the two start on the same day. So intervals sharing a start date stand in filing order,
// except that the first of them filed ends up last.
void put_in_order(std::vector<Interval>& intervals) {
  // Sections mostly come in order of their days already, and then there is nothing to do.
  const auto not_before = [](const Interval& a, const Interval& b) {
    return !(a.date_start < b.date_start);
  };
  if (std::adjacent_find(intervals.begin(), intervals.end(), not_before) == intervals.end()) {
    return;
  }
  std::stable_sort(intervals.begin(), intervals.end(), [](const Interval& a, const Interval& b) {
    return a.date_start < b.date_start;
  });
  for (auto run = intervals.begin(); run != intervals.end();) {
    auto end = std::find_if(run, intervals.end(), [&](const Interval& interval) {
      return interval.date_start != run->date_start;
    });
    std::rotate(run, run + 1, end);
    run = end;
  }
}

void mix(std::size_t& seed, std::size_t value) noexcept {
  seed ^= value + 0x9e3779b9u + (seed << 6) + (seed >> 2);
}

void mix(std::size_t& seed, const Date& date) noexcept {
  mix(seed, static_cast<std::size_t>(static_cast<std::uint32_t>(date.year)));
  mix(seed, static_cast<std::size_t>(date.month) << 8 | date.day);
}

// Hashes the numeric value, so that amounts equal by value hash alike.
void mix(std::size_t& seed, const Decimal& amount) noexcept {
  // Most amounts are canonical as written: an integer, or a last digit other than 0 (2^32 and
  // 2^64 both leave 6 when divided by 10). Zero never is: it has one form, unsigned.
  const auto& m = amount.magnitude;
  const bool written_canonical =
      (m[0] | m[1] | m[2]) != 0 &&
      (amount.scale == 0 || ((std::uint64_t{m[2]} + m[1]) * 6 + m[0]) % 10 != 0);
  Decimal value = amount;
  if (!written_canonical) {
    if (m[2] == 0 && (m[0] | m[1]) != 0) {
      // A magnitude of 64 bits, as nearly every amount has, drops its zeros in 64-bit steps: the
      // same magnitude and scale as canonical() gives, without its 96-bit divisions.
      std::uint64_t digits = std::uint64_t{m[1]} << 32 | m[0];
      std::uint8_t scale = amount.scale;
      for (; scale > 0 && digits % 10 == 0; --scale) digits /= 10;
      value.magnitude = {static_cast<std::uint32_t>(digits),
                         static_cast<std::uint32_t>(digits >> 32), 0};
      value.scale = scale;
    } else {
      value = canonical(amount);
    }
  }
  const std::uint64_t low = std::uint64_t{value.magnitude[1]} << 32 | value.magnitude[0];
  const std::uint64_t rest = std::uint64_t{value.magnitude[2]} << 9 |
                             std::uint64_t{value.scale} << 1 | (value.negative ? 1u : 0u);
  if constexpr (sizeof(std::size_t) >= sizeof(std::uint64_t)) {
    // Two words of the processor instead of five mixes: every amount of a section is hashed.
    mix(seed, static_cast<std::size_t>(low));
    mix(seed, static_cast<std::size_t>(rest));
  } else {
    for (const std::uint64_t word : {low, rest}) {
      mix(seed, static_cast<std::size_t>(word));
      mix(seed, static_cast<std::size_t>(word >> 32));
    }
  }
}

template <typename T>
void mix(std::size_t& seed, const std::optional<T>& value) noexcept {
  mix(seed, value.has_value() ? 1u : 0u);
  if (value) mix(seed, *value);
}

// Alike for intervals equal in all six values, whatever scale their amounts were written with.
std::size_t interval_hash(std::size_t account, const Interval& interval) noexcept {
  std::size_t seed = account;
  mix(seed, interval.date_start);
  mix(seed, interval.date_end);
  mix(seed, interval.start_amount);
  mix(seed, interval.end_amount);
  mix(seed, interval.total_income);
  mix(seed, interval.total_expense);
  return seed;
}

}  // namespace

bool same_interval(const Interval& a, const Interval& b) noexcept {
  return a.date_start == b.date_start && a.date_end == b.date_end &&
         same_value(a.start_amount, b.start_amount) && same_optional(a.end_amount, b.end_amount) &&
         same_optional(a.total_income, b.total_income) &&
         same_optional(a.total_expense, b.total_expense);
}

Result<std::monostate, StatementError> AccountBook::add_section(const AccountValues& values,
                                                                std::size_t lineno) {
  // The number is looked for only once the interval is complete: interval errors win.
  if (!values.has(index_of(AccountKey::Number))) {
    Interval interval;
    if (auto failure = read_interval(values, interval)) {
      return fail(account_parse_error(lineno, failure_text(*failure)));
    }
    return fail(
        missing_field(lineno, account_keys[index_of(AccountKey::Number)], Context::Account));
  }
  // Numbers are compared as characters: a hook may write in UTF-8 the number that a windows-1251
  // input spelled in its own bytes. The account is found before its interval is read, so that the
  // interval is read into its place; a section that fails ends the parse, so an account made for
  // it and left without intervals is never seen.
  std::string scratch;
  const std::string_view number = utf8_view(values[index_of(AccountKey::Number)], scratch);
  // Compared inline: the number of a daily section is its account's, whose twenty digits a call
  // to memcmp would cost more to compare.
  const auto is_last = [this, number] {
    const std::string& last = accounts_[last_account_].number;
    return last.size() == number.size() && equal_bytes(last.data(), number.data(), number.size());
  };
  if (last_account_ >= accounts_.size() || !is_last()) {
    std::string key(number);
    const auto [slot, inserted] = by_number_.emplace(key, accounts_.size());
    if (inserted) {
      filed_.push_back(false);
      accounts_.push_back(Account{std::move(key), {}});
    }
    last_account_ = slot->second;
  }
  std::vector<Interval>& intervals = accounts_[last_account_].intervals;
  // Copied from a constant rather than value-initialised, which clears it with a slow string
  // store before the members' own initialisers run.
  static constexpr Interval fresh{};
  Interval& interval = intervals.emplace_back(fresh);
  if (auto failure = read_interval(values, interval)) {
    intervals.pop_back();
    return fail(account_parse_error(lineno, failure_text(*failure)));
  }
  // An interval equal in all six values to one the account already has is dropped.
  const std::size_t count = intervals.size();
  if (!filed_[last_account_]) {
    if (count == 1 || intervals[count - 2].date_start < interval.date_start) {
      return std::monostate{};
    }
    file_all(last_account_, count - 1);
  }
  if (!file(Filed{last_account_, count - 1, interval_hash(last_account_, interval)})) {
    intervals.pop_back();
  }
  return std::monostate{};
}

BlockList<Account> AccountBook::take() {
  std::vector<Filed>().swap(table_);
  std::vector<bool>().swap(filed_);
  filed_count_ = 0;
  bits_ = 0;
  for (std::size_t i = 0; i < accounts_.size(); ++i) put_in_order(accounts_[i].intervals);
  by_number_.clear();
  return std::move(accounts_);
}

bool AccountBook::file(const Filed& filed) {
  if (2 * (filed_count_ + 1) > table_.size()) grow();
  const std::size_t mask = table_.size() - 1;
  for (std::size_t slot = slot_of(filed.hash);; slot = (slot + 1) & mask) {
    Filed& entry = table_[slot];
    if (entry.interval == empty_slot) {
      entry = filed;
      ++filed_count_;
      return true;
    }
    if (entry.hash == filed.hash && entry.account == filed.account &&
        same_interval(interval_of(entry), interval_of(filed))) {
      return false;
    }
  }
}

void AccountBook::file_all(std::size_t account, std::size_t count) {
  filed_[account] = true;
  const std::vector<Interval>& intervals = accounts_[account].intervals;
  for (std::size_t i = 0; i < count; ++i) {
    file(Filed{account, i, interval_hash(account, intervals[i])});
  }
}

void AccountBook::grow() {
  std::vector<Filed> old(std::size_t{1} << (bits_ == 0 ? 4 : bits_ + 1),
                         Filed{0, empty_slot, 0});
  old.swap(table_);
  bits_ = bits_ == 0 ? 4 : bits_ + 1;
  const std::size_t mask = table_.size() - 1;
  for (const Filed& entry : old) {
    if (entry.interval == empty_slot) continue;
    std::size_t slot = slot_of(entry.hash);
    while (table_[slot].interval != empty_slot) slot = (slot + 1) & mask;
    table_[slot] = entry;
  }
}

}  // namespace vexdal
