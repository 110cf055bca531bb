// Document sections: which keys fill which of the 26 fields, how values are read, and which single
// message a broken section gets.
#include "documents.hpp"

#include <array>
#include <cstdint>

namespace vexdal {
namespace {

// The key of each field, indexed by DocumentField. Payer keys always fill the counterparty fields
// and recipient keys the payee fields, whatever the direction of the payment.
constexpr std::array<std::string_view, document_field_count> field_keys = {
    "Номер",
    "СекцияДокумент",
    "ВидОплаты",
    "Дата",
    "НазначениеПлатежа",
    "Очередность",
    "Сумма",
    "ПлательщикИНН",
    "ПлательщикКПП",
    "ПлательщикБИК",
    "ПлательщикБанк1",
    "ПлательщикСчет",
    "Плательщик",
    "Плательщик1",
    "ДатаСписано",
    "ПлательщикРасчСчет",
    "ПлательщикКорсчет",
    "ПолучательИНН",
    "Получатель",
    "ПолучательСчет",
    "ПолучательКПП",
    "ПолучательБИК",
    "ПолучательБанк1",
    "ПолучательРасчСчет",
    "ПолучательКорсчет",
    "ДатаПоступило",
};

constexpr std::uint32_t bit(DocumentField field) noexcept {
  return std::uint32_t{1} << static_cast<unsigned>(field);
}

constexpr std::uint32_t required_fields = [] {
  std::uint32_t mask = 0;
  for (std::size_t i = 0; i < document_field_count; ++i) {
    if (!is_optional(document_field_kind(static_cast<DocumentField>(i)))) {
      mask |= std::uint32_t{1} << i;
    }
  }
  return mask;
}();

// Index of the field a key fills, or field count for keys outside the table.
std::size_t field_of(std::string_view key) noexcept {
  std::size_t i = 0;
  while (i < field_keys.size() && field_keys[i] != key) ++i;
  return i;
}

}  // namespace

Result<Document, std::string> build_document(const TextMap& attrs, std::string_view doc_type) {
  Document document;
  std::uint32_t seen = 0;
  for (const auto& [key, value] : attrs) {
    const std::size_t field = field_of(key);
    if (field == field_keys.size()) continue;
    document.text[field] = value;
    seen |= std::uint32_t{1} << field;
  }
  // The opening line's type wins over anything a hook put under the same key.
  document.text[static_cast<std::size_t>(DocumentField::DocType)] = doc_type;
  seen |= bit(DocumentField::DocType);

  // Values are read in the byte order of their keys ("Дата" < "ДатаПоступило" < "ДатаСписано" <
  // "Сумма"), so the first bad one in that order is the one reported, wherever it stood.
  if (seen & bit(DocumentField::DocDate)) {
    auto date = parse_required_date(document[DocumentField::DocDate]);
    if (!date) return fail(date.error());
    document.doc_date = date.value();
  }
  for (const DocumentField field : {DocumentField::IncomeDate, DocumentField::OutcomeDate}) {
    if (!(seen & bit(field))) continue;
    auto date = parse_optional_date(document[field]);
    if (!date) return fail(date.error());
    if (!date.value()) {
      seen &= ~bit(field);  // a blank optional date is absent
      continue;
    }
    (field == DocumentField::IncomeDate ? document.income_date : document.outcome_date) =
        *date.value();
  }
  if (seen & bit(DocumentField::Amount)) {
    auto amount = parse_amount(document[DocumentField::Amount]);
    if (!amount) return fail(amount.error());
    document.amount = amount.value();
  }

  const std::uint32_t missing = required_fields & ~seen;
  if (missing != 0) {
    std::size_t field = 0;
    while (!((missing >> field) & 1u)) ++field;
    std::string message = "missing field `";
    message += field_keys[field];
    message += '`';
    return fail(std::move(message));
  }
  document.present = seen;
  return document;
}

}  // namespace vexdal
