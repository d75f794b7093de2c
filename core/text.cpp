#include "core/text.h"

namespace tyx {

bool is_white_space(char32_t c) {
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// Matches the UTF-8 encodings byte by byte, so no decoding is needed on the common ASCII path
// and a malformed byte is never white space.
size_t white_space_prefix(std::string_view text, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const size_t left = text.size() - i;
    const unsigned char b0 = b(0);
    if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
    if (b0 == 0xC2 && left >= 2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
    if (left < 3) return 0;
    const unsigned char b1 = b(1);
    const unsigned char b2 = b(2);
    if (b0 == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
    if (b0 == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
    if (b0 != 0xE2) return 0;
    if (b1 == 0x80) {
        // U+2000..U+200A, U+2028, U+2029, U+202F
        return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
    }
    return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
}

namespace {

// Encoded length of the White_Space character that ends just before `end`, or 0. Lead bytes
// are never continuation bytes, so a whole encoding that ends here is the last character.
size_t white_space_suffix(std::string_view text, size_t end) {
    // An ASCII byte ends no multi-byte encoding, so it alone decides.
    if (const auto last = static_cast<unsigned char>(text[end - 1]); last < 0x80) {
        return (last == ' ' || (last >= 0x09 && last <= 0x0D)) ? 1 : 0;
    }
    for (size_t length = 1; length <= 3 && length <= end; ++length) {
        if (white_space_prefix(text.substr(0, end), end - length) == length) return length;
    }
    return 0;
}

}  // namespace

std::string_view trim_leading_white_space(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t length = white_space_prefix(text, begin);
        if (length == 0) break;
        begin += length;
    }
    return text.substr(begin);
}

std::string_view trim_trailing_white_space(std::string_view text) {
    size_t end = text.size();
    while (end > 0) {
        const size_t length = white_space_suffix(text, end);
        if (length == 0) break;
        end -= length;
    }
    return text.substr(0, end);
}

std::string_view trim_white_space_at_edges(std::string_view text) {
    return trim_trailing_white_space(trim_leading_white_space(text));
}

bool is_white_space_only(std::string_view text) {
    return trim_leading_white_space(text).empty();
}

std::string_view trim_blank_lines(std::string_view text) {
    size_t begin = 0;
    while (true) {
        const size_t feed = text.find('\n', begin);
        if (!is_white_space_only(text.substr(begin, feed - begin))) break;
        if (feed == std::string_view::npos) return {};
        begin = feed + 1;
    }
    // A line that holds something else stands at `begin`, so the search back stops there.
    size_t end = text.size();
    while (true) {
        const size_t feed = text.rfind('\n', end - 1);
        if (feed == std::string_view::npos || feed < begin) break;
        if (!is_white_space_only(text.substr(feed + 1, end - feed - 1))) break;
        end = feed;
    }
    return text.substr(begin, end - begin);
}

}  // namespace tyx
