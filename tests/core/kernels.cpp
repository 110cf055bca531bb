// The paths a processor chooses between, each against the plain reading it must agree with: the
// UTF-8 check, the UTF-16 decoder and the line finder over faults at every place around their
// blocks, and documents whose texts lie too far apart for spans. tools/kernels.sh builds this
// test with each path forced and the span limit lowered.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "core_tests.hpp"
#include "lines.hpp"
#include "page_end.hpp"
#include "utf8.hpp"

namespace vexdal_test {
namespace {

// A character at a time, with no shortcut: the prefix valid_utf8_prefix must find.
std::size_t plain_utf8_prefix(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const vexdal::Sequence sequence = vexdal::scan_sequence(bytes.substr(i));
    if (!sequence.complete) return i;
    i += sequence.length;
  }
  return i;
}

// Texts the vector checks settle a block at a time, each well-formed: ASCII, Cyrillic pairs
// from an even and from an odd offset (so that pairs straddle blocks), and characters of three
// and four bytes among them.
std::string repeated(std::string_view piece, std::size_t size) {
  std::string text;
  while (text.size() < size) text += piece;
  text.resize(size);
  return text;
}

void check_utf8(Checker& checker) {
  Checker::Case kernel(checker, std::string("UTF-8 check ") + vexdal::utf8_kernel_name());
  // The plain reading below is itself checked on the forms whose lead byte is valid and whose
  // second byte is not: overlong (E0, F0), a surrogate (ED) and past U+10FFFF (F4).
  for (const std::string_view form : {"\xE0\x82\xAC", "\xF0\x82\x82\xAC", "\xED\xA0\x80",
                                      "\xF4\x90\x80\x80"}) {
    Checker::Case name(checker, "ill-formed " + quoted(form));
    VEXDAL_CHECK(checker, !vexdal::scan_sequence(form).complete);
    VEXDAL_CHECK_EQUAL(checker, vexdal::valid_utf8_prefix(form), std::size_t{0});
  }
  const std::string_view pieces[] = {"statement ", "выписка", "aвыписка", "счёт №€ 😀 ok"};
  // Bytes that break a text wherever they stand, or start a character they do not finish.
  const unsigned char faults[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                  0xE0, 0xED, 0xF0, 0xF4, 0xF5, 0xFF};
  std::size_t cases = 0;
  std::size_t disagreements = 0;
  for (const std::string_view piece : pieces) {
    for (const std::size_t size : {63u, 64u, 65u, 127u, 128u, 129u, 200u}) {
      const std::string text = repeated(piece, size);
      // A piece cut off at the end is itself a fault; the reading below finds it the same way.
      for (std::size_t at = 0; at <= text.size(); ++at) {
        for (const unsigned char fault : faults) {
          std::string broken = text;
          if (at < broken.size()) {
            broken[at] = static_cast<char>(fault);
          } else {
            broken += static_cast<char>(fault);
          }
          ++cases;
          const std::size_t expected = plain_utf8_prefix(broken);
          if (vexdal::valid_utf8_prefix(broken) == expected) continue;
          if (disagreements++ == 0) {
            Checker::Case name(checker, quoted(piece) + " x" + std::to_string(size) + ", byte " +
                                            std::to_string(fault) + " at " + std::to_string(at));
            VEXDAL_CHECK_EQUAL(checker, vexdal::valid_utf8_prefix(broken), expected);
          }
        }
      }
    }
  }
  VEXDAL_CHECK_EQUAL(checker, disagreements, std::size_t{0});
  VEXDAL_CHECK(checker, cases > 10000);
}

// Bytes as C escapes, so that a failure shows a CR or a zero; the texts are not UTF-8.
std::string escaped(std::string_view bytes) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0xF];
    }
  }
  return out;
}

// The lines of text as LineSplitter must give them: a LF or CR LF ends a line, a last line
// without one keeps all it has, and the offset of each line's first "=".
std::string plain_lines(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string_view line;
    if (end == std::string_view::npos) {
      line = text.substr(start);
      end = text.size();
    } else {
      line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    const std::size_t equals = line.find('=');
    out += escaped(line) + " " + (equals == std::string_view::npos ? "-" : std::to_string(equals));
    out += "\n";
    start = end + 1;
  }
  return out;
}

