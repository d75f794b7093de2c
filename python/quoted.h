// The quoted form of texts in printed forms and in the binding's own messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tyx::py {

// Appends the text between double quotes: TAB, CR, LF and NUL as \t, \r, \n and \0, a
// backslash or double quote after a backslash, a grapheme-extending or unprintable character
// as \u{X} with X in lowercase hexadecimal; everything else, the single quote included, as is.
void append_quoted(std::string_view text, std::string& out);
std::string quoted(std::string_view text);
// "[" the quoted texts separated by ", " "]".
void append_quoted_list(const std::vector<std::string>& texts, std::string& out);

}  // namespace tyx::py
