#include "python/quoted.h"

#include <charconv>

#include <unicode/uchar.h>

namespace tyx::py {
namespace {

// Unprintable are the categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs, except the space itself.
bool is_printable(UChar32 c) {
    if (c == U' ') return true;
    switch (u_charType(c)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
        case U_SPACE_SEPARATOR:
            return false;
        default:
            return true;
    }
}

// Decodes the character at `i` and advances past it; an ill-formed byte, which a Python str
// cannot produce, reads as -1 and is stepped over alone.
UChar32 next_code_point(std::string_view text, size_t& i) {
    auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i);
    size_t extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 4;
    if (extra == 0) return text[i++];
    if (extra > 3 || extra >= text.size() - i) {
        ++i;
        return -1;
    }
    UChar32 c = lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return -1;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    i += extra + 1;
    return c;
}

void append_code_point_escape(UChar32 c, std::string& out) {
    char digits[8];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, static_cast<uint32_t>(c), 16);
    out += "\\u{";
    out.append(digits, end);
    out += '}';
}

}  // namespace

void append_quoted(std::string_view text, std::string& out) {
    out += '"';
    for (size_t i = 0; i < text.size();) {
        size_t start = i;
        UChar32 c = next_code_point(text, i);
        switch (c) {
            case U'\t':
                out += "\\t";
                continue;
            case U'\r':
                out += "\\r";
                continue;
            case U'\n':
                out += "\\n";
                continue;
            case U'\0':
                out += "\\0";
                continue;
            case U'\\':
                out += "\\\\";
                continue;
            case U'"':
                out += "\\\"";
                continue;
            default:
                break;
        }
        if (c < 0) {
            out += "\\u{fffd}";
        } else if (!is_printable(c) || u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) {
            append_code_point_escape(c, out);
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    out += '"';
}

std::string quoted(std::string_view text) {
    std::string out;
    append_quoted(text, out);
    return out;
}

void append_quoted_list(const std::vector<std::string>& texts, std::string& out) {
    out += '[';
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) out += ", ";
        append_quoted(texts[i], out);
    }
    out += ']';
}

}  // namespace tyx::py
