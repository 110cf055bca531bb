// What a successful parse produces. Texts are views into the input and into the storage that the
// Statement owns, so nothing is copied per line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "amounts.hpp"
#include "charsets.hpp"
#include "dates.hpp"
#include "failure.hpp"
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
  std::string number;               // UTF-8, whatever the input's charset
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

// How a field's value is read and whether it may be absent.
enum class FieldKind : std::uint8_t { Text, OptionalText, Date, OptionalDate, Amount };

constexpr bool is_optional(FieldKind kind) noexcept {
  return kind == FieldKind::OptionalText || kind == FieldKind::OptionalDate;
}

// Everything known of one document field: the key that fills it, how its value is read, and the
// name Python shows it under. Payer keys always fill the counterparty fields and recipient keys
// the payee fields, whatever the direction of the payment.
struct DocumentFieldInfo {
  DocumentField field;
  std::string_view key;
  FieldKind kind;
  const char* attribute;
};

inline constexpr std::array document_fields = {
    DocumentFieldInfo{DocumentField::DocNumber, "Номер", FieldKind::Text, "doc_number"},
    DocumentFieldInfo{DocumentField::DocType, "СекцияДокумент", FieldKind::Text, "doc_type"},
    DocumentFieldInfo{DocumentField::PaymentType, "ВидОплаты", FieldKind::OptionalText,
                      "payment_type"},
    DocumentFieldInfo{DocumentField::DocDate, "Дата", FieldKind::Date, "doc_date"},
    DocumentFieldInfo{DocumentField::Purpose, "НазначениеПлатежа", FieldKind::Text, "purpose"},
    DocumentFieldInfo{DocumentField::Ordering, "Очередность", FieldKind::OptionalText, "ordering"},
    DocumentFieldInfo{DocumentField::Amount, "Сумма", FieldKind::Amount, "amount"},
    DocumentFieldInfo{DocumentField::CounterpartyInn, "ПлательщикИНН", FieldKind::Text,
                      "counterparty_inn"},
    DocumentFieldInfo{DocumentField::CounterpartyKpp, "ПлательщикКПП", FieldKind::OptionalText,
                      "counterparty_kpp"},
    DocumentFieldInfo{DocumentField::CounterpartyBic, "ПлательщикБИК", FieldKind::Text,
                      "counterparty_bic"},
    DocumentFieldInfo{DocumentField::CounterpartyBank1, "ПлательщикБанк1", FieldKind::Text,
                      "counterparty_bank1"},
    DocumentFieldInfo{DocumentField::CounterpartyAccount, "ПлательщикСчет", FieldKind::Text,
                      "counterparty_account"},
    DocumentFieldInfo{DocumentField::Counterparty, "Плательщик", FieldKind::OptionalText,
                      "counterparty"},
    DocumentFieldInfo{DocumentField::Counterparty1, "Плательщик1", FieldKind::OptionalText,
                      "counterparty_1"},
    DocumentFieldInfo{DocumentField::OutcomeDate, "ДатаСписано", FieldKind::OptionalDate,
                      "outcome_date"},
    DocumentFieldInfo{DocumentField::CounterpartyRasAccount, "ПлательщикРасчСчет",
                      FieldKind::OptionalText, "counterparty_ras_account"},
    DocumentFieldInfo{DocumentField::CounterpartyCorAccount, "ПлательщикКорсчет",
                      FieldKind::OptionalText, "counterparty_cor_account"},
    DocumentFieldInfo{DocumentField::PayeeInn, "ПолучательИНН", FieldKind::Text, "payee_inn"},
    DocumentFieldInfo{DocumentField::Payee, "Получатель", FieldKind::OptionalText, "payee"},
    DocumentFieldInfo{DocumentField::PayeeAccount, "ПолучательСчет", FieldKind::Text,
                      "payee_account"},
    DocumentFieldInfo{DocumentField::PayeeKpp, "ПолучательКПП", FieldKind::OptionalText,
                      "payee_kpp"},
    DocumentFieldInfo{DocumentField::PayeeBic, "ПолучательБИК", FieldKind::Text, "payee_bic"},
    DocumentFieldInfo{DocumentField::PayeeBank1, "ПолучательБанк1", FieldKind::Text, "payee_bank1"},
    DocumentFieldInfo{DocumentField::PayeeRasAccount, "ПолучательРасчСчет", FieldKind::OptionalText,
                      "payee_ras_account"},
    DocumentFieldInfo{DocumentField::PayeeCorAccount, "ПолучательКорсчет", FieldKind::OptionalText,
                      "payee_cor_account"},
    DocumentFieldInfo{DocumentField::IncomeDate, "ДатаПоступило", FieldKind::OptionalDate,
                      "income_date"},
};

constexpr std::size_t document_field_count = document_fields.size();
// Field sets are 32-bit masks.
static_assert(document_field_count <= 32, "a document's field masks hold one bit per field");
static_assert(
    [] {
      for (std::size_t i = 0; i < document_field_count; ++i) {
        if (static_cast<std::size_t>(document_fields[i].field) != i) return false;
      }
      return true;
    }(),
    "document_fields is indexed by DocumentField");

