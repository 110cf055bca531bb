// The fields of a payment document, in one table: the key that fills each, how its value is
// read, the name Python shows it under, and where a missing one is reported. Everything else
// about fields is derived from this table, here and in the module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vexdal {

// How a field's value is read and whether it may be absent.
enum class FieldKind : std::uint8_t { Text, OptionalText, Date, OptionalDate, Amount };

constexpr bool is_optional(FieldKind kind) noexcept {
  return kind == FieldKind::OptionalText || kind == FieldKind::OptionalDate;
}

constexpr bool is_text(FieldKind kind) noexcept {
  return kind == FieldKind::Text || kind == FieldKind::OptionalText;
}

constexpr bool is_date(FieldKind kind) noexcept {
  return kind == FieldKind::Date || kind == FieldKind::OptionalDate;
}

// missing_rank orders the required fields as their absence is reported: of several missing, the
// one with the lowest rank is named. Optional fields have rank 0.
struct DocumentFieldInfo {
  std::string_view key;
  FieldKind kind;
  const char* attribute;
  std::uint8_t missing_rank;
};

// In the order Python lists the attributes; a field's position here is its number everywhere.
// Payer keys always fill the counterparty fields and recipient keys the payee fields, whatever
// the direction of the payment.
inline constexpr std::array document_fields = {
    DocumentFieldInfo{"Номер", FieldKind::Text, "doc_number", 1},
    DocumentFieldInfo{"СекцияДокумент", FieldKind::Text, "doc_type", 2},
    DocumentFieldInfo{"Дата", FieldKind::Date, "doc_date", 3},
    DocumentFieldInfo{"Сумма", FieldKind::Amount, "amount", 5},
    DocumentFieldInfo{"НазначениеПлатежа", FieldKind::Text, "purpose", 4},
    DocumentFieldInfo{"ВидОплаты", FieldKind::OptionalText, "payment_type", 0},
    DocumentFieldInfo{"Очередность", FieldKind::OptionalText, "ordering", 0},
    DocumentFieldInfo{"ПлательщикИНН", FieldKind::Text, "counterparty_inn", 6},
    DocumentFieldInfo{"ПлательщикКПП", FieldKind::OptionalText, "counterparty_kpp", 0},
    DocumentFieldInfo{"ПлательщикБИК", FieldKind::Text, "counterparty_bic", 7},
    DocumentFieldInfo{"ПлательщикБанк1", FieldKind::Text, "counterparty_bank1", 8},
    DocumentFieldInfo{"ПлательщикСчет", FieldKind::Text, "counterparty_account", 9},
    DocumentFieldInfo{"Плательщик", FieldKind::OptionalText, "counterparty", 0},
    DocumentFieldInfo{"Плательщик1", FieldKind::OptionalText, "counterparty_1", 0},
    DocumentFieldInfo{"ПлательщикРасчСчет", FieldKind::OptionalText, "counterparty_ras_account", 0},
    DocumentFieldInfo{"ПлательщикКорсчет", FieldKind::OptionalText, "counterparty_cor_account", 0},
    DocumentFieldInfo{"ДатаСписано", FieldKind::OptionalDate, "outcome_date", 0},
    DocumentFieldInfo{"ПолучательИНН", FieldKind::Text, "payee_inn", 10},
    DocumentFieldInfo{"Получатель", FieldKind::OptionalText, "payee", 0},
    DocumentFieldInfo{"ПолучательСчет", FieldKind::Text, "payee_account", 11},
    DocumentFieldInfo{"ПолучательКПП", FieldKind::OptionalText, "payee_kpp", 0},
    DocumentFieldInfo{"ПолучательБИК", FieldKind::Text, "payee_bic", 12},
    DocumentFieldInfo{"ПолучательБанк1", FieldKind::Text, "payee_bank1", 13},
    DocumentFieldInfo{"ПолучательРасчСчет", FieldKind::OptionalText, "payee_ras_account", 0},
    DocumentFieldInfo{"ПолучательКорсчет", FieldKind::OptionalText, "payee_cor_account", 0},
    DocumentFieldInfo{"ДатаПоступило", FieldKind::OptionalDate, "income_date", 0},
};

constexpr std::size_t document_field_count = document_fields.size();
static_assert(document_field_count <= 32, "a document's field sets are 32-bit masks");
static_assert(
    [] {
      std::uint32_t ranks = 0;
      std::size_t required = 0;
      for (const DocumentFieldInfo& info : document_fields) {
        if (is_optional(info.kind) != (info.missing_rank == 0)) return false;
        if (info.missing_rank == 0) continue;
        if (info.missing_rank > document_field_count) return false;
        ranks |= std::uint32_t{1} << (info.missing_rank - 1);
        ++required;
      }
      return ranks == (std::uint32_t{1} << required) - 1;  // 1 to the count, each once
    }(),
    "required fields, and only they, have the ranks 1, 2, ... each once");

// A field: its position in document_fields.
enum class DocumentField : std::uint8_t {};

constexpr std::size_t field_index(DocumentField field) noexcept {
  return static_cast<std::size_t>(field);
}

constexpr const DocumentFieldInfo& field_info(DocumentField field) noexcept {
  return document_fields[field_index(field)];
}

constexpr std::uint32_t field_bit(DocumentField field) noexcept {
  return std::uint32_t{1} << field_index(field);
}

// The field Python shows under attribute; at compile time, a name outside the table stops the
// compilation.
constexpr DocumentField field_named(std::string_view attribute) {
  for (std::size_t i = 0; i < document_field_count; ++i) {
    if (attribute == document_fields[i].attribute)
      return DocumentField{static_cast<std::uint8_t>(i)};
  }
  throw "no document field of that name";
}

template <typename Select>
constexpr std::size_t count_fields(Select select) noexcept {
  std::size_t count = 0;
  for (const DocumentFieldInfo& info : document_fields) count += select(info.kind) ? 1u : 0u;
  return count;
}

// Dates and amounts are kept as values, each kind in an array of its own.
inline constexpr std::size_t date_field_count = count_fields(is_date);
inline constexpr std::size_t amount_field_count =
    count_fields([](FieldKind kind) { return kind == FieldKind::Amount; });

// A date's or an amount's place in its array, by field.
inline constexpr std::array<std::uint8_t, document_field_count> value_slots = [] {
  std::array<std::uint8_t, document_field_count> slots{};
  std::uint8_t dates = 0;
  std::uint8_t amounts = 0;
  for (std::size_t i = 0; i < document_field_count; ++i) {
    if (is_date(document_fields[i].kind)) slots[i] = dates++;
    if (document_fields[i].kind == FieldKind::Amount) slots[i] = amounts++;
  }
  return slots;
}();

constexpr std::size_t value_slot(DocumentField field) noexcept {
  return value_slots[field_index(field)];
}

}  // namespace vexdal
