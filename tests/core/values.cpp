// The value readers on their own: dates and amounts with their text forms and exact messages, at
// the limits where 32-bit arithmetic would first go wrong (96-bit magnitudes, 28 decimals, years
// and exponents past 2^32 and 2^64).
#include <cstring>
#include <random>
#include <utility>

#include "core_tests.hpp"
#include "page_end.hpp"
#include "unicode.hpp"
#include "utf8.hpp"

namespace vexdal_test {
namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

const std::string blank = "empty string is not a valid date";
const std::string premature = "premature end of input";
const std::string invalid = "input contains invalid characters";
const std::string trailing = "trailing input";
const std::string range = "input is out of range";
const std::string max_96 = "79228162514264337593543950335";  // 2^96 - 1

std::string zeros(std::size_t count) { return std::string(count, '0'); }

std::string expected_amount_message(std::string_view quoted) {
  return "invalid value: string " + std::string(quoted) +
         ", expected a Decimal type representing a fixed-point number";
}

// A date in the statement's own form, with the year signed so that years past 9999 read back.
std::string statement_form(const vexdal::Date& date) {
  return std::to_string(date.day) + "." + std::to_string(date.month) + "." +
         (date.year < 0 ? "" : "+") + std::to_string(date.year);
}

void check_dates(Checker& checker) {
  const Cases required = {
      {"01.02.2023", "2023-02-01"},
      {"1.2.2023", "2023-02-01"},
      {"\u00a01.\u30002.\t2023", "2023-02-01"},
      {"01.02.23", "0023-02-01"},
      {"29.02.2024", "2024-02-29"},
      {"29.02.2000", "2000-02-29"},
      {"29.02.0", "0000-02-29"},
      {"29.02.-4", "-0004-02-29"},
      {"01.02.-0", "0000-02-01"},
      {"29.02.+999996", "+999996-02-29"},
      {"01.02.+10000", "+10000-02-01"},
      {"31.12.+999999", "+999999-12-31"},
      {"01.01.-999999", "-999999-01-01"},
      {"01.02.+" + zeros(30) + "1", "0001-02-01"},
      {"", blank},
      {"\u3000\u2028", blank},
      {"01.02.", premature},
      {"01.02.-", premature},
      {"2023-02-01", invalid},
      {"\u0661.02.2023", invalid},
      {"01.02.+-1", invalid},
      {"01.02.2023 ", trailing},
      {"01.02.20234", trailing},
      {"29.02.2023", range},
      {"29.02.1900", range},
      {"29.02.-1", range},
      {"31.04.2024", range},
      // Months outside 1 to 12 in the plain DD.MM.YYYY form, which is read apart from the walk.
      {"01.00.2024", range},
      {"01.13.2024", range},
      {"01.02.+1000000", range},
      {"01.02.-1000000", range},
      {"01.02.+4294967297", range},
      {"01.02.+18446744073709551617", range},
      {"01.02.+" + std::string(30, '9'), range},
  };
  for (const auto& [text, expected] : required) {
    Checker::Case name(checker, "date " + quoted(text));
    const auto date = vexdal::parse_required_date(text);
    VEXDAL_CHECK_EQUAL(
        checker,
        date ? vexdal::date_text(date.value()) : std::string(vexdal::date_error_text(date.error())),
        expected);
    if (!date) continue;
    const auto again = vexdal::parse_required_date(statement_form(date.value()));
    VEXDAL_CHECK(checker, again && again.value() == date.value());
  }

  // A blank optional date is absent; anything else reads as a required one.
  const Cases optional = {{"", "absent"},
                          {"\u2003\t", "absent"},
                          {"6.3.2024", "2024-03-06"},
                          {"01.02.-12345", "-12345-02-01"},
                          {"31.02.2024", range}};
  for (const auto& [text, expected] : optional) {
    Checker::Case name(checker, "optional date " + quoted(text));
    const auto date = vexdal::parse_optional_date(text);
    std::string outcome = date ? "absent" : std::string(vexdal::date_error_text(date.error()));
    if (date && date.value()) outcome = vexdal::date_text(*date.value());
    VEXDAL_CHECK_EQUAL(checker, outcome, expected);
  }
}

void check_amounts(Checker& checker) {
  const Cases amounts = {
      {"1500.00", "1500.00"},
      {"-0.5", "-0.5"},
      {"+1_500.50", "1500.50"},
      {".5", "0.5"},
      {"5.", "5"},
      {"-0", "-0"},
      {"-0.00", "-0.00"},
      {"007.10", "7.10"},
      {zeros(40) + "1", "1"},
      {"0." + zeros(27) + "1", "0." + zeros(27) + "1"},
      {max_96, max_96},
      {"-" + max_96, "-" + max_96},
      {"7." + max_96.substr(1), "7." + max_96.substr(1)},
      {"1.50e1", "15.0"},
      {"5e-2", "0.05"},
      {"1e0000000000000000000002", "100"},
      {"-0e5", "-0"},
      {"0e-3", "0.000"},
      {"1e-28", "0." + zeros(27) + "1"},
      {"7e28", "7" + zeros(28)},
      {max_96.substr(0, 28) + ".5e1", max_96},
      {"0e28", "0"},
      {"1 500.00", "rejected"},
      {"1500,00", "rejected"},
      {"", "rejected"},
      {"1..5", "rejected"},
      {"_1", "rejected"},
      {"+", "rejected"},
      {".", "rejected"},
      {"-.", "rejected"},
      {"inf", "rejected"},
      {"\uff11", "rejected"},
      {"1e", "rejected"},
      {"1e2.5", "rejected"},
      {"79228162514264337593543950336", "rejected"},  // 2^96
      {max_96 + ".0", "rejected"},
      {"0." + zeros(28) + "1", "rejected"},
      {"1e29", "rejected"},
      {"8e28", "rejected"},
      {"1e-29", "rejected"},
      {"0e29", "rejected"},
      {"1.5e-4294967295", "rejected"},
      {"1e4294967296", "rejected"},
      {"1e18446744073709551617", "rejected"},
  };
  for (const auto& [text, expected] : amounts) {
    Checker::Case name(checker, "amount " + quoted(text));
    const auto amount = vexdal::parse_amount(text);
    VEXDAL_CHECK_EQUAL(checker, amount ? vexdal::amount_text(*amount) : "rejected", expected);
    if (!amount) continue;
    // The text form reads back as the very same value: magnitude, written scale and sign.
    const auto again = vexdal::parse_amount(vexdal::amount_text(*amount));
    VEXDAL_CHECK(checker, again && again->magnitude == amount->magnitude &&
                              again->scale == amount->scale && again->negative == amount->negative);
  }

  // Equal values whatever their scales, and signs that count unless the value is zero: the
  // fraction 4294967.300 has a word above the lowest, which the last-digit shortcut must reach.
  const struct {
    const char* a;
    const char* b;
    bool same;
  } values[] = {{"5.00", "-5.00", false}, {"5.0", "-5.00", false}, {"0.00", "-0.00", true},
                {"-0", "0.000", true},     {"1.50", "1.5", true},   {"4294967.300", "4294967.3", true},
                {"4294967.301", "4294967.3", false}};
  for (const auto& [a, b, same] : values) {
    Checker::Case name(checker, std::string("same value ") + a + " " + b);
    const auto x = vexdal::parse_amount(a);
    const auto y = vexdal::parse_amount(b);
    VEXDAL_CHECK(checker, x && y && vexdal::same_value(*x, *y) == same &&
                              vexdal::same_value(*y, *x) == same);
  }

  // The value in the message is escaped where it would not show as itself.
  const Cases escapes = {
      {"1\"5", "\"1\\\"5\""},
      {"1\\5", "\"1\\\\5\""},
      {"1\t5\n", "\"1\\t5\\n\""},
      {std::string{'1', '\0', '5'}, "\"1\\05\""},
      {std::string{'1', '\x01', '5', '\x7f'}, "\"1\\u{1}5\\u{7f}\""},
      {"\u00a0\u200b\u2028\ufeff", "\"\\u{a0}\\u{200b}\\u{2028}\\u{feff}\""},
      {"\u0435\u0301", "\"\u0435\\u{301}\""},
      {"руб 1'5 €\U0001F600\ufffd", "\"руб 1'5 €\U0001F600\ufffd\""},
  };
  for (const auto& [text, expected] : escapes) {
    Checker::Case name(checker, "amount message for " + quoted(text));
    VEXDAL_CHECK_EQUAL(
        checker,
        vexdal::failure_text(
            {vexdal::SectionFailure::Kind::BadAmount, {}, {text, vexdal::Charset::Utf8}}),
        expected_amount_message(expected));
  }
}

// The readers are handed views into longer texts: they must read the view and nothing past it,
// neither the next line's bytes nor, at the end of a mapped input, the page after it.
void check_view_ends(Checker& checker) {
  const Cases amounts = {{"1500.00", "1500.00"},  {"7", "7"},
                         {"-12", "-12"},          {"1.5e1", "15"},
                         {"12345678", "12345678"}, {"-1234567.89", "-1234567.89"}};
  for (const auto& [text, expected] : amounts) {
    Checker::Case name(checker, "amount at a page's end " + quoted(text));
    const AtPageEnd bytes(text);
    const auto amount = vexdal::parse_amount(bytes.view());
    VEXDAL_CHECK_EQUAL(checker, amount ? vexdal::amount_text(*amount) : "rejected", expected);
  }
  {
    Checker::Case name(checker, "amount followed by a digit");
    const auto amount = vexdal::parse_amount(std::string_view("12345").substr(0, 3));
    VEXDAL_CHECK_EQUAL(checker, amount ? vexdal::amount_text(*amount) : "rejected", "123");
  }
  // Account sections that repeat their keys are read by key, looking for each line's LF in the
  // 32 or 64 bytes after its "=", and for their markers with the CR LF after them: a text that
  // ends sooner, right after such a line or after its LF, must still be read by the lines
  // themselves, and nothing past it. A last line keeps its CR, which no marker has.
  using vexdal::ErrorKind;
  const std::pair<std::string_view, ErrorKind> ends[] = {
      {"", ErrorKind::Unfinished},
      {"\n", ErrorKind::Unfinished},
      {"\r\n", ErrorKind::Unfinished},
      {"\nКонецРасчСчет", ErrorKind::Unfinished},
      {"\nКонецРасчСчет\r", ErrorKind::UnrecognizedLine},
      {"\nКонецРасчСчет\n", ErrorKind::Unfinished},
      {"\nКонецРасчСчет\r\n", ErrorKind::Unfinished}};
  for (const auto& [end, kind] : ends) {
    for (const std::size_t length : {std::size_t{1}, std::size_t{40}}) {
      const std::string section =
          "СекцияРасчСчет\nДатаНачала=01.03.2024\nРасчСчет=1\nНачальныйОстаток=1\n";
      const std::string text = "1CClientBankExchange\n" + section +
                               "Примечание=1\nКонецРасчСчет\n" + section + "Примечание=" +
                               std::string(length, 'x') + std::string(end);
      Checker::Case name(checker, "keyed line at a page's end " + quoted(end) + " after " +
                                      std::to_string(length) + " bytes");
      const AtPageEnd bytes(text);
      const auto parsed = vexdal::parse_statement(bytes.view(), {});
      VEXDAL_CHECK(checker, !parsed && parsed.error().kind == kind);
    }
  }
  // An empty date is blank whatever byte lies where its view points.
  for (const std::string_view after : {"", "1"}) {
    Checker::Case name(checker, "empty date before " + quoted(after));
    const AtPageEnd bytes(after);
    const std::string_view empty(bytes.view().data(), 0);
    const auto required = vexdal::parse_required_date(empty);
    VEXDAL_CHECK_EQUAL(checker,
                       required ? vexdal::date_text(required.value())
                                : std::string(vexdal::date_error_text(required.error())),
                       blank);
    const auto optional = vexdal::parse_optional_date(empty);
    VEXDAL_CHECK(checker, optional && !optional.value());
  }
  for (const std::string_view text : {"a", "1CClientBankExchange", "\u0436\u0436", "a\u20ac"}) {
    Checker::Case name(checker, "UTF-8 at a page's end " + quoted(text));
    const AtPageEnd bytes(text);
    VEXDAL_CHECK_EQUAL(checker, vexdal::valid_utf8_prefix(bytes.view()), text.size());
  }
  {
    // A lead byte that ends the view is cut, whatever continuation byte comes after it.
    Checker::Case name(checker, "UTF-8 cut before a continuation byte");
    VEXDAL_CHECK_EQUAL(checker, vexdal::valid_utf8_prefix(std::string_view("a\xd0\x96", 2)),
                       std::size_t{1});
  }
  // Texts of both charsets compared character by character, the shorter one at a page's end.
  const struct {
    const char* windows_1251;
    const char* utf8;
    bool same;
  } pairs[] = {{"ab", "abc", false}, {"ab", "ab", true}, {"\xe6", "\u0436\u0436", false}};
  for (const auto& [cp1251, utf8, same] : pairs) {
    Checker::Case name(checker, std::string("same characters ") + quoted(utf8));
    const AtPageEnd a(cp1251);
    const AtPageEnd b(utf8);
    const vexdal::Text x{a.view(), vexdal::Charset::Windows1251};
    const vexdal::Text y{b.view(), vexdal::Charset::Utf8};
    VEXDAL_CHECK(checker, vexdal::same_characters(x, y) == same);
    VEXDAL_CHECK(checker, vexdal::same_characters(y, x) == same);
  }
}

// The reader of the common form, which takes eight bytes at once, against the general reader on
// texts of the bytes that matter to either: where the short one accepts, the two agree in
// magnitude, scale and sign. Lengths up to 22 cross its limits of 8 bytes and 19 digits.
void check_short_amounts(Checker& checker) {
  const std::string alphabet = "0123456789000999..+-_eE \x2f\x3a\xfa\xff";
  std::mt19937 random(20261209);
  for (std::size_t length = 0; length <= 22; ++length) {
    Checker::Case name(checker, "short amount reader, length " + std::to_string(length));
    std::size_t accepted = 0;
    std::string disagreement;  // the first text the two read apart
    for (int round = 0; round < 4000 && disagreement.empty(); ++round) {
      std::string text;
      for (std::size_t i = 0; i < length; ++i) {
        // Mostly digits, so that long runs of them and the full stop in every place come up.
        text += random() % 4 != 0 ? static_cast<char>('0' + random() % 10)
                                  : alphabet[random() % alphabet.size()];
      }
      vexdal::Decimal fast;
      vexdal::Decimal general;
      if (!vexdal::amount_forms::read_short(text, fast)) continue;
      ++accepted;
      const bool agree = vexdal::amount_forms::read_long(text, general) &&
                         fast.magnitude == general.magnitude && fast.scale == general.scale &&
                         fast.negative == general.negative;
      if (!agree) disagreement = text;
    }
    VEXDAL_CHECK_EQUAL(checker, disagreement, std::string());
    // Texts of 1 to 19 bytes are often of the common form; past a sign and 19 digits, none is.
    if (length >= 1 && length <= 19) VEXDAL_CHECK(checker, accepted > 0);
    if (length > 20) VEXDAL_CHECK(checker, accepted == 0);
  }
}

// The longest texts an amount can have: every scale a Decimal holds, up to 255 fraction digits.
void check_amount_texts(Checker& checker) {
  vexdal::Decimal amount;
  amount.magnitude = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  amount.negative = true;
  for (const unsigned scale : {28u, 29u, 100u, 255u}) {
    Checker::Case name(checker, "amount text of scale " + std::to_string(scale));
    amount.scale = static_cast<std::uint8_t>(scale);
    VEXDAL_CHECK_EQUAL(checker, vexdal::amount_text(amount),
                       scale < max_96.size() ? "-" + max_96.substr(0, max_96.size() - scale) + "." +
                                                   max_96.substr(max_96.size() - scale)
                                             : "-0." + zeros(scale - max_96.size()) + max_96);
  }
}

// No code point past the last combining range is combining, up to the largest char32_t.
void check_character_classes(Checker& checker) {
  for (const char32_t cp : {char32_t{0xE01EF}, char32_t{0xE01F0}, char32_t{0x10FFFF},
                            char32_t{0x110000}, char32_t{0xFFFFFFFF}}) {
    Checker::Case name(checker, "combining " + std::to_string(cp));
    VEXDAL_CHECK(checker, vexdal::is_grapheme_extend(cp) == (cp == 0xE01EF));
  }
}

// Intervals are equal when all six values are, amounts by value: the account book asks only
// after their hashes matched, so a field left out here would show only on a collision.
void check_interval_equality(Checker& checker) {
  const auto amount = [](std::string_view text) { return *vexdal::parse_amount(text); };
  const vexdal::Interval base{vexdal::Date{2024, 1, 2}, vexdal::Date{2024, 1, 3}, amount("10.5"),
                              amount("12"),            amount("2"),               amount("0.5")};
  vexdal::Interval same = base;
  same.start_amount = amount("10.50");
  same.total_expense = amount("0.500");
  VEXDAL_CHECK(checker, vexdal::same_interval(base, same));
  std::vector<std::pair<std::string, vexdal::Interval>> changed(8, {std::string(), base});
  changed[0].first = "date_start";
  changed[0].second.date_start.day = 1;
  changed[1].first = "date_end";
  changed[1].second.date_end->day = 4;
  changed[2].first = "no date_end";
  changed[2].second.date_end.reset();
  changed[3].first = "start_amount";
  changed[3].second.start_amount = amount("-10.5");
  changed[4].first = "end_amount";
  changed[4].second.end_amount = amount("12.01");
  changed[5].first = "no end_amount";
  changed[5].second.end_amount.reset();
  changed[6].first = "total_income";
  changed[6].second.total_income = amount("3");
  changed[7].first = "total_expense";
  changed[7].second.total_expense.reset();
  for (const auto& [field, interval] : changed) {
    Checker::Case name(checker, "interval differing in " + field);
    VEXDAL_CHECK(checker, !vexdal::same_interval(base, interval));
    VEXDAL_CHECK(checker, !vexdal::same_interval(interval, base));
  }
}

}  // namespace

void check_value_readers(Checker& checker) {
  check_dates(checker);
  check_amounts(checker);
  check_short_amounts(checker);
  check_view_ends(checker);
  check_amount_texts(checker);
  check_character_classes(checker);
  check_interval_equality(checker);
}

}  // namespace vexdal_test
