// The two tables over a parsed statement: its documents, with the other keys of their sections
// when asked for, and the intervals of its accounts.
#include <algorithm>
#include <string>
#include <utility>

#include "lines.hpp"
#include "tables.hpp"

namespace vexdal_columns {

using vexdal::Charset;

// ---- Documents ----------------------------------------------------------------------------------

// Reads the other keys out of each document's section as the document is kept. A key given
// twice in a section takes its last value, as it does for the fields.
class DocumentsTable::KeyCollector final : public vexdal::DocumentObserver {
 public:
  KeyCollector(const std::vector<std::string>& keys, std::vector<std::string_view>& values)
      : keys_(keys), values_(values) {}

  void kept(std::string_view section, Charset charset, std::size_t) override {
    // Spelled once, in the charset of the statement, so that keys compare byte for byte.
    if (spellings_.size() != keys_.size()) {
      for (const std::string& key : keys_) spellings_.push_back(spelled(key, charset));
    }
    const std::size_t first = values_.size();
    values_.resize(first + spellings_.size());
    vexdal::visit_attributes(section, charset, [&](std::string_view key, std::string_view value) {
      for (std::size_t i = 0; i < spellings_.size(); ++i) {
        if (spellings_[i].valid && key == spellings_[i].bytes) {
          // A present value never has a null data(), even when empty.
          values_[first + i] = value.data() == nullptr ? std::string_view("", 0) : value;
        }
      }
      return true;
    });
  }

 private:
  struct Key {
    std::string bytes;
    bool valid;  // false for a key the charset cannot spell, which no line can have
  };

  static Key spelled(const std::string& utf8, Charset charset) {
    if (charset == Charset::Utf8) return {utf8, true};
    Key key{{}, true};
    for (std::size_t pos = 0; pos < utf8.size();) {
      const char32_t cp = vexdal::next_code_point(utf8, pos);
      if (cp < 0x80) {
        key.bytes.push_back(static_cast<char>(cp));
        continue;
      }
      const auto* found = std::find(vexdal::windows_1251_high.begin(),
                                    vexdal::windows_1251_high.end(), static_cast<char16_t>(cp));
      if (cp > 0xFFFF || found == vexdal::windows_1251_high.end()) return {{}, false};
      key.bytes.push_back(
          static_cast<char>(0x80 + (found - vexdal::windows_1251_high.begin())));
    }
    return key;
  }

  const std::vector<std::string>& keys_;
  std::vector<std::string_view>& values_;
  std::vector<Key> spellings_;
};

namespace {

// The line of the amount of the document at one index, found by parsing again: only a table
// that cannot be made needs it.
class AmountLine final : public vexdal::DocumentObserver {
 public:
  explicit AmountLine(std::size_t document) : document_(document) {}
  void kept(std::string_view section, Charset charset, std::size_t lineno) override {
    if (seen_++ != document_) return;
    const vexdal::Spelling key("Сумма", charset);
    vexdal::LineReader reader(section, charset);
    vexdal::LineToken token;
    line_ = lineno;
    while (reader.next(token)) {
      if (token.kind == vexdal::LineKind::Attribute && token.key == key.view()) {
        line_ = lineno + token.lineno - 1;
      }
    }
  }
  std::size_t line() const noexcept { return line_; }

