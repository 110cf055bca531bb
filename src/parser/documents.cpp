// Document sections: how the values of the 26 fields are read, and which single message a broken
// section gets.
#include "documents.hpp"

namespace vexdal {
namespace {

constexpr std::uint32_t required_fields = [] {
  std::uint32_t mask = 0;
  for (const DocumentFieldInfo& info : document_fields) {
    if (!is_optional(info.kind)) mask |= field_bit(info.field);
  }
  return mask;
}();

constexpr std::size_t index_of(DocumentField field) noexcept {
  return static_cast<std::size_t>(field);
}

}  // namespace

Result<Document, std::string> build_document(const DocumentValues& values, Text doc_type) {
  Document document;
  document.text = values.text;
  std::uint32_t seen = values.seen;
  document.windows_1251 = values.charset == Charset::Windows1251 ? ~std::uint32_t{0} : 0;
  // The opening line's type wins over anything a hook put under the same key.
  document.text[index_of(DocumentField::DocType)] = doc_type.bytes;
  seen |= field_bit(DocumentField::DocType);
  if (doc_type.charset == Charset::Windows1251) {
    document.windows_1251 |= field_bit(DocumentField::DocType);
  } else {
    document.windows_1251 &= ~field_bit(DocumentField::DocType);
  }

  // Dates and amounts are ASCII when they are valid; any other character is read as the same
  // character in UTF-8, so that messages and white space come out as for a UTF-8 input.
  std::string scratch;
  const auto utf8_of = [&](DocumentField field) {
    return utf8_view(values[index_of(field)], scratch);
  };
  // Values are read in the byte order of their keys ("Дата" < "ДатаПоступило" < "ДатаСписано" <
  // "Сумма"), so the first bad one in that order is the one reported, wherever it stood.
  if (seen & field_bit(DocumentField::DocDate)) {
    auto date = parse_required_date(utf8_of(DocumentField::DocDate));
    if (!date) return fail(std::move(date.error()));
    document.doc_date = date.value();
  }
  for (const DocumentField field : {DocumentField::IncomeDate, DocumentField::OutcomeDate}) {
    if (!(seen & field_bit(field))) continue;
    auto date = parse_optional_date(utf8_of(field));
    if (!date) return fail(std::move(date.error()));
    if (!date.value()) {
      seen &= ~field_bit(field);  // a blank optional date is absent
      continue;
    }
    (field == DocumentField::IncomeDate ? document.income_date : document.outcome_date) =
        *date.value();
  }
  if (seen & field_bit(DocumentField::Amount)) {
    auto amount = parse_amount(utf8_of(DocumentField::Amount));
    if (!amount) return fail(std::move(amount.error()));
    document.amount = amount.value();
  }

  const std::uint32_t missing = required_fields & ~seen;
  if (missing != 0) {
    std::size_t field = 0;
    while (!((missing >> field) & 1u)) ++field;
    std::string message = "missing field `";
    message += document_fields[field].key;
    message += '`';
    return fail(std::move(message));
  }
  document.present = seen;
  return document;
}

}  // namespace vexdal
