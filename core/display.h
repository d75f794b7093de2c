// Display-safe forms of user text: one-line escapes and same-length source neutralizing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tyx {

// Writes control and bidirectional characters as "\uXXXX" so the text shows on one line.
std::string escape_for_display(std::string_view text);
// The same, taking the text over: returned without copying when nothing needs escaping.
std::string escape_for_display(std::string&& text);
// Literals would otherwise match both overloads equally well.
inline std::string escape_for_display(const char* text) {
    return escape_for_display(std::string_view(text));
}

// Replaces control and bidirectional characters by harmless ones of the same UTF-8 length, so
// every byte offset, line number and character column stays valid.
std::string neutralize_source_for_render(std::string_view text);
// The same, or nothing if the result's byte length ever differed from the input's, which would
// shift every span offset and caret column after the first substitution;
// neutralize_source_for_render falls back to "?" for every byte then.
std::optional<std::string> neutralize_source_for_render_checked(std::string_view text);

}  // namespace tyx
