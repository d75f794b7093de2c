#include "core/resolver/loaders.h"

#include <system_error>
#include <variant>

#include "core/display.h"
#include "core/format.h"

namespace tyx {
namespace {

struct Utf8Fault {
    size_t index = 0;
    // The length of the invalid sequence; none when the text ends inside a sequence.
    std::optional<size_t> length;
};

size_t utf8_sequence_width(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The second byte's range depends on the lead: it excludes overlong forms, surrogates and
// code points above U+10FFFF.
bool second_byte_fits(unsigned char lead, unsigned char second) {
    switch (lead) {
        case 0xE0:
            return second >= 0xA0 && second <= 0xBF;
        case 0xED:
            return second >= 0x80 && second <= 0x9F;
        case 0xF0:
            return second >= 0x90 && second <= 0xBF;
        case 0xF4:
            return second >= 0x80 && second <= 0x8F;
        default:
            return is_continuation(second);
    }
}

// The length of the valid sequence at `index`, or the fault there.
std::variant<size_t, Utf8Fault> check_utf8_at(std::string_view text, size_t index) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(index);
    if (lead < 0x80) return size_t{1};
    size_t width = utf8_sequence_width(lead);
    if (width == 0) return Utf8Fault{index, 1};
    for (size_t k = 1; k < width; ++k) {
        if (index + k >= text.size()) return Utf8Fault{index, std::nullopt};
        unsigned char next = byte(index + k);
        bool fits = k == 1 ? second_byte_fits(lead, next) : is_continuation(next);
        if (!fits) return Utf8Fault{index, k};
    }
    return width;
}

std::optional<Utf8Fault> find_invalid_utf8(std::string_view text) {
    size_t index = 0;
    while (index < text.size()) {
        auto step = check_utf8_at(text, index);
        if (auto* fault = std::get_if<Utf8Fault>(&step)) return *fault;
        index += std::get<size_t>(step);
    }
    return std::nullopt;
}

}  // namespace

Status validate_import_path(std::string_view path) {
    if (path.empty()) return CompileError::of(ErrorKind::Import, "import path is empty");
    if (path.find('\0') != std::string_view::npos) {
        return CompileError::of(ErrorKind::Import, "import path contains null byte");
    }
    return {};
}

Status check_import_path(std::string_view path) {
    if (!path.starts_with("./") && !path.starts_with("../")) {
        return CompileError::of(ErrorKind::Import,
                                "import path must be relative (start with './' or '../'): \"" +
                                    std::string(path) + "\"");
    }
    if (path.find('\0') != std::string_view::npos) {
        return CompileError::of(ErrorKind::Import, "import path contains null byte");
    }
    return {};
}

std::optional<std::string_view> file_extension(std::string_view file_name) {
    size_t dot = file_name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    return file_name.substr(dot + 1);
}

bool has_markdown_extension(std::string_view key) {
    // The final component as the platform sees it: trailing "/" and "." components skipped, and
    // none after a final "..".
    std::string_view rest = key;
    while (true) {
        while (rest.ends_with('/'))
            rest.remove_suffix(1);
        size_t cut = rest.rfind('/');
        std::string_view name = cut == std::string_view::npos ? rest : rest.substr(cut + 1);
        if (name == ".") {
            rest.remove_suffix(1);
            continue;
        }
        if (name.empty() || name == "..") return false;
        std::optional<std::string_view> extension = file_extension(name);
        return extension && *extension == "md";
    }
}

std::optional<std::string> describe_invalid_utf8(std::string_view text) {
    std::optional<Utf8Fault> fault = find_invalid_utf8(text);
    if (!fault) return std::nullopt;
    if (!fault->length) {
        return "incomplete utf-8 byte sequence from index " + decimal(fault->index);
    }
    return "invalid utf-8 sequence of " + decimal(*fault->length) + " bytes from index " +
           decimal(fault->index);
}

std::string escape_path_for_display(std::string_view path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    size_t index = 0;
    while (index < path.size()) {
        auto step = check_utf8_at(path, index);
        if (auto* width = std::get_if<size_t>(&step)) {
            out.append(path.substr(index, *width));
            index += *width;
            continue;
        }
        auto byte = static_cast<unsigned char>(path[index]);
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
        ++index;
    }
    return escape_for_display(std::move(out));
}

std::string system_error_text(int error_number) {
    return std::generic_category().message(error_number);
}

}  // namespace tyx
