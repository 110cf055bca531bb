// Account sections: one interval per section, merged by account number into ordered accounts.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "failure.hpp"
#include "records.hpp"
#include "result.hpp"
#include "text.hpp"

namespace vexdal {

// The statement's accounts while sections are read: in order of each number's first section.
class AccountBook {
 public:
  AccountBook() = default;
  // The set's hash and equality refer back to this object, so it stays where it was made.
  AccountBook(const AccountBook&) = delete;
  AccountBook& operator=(const AccountBook&) = delete;

  // Builds the interval of a finished section (lineno: its end marker) and files it under the
  // section's number. Fails with AccountParseError or MissingField.
  Result<std::monostate, StatementError> add_section(const TextMap& attrs, std::size_t lineno);
  // The accounts with their intervals in final order.
  std::vector<Account> take();

 private:
  // An interval already filed, found by account and position so that the set needs no copies.
  struct Filed {
    std::size_t account;
    std::size_t interval;
  };
  struct FiledHash {
    const AccountBook* book;
    std::size_t operator()(const Filed& filed) const noexcept;
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
  std::vector<Account> accounts_;
  std::unordered_map<std::string_view, std::size_t> by_number_;
  std::unordered_set<Filed, FiledHash, FiledEqual> filed_{0, FiledHash{this}, FiledEqual{this}};
};

}  // namespace vexdal
