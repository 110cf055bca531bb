// Document sections: which keys fill which of the 26 fields, how values are read, and which single
// message a broken section gets.
#include "documents.hpp"

#include <array>
#include <cstdint>

namespace vexdal {
namespace {

enum class Kind : std::uint8_t { Text, OptionalText, Date, OptionalDate, Amount };

struct FieldSpec {
  std::string_view key;
  Kind kind;
};

// Indexed by DocumentField. Payer keys always fill the counterparty fields and recipient keys the
// payee fields, whatever the direction of the payment.
constexpr std::array<FieldSpec, document_field_count> field_specs = {{
    {"Номер", Kind::Text},
    {"СекцияДокумент", Kind::Text},
    {"ВидОплаты", Kind::OptionalText},
    {"Дата", Kind::Date},
    {"НазначениеПлатежа", Kind::Text},
    {"Очередность", Kind::OptionalText},
    {"Сумма", Kind::Amount},
    {"ПлательщикИНН", Kind::Text},
    {"ПлательщикКПП", Kind::OptionalText},
    {"ПлательщикБИК", Kind::Text},
    {"ПлательщикБанк1", Kind::Text},
    {"ПлательщикСчет", Kind::Text},
    {"Плательщик", Kind::OptionalText},
    {"Плательщик1", Kind::OptionalText},
    {"ДатаСписано", Kind::OptionalDate},
    {"ПлательщикРасчСчет", Kind::OptionalText},
    {"ПлательщикКорсчет", Kind::OptionalText},
    {"ПолучательИНН", Kind::Text},
    {"Получатель", Kind::OptionalText},
    {"ПолучательСчет", Kind::Text},
    {"ПолучательКПП", Kind::OptionalText},
    {"ПолучательБИК", Kind::Text},
    {"ПолучательБанк1", Kind::Text},
    {"ПолучательРасчСчет", Kind::OptionalText},
    {"ПолучательКорсчет", Kind::OptionalText},
    {"ДатаПоступило", Kind::OptionalDate},
}};

constexpr std::uint32_t bit(DocumentField field) noexcept {
  return std::uint32_t{1} << static_cast<unsigned>(field);
}

constexpr std::uint32_t required_fields = [] {
  std::uint32_t mask = 0;
  for (std::size_t i = 0; i < field_specs.size(); ++i) {
    const Kind kind = field_specs[i].kind;
    if (kind == Kind::Text || kind == Kind::Date || kind == Kind::Amount) {
      mask |= std::uint32_t{1} << i;
    }
  }
  return mask;
}();

// Index of the field a key fills, or field count for keys outside the table.
std::size_t field_of(std::string_view key) noexcept {
  std::size_t i = 0;
  while (i < field_specs.size() && field_specs[i].key != key) ++i;
  return i;
}

}  // namespace

Result<Document, std::string> build_document(const TextMap& attrs, std::string_view doc_type) {
  Document document;
  std::uint32_t seen = 0;
  for (const auto& [key, value] : attrs) {
    const std::size_t field = field_of(key);
    if (field == field_specs.size()) continue;
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
    message += field_specs[field].key;
    message += '`';
    return fail(std::move(message));
  }
  document.present = seen;
  return document;
}

}  // namespace vexdal
