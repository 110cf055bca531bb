// What a successful parse produces. Texts are views into the storage that the Statement owns
// (the decoded text and the store of hook-written texts), so nothing is copied per line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "amounts.hpp"
#include "dates.hpp"
#include "text.hpp"

namespace vexdal {

enum class Encoding : std::uint8_t { Cp1251, Utf8 };

constexpr std::string_view encoding_name(Encoding encoding) noexcept {
  return encoding == Encoding::Utf8 ? "utf-8" : "cp1251";
}

struct Interval {
  Date date_start;
  std::optional<Date> date_end;
  Decimal start_amount;
  std::optional<Decimal> end_amount;
  std::optional<Decimal> total_income;
  std::optional<Decimal> total_expense;
};

// Equal in all six fields, amounts by numeric value.
bool same_interval(const Interval& a, const Interval& b) noexcept;

struct Account {
  std::string_view number;
  std::vector<Interval> intervals;  // never empty, ascending by date_start
};

// The document fields in the order of the key table: the order missing fields are looked for in.
enum class DocumentField : std::uint8_t {
  DocNumber,
  DocType,
  PaymentType,
  DocDate,
  Purpose,
  Ordering,
  Amount,
  CounterpartyInn,
  CounterpartyKpp,
  CounterpartyBic,
  CounterpartyBank1,
  CounterpartyAccount,
  Counterparty,
  Counterparty1,
  OutcomeDate,
  CounterpartyRasAccount,
  CounterpartyCorAccount,
  PayeeInn,
  Payee,
  PayeeAccount,
  PayeeKpp,
  PayeeBic,
  PayeeBank1,
  PayeeRasAccount,
  PayeeCorAccount,
  IncomeDate,
};

constexpr std::size_t document_field_count = 26;

// One payment document. Text fields live in `text`; the three dates and the amount in their typed
// members (their `text` slots stay empty). An optional field is absent unless its bit is set.
struct Document {
  std::array<std::string_view, document_field_count> text;
  std::uint32_t present = 0;
  Date doc_date;
  Decimal amount;
  Date outcome_date;
  Date income_date;

  bool has(DocumentField field) const noexcept {
    return (present >> static_cast<unsigned>(field)) & 1u;
  }
  std::string_view operator[](DocumentField field) const noexcept {
    return text[static_cast<std::size_t>(field)];
  }
};

struct Warning {
  std::size_t lineno;
  std::string message;
};

struct Statement {
  Encoding encoding = Encoding::Utf8;
  TextMap header;
  std::vector<Account> accounts;  // in order of each number's first section
  std::vector<Document> documents;
  std::vector<Warning> warnings;
  // The bytes behind every view above.
  TextBuffer text;
  TextStore store;
};

}  // namespace vexdal
