// Whole statements written here: the two charsets giving the same records, hooks written in C++
// that change sections or fail, and the syntax failures with their lines and messages.
#include <string>
#include <utility>
#include <vector>

#include "core_tests.hpp"
#include "lines.hpp"

namespace vexdal_test {
namespace {

// A document, an account and a document whose amount cannot be read (line 32).
constexpr std::string_view statement =
    "1CClientBankExchange\r\n"
    "ВерсияФормата=1.03\r\n"
    "Кодировка=Windows\r\n"
    "Отправитель=Бухгалтерия «Ёлка»\r\n"
    "СекцияДокумент=Платежное поручение\r\n"
    "Номер=17\r\n"
    "Дата=05.03.2024\r\n"
    "Сумма=1500.50\r\n"
    "ПлательщикСчет=40702810900000001234\r\n"
    "ПлательщикИНН=7701234567\r\n"
    "Плательщик=ООО \"Ромашка\"\r\n"
    "ПлательщикБИК=044525225\r\n"
    "ПлательщикБанк1=ПАО СБЕРБАНК\r\n"
    "ПолучательСчет=40702810400000005678\r\n"
    "ПолучательИНН=7809876543\r\n"
    "Получатель=АО \"Василёк\"\r\n"
    "ПолучательБИК=044030653\r\n"
    "ПолучательБанк1=СЕВЕРО-ЗАПАДНЫЙ БАНК ПАО СБЕРБАНК\r\n"
    "НазначениеПлатежа=Оплата по счёту № 42 «срочно»\r\n"
    "КонецДокумента\r\n"
    "СекцияРасчСчет\r\n"
    "ДатаНачала=01.03.2024\r\n"
    "ДатаКонца=31.03.2024\r\n"
    "РасчСчет=40702810900000001234\r\n"
    "НачальныйОстаток=10000.00\r\n"
    "ВсегоСписано=1500.50\r\n"
    "КонечныйОстаток=8499.50\r\n"
    "КонецРасчСчет\r\n"
    "СекцияДокумент=Банковский ордер\r\n"
    "Номер=18\r\n"
    "Сумма=12,50 руб\r\n"
    "КонецДокумента\r\n"
    "КонецФайла\r\n";

ParseResult parse(std::string_view input, const std::vector<vexdal::Hook*>& hooks = {}) {
  return vexdal::parse_statement(input, hooks);
}

void check_charsets(Checker& checker) {
  const std::string cp1251 = windows_1251(statement);
  const ParseResult utf8_parsed = parse(statement);
  const ParseResult cp1251_parsed = parse(cp1251);
  VEXDAL_CHECK_EQUAL(checker, summary(utf8_parsed),
                     "utf-8, accounts 1, intervals 1, documents 1, warnings 1; account "
                     "40702810900000001234; document 17 2024-03-05 1500.50; warning 32: invalid "
                     "value: string \"12,50 руб\", expected a Decimal type representing a "
                     "fixed-point number");
  VEXDAL_CHECK_EQUAL(checker, summary(cp1251_parsed).substr(0, 6), "cp1251");
  if (!utf8_parsed || !cp1251_parsed) return;
  VEXDAL_CHECK_EQUAL(checker, dump(cp1251_parsed.value()), dump(utf8_parsed.value()));
}

// Rewrites every section as callers do: it reads the attributes as UTF-8, whatever the input's
// charset, and writes them all back in UTF-8, changed. It notes what it was shown.
class RewritingHook final : public vexdal::Hook {
 public:
  vexdal::HookResult call(vexdal::SectionType type, vexdal::SectionAttributes& attrs,
                          const vexdal::Header& header) override {
    const vexdal::TextMap& map = attrs.map();
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [key, value] : map) {
      entries.emplace_back(vexdal::utf8_string({key, map.charset()}),
                           vexdal::utf8_string({value, map.charset()}));
    }
    seen += type == vexdal::SectionType::Document ? "document " : "account ";
    seen += (entries.empty() ? "" : entries[0].first) + " " + std::to_string(entries.size()) + ", ";
    vexdal::visit_attributes(header.lines, header.charset, [&](auto key, auto value) {
      if (vexdal::utf8_string({key, header.charset}) != "Отправитель") return true;
      seen += vexdal::utf8_string({value, header.charset}) + "; ";
      return false;
    });
    attrs.clear();
    for (auto& [key, value] : entries) {
      if (key == "Сумма") value = "1e2";
      if (key == "НазначениеПлатежа") value = "Возврат №7";
      attrs.put(key, value);
    }
    if (type == vexdal::SectionType::Account) attrs.put("РасчСчет", "№ 99");
    return std::monostate{};
  }

