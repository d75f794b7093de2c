// White space as the Unicode White_Space property, the one definition every trim uses.
#pragma once

#include <cstddef>
#include <string_view>

namespace tyx {

bool is_white_space(char32_t c);

// Encoded length of the White_Space character that begins at byte `i` of `text`, or 0.
size_t white_space_prefix(std::string_view text, size_t i);

std::string_view trim_white_space_at_edges(std::string_view text);
// Most texts begin and end with a printable ASCII byte, which no White_Space character
// encoding contains; those are answered without a call.
inline std::string_view trim_white_space(std::string_view text) {
    const auto printable = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7F;
    };
    if (!text.empty() && printable(text.front()) && printable(text.back())) return text;
    return trim_white_space_at_edges(text);
}
std::string_view trim_leading_white_space(std::string_view text);
std::string_view trim_trailing_white_space(std::string_view text);
bool is_white_space_only(std::string_view text);
// The lines of `text` from the first to the last that holds anything but white space, whole,
// without the line feed after the last; empty when every line is blank.
std::string_view trim_blank_lines(std::string_view text);

}  // namespace tyx
