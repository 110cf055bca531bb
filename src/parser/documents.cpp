// Document sections: how the values of the 26 fields are read, and which single message a broken
// section gets.
#include "documents.hpp"

#include <algorithm>
#include <cstdint>

namespace vexdal {
namespace {

constexpr std::uint32_t required_fields = [] {
  std::uint32_t mask = 0;
  for (const DocumentFieldInfo& info : document_fields) {
    if (!is_optional(info.kind)) mask |= field_bit(info.field);
  }
  return mask;
}();

// The fields whose text the record keeps; dates and the amount are kept as values.
constexpr std::uint32_t text_fields = [] {
  std::uint32_t mask = 0;
  for (const DocumentFieldInfo& info : document_fields) {
    if (info.kind == FieldKind::Text || info.kind == FieldKind::OptionalText) {
      mask |= field_bit(info.field);
    }
  }
  return mask;
}();

constexpr std::size_t index_of(DocumentField field) noexcept {
  return static_cast<std::size_t>(field);
}

// Points the record at its texts: spans from the lowest of them when they all lie within 4 GiB of
// it, as they do unless the section itself is that long; views kept apart otherwise. The texts
// lie in one buffer (the input, or the copy a hooked section's values are gathered in), so the
// spans stay within it. Empty texts may point anywhere and take no part.
void place_texts(const WideTexts& texts, std::uint32_t fields, Document& record,
                 std::vector<std::unique_ptr<WideTexts>>& wide_texts) {
  const auto address = [](const char* at) { return reinterpret_cast<std::uintptr_t>(at); };
  std::size_t lowest = texts.size();
  std::uintptr_t high = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if ((fields >> i & 1u) == 0 || texts[i].empty()) continue;
    if (lowest == texts.size() || address(texts[i].data()) < address(texts[lowest].data())) {
      lowest = i;
    }
    high = std::max(high, address(texts[i].data()) + texts[i].size());
  }
  record.wide = nullptr;
  record.base = lowest == texts.size() ? nullptr : texts[lowest].data();
  record.spans = {};
  if (lowest == texts.size()) return;
  const std::uintptr_t low = address(record.base);
  if (high - low <= UINT32_MAX) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if ((fields >> i & 1u) == 0 || texts[i].empty()) continue;
      record.spans[i] = {static_cast<std::uint32_t>(address(texts[i].data()) - low),
                         static_cast<std::uint32_t>(texts[i].size())};
    }
    return;
  }
  wide_texts.push_back(std::make_unique<WideTexts>());
  WideTexts& wide = *wide_texts.back();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if ((fields >> i & 1u) != 0) wide[i] = texts[i];
  }
  record.wide = &wide;
}

}  // namespace

Result<std::monostate, SectionFailure> build_document(
    const DocumentValues& values, Text doc_type, Document& record,
    std::vector<std::unique_ptr<WideTexts>>& wide_texts) {
  std::uint32_t seen = values.seen;
  // The opening line's type wins over anything a hook put under the same key.
  WideTexts texts = values.text;
  texts[index_of(DocumentField::DocType)] = doc_type.bytes;
  seen |= field_bit(DocumentField::DocType);

  // Dates and amounts are ASCII when they are valid; any other character is read as the same
  // character in UTF-8, so that white space comes out as for a UTF-8 input.
  std::string scratch;
  const auto utf8_of = [&](DocumentField field) {
    return utf8_view(Text{texts[index_of(field)], values.charset}, scratch);
  };
  const auto message = [](std::string_view text) {
    return SectionFailure{SectionFailure::Kind::Message, Text{text, Charset::Utf8}};
  };
  // Values are read in the byte order of their keys ("Дата" < "ДатаПоступило" < "ДатаСписано" <
  // "Сумма"), so the first bad one in that order is the one reported, wherever it stood.
  if (seen & field_bit(DocumentField::DocDate)) {
    auto date = parse_required_date(utf8_of(DocumentField::DocDate));
    if (!date) return fail(message(date.error()));
    record.doc_date = date.value();
  }
  for (const DocumentField field : {DocumentField::IncomeDate, DocumentField::OutcomeDate}) {
    if (!(seen & field_bit(field))) continue;
    auto date = parse_optional_date(utf8_of(field));
    if (!date) return fail(message(date.error()));
    if (!date.value()) {
      seen &= ~field_bit(field);  // a blank optional date is absent
      continue;
    }
    (field == DocumentField::IncomeDate ? record.income_date : record.outcome_date) = *date.value();
  }
  if (seen & field_bit(DocumentField::Amount)) {
    auto amount = parse_amount(utf8_of(DocumentField::Amount));
    if (!amount) {
      return fail(SectionFailure{SectionFailure::Kind::BadAmount,
                                 Text{texts[index_of(DocumentField::Amount)], values.charset}});
    }
    record.amount = *amount;
  }

  const std::uint32_t missing = required_fields & ~seen;
  if (missing != 0) {
    std::size_t field = 0;
    while (!((missing >> field) & 1u)) ++field;
    return fail(SectionFailure{SectionFailure::Kind::MissingField,
                               Text{document_fields[field].key, Charset::Utf8}});
  }
  record.present = seen;
  record.windows_1251 =
      values.charset == Charset::Windows1251 ? ~field_bit(DocumentField::DocType) : 0;
  if (doc_type.charset == Charset::Windows1251)
    record.windows_1251 |= field_bit(DocumentField::DocType);
  place_texts(texts, seen & text_fields, record, wide_texts);
  return std::monostate{};
}

}  // namespace vexdal