std::string split_lines(std::string_view text) {
  std::string out;
  vexdal::LineSplitter splitter(text);
  std::string_view line;
  std::size_t equals = 0;
  while (splitter.next(line, equals)) {
    out += escaped(line) + " " +
           (equals == vexdal::LineSplitter::no_equals ? "-" : std::to_string(equals)) + "\n";
  }
  return out;
}

// The lines of plain_lines() without "=", with their numbers, as LinesWithoutEquals must give
// them.
std::string plain_bare_lines(std::string_view text) {
  std::string out;
  std::size_t lineno = 0;
  std::size_t start = 0;
  const std::string lines = plain_lines(text);
  while (start < lines.size()) {
    const std::size_t end = lines.find('\n', start);
    const std::string_view line(lines.data() + start, end - start);
    ++lineno;
    if (line.size() >= 2 && line.substr(line.size() - 2) == " -") {
      out += std::to_string(lineno) + " " + std::string(line.substr(0, line.size() - 2)) + "\n";
    }
    start = end + 1;
  }
  return out;
}

std::string bare_lines(std::string_view text) {
  std::string out;
  vexdal::LinesWithoutEquals lines(text);
  std::string_view line;
  while (lines.next(line)) {
    out += std::to_string(lines.number_of(line)) + " " + escaped(line) + "\n";
  }
  return out;
}

void check_lines(Checker& checker) {
  Checker::Case kernel(checker, std::string("line finder ") + vexdal::line_kernel_name());
  // Texts of every length around the blocks, from bytes that mark lines and bytes that do not
  // (a zero, as the padding of the last block is made of, and the bytes of other characters),
  // drawn by a fixed generator so that every run tries the same texts.
  const char marks_of_lines[] = {'\n', '\r', '='};
  // Besides, the bytes one bit away from a mark, which a word-wise comparison could mistake for
  // it (ъ is D1 8A in UTF-8, and 8A is LF with the high bit set).
  const char others[] = {'a', ' ', '\0', '\xD0', '\x80', '\x8A', '\xBD', '\x0B', '<', '\x8D'};
  std::uint32_t state = 2463534242u;
  const auto draw = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  std::size_t disagreements = 0;
  for (std::size_t size = 0; size <= 200; ++size) {
    for (int round = 0; round < 20; ++round) {
      // Lines of many lengths: a mark is rare in some texts and in every byte of others.
      const std::uint32_t density = draw() % 8 + 1;
      std::string text;
      for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t pick = draw();
        text += pick % 9 < density ? marks_of_lines[pick / 9 % std::size(marks_of_lines)]
                                   : others[pick / 9 % std::size(others)];
      }
      const std::string expected = plain_lines(text);
      const std::string expected_bare = plain_bare_lines(text);
      if (split_lines(text) == expected && bare_lines(text) == expected_bare) continue;
      if (disagreements++ == 0) {
        Checker::Case name(checker, escaped(text));
        VEXDAL_CHECK_EQUAL(checker, split_lines(text), expected);
        VEXDAL_CHECK_EQUAL(checker, bare_lines(text), expected_bare);
      }
    }
  }
  VEXDAL_CHECK_EQUAL(checker, disagreements, std::size_t{0});
}

// The keys a document cannot do without, with short values: its texts lie within a few hundred
// bytes, under the lowered span limit of a test build.
constexpr std::string_view short_document =
    "СекцияДокумент=Б\n"
    "Номер=1\nДата=05.03.2024\nСумма=1.00\nНазначениеПлатежа=x\n"
    "ПлательщикИНН=1\nПлательщикБИК=2\nПлательщикБанк1=3\nПлательщикСчет=4\n"
    "ПолучательИНН=5\nПолучательСчет=6\nПолучательБИК=7\nПолучательБанк1=8\n"
    "КонецДокумента\n";

