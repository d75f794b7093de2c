#include "core/display.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

namespace tyx {
namespace {

// One character of the dangerous set found at a position: its encoded length and code point.
// A length of 0 means the character there is kept.
struct Dangerous {
    size_t length = 0;
    char32_t code_point = 0;
};

inline unsigned char byte_at(std::string_view text, size_t i) {
    return static_cast<unsigned char>(text[i]);
}

// The dangerous characters above U+007F are matched on their exact UTF-8 encodings, so an
// ill-formed sequence never matches and is copied byte for byte; LF is decided by the caller.
Dangerous dangerous_at(std::string_view text, size_t i) {
    const unsigned char b0 = byte_at(text, i);
    if (b0 < 0x20) return b0 == '\t' ? Dangerous{} : Dangerous{1, b0};
    if (b0 == 0x7F) return {1, 0x7F};
    if (b0 < 0xC2) return {};
    const size_t left = text.size() - i;
    if (b0 == 0xC2) {
        if (left < 2) return {};
        const unsigned char b1 = byte_at(text, i + 1);
        if (b1 >= 0x80 && b1 <= 0x9F) return {2, b1};
        return {};
    }
    if (b0 == 0xD8) {
        if (left >= 2 && byte_at(text, i + 1) == 0x9C) return {2, 0x061C};
        return {};
    }
    if (b0 == 0xE2) {
        if (left < 3) return {};
        const unsigned char b1 = byte_at(text, i + 1);
        const unsigned char b2 = byte_at(text, i + 2);
        if ((b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) return {};
        const char32_t code_point =
            0x2000u | (static_cast<char32_t>(b1 & 0x3F) << 6) | (b2 & 0x3Fu);
        if (code_point == 0x200E || code_point == 0x200F ||
            (code_point >= 0x2028 && code_point <= 0x202E) ||
            (code_point >= 0x2066 && code_point <= 0x2069)) {
            return {3, code_point};
        }
        return {};
    }
    if (b0 == 0xEF) {
        if (left >= 3 && byte_at(text, i + 1) == 0xBB && byte_at(text, i + 2) == 0xBF) {
            return {3, 0xFEFF};
        }
        return {};
    }
    return {};
}

// Bytes with which an escaped character can begin; everything else is kept as it stands.
constexpr bool is_escape_candidate_byte(unsigned char b) {
    return b < 0x20 || b == 0x7F || b == 0xC2 || b == 0xD8 || b == 0xE2 || b == 0xEF;
}

bool has_escape_candidate(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b != '\t' && is_escape_candidate_byte(b);
    });
}

// Escapes are six bytes: backslash, "u" and four uppercase hex digits.
constexpr size_t kEscapeLength = 6;

void append_escape(std::string& out, char32_t code_point) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '\\';
    out += 'u';
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(code_point >> shift) & 0xF];
}

size_t count_escaped(std::string_view text) {
    size_t escaped = 0;
    for (size_t i = 0; i < text.size();) {
        const Dangerous d = dangerous_at(text, i);
        if (d.length == 0) {
            ++i;
            continue;
        }
        ++escaped;
        i += d.length;
    }
    return escaped;
}

std::string escape_counted(std::string_view text, size_t escaped) {
    std::string out;
    out.reserve(text.size() + escaped * (kEscapeLength - 1));
    size_t run_start = 0;
    for (size_t i = 0; i < text.size();) {
        const Dangerous d = dangerous_at(text, i);
        if (d.length == 0) {
            ++i;
            continue;
        }
        out.append(text.substr(run_start, i - run_start));
        append_escape(out, d.code_point);
        i += d.length;
        run_start = i;
    }
    out.append(text.substr(run_start));
    return out;
}

// What neutralizing writes for a dangerous character: always its own UTF-8 length.
std::string_view replacement_for(const Dangerous& d) {
    switch (d.length) {
        case 1:
            return "?";
        case 2:
            return "\xC2\xA0";  // U+00A0 NO-BREAK SPACE
        default:
            return "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
    }
}

Dangerous neutralized_at(std::string_view text, size_t i) {
    if (text[i] == '\n') return {};
    return dangerous_at(text, i);
}

}  // namespace

std::string escape_for_display(std::string_view text) {
    if (!has_escape_candidate(text)) return std::string(text);
    const size_t escaped = count_escaped(text);
    if (escaped == 0) return std::string(text);
    return escape_counted(text, escaped);
}

std::string escape_for_display(std::string&& text) {
    if (!has_escape_candidate(text)) return std::move(text);
    const size_t escaped = count_escaped(text);
    if (escaped == 0) return std::move(text);
    return escape_counted(text, escaped);
}

std::optional<std::string> neutralize_source_for_render_checked(std::string_view text) {
    size_t first = text.size();
    for (size_t i = 0; i < text.size(); ++i) {
        if (neutralized_at(text, i).length != 0) {
            first = i;
            break;
        }
    }
    if (first == text.size()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    out.append(text.substr(0, first));
    for (size_t i = first; i < text.size();) {
        const Dangerous d = neutralized_at(text, i);
        if (d.length == 0) {
            out += text[i];
            ++i;
            continue;
        }
        out.append(replacement_for(d));
        i += d.length;
    }
    if (out.size() != text.size()) return std::nullopt;
    return out;
}

std::string neutralize_source_for_render(std::string_view text) {
    std::optional<std::string> neutralized = neutralize_source_for_render_checked(text);
    if (neutralized) return std::move(*neutralized);
    // Keeps the one promise callers rely on, the byte length, with nothing left to render.
    return std::string(text.size(), '?');
}

}  // namespace tyx
