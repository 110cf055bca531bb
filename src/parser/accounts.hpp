// Account sections: one interval per section, merged by account number into ordered accounts.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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
  // The set's hash and equality refer back to this object, so it stays where it was made.
  AccountBook(const AccountBook&) = delete;
  AccountBook& operator=(const AccountBook&) = delete;

  // Builds the interval of a finished section (lineno: its end marker) and files it under the
  // section's number. Fails with AccountParseError or MissingField.
  Result<std::monostate, StatementError> add_section(const AccountValues& values,
                                                     std::size_t lineno);
  // The accounts with their intervals in final order.
  BlockList<Account> take();

 private:
  // An interval already filed, found by account and position so that the set needs no copies.
  // Its hash is worked out once, when it is filed: the set asks again at every rehash.
  struct Filed {
    std::size_t account;
    std::size_t interval;
    std::size_t hash;
  };
  struct FiledHash {
    std::size_t operator()(const Filed& filed) const noexcept { return filed.hash; }
  };
  struct FiledEqual {
    const AccountBook* book;
    bool operator()(const Filed& a, const Filed& b) const noexcept;
  };
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
  std::unordered_set<Filed, FiledHash, FiledEqual> filed_{0, FiledHash{}, FiledEqual{this}};
};

}  // namespace vexdal