void check_wide_texts(Checker& checker) {
  Checker::Case name(checker, "texts too far apart for spans");
  std::string purpose;
  for (int i = 0; i < 40; ++i) purpose += "Оплата по счёту № 42. ";
  constexpr std::string_view short_purpose = "НазначениеПлатежа=x";
  std::string long_document(short_document);
  long_document.insert(long_document.find(short_purpose) + short_purpose.size(), purpose);
  constexpr std::string_view first_number = "Номер=1";
  long_document.replace(long_document.find(first_number), first_number.size(), "Номер=2");
  const std::string input =
      "1CClientBankExchange\n" + std::string(short_document) + long_document + "КонецФайла\n";
  const ParseResult parsed = vexdal::parse_statement(input, {});
  if (!VEXDAL_CHECK(checker, static_cast<bool>(parsed))) return;
  const vexdal::Statement& statement = parsed.value();
  if (!VEXDAL_CHECK_EQUAL(checker, statement.documents.size(), std::size_t{2})) return;
#if defined(VEXDAL_SPAN_LIMIT)
  VEXDAL_CHECK(checker, short_document.size() < VEXDAL_SPAN_LIMIT);
  VEXDAL_CHECK(checker, purpose.size() > VEXDAL_SPAN_LIMIT);
  // Only the long document's texts are kept apart.
  VEXDAL_CHECK_EQUAL(checker, statement.wide_texts.size(), std::size_t{1});
  VEXDAL_CHECK(checker, statement.documents[1].wide != nullptr);
#else
  VEXDAL_CHECK_EQUAL(checker, statement.wide_texts.size(), std::size_t{0});
#endif
  VEXDAL_CHECK(checker, statement.documents[0].wide == nullptr);
  for (std::size_t i = 0; i < 2; ++i) {
    const vexdal::Document& document = statement.documents[i];
    VEXDAL_CHECK_EQUAL(checker, vexdal::utf8_string(document[vexdal::field_named("doc_number")]),
                       i == 0 ? "1" : "2");
    VEXDAL_CHECK_EQUAL(checker, vexdal::utf8_string(document[vexdal::field_named("doc_type")]),
                       "Б");
    VEXDAL_CHECK_EQUAL(checker, vexdal::utf8_string(document[vexdal::field_named("purpose")]),
                       i == 0 ? "x" : "x" + purpose);
    VEXDAL_CHECK_EQUAL(checker, vexdal::utf8_string(document[vexdal::field_named("payee_bank1")]),
                       "8");
  }
}


