// White space as the Unicode White_Space property, the one definition every trim uses.
#pragma once

#include <cstddef>
#include <string_view>

namespace tyx {

bool is_white_space(char32_t c);

// Encoded length of the White_Space character that begins at byte `i` of `text`, or 0.
size_t white_space_prefix(std::string_view text, size_t i);

std::string_view trim_white_space_at_edges(std::string_view text);
// ASCII white space at the edges is stripped here: no other White_Space character's encoding
// holds an ASCII byte, so only an edge byte above 0x7F needs the full search.
inline std::string_view trim_white_space(std::string_view text) {
    const auto ascii_space = [](char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
    const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && ascii_space(text[begin]))
        ++begin;
    while (end > begin && ascii_space(text[end - 1]))
        --end;
    const std::string_view rest = text.substr(begin, end - begin);
    if (!rest.empty() && (!ascii(rest.front()) || !ascii(rest.back()))) {
        return trim_white_space_at_edges(rest);
    }
    return rest;
}
std::string_view trim_leading_white_space(std::string_view text);
std::string_view trim_trailing_white_space(std::string_view text);
bool is_white_space_only(std::string_view text);
// The lines of `text` from the first to the last that holds anything but white space, whole,
// without the line feed after the last; empty when every line is blank.
std::string_view trim_blank_lines(std::string_view text);

}  // namespace tyx