  std::string seen;
};

// Puts without clearing first, so its UTF-8 keys meet the keys read from the input as they are.
class PuttingHook final : public vexdal::Hook {
 public:
  vexdal::HookResult call(vexdal::SectionType type, vexdal::SectionAttributes& attrs,
                          const vexdal::Header&) override {
    if (type == vexdal::SectionType::Document) attrs.put("Сумма", "1e2");
    sizes += std::to_string(attrs.map().size()) + " ";
    return std::monostate{};
  }

  std::string sizes;
};

class FailingHook final : public vexdal::Hook {
 public:
  vexdal::HookResult call(vexdal::SectionType type, vexdal::SectionAttributes&,
                          const vexdal::Header&) override {
    if (type == vexdal::SectionType::Account) return vexdal::fail(std::string("нет счетов"));
    return std::monostate{};
  }
};

// Empties every section it is shown.
class ClearingHook final : public vexdal::Hook {
 public:
  vexdal::HookResult call(vexdal::SectionType, vexdal::SectionAttributes& attrs,
                          const vexdal::Header&) override {
    attrs.clear();
    return std::monostate{};
  }
};

void check_hooks(Checker& checker) {
  const std::string cp1251 = windows_1251(statement);
  RewritingHook rewriting;
  const ParseResult rewritten = parse(cp1251, {&rewriting});
  VEXDAL_CHECK_EQUAL(checker, rewriting.seen,
                     "document Номер 14, Бухгалтерия «Ёлка»; account ДатаНачала 6, Бухгалтерия "
                     "«Ёлка»; document Номер 2, Бухгалтерия «Ёлка»; ");
  // The new amount reaches the second document's reader, so its next fault shows.
  VEXDAL_CHECK_EQUAL(checker, summary(rewritten),
                     "cp1251, accounts 1, intervals 1, documents 1, warnings 1; account № 99; "
                     "document 17 2024-03-05 100; warning 32: missing field `Дата`");
  if (rewritten) {
    // Texts the hook wrote and the ones it kept read alike, though the input is windows-1251.
    const vexdal::Document& document = rewritten.value().documents[0];
    VEXDAL_CHECK_EQUAL(checker, vexdal::utf8_string(document[vexdal::field_named("purpose")]),
                       "Возврат №7");
    VEXDAL_CHECK_EQUAL(checker, vexdal::utf8_string(document[vexdal::field_named("payee")]),
                       "АО \"Василёк\"");
  }

  // The amount a hook puts into a windows-1251 section replaces the section's own, in its place.
  PuttingHook putting;
  const ParseResult put = parse(cp1251, {&putting});
  VEXDAL_CHECK_EQUAL(checker, putting.sizes, "14 6 2 ");
  if (put) {
    VEXDAL_CHECK_EQUAL(
        checker,
        vexdal::amount_text(put.value().documents[0].amount(vexdal::field_named("amount"))), "100");
  }

  // A failing hook ends the parse at the section's end marker; the hooks after it do not run.
  FailingHook failing;
  RewritingHook later;
  VEXDAL_CHECK_EQUAL(checker, summary(parse(cp1251, {&failing, &later})),
                     "HookError at line 28: Hook error: нет счетов");
  VEXDAL_CHECK_EQUAL(checker, later.seen, "document Номер 14, Бухгалтерия «Ёлка»; ");

  // A rewritten document of no type and no values has not one byte to gather.
  ClearingHook clearing;
  VEXDAL_CHECK_EQUAL(
      checker,
      summary(parse("1CClientBankExchange\nСекцияДокумент=\nКонецДокумента\nКонецФайла\n",
                    {&clearing})),
      "utf-8, accounts 0, intervals 0, documents 0, warnings 1; warning 3: missing field `Номер`");
}

void check_errors(Checker& checker) {
  struct ErrorCase {
    std::string_view input;
    bool in_windows_1251;
    std::string_view expected;
  };
  const ErrorCase cases[] = {
      {"1CClientBankExchange\nA=1\nКонецФайла\n", false,
       "UnexpectedSection at line 3: Unexpected section 'КонецФайла' in context 'header'"},
      {"1CClientBankExchange\nСекцияРасчСчет\nСекцияДокумент=Б В\n", true,
       "UnexpectedSection at line 3: Unexpected section 'СекцияДокумент=Б В' in context "
       "'account'"},
      {"1CClientBankExchange\nСекцияДокумент=\nКонецДокумента\n\nКонецДокумента", false,
       "UnexpectedSection at line 5: Unexpected section 'КонецДокумента' in context "
       "'read_next_section'"},
      {"1CClientBankExchange\nСекцияРасчСчет\nКонецРасчСчет\n", true,
       "AccountParseError at line 3: Account parse error: missing field `ДатаНачала`"},
      {"1CClientBankExchange\nСекцияДокумент=\nКонецДокумента\n Номер = 'x=1' \n", true,
       "UnexpectedAttribute at line 4: Unexpected attribute ' Номер ' = ' 'x=1' '"},
      {"1CClientBankExchange\r\n\r\nЛевая строка\r\n", true,
       "UnrecognizedLine at line 3: Unrecognized line: 'Левая строка'"},
      {"1CClientBankExchange\nСекцияРасчСчет\nA=1", false,
       "Unfinished at line 0: Statement is not finished"},
      {"1CClientBankExchange", false, "Unfinished at line 0: Statement is not finished"},
      {"", false, "NotStatement at line 0: Input is not a 1C statement"},
      {" 1CClientBankExchange\n", false, "NotStatement at line 0: Input is not a 1C statement"},
      {"1CClientBankExchange\r", false, "NotStatement at line 0: Input is not a 1C statement"},
  };
  for (const ErrorCase& error : cases) {
    Checker::Case name(checker, quoted(error.input));
    const std::string input =
        error.in_windows_1251 ? windows_1251(error.input) : std::string(error.input);
    VEXDAL_CHECK_EQUAL(checker, summary(parse(input)), error.expected);
  }
  // After the end line nothing may follow, a blank line aside.
  VEXDAL_CHECK_EQUAL(checker, summary(parse(std::string(statement) + "\r\nx=1=2")),
                     "UnexpectedAttribute at line 35: Unexpected attribute 'x' = '1=2'");
  // No input makes the walk report these, but the module's exception classes of the same names
  // may still show them, and a caller may match on the texts.
  const std::pair<vexdal::StatementError, std::string_view> unreported[] = {
      {{vexdal::ErrorKind::DocumentParseError, 3, "bad date", {}, vexdal::Context::Init},
       "Document parse error: bad date"},
      {vexdal::plain_error(vexdal::ErrorKind::InvalidDocument), "Invalid document"},
      {vexdal::plain_error(vexdal::ErrorKind::EmptyInput), "Input is empty"},
      {vexdal::plain_error(vexdal::ErrorKind::OutOfMemory), "Out of memory"},
      {vexdal::missing_field(1, "Номер", vexdal::Context::Init),
       "Missing field 'Номер' in context 'init'"},
  };
  for (const auto& [error, expected] : unreported) {
    VEXDAL_CHECK_EQUAL(checker, vexdal::error_message(error), expected);
  }
}

// Past a few dozen keys the map finds a repeated key through its index: the keys set before the
// index was built must be in it too, or a repeat of one would be kept as a second entry.
void check_text_map(Checker& checker) {
  std::vector<std::string> keys;
  for (int i = 0; i < 40; ++i) keys.push_back("k" + std::to_string(i));
  vexdal::TextMap map;
  for (const std::string& key : keys) map.set(key, "first");
  for (const std::size_t repeated : {std::size_t{0}, std::size_t{31}, std::size_t{39}}) {
    map.set(keys[repeated], "again");
  }
  std::string seen;
  for (const auto& [key, value] : map) {
    if (value == "again") seen += std::string(key) + " ";
  }
  VEXDAL_CHECK_EQUAL(checker, map.size(), keys.size());
  VEXDAL_CHECK_EQUAL(checker, seen, "k0 k31 k39 ");

  // Keys appended unchecked are taken into the bits or the index at the next set(), on either
  // side of the index's threshold, so a repeat of one of them still replaces its value.
  for (const std::size_t appended : {std::size_t{5}, std::size_t{31}, std::size_t{32},
                                     std::size_t{40}}) {
    vexdal::TextMap partly;
    for (std::size_t i = 0; i < appended; ++i) partly.append(keys[i], "first");
    for (std::size_t i = 0; i < appended; i += 2) partly.set(keys[i], "again");
    std::size_t again = 0;
    for (const auto& entry : partly) {
      if (entry.second == "again") ++again;
    }
    VEXDAL_CHECK_EQUAL(checker, partly.size(), appended);
    VEXDAL_CHECK_EQUAL(checker, again, (appended + 1) / 2);
  }
}

// Notes the keys of each section it is shown, in the map's order, and changes nothing.
class KeyNotingHook final : public vexdal::Hook {
 public:
  vexdal::HookResult call(vexdal::SectionType, vexdal::SectionAttributes& attrs,
                          const vexdal::Header&) override {
    for (const auto& entry : attrs.map()) seen += std::string(entry.first) + " ";
    seen += "| ";
    return std::monostate{};
  }

