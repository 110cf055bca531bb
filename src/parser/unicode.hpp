// Character classes from the Unicode Character Database, looked up in generated range tables.
#pragma once

namespace vexdal {

// False for the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs other than the space.
bool is_printable(char32_t cp) noexcept;
// The Grapheme_Extend property: combining marks that would attach to the quote before them.
bool is_grapheme_extend(char32_t cp) noexcept;

}  // namespace vexdal
