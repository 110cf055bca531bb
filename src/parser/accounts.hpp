// Account sections: one interval per section, merged by account number into ordered accounts.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <cstdint>
#include <variant>
#include <vector>

#include "documents.hpp"
#include "failure.hpp"
#include "keys.hpp"
#include "records.hpp"
#include "result.hpp"

namespace vexdal {

// The keys an account section knows: its number, then the six interval keys in the byte order of
// their UTF-8 form, which is the order their values are read in.
enum class AccountKey : std::uint8_t {
  Number,
  TotalIncome,
  TotalExpense,
  DateEnd,
  DateStart,
  EndAmount,
  StartAmount,
};

inline constexpr std::array<std::string_view, 7> account_keys = {
    "РасчСчет",   "ВсегоПоступило",  "ВсегоСписано",     "ДатаКонца",
    "ДатаНачала", "КонечныйОстаток", "НачальныйОстаток",
};

using AccountValues = SectionValues<account_keys.size()>;

// Indexed by Charset.
inline constexpr std::array<KeyIndex<account_keys.size()>, 2> account_key_index = {
    KeyIndex<account_keys.size()>(account_keys, Charset::Utf8),
    KeyIndex<account_keys.size()>(account_keys, Charset::Windows1251)};

// The position of a key in account_keys, or account_keys.size() for keys that are ignored.
inline std::size_t account_key_of(std::string_view key, Charset charset) noexcept {
  return account_key_index[static_cast<std::size_t>(charset)].find(key);
}

// The statement's accounts while sections are read: in order of each number's first section.
class AccountBook {
 public:
  AccountBook() = default;
  AccountBook(const AccountBook&) = delete;
  AccountBook& operator=(const AccountBook&) = delete;

  // Builds the interval of a finished section (lineno: its end marker) and files it under the
  // section's number. Fails with AccountParseError or MissingField.
  Result<std::monostate, StatementError> add_section(const AccountValues& values,
                                                     std::size_t lineno);
  // The accounts with their intervals in final order.
  BlockList<Account> take();

 private:
  // An interval already filed, found by account and position so that the table needs no
  // copies. Its hash is worked out once, when it is filed: growing the table moves it as it is.
  struct Filed {
    std::size_t account;
    std::size_t interval;
    std::size_t hash;
  };
  static constexpr std::size_t empty_slot = static_cast<std::size_t>(-1);  // in Filed::interval
  // Files the interval unless an equal one of the same account is there; false when it is.
  bool file(const Filed& filed);
  // Files the account's first count intervals; they are known to differ from each other.
  void file_all(std::size_t account, std::size_t count);
  void grow();
  std::size_t slot_of(std::size_t hash) const noexcept {
    // The multiplication spreads every bit of the hash over the top bits, which pick the slot.
    return static_cast<std::size_t>((std::uint64_t{hash} * 0x9E3779B97F4A7C15u) >> (64 - bits_));
  }
  const Interval& interval_of(const Filed& filed) const noexcept {
    return accounts_[filed.account].intervals[filed.interval];
  }

  // Intervals are kept in the order they were filed and put in order once, by take(): filing
  // each one into a sorted list would cost quadratic time on a hostile file.
  BlockList<Account> accounts_;
  std::unordered_map<std::string, std::size_t> by_number_;  // keyed by the UTF-8 number
  // The account of the last section: sections of one account mostly follow each other (a bank
  // that exports a section per day), and they then skip the map.
  std::size_t last_account_ = 0;
  // Per account, whether its intervals are in the table. An account whose sections have come in
  // strictly ascending start dates stays out of it: an equal interval would start on the same day
  // as one already there, so none can be, and the daily exports that banks write never pay for a
  // hash. The first section that does not start later than the last one files them all, once.
  std::vector<bool> filed_;
  // Open addressing with linear probing, at most half full: a lookup mostly reads one slot, and
  // filing allocates nothing but the table's doublings.
  std::vector<Filed> table_;
  std::size_t filed_count_ = 0;
  unsigned bits_ = 0;  // the table has 2^bits_ slots
};

}  // namespace vexdal