  std::string seen;
};

// Sections that repeat the keys of the one before them are read by those keys. A key read at
// its place is new to its section only while the section before held each of its keys once:
// a repeat there, read again at its place, is still one entry.
void check_repeated_keys(Checker& checker) {
  const auto statement_of = [](const std::vector<std::string_view>& sections) {
    std::string text = "1CClientBankExchange\n";
    for (const std::string_view keys : sections) {
      text += "СекцияДокумент=Платежное поручение\n";
      for (const char key : keys) text += std::string(1, key) + "=" + key + "\n";
      text += "КонецДокумента\n";
    }
    return text + "КонецФайла\n";
  };
  const std::pair<std::vector<std::string_view>, std::string_view> cases[] = {
      {{"aba", "aba", "aba"}, "a b | a b | a b | "},
      {{"abc", "abc", "aba"}, "a b c | a b c | a b | "},
      {{"aab", "aab"}, "a b | a b | "},
      {{"abc", "abcab"}, "a b c | a b c | "},
      {{"ba", "aba", "aba"}, "b a | a b | a b | "},
  };
  for (const auto& [sections, seen] : cases) {
    KeyNotingHook noting;
    VEXDAL_CHECK(checker, static_cast<bool>(parse(statement_of(sections), {&noting})));
    VEXDAL_CHECK_EQUAL(checker, noting.seen, seen);
  }
}

// Hook texts share blocks of 16 KB: a block per text would cost a hooked statement 16 KB for each
// value a hook rewrote. Small texts kept in turn lie one after the other, also around a large
// one, which gets a block of its own, and each reads back as it was.
void check_text_store(Checker& checker) {
  vexdal::TextStore store;
  const std::string large(5000, 'x');
  const std::string_view first = store.keep("ab");
  const std::string_view second = store.keep("cde");
  const std::string_view own = store.keep(large);
  const std::string_view third = store.keep("f");
  VEXDAL_CHECK(checker, second.data() == first.data() + first.size());
  VEXDAL_CHECK(checker, third.data() == second.data() + second.size());
  VEXDAL_CHECK_EQUAL(checker, std::string(first) + std::string(second) + std::string(third),
                     "abcdef");
  VEXDAL_CHECK(checker, own == large);
}

}  // namespace

void check_sections(Checker& checker) {
  check_charsets(checker);
  check_hooks(checker);
  check_errors(checker);
  check_text_map(checker);
  check_repeated_keys(checker);
  check_text_store(checker);
}

}  // namespace vexdal_test