 private:
  std::size_t document_;
  std::size_t seen_ = 0;
  std::size_t line_ = 0;
};

}  // namespace

vexdal::Result<std::unique_ptr<DocumentsTable>, vexdal::StatementError> DocumentsTable::make(
    std::string_view input, const std::vector<std::string>& names, bool amount_text) {
  std::unique_ptr<DocumentsTable> table(new DocumentsTable());
  std::vector<std::string> keys;
  for (const std::string& name : names) {
    std::size_t field = vexdal::document_field_count;
    for (std::size_t i = 0; i < vexdal::document_field_count; ++i) {
      if (name == vexdal::document_fields[i].attribute) field = i;
    }
    if (field == vexdal::document_field_count) {
      table->sources_.push_back({false, keys.size()});
      keys.push_back(name);
      table->columns_.push_back({name, ColumnType::Text, true});
      continue;
    }
    const vexdal::FieldKind kind = vexdal::document_fields[field].kind;
    const ColumnType type = vexdal::is_text(kind)   ? ColumnType::Text
                            : vexdal::is_date(kind) ? ColumnType::Date
                            : amount_text           ? ColumnType::AmountText
                                                    : ColumnType::Amount;
    table->sources_.push_back({true, field});
    table->columns_.push_back({name, type, vexdal::is_optional(kind)});
    if (type == ColumnType::Text) table->text_fields_ = true;
  }
  table->key_count_ = keys.size();

  KeyCollector collector(keys, table->key_values_);
  auto parsed = vexdal::parse_statement(input, {}, keys.empty() ? nullptr : &collector);
  if (!parsed) return vexdal::fail(std::move(parsed.error()));
  table->statement_ = std::move(parsed.value());
  table->rows_ = table->statement_.documents.size();

  if (auto where = table->settle_scales()) {
    AmountLine line(where->row);
    (void)vexdal::parse_statement(input, {}, &line);
    table->unrepresentable_ = std::make_pair(*where, line.line());
  }
  return table;
}

void DocumentsTable::prefetch(std::size_t row) const noexcept {
#if defined(__GNUC__) || defined(__clang__)
  if (row >= rows_) return;
  const vexdal::Document& document = statement_.documents[row];
  const char* const record = reinterpret_cast<const char*>(&document);
  for (std::size_t at = 0; at < sizeof document; at += 64) __builtin_prefetch(record + at);
  if (!text_fields_ || document.wide != nullptr || document.base == nullptr) return;
  std::uint64_t end = 0;
  for (const vexdal::TextSpan& span : document.spans) {
    end = std::max(end, std::uint64_t{span.offset} + span.size);
  }
  for (std::uint64_t at = 0; at < end; at += 64) __builtin_prefetch(document.base + at);
#else
  (void)row;
#endif
}

bool DocumentsTable::text(std::size_t column, std::size_t row, vexdal::Text& out) const {
  const Source& source = sources_[column];
  if (!source.field) {
    const std::string_view value = key_values_[row * key_count_ + source.index];
    if (value.data() == nullptr) return false;
    out = {value, statement_.charset};
    return true;
  }
  const vexdal::Document& document = statement_.documents[row];
  const auto field = vexdal::DocumentField{static_cast<std::uint8_t>(source.index)};
  if (!document.has(field)) return false;
  out = document[field];
  return true;
}

bool DocumentsTable::date(std::size_t column, std::size_t row, vexdal::Date& out) const {
  const vexdal::Document& document = statement_.documents[row];
  const auto field = vexdal::DocumentField{static_cast<std::uint8_t>(sources_[column].index)};
  if (!document.has(field)) return false;
  out = document.date(field);
  return true;
}

bool DocumentsTable::amount(std::size_t column, std::size_t row, vexdal::Decimal& out) const {
  const vexdal::Document& document = statement_.documents[row];
  const auto field = vexdal::DocumentField{static_cast<std::uint8_t>(sources_[column].index)};
  if (!document.has(field)) return false;
  out = document.amount(field);
  return true;
}

// ---- Intervals ----------------------------------------------------------------------------------

vexdal::Result<std::unique_ptr<IntervalsTable>, vexdal::StatementError> IntervalsTable::make(
    std::string_view input) {
  auto parsed = vexdal::parse_statement(input, {}, nullptr);
  if (!parsed) return vexdal::fail(std::move(parsed.error()));
  std::unique_ptr<IntervalsTable> table(new IntervalsTable());
  table->statement_ = std::move(parsed.value());
  const auto& accounts = table->statement_.accounts;
  for (std::size_t a = 0; a < accounts.size(); ++a) {
    for (std::size_t i = 0; i < accounts[a].intervals.size(); ++i) {
      table->rows_of_.emplace_back(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(i));
    }
  }
  table->rows_ = table->rows_of_.size();
  table->columns_ = {
      {"account", ColumnType::Text, false},       {"date_start", ColumnType::Date, false},
      {"date_end", ColumnType::Date, true},       {"start_amount", ColumnType::Amount, false},
      {"end_amount", ColumnType::Amount, true},   {"total_income", ColumnType::Amount, true},
      {"total_expense", ColumnType::Amount, true},
  };
  table->unrepresentable_ = table->settle_scales();
  return table;
}

bool IntervalsTable::text(std::size_t, std::size_t row, vexdal::Text& out) const {
  out = {account_of(row).number, Charset::Utf8};
  return true;
}

bool IntervalsTable::date(std::size_t column, std::size_t row, vexdal::Date& out) const {
  const vexdal::Interval& interval = interval_of(row);
  if (column == 1) {
    out = interval.date_start;
    return true;
  }
  if (!interval.date_end) return false;
  out = *interval.date_end;
  return true;
}

bool IntervalsTable::amount(std::size_t column, std::size_t row, vexdal::Decimal& out) const {
  const vexdal::Interval& interval = interval_of(row);
  const std::optional<vexdal::Decimal>* value = nullptr;
  switch (column) {
    case 3:
      out = interval.start_amount;
      return true;
    case 4:
      value = &interval.end_amount;
      break;
    case 5:
      value = &interval.total_income;
      break;
    default:
      value = &interval.total_expense;
      break;
  }
  if (!*value) return false;
  out = **value;
  return true;
}

}  // namespace vexdal_columns