// decode_utf8_ucs2 against a character-at-a-time reading, at every length around its 16-byte
// steps and from every offset into each piece (so that pairs straddle steps and the padded last
// step): the same units, and not one written past those asked for. A text cut inside a
// character, or a stray continuation byte, is refused.
void check_utf16_decode(Checker& checker) {
  Checker::Case kernel(checker, std::string("UTF-16 decode ") + vexdal::utf8_kernel_name());
  const std::string_view pieces[] = {"statement ", "выписка", " №1 счёт", " счёт", "Ж", "z€"};
  constexpr std::uint16_t guard = 0xBEEF;
  std::size_t disagreements = 0;
  std::size_t cases = 0;
  for (const std::string_view piece : pieces) {
    for (std::size_t size = 0; size <= 70; ++size) {
      for (std::size_t offset = 0; offset < piece.size(); ++offset) {
        std::string text = repeated(std::string(piece.substr(offset)) + std::string(piece), size);
        // Whole characters only: a cut one is a case of its own below.
        while (!text.empty() && plain_utf8_prefix(text) != text.size()) text.pop_back();
        std::vector<std::uint16_t> expected;
        for (std::size_t pos = 0; pos < text.size();) {
          expected.push_back(static_cast<std::uint16_t>(vexdal::next_code_point(text, pos)));
        }
        bool pairs_only = true;
        for (const char c : text) pairs_only = pairs_only && static_cast<unsigned char>(c) < 0xE0;
        std::vector<std::uint16_t> out(expected.size() + 16, guard);
        ++cases;
        const bool decoded =
            vexdal::decode_utf8_ucs2(text, out.data(), expected.size(), pairs_only);
        const bool same = std::equal(expected.begin(), expected.end(), out.begin()) &&
                          std::all_of(out.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                                      out.end(), [](std::uint16_t unit) { return unit == guard; });
        // A text read right still has its broken forms tried below.
        if (!(decoded && same) && disagreements++ == 0) {
          Checker::Case name(checker, quoted(text));
          VEXDAL_CHECK(checker, decoded);
          VEXDAL_CHECK(checker, same);
        }
        if (text.empty()) continue;
        // Room for one unit fewer than the text holds: refused, with nothing written past it.
        {
          const std::size_t room = expected.size() - 1;
          std::vector<std::uint16_t> short_out(room + 16, guard);
          ++cases;
          const bool refused = !vexdal::decode_utf8_ucs2(text, short_out.data(), room, pairs_only);
          const bool within =
              std::all_of(short_out.begin() + static_cast<std::ptrdiff_t>(room), short_out.end(),
                          [](std::uint16_t unit) { return unit == guard; });
          if (!(refused && within) && disagreements++ == 0) {
            Checker::Case name(checker, "short of room " + quoted(text));
            VEXDAL_CHECK(checker, refused);
            VEXDAL_CHECK(checker, within);
          }
        }
        // Asked for more units than the text holds, with the text at a page's end: refused, and
        // no step reads past the text for want of units to stop it (a fault there is a crash).
        {
          const AtPageEnd at_end(text);
          std::vector<std::uint16_t> long_out(expected.size() + 32, guard);
          ++cases;
          const bool refused = !vexdal::decode_utf8_ucs2(at_end.view(), long_out.data(),
                                                         expected.size() + 16, pairs_only);
          if (!refused && disagreements++ == 0) {
            Checker::Case name(checker, "more units asked than " + quoted(text) + " holds");
            VEXDAL_CHECK(checker, refused);
          }
        }
        // The same text with its last byte cut off, or a continuation byte put first.
        for (const std::string& broken : {text.substr(0, text.size() - 1), "\x80" + text}) {
          if (plain_utf8_prefix(broken) == broken.size()) continue;  // cut after ASCII
          std::vector<std::uint16_t> scratch(broken.size() + 16, guard);
          ++cases;
          // Refused whatever count is asked for, that of the whole text's characters among them.
          bool refused = true;
          for (const std::size_t count : {broken.size(), expected.size(), expected.size() + 1}) {
            refused =
                refused && !vexdal::decode_utf8_ucs2(broken, scratch.data(), count, pairs_only);
          }
          const bool within = std::all_of(
              scratch.begin() + static_cast<std::ptrdiff_t>(broken.size()), scratch.end(),
              [](std::uint16_t unit) { return unit == guard; });
          if (refused && within) continue;
          if (disagreements++ == 0) {
            Checker::Case name(checker, "broken " + quoted(broken));
            VEXDAL_CHECK(checker, refused);
            VEXDAL_CHECK(checker, within);
          }
        }
      }
    }
  }
  VEXDAL_CHECK_EQUAL(checker, disagreements, std::size_t{0});
  VEXDAL_CHECK(checker, cases > 1000);
}
}  // namespace

void check_kernels(Checker& checker) {
#if defined(VEXDAL_FORCE_KERNEL)
  // A forced path that did not run would pass for one that did.
  VEXDAL_CHECK_EQUAL(checker, std::string_view(vexdal::utf8_kernel_name()), VEXDAL_FORCE_KERNEL);
  VEXDAL_CHECK_EQUAL(checker, std::string_view(vexdal::line_kernel_name()),
                     std::string_view(VEXDAL_FORCE_KERNEL) == "scalar" ? "words" : "sse2");
#else
  // The note below is how a run tells which paths it took, so it must name them.
  const std::string_view utf8 = vexdal::utf8_kernel_name();
  VEXDAL_CHECK(checker, utf8 == "avx2" || utf8 == "sse2" || utf8 == "scalar");
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  // The widest check the processor has: a feature test that always said no would leave every
  // machine on a slower one, and every other check would still pass. The compiler's own
  // runtime answers here, which knows AVX2 only where the system also saves its registers.
  __builtin_cpu_init();
#if defined(__SSE2__)
  constexpr std::string_view without_avx2 = "sse2";
#else
  constexpr std::string_view without_avx2 = "scalar";
#endif
  VEXDAL_CHECK_EQUAL(checker, utf8, __builtin_cpu_supports("avx2") ? "avx2" : without_avx2);
#endif
#if defined(__SSE2__)
  VEXDAL_CHECK_EQUAL(checker, std::string_view(vexdal::line_kernel_name()), "sse2");
#endif
#endif
  checker.note(std::string("UTF-8 check ") + vexdal::utf8_kernel_name() + ", line finder " +
               vexdal::line_kernel_name());
  check_utf8(checker);
  check_utf16_decode(checker);
  check_lines(checker);
  check_wide_texts(checker);
}

}  // namespace vexdal_test
