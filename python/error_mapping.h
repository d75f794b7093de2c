// What a core error shows in Python: its code, message, help text and span. Plain C++, so that
// the mapping can be tested without an interpreter; errors.cpp turns it into a TyxError.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/display.h"
#include "core/error.h"

namespace tyx::py {

// A byte range with the 1-based line and column (in Unicode scalar values) of its start.
struct SpanRecord {
    std::optional<uint64_t> line;
    std::optional<uint64_t> column;
    uint64_t offset = 0;
    uint64_t length = 0;
    friend bool operator==(const SpanRecord&, const SpanRecord&) = default;
};

struct ErrorFields {
    std::string code;
    std::string message;
    std::optional<std::string> help;
    std::optional<SpanRecord> span;
};

struct KindMapping {
    std::string_view code;
    // Empty for the kinds without help; each {} is filled as help_for_error says.
    std::string_view help;
};

// By kind number, the order of ErrorKind.
inline constexpr std::array<KindMapping, kErrorKindCount> kKindMappings = {{
    {"tyx::syntax", ""},
    {"tyx::undefined_var", "define '{}' in frontmatter or imports"},
    {"tyx::undefined_fn", "define '{}' with @define or import it"},
    {"tyx::arity",
     "check the call site — '{}' requires a different number of arguments than were provided{}"},
    {"tyx::builtin", ""},
    {"tyx::type_error",
     "@for loops require an array value; valid types are arrays (e.g. [1, 2, 3])"},
    {"tyx::type_mismatch",
     "left side is {}, right side is {}; compare against a {} literal, use '@if x:' for "
     "truthiness, or pass a string with '--set-string KEY=VALUE'"},
    {"tyx::circular_import",
     "check your import graph for cycles; A imports B imports A is not allowed"},
    {"tyx::file_not_found", "check the file path and ensure the file exists"},
    {"tyx::import", ""},
    {"tyx::name_collision", ""},
    {"tyx::not_tyx", "use .tyx extension or add 'type: tyx' to frontmatter"},
    {"tyx::io", ""},
    {"tyx::resource_limit", ""},
    {"tyx::yaml", ""},
    {"tyx::json", ""},
    {"tyx::invalid_vars", "vars file must be a JSON object mapping variable names to values"},
    {"tyx::var_conflict",
     "--set coerces the value (bool/number/null/array/string); --set-string always passes a "
     "string — keep the flag whose semantics you want and drop the other"},
    {"tyx::module_not_found",
     "add the module to `options.modules` (WASM / napi / Python) or switch to the native "
     "backend for filesystem-backed imports"},
    {"tyx::recursion",
     "TYX does not support recursive functions; restructure using @for loops or multiple "
     "@define blocks"},
    {"tyx::export", ""},
    {"tyx::extends", ""},
    {"tyx::mixed_content",
     "move all text and interpolations inside @message blocks, or remove the @message blocks "
     "to use plain markdown mode"},
    {"tyx::expected_markdown", ""},
    {"tyx::expected_messages", ""},
    {"tyx::formatter_invariant", "this indicates a bug in `tyx fmt` itself; please file an issue"},
}};

inline const KindMapping& kind_mapping(ErrorKind kind) {
    return kKindMappings[static_cast<size_t>(kind)];
}

// Replaces each {} of `pattern` in turn by the next of `fields`.
inline std::string fill_placeholders(std::string_view pattern,
                                     std::initializer_list<std::string_view> fields) {
    std::string out;
    auto field = fields.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' &&
            field != fields.end()) {
            out += *field++;
            ++i;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

// The help text before display escaping, or nothing for the kinds without one.
inline std::optional<std::string> help_for_error(const CompileError& error) {
    std::string_view pattern = kind_mapping(error.kind).help;
    if (pattern.empty()) return std::nullopt;
    switch (error.kind) {
        case ErrorKind::UndefinedVar:
        case ErrorKind::UndefinedFn:
            return fill_placeholders(pattern, {error.text});
        case ErrorKind::Arity:
            return fill_placeholders(pattern, {error.text, error.detail});
        case ErrorKind::TypeMismatch:
            return fill_placeholders(pattern, {error.text, error.detail, error.text});
        default:
            return std::string(pattern);
    }
}

// The line and column of the character that begins at `offset` in `text`; nothing when the
// offset lies past the text or inside a multi-byte character. Only a line feed starts a line.
inline std::optional<std::pair<uint64_t, uint64_t>> line_and_column(std::string_view text,
                                                                    uint64_t offset) {
    if (offset > text.size()) return std::nullopt;
    auto is_continuation = [](char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
    };
    if (offset < text.size() && is_continuation(text[offset])) return std::nullopt;
    uint64_t line = 1;
    uint64_t column = 1;
    for (size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else if (!is_continuation(text[i])) {
            ++column;
        }
    }
    return std::pair{line, column};
}

// The span of a located error: offset and length always, line and column when the error keeps
// the source text they are counted in.
inline std::optional<SpanRecord> span_for_error(const CompileError& error) {
    if (!kind_has_location(error.kind) || !error.location.span) return std::nullopt;
    SpanRecord span;
    span.offset = error.location.span->offset;
    span.length = error.location.span->length;
    if (error.location.source) {
        if (auto position = line_and_column(error.location.source->text, span.offset)) {
            span.line = position->first;
            span.column = position->second;
        }
    }
    return span;
}

inline ErrorFields describe_core_error(const CompileError& error) {
    ErrorFields fields;
    fields.code = std::string(kind_mapping(error.kind).code);
    fields.message = escape_for_display(format_error_message(error));
    if (auto help = help_for_error(error)) fields.help = escape_for_display(std::move(*help));
    fields.span = span_for_error(error);
    return fields;
}

}  // namespace tyx::py
