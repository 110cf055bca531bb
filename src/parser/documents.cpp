// Document sections: how the values of the fields in document_fields.hpp are read, and which
// single message a broken section gets.
#include "documents.hpp"

#include <algorithm>
#include <cstdint>

namespace vexdal {
namespace {

// The fields whose texts the record keeps; dates and amounts are kept as values.
constexpr std::uint32_t text_fields = [] {
  std::uint32_t mask = 0;
  for (std::size_t i = 0; i < document_field_count; ++i) {
    if (is_text(document_fields[i].kind)) mask |= std::uint32_t{1} << i;
  }
  return mask;
}();

// The fields whose values are read (dates and amounts), in the byte order of their keys, which
// is the order they are read in: of two bad values, the one whose key sorts first is reported,
// wherever it stood ("Дата" < "ДатаПоступило" < "ДатаСписано" < "Сумма").
constexpr auto read_order = [] {
  std::array<DocumentField, date_field_count + amount_field_count> order{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < document_field_count; ++i) {
    if (is_text(document_fields[i].kind)) continue;
    // Insertion by key; string_view compares bytes as unsigned, the order of UTF-8 code points.
    std::size_t at = count++;
    for (; at > 0 && document_fields[i].key < field_info(order[at - 1]).key; --at) {
      order[at] = order[at - 1];
    }
    order[at] = DocumentField{static_cast<std::uint8_t>(i)};
  }
  return order;
}();

// The required fields, in the order their absence is reported.
constexpr auto required_order = [] {
  constexpr std::size_t required = count_fields([](FieldKind kind) { return !is_optional(kind); });
  std::array<DocumentField, required> order{};
  for (std::size_t i = 0; i < document_field_count; ++i) {
    const std::uint8_t rank = document_fields[i].missing_rank;
    if (rank != 0) order[rank - 1] = DocumentField{static_cast<std::uint8_t>(i)};
  }
  return order;
}();

// The opening line's type fills it, whatever a hook put under its key.
constexpr DocumentField doc_type_field = field_named("doc_type");

// How far past the lowest of a document's texts the others may end for 32-bit spans to hold
// them. A test build lowers it (VEXDAL_SPAN_LIMIT in CMake), so that the views kept apart for a
// section of 4 GiB are tried on sections of a few hundred bytes.
#if defined(VEXDAL_SPAN_LIMIT)
constexpr std::uintptr_t span_limit = VEXDAL_SPAN_LIMIT;
static_assert(span_limit <= UINT32_MAX, "spans are 32-bit");
#else
constexpr std::uintptr_t span_limit = UINT32_MAX;
#endif

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
  if (high - low <= span_limit) {
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
  texts[field_index(doc_type_field)] = doc_type.bytes;
  seen |= field_bit(doc_type_field);

  // Dates and amounts are ASCII when they are valid; any other character is read as the same
  // character in UTF-8, so that white space comes out as for a UTF-8 input.
  std::string scratch;
  for (const DocumentField field : read_order) {
    if ((seen & field_bit(field)) == 0) continue;
    const std::string_view text =
        utf8_view(Text{texts[field_index(field)], values.charset}, scratch);
    switch (field_info(field).kind) {
      case FieldKind::Date: {
        auto date = parse_required_date(text);
        if (!date) return fail(bad_date(date.error()));
        record.date(field) = date.value();
        break;
      }
      case FieldKind::OptionalDate: {
        auto date = parse_optional_date(text);
        if (!date) return fail(bad_date(date.error()));
        if (date.value()) {
          record.date(field) = *date.value();
        } else {
          seen &= ~field_bit(field);  // a blank optional date is absent
        }
        break;
      }
      case FieldKind::Amount: {
        auto amount = parse_amount(text);
        if (!amount) {
          return fail(SectionFailure{SectionFailure::Kind::BadAmount,
                                     {},
                                     Text{texts[field_index(field)], values.charset}});
        }
        record.amount(field) = *amount;
        break;
      }
      case FieldKind::Text:
      case FieldKind::OptionalText:
        break;
    }
  }

  for (const DocumentField field : required_order) {
    if ((seen & field_bit(field)) == 0) {
      return fail(SectionFailure{
          SectionFailure::Kind::MissingField, {}, Text{field_info(field).key, Charset::Utf8}});
    }
  }
  record.present = seen;
  record.windows_1251 = values.charset == Charset::Windows1251 ? ~field_bit(doc_type_field) : 0;
  if (doc_type.charset == Charset::Windows1251) record.windows_1251 |= field_bit(doc_type_field);
  place_texts(texts, seen & text_fields, record, wide_texts);
  return std::monostate{};
}

}  // namespace vexdal
