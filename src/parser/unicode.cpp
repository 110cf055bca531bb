// Character classes for the quoted text form, answered from tables generated out of the Unicode
// Character Database; regenerate them with tools/gen_unicode_tables.py, never by hand.
#include "unicode.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace vexdal {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "unicode_tables.inc"

// Below this limit (the one- and two-byte UTF-8 characters: Latin, Greek, Cyrillic) the answer
// comes from a bitmap built at compile time, so quoting statement texts never searches a table.
constexpr char32_t bitmap_limit = 0x800;
using Bitmap = std::array<std::uint32_t, bitmap_limit / 32>;

template <std::size_t N>
constexpr Bitmap bitmap_of(const CodePointRange (&ranges)[N]) {
  Bitmap bits{};
  for (const CodePointRange& range : ranges) {
    for (char32_t cp = range.first; cp <= range.last && cp < bitmap_limit; ++cp) {
      bits[cp / 32] |= std::uint32_t{1} << (cp % 32);
    }
  }
  return bits;
}

constexpr bool has_bit(const Bitmap& bits, char32_t cp) noexcept {
  return ((bits[cp / 32] >> (cp % 32)) & 1u) != 0;
}

constexpr Bitmap not_printable_bits = bitmap_of(not_printable_ranges);
constexpr Bitmap grapheme_extend_bits = bitmap_of(grapheme_extend_ranges);

// quote.cpp copies U+0400..U+047F without asking; a table that ever made one of them unprintable
// or combining must stop the build rather than change the output.
constexpr bool none_set(const Bitmap& bits, char32_t first, char32_t last) {
  for (char32_t cp = first; cp <= last; ++cp) {
    if (has_bit(bits, cp)) return false;
  }
  return true;
}
static_assert(none_set(not_printable_bits, 0x400, 0x47F) &&
                  none_set(grapheme_extend_bits, 0x400, 0x47F),
              "quote.cpp treats U+0400..U+047F as plain letters");

template <std::size_t N>
bool in_table(const CodePointRange (&ranges)[N], const Bitmap& bits, char32_t cp) noexcept {
  if (cp < bitmap_limit) return has_bit(bits, cp);
  // The first range that does not end before cp is the only one that can hold it.
  const CodePointRange* range =
      std::lower_bound(std::begin(ranges), std::end(ranges), cp,
                       [](const CodePointRange& r, char32_t c) { return r.last < c; });
  return range != std::end(ranges) && range->first <= cp;
}

}  // namespace

bool is_printable(char32_t cp) noexcept {
  constexpr char32_t max_code_point = 0x10FFFF;
  return cp <= max_code_point && !in_table(not_printable_ranges, not_printable_bits, cp);
}

bool is_grapheme_extend(char32_t cp) noexcept {
  return in_table(grapheme_extend_ranges, grapheme_extend_bits, cp);
}

}  // namespace vexdal
