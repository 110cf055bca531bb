// Parse outcomes as text for the tables of the core's tests, and the inputs they are made from.
#include <fstream>
#include <iterator>

#include "core_tests.hpp"
#include "lines.hpp"

namespace vexdal_test {
namespace {

std::string_view kind_name(vexdal::ErrorKind kind) {
  switch (kind) {
    case vexdal::ErrorKind::UnexpectedSection:
    case vexdal::ErrorKind::UnexpectedAttribute:
    case vexdal::ErrorKind::UnrecognizedLine:
    case vexdal::ErrorKind::MissingField:
    case vexdal::ErrorKind::AccountParseError:
    case vexdal::ErrorKind::DocumentParseError:
    case vexdal::ErrorKind::HookError:
      // The names the module gives their detail classes.
      return vexdal::syntax_kinds[static_cast<std::size_t>(kind)].name;
    case vexdal::ErrorKind::InvalidDocument:
      return "InvalidDocument";
    case vexdal::ErrorKind::Unfinished:
      return "Unfinished";
    case vexdal::ErrorKind::NotStatement:
      return "NotStatement";
    case vexdal::ErrorKind::EmptyInput:
      return "EmptyInput";
    case vexdal::ErrorKind::OutOfMemory:
      return "OutOfMemory";
  }
  return "unknown kind";
}

std::string optional_amount(const std::optional<vexdal::Decimal>& amount) {
  return amount ? vexdal::amount_text(*amount) : "-";
}

}  // namespace

std::string windows_1251(std::string_view utf8) {
  std::string out;
  for (std::size_t pos = 0; pos < utf8.size();) {
    const char32_t cp = vexdal::next_code_point(utf8, pos);
    std::size_t high = 0;
    while (high < vexdal::windows_1251_high.size() && vexdal::windows_1251_high[high] != cp) {
      ++high;
    }
    // A character the code page lacks becomes "?", which no expectation holds.
    out += cp < 0x80                                 ? static_cast<char>(cp)
           : high < vexdal::windows_1251_high.size() ? static_cast<char>(0x80 + high)
                                                     : '?';
  }
  return out;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string summary(const ParseResult& parsed) {
  if (!parsed) {
    const vexdal::StatementError& error = parsed.error();
    return std::string(kind_name(error.kind)) + " at line " + std::to_string(error.lineno) + ": " +
           vexdal::error_message(error);
  }
  const vexdal::Statement& statement = parsed.value();
  std::size_t intervals = 0;
  for (std::size_t i = 0; i < statement.accounts.size(); ++i) {
    intervals += statement.accounts[i].intervals.size();
  }
  std::string out = std::string(vexdal::encoding_name(statement.encoding)) + ", accounts " +
                    std::to_string(statement.accounts.size()) + ", intervals " +
                    std::to_string(intervals) + ", documents " +
                    std::to_string(statement.documents.size()) + ", warnings " +
                    std::to_string(statement.warnings.size());
  if (statement.accounts.size() > 0) out += "; account " + statement.accounts[0].number;
  if (statement.documents.size() > 0) {
    const vexdal::Document& document = statement.documents[0];
    out += "; document " + vexdal::utf8_string(document[vexdal::field_named("doc_number")]) + " " +
           vexdal::date_text(document.date(vexdal::field_named("doc_date"))) + " " +
           vexdal::amount_text(document.amount(vexdal::field_named("amount")));
  }
  if (statement.warnings.size() > 0) {
    const vexdal::Warning& warning = statement.warnings[0];
    out +=
        "; warning " + std::to_string(warning.lineno) + ": " + vexdal::failure_text(warning.reason);
  }
  return out;
}

std::string dump(const vexdal::Statement& statement) {
  std::string out;
  const auto line = [&out](const std::string& text) { out += text + "\n"; };
  const vexdal::Header& header = statement.header;
  vexdal::visit_attributes(header.lines, header.charset, [&](auto key, auto value) {
    line(vexdal::utf8_string({key, header.charset}) + "=" +
         vexdal::utf8_string({value, header.charset}));
    return true;
  });
  for (std::size_t i = 0; i < statement.accounts.size(); ++i) {
    line("account " + statement.accounts[i].number);
    for (const vexdal::Interval& interval : statement.accounts[i].intervals) {
      line(vexdal::date_text(interval.date_start) + " " +
           (interval.date_end ? vexdal::date_text(*interval.date_end) : "-") + " " +
           vexdal::amount_text(interval.start_amount) + " " + optional_amount(interval.end_amount) +
           " " + optional_amount(interval.total_income) + " " +
           optional_amount(interval.total_expense));
    }
  }
  for (std::size_t i = 0; i < statement.documents.size(); ++i) {
    const vexdal::Document& document = statement.documents[i];
    for (std::size_t index = 0; index < vexdal::document_field_count; ++index) {
      const auto field = vexdal::DocumentField{static_cast<std::uint8_t>(index)};
      const vexdal::DocumentFieldInfo& info = vexdal::field_info(field);
      std::string value;
      if (vexdal::is_optional(info.kind) && !document.has(field)) {
        value = "absent";
      } else if (vexdal::is_date(info.kind)) {
        value = vexdal::date_text(document.date(field));
      } else if (info.kind == vexdal::FieldKind::Amount) {
        value = vexdal::amount_text(document.amount(field));
      } else {
        value = "\"" + vexdal::utf8_string(document[field]) + "\"";
      }
      line(std::string(info.attribute) + " " + value);
    }
  }
  for (std::size_t i = 0; i < statement.warnings.size(); ++i) {
    line("warning " + std::to_string(statement.warnings[i].lineno) + ": " +
         vexdal::failure_text(statement.warnings[i].reason));
  }
  return out;
}

}  // namespace vexdal_test
