// The quoted text form shared by the amount message and the Python representations: double quotes,
// backslash escapes, printable characters (Cyrillic included) as they are.
#pragma once

#include <string>
#include <string_view>

namespace vexdal {

// Appends the quoted form of valid UTF-8 text to out.
void append_quoted(std::string& out, std::string_view text);

}  // namespace vexdal