constexpr const DocumentFieldInfo& field_info(DocumentField field) noexcept {
  return document_fields[static_cast<std::size_t>(field)];
}

constexpr std::uint32_t field_bit(DocumentField field) noexcept {
  return std::uint32_t{1} << static_cast<unsigned>(field);
}

// Where one text of a document lies: at an offset from the document's base.
struct TextSpan {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
};

// The texts of a document whose texts lie too far apart for 32-bit spans (a section of 4 GiB
// or more): kept as views, apart from the record.
using WideTexts = std::array<std::string_view, document_field_count>;

// One payment document. Text fields are spans from `base`, a pointer to the start of the texts:
// half the size of views, and so half the fresh memory a large statement asks for. The three
// dates and the amount live in their typed members (their spans stay empty). An optional field
// is absent unless its bit is set.
struct Document {
  const char* base = nullptr;
  std::array<TextSpan, document_field_count> spans{};
  const WideTexts* wide = nullptr;  // set instead of base and spans when they cannot hold them
  std::uint32_t present = 0;
  // Fields whose text is windows-1251 bytes of the input; the others are UTF-8.
  std::uint32_t windows_1251 = 0;
  Date doc_date;
  Date outcome_date;
  Date income_date;
  Decimal amount;

  bool has(DocumentField field) const noexcept { return (present & field_bit(field)) != 0; }
  std::string_view bytes(DocumentField field) const noexcept {
    const auto index = static_cast<std::size_t>(field);
    if (wide != nullptr) return (*wide)[index];
    return {base + spans[index].offset, spans[index].size};
  }
  Text operator[](DocumentField field) const noexcept {
    return {bytes(field),
            (windows_1251 & field_bit(field)) != 0 ? Charset::Windows1251 : Charset::Utf8};
  }
};

// The header as its lines stand in the text: between the first line and the first section, every
// line is a key=value line or blank. It is read again whenever it is wanted, so that a header
// of any length takes no memory of its own; a key given twice keeps its first place and its
// last value, as in a dict.
struct Header {
  std::string_view lines;
  Charset charset = Charset::Utf8;
};

// A document that could not be built: the line of its end marker, and why.
struct Warning {
  std::size_t lineno;
  SectionFailure reason;
};

// Records that never move once added: they grow a block at a time, so adding one never copies
// those before it, and whoever holds the statement may point at them for as long as it lives.
// Blocks double from 8 records up to 256, so that a small statement asks for little memory and a
// large one for blocks of a fixed size.
template <typename T>
class BlockList {
 public:
  // The slot the next record is built in, where it stays. It joins the list only when
  // committed, so a record that fails halfway leaves nothing behind; until then every call
  // returns the same slot.
  T& next_slot() {
    const Place place = locate(size_);
    if (place.block == blocks_.size()) {
      blocks_.push_back(std::make_unique<T[]>(block_length(place.block)));
    }
    return blocks_[place.block][place.offset];
  }
  void commit() noexcept { ++size_; }
  void push_back(T value) {
    next_slot() = std::move(value);
    commit();
  }
  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) noexcept {
    const Place place = locate(i);
    return blocks_[place.block][place.offset];
  }
  const T& operator[](std::size_t i) const noexcept {
    const Place place = locate(i);
    return blocks_[place.block][place.offset];
  }

 private:
  static constexpr std::size_t first_length = 8;
  static constexpr std::size_t last_length = 256;
  // The records held by the blocks that double, 8 + 16 + ... + 128.
  static constexpr std::size_t doubling_records = last_length - first_length;
  static constexpr std::size_t doubling_blocks = 5;

  struct Place {
    std::size_t block;
    std::size_t offset;
  };

  static constexpr std::size_t block_length(std::size_t block) noexcept {
    return block < doubling_blocks ? first_length << block : last_length;
  }
  static constexpr Place locate(std::size_t i) noexcept {
    if (i >= doubling_records) {
      const std::size_t rest = i - doubling_records;
      return {doubling_blocks + rest / last_length, rest % last_length};
    }
    std::size_t block = 0;
    while (i >= block_length(block)) i -= block_length(block++);
    return {block, i};
  }

  std::vector<std::unique_ptr<T[]>> blocks_;
  std::size_t size_ = 0;
};

// Texts are views: into the caller's input (in `charset`), into `decoded` when decoding had to
// make a text, or into `store` (UTF-8 that hooks wrote). Whoever holds the statement keeps the
// input alive.
struct Statement {
  Encoding encoding = Encoding::Utf8;
  Charset charset = Charset::Utf8;
  Header header;
  BlockList<Account> accounts;  // in order of each number's first section
  BlockList<Document> documents;
  BlockList<Warning> warnings;
  TextBuffer decoded;
  TextStore store;
  std::vector<std::unique_ptr<WideTexts>> wide_texts;
};

}  // namespace vexdal
