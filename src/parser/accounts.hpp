// Account sections: one interval per section, merged by account number into ordered accounts.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>
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
  // Builds the interval of a finished section (lineno: its end marker) and files it under the
  // section's number. Fails with AccountParseError or MissingField.
  Result<std::monostate, StatementError> add_section(const TextMap& attrs, std::size_t lineno);
  std::vector<Account> take() noexcept { return std::move(accounts_); }

 private:
  std::vector<Account> accounts_;
  std::unordered_map<std::string_view, std::size_t> by_number_;
};

}  // namespace vexdal
