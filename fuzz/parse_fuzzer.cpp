// libFuzzer target over the statement parser. Any bytes, with or without a hook that rewrites
// attributes, must give a statement or one failure, and all either holds must turn into text.
// Beyond not crashing it checks three invariants: the same bytes parse the same way every time, a
// hook that changes nothing (leaving the attributes alone, or putting each back as it read it)
// gives what no hook gives, and a windows-1251 statement parses exactly as its UTF-8
// transcription.
//
// The first byte of an input picks the hook's behaviour; the rest is the statement.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "amounts.hpp"
#include "dates.hpp"
#include "decode.hpp"
#include "lines.hpp"
#include "mod.hpp"
#include "quote.hpp"

namespace {

using vexdal::Text;

std::string utf8(std::string_view bytes, vexdal::Charset charset) {
  return vexdal::utf8_string(Text{bytes, charset});
}

// A hook as callers write them, working on characters (UTF-8) whatever the input's charset:
// it drops, changes and adds attributes, and may fail, as `mode` says.
class RewritingHook final : public vexdal::Hook {
 public:
  explicit RewritingHook(std::uint8_t mode) : mode_(mode) {}

  vexdal::HookResult call(vexdal::SectionType type, vexdal::SectionAttributes& attrs,
                          const vexdal::Header& header) override {
    const vexdal::TextMap& map = attrs.map();
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [key, value] : map) {
      entries.emplace_back(utf8(key, map.charset()), utf8(value, map.charset()));
    }
    // Counted as a dict counts them, as the test suite's copy of this hook does.
    std::set<std::string_view> header_keys;
    vexdal::visit_attributes(header.lines, header.charset, [&](std::string_view key,
                                                               std::string_view) {
      header_keys.insert(key);
      return true;
    });
    ++calls_;
    if ((mode_ & 0x80) != 0 && calls_ % 5 == 0) {
      return vexdal::fail("FuzzError: call " + std::to_string(calls_));
    }
    attrs.clear();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      auto& [key, value] = entries[i];
      if ((mode_ & 0x02) != 0 && i % 3 == 1) continue;  // dropped
      if ((mode_ & 0x04) != 0 && key.size() % 2 == 1) value += "ж";
      if ((mode_ & 0x08) != 0 && key == "Сумма") value = "1e" + std::to_string(i);
      attrs.put(key, value);
    }
    if ((mode_ & 0x10) != 0) attrs.put("Номер", std::to_string(header_keys.size()));
    if ((mode_ & 0x20) != 0) attrs.put("СекцияДокумент", "подмена");
    if ((mode_ & 0x40) != 0 && type == vexdal::SectionType::Account) attrs.put("РасчСчет", "№1");
    return std::monostate{};
  }

 private:
  std::uint8_t mode_;
  std::size_t calls_ = 0;
};

// Changes nothing.
class IdleHook final : public vexdal::Hook {
 public:
  vexdal::HookResult call(vexdal::SectionType, vexdal::SectionAttributes&,
                          const vexdal::Header&) override {
    return std::monostate{};
  }
};

void add_quoted(std::string& out, std::string_view utf8_text) {
  vexdal::append_quoted(out, utf8_text);
  out += '\n';
}

