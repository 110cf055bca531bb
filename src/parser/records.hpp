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

// How a field's value is read and whether it may be absent.
enum class FieldKind : std::uint8_t { Text, OptionalText, Date, OptionalDate, Amount };

constexpr FieldKind document_field_kind(DocumentField field) noexcept {
  // Indexed by DocumentField.
  constexpr std::array<FieldKind, document_field_count> kinds = {
      FieldKind::Text,          // DocNumber
      FieldKind::Text,          // DocType
      FieldKind::OptionalText,  // PaymentType
      FieldKind::Date,          // DocDate
      FieldKind::Text,          // Purpose
      FieldKind::OptionalText,  // Ordering
      FieldKind::Amount,        // Amount
      FieldKind::Text,          // CounterpartyInn
      FieldKind::OptionalText,  // CounterpartyKpp
      FieldKind::Text,          // CounterpartyBic
      FieldKind::Text,          // CounterpartyBank1
      FieldKind::Text,          // CounterpartyAccount
      FieldKind::OptionalText,  // Counterparty
      FieldKind::OptionalText,  // Counterparty1
      FieldKind::OptionalDate,  // OutcomeDate
      FieldKind::OptionalText,  // CounterpartyRasAccount
      FieldKind::OptionalText,  // CounterpartyCorAccount
      FieldKind::Text,          // PayeeInn
      FieldKind::OptionalText,  // Payee
      FieldKind::Text,          // PayeeAccount
      FieldKind::OptionalText,  // PayeeKpp
      FieldKind::Text,          // PayeeBic
      FieldKind::Text,          // PayeeBank1
      FieldKind::OptionalText,  // PayeeRasAccount
      FieldKind::OptionalText,  // PayeeCorAccount
      FieldKind::OptionalDate,  // IncomeDate
  };
  return kinds[static_cast<std::size_t>(field)];
}

constexpr bool is_optional(FieldKind kind) noexcept {
  return kind == FieldKind::OptionalText || kind == FieldKind::OptionalDate;
}

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