// Everything a statement holds, as text; the encoding name is left out, so that a windows-1251
// statement and its UTF-8 transcription dump alike.
std::string dump(const vexdal::Statement& statement) {
  std::string out;
  vexdal::visit_attributes(statement.header.lines, statement.header.charset,
                           [&](std::string_view key, std::string_view value) {
                             add_quoted(out, utf8(key, statement.header.charset));
                             add_quoted(out, utf8(value, statement.header.charset));
                             return true;
                           });
  for (std::size_t i = 0; i < statement.accounts.size(); ++i) {
    const vexdal::Account& account = statement.accounts[i];
    add_quoted(out, account.number);
    for (const vexdal::Interval& interval : account.intervals) {
      out +=
          vexdal::date_text(interval.date_start) + ' ' + vexdal::amount_text(interval.start_amount);
      if (interval.date_end) out += ' ' + vexdal::date_text(*interval.date_end);
      for (const auto* amount :
           {&interval.end_amount, &interval.total_income, &interval.total_expense}) {
        out += *amount ? ' ' + vexdal::amount_text(**amount) : std::string(" -");
      }
      out += '\n';
    }
  }
  for (std::size_t i = 0; i < statement.documents.size(); ++i) {
    const vexdal::Document& document = statement.documents[i];
    for (std::size_t index = 0; index < vexdal::document_field_count; ++index) {
      const auto field = vexdal::DocumentField{static_cast<std::uint8_t>(index)};
      const vexdal::FieldKind kind = vexdal::field_info(field).kind;
      if (vexdal::is_optional(kind) && !document.has(field)) {
        out += "None\n";
      } else if (vexdal::is_text(kind)) {
        add_quoted(out, vexdal::utf8_string(document[field]));
      } else if (vexdal::is_date(kind)) {
        out += vexdal::date_text(document.date(field)) + '\n';
      } else {
        out += vexdal::amount_text(document.amount(field)) + '\n';
      }
    }
  }
  for (std::size_t i = 0; i < statement.warnings.size(); ++i) {
    out += std::to_string(statement.warnings[i].lineno) + ' ';
    add_quoted(out, vexdal::failure_text(statement.warnings[i].reason));
  }
  return out;
}

std::string outcome(std::string_view input, vexdal::Hook* hook) {
  std::vector<vexdal::Hook*> hooks;
  if (hook != nullptr) hooks.push_back(hook);
  auto parsed = vexdal::parse_statement(input, hooks);
  if (parsed) return dump(parsed.value());
  const vexdal::StatementError& error = parsed.error();
  std::string out = "error " + std::to_string(static_cast<int>(error.kind)) + ' ' +
                    std::to_string(error.lineno) + ' ';
  add_quoted(out, vexdal::error_message(error));
  return out;
}

std::string outcome(std::string_view input, std::uint8_t mode) {
  RewritingHook hook(mode);
  return outcome(input, (mode & 0x01) != 0 ? &hook : nullptr);
}

[[noreturn]] void broken(const char* invariant, const std::string& first,
                         const std::string& second) {
  std::fprintf(stderr, "invariant broken: %s\n--- first\n%s\n--- second\n%s\n", invariant,
               first.c_str(), second.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string first = outcome(input, mode);
  // Parsing again costs a whole run each, so every fourth one does it, the first of each process
  // among them, so that a saved input that broke it breaks it again when run alone.
  static std::size_t executions = 0;
  if (executions++ % 4 == 0) {
    const std::string again = outcome(input, mode);
    if (again != first) broken("the same bytes parse alike", first, again);
    // Hooked sections take their own road through the assembly; one that no hook changed must
    // come out as if there were no hooks.
    const std::string bare = (mode & 0x01) == 0 ? first : outcome(input, nullptr);
    IdleHook idle;
    const std::string idled = outcome(input, &idle);
    if (idled != bare) broken("a hook that changes nothing is no hook", bare, idled);
    const std::string rewritten = outcome(input, std::uint8_t{0x01});
    if (rewritten != bare) broken("a hook that puts back what it read is no hook", bare, rewritten);
  }

  // Bytes read in the windows-1251 fallback (not behind a byte-order mark) are one character
  // each; written as UTF-8 they must give the same statement or the same failure.
  auto decoded = vexdal::decode_statement(input);
  if (decoded && decoded.value().charset == vexdal::Charset::Windows1251) {
    const std::string transcribed = outcome(utf8(input, vexdal::Charset::Windows1251), mode);
    if (transcribed != first) broken("windows-1251 parses as its UTF-8 copy", first, transcribed);
  }
  return 0;
}
