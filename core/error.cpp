#include "core/error.h"

#include <array>
#include <charconv>
#include <limits>
#include <utility>

#include "core/display.h"

namespace tyx {
namespace {

// Indexed by kind number; every kind listed once, in the fixed order.
constexpr std::array<bool, kErrorKindCount> kKindHasLocation = {
    true,   // Syntax
    true,   // UndefinedVar
    true,   // UndefinedFn
    true,   // Arity
    true,   // Builtin
    true,   // TypeError
    true,   // TypeMismatch
    true,   // CircularImport
    true,   // FileNotFound
    true,   // Import
    true,   // NameCollision
    false,  // NotTyx
    false,  // Io
    false,  // ResourceLimit
    false,  // Yaml
    false,  // Json
    false,  // InvalidVars
    false,  // VarConflict
    true,   // ModuleNotFound
    true,   // Recursion
    true,   // Export
    true,   // Extends
    true,   // MixedContent
    false,  // ExpectedMarkdown
    false,  // ExpectedMessages
    false,  // FormatterInvariant
};

void append_decimal(std::string& out, uint64_t number) {
    std::array<char, 24> buffer{};
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
    (void)ec;  // 24 bytes always hold a 64-bit decimal
    out.append(buffer.data(), end);
}

std::string concat(std::string_view prefix, std::string_view text, std::string_view suffix = {}) {
    std::string out;
    out.reserve(prefix.size() + text.size() + suffix.size());
    out.append(prefix).append(text).append(suffix);
    return out;
}

std::string format_arity_message(const CompileError& error) {
    std::string out = concat("arity mismatch for '", error.text, "': expected ");
    if (error.min != error.max) {
        append_decimal(out, error.min);
        out += '-';
        append_decimal(out, error.max);
        out += " arguments";
    } else if (error.min == 1) {
        out += "1 argument";
    } else {
        append_decimal(out, error.min);
        out += " arguments";
    }
    out += ", got ";
    append_decimal(out, error.given);
    return out;
}

// A byte that continues a multi-byte UTF-8 sequence (10xxxxxx) cannot start a character.
bool is_char_boundary(std::string_view text, uint64_t position) {
    if (position == 0 || position == text.size()) return true;
    return (static_cast<unsigned char>(text[position]) & 0xC0) != 0x80;
}

std::string compose_signature(std::optional<std::string_view> signature) {
    if (!signature) return {};
    return concat("\nexpected: ", *signature);
}

CompileError arity_error(std::string_view function, uint64_t min, uint64_t max, uint64_t given,
                         std::optional<std::string_view> signature) {
    CompileError error = CompileError::of(ErrorKind::Arity, std::string(function));
    error.detail = compose_signature(signature);
    error.min = min;
    error.max = max;
    error.given = given;
    return error;
}

}  // namespace

bool kind_has_location(ErrorKind kind) {
    const auto index = static_cast<size_t>(kind);
    return index < kKindHasLocation.size() && kKindHasLocation[index];
}

CompileError CompileError::of(ErrorKind kind, std::string text) {
    CompileError error;
    error.kind = kind;
    error.text = std::move(text);
    return error;
}

CompileError CompileError::at(ErrorKind kind, std::string text, std::string_view name,
                              std::string_view source, uint64_t offset, uint64_t length) {
    CompileError error = of(kind, std::move(text));
    // A kind without a location slot never points into a source, whatever the caller passed.
    if (kind_has_location(kind)) error.location = make_error_location(name, source, offset, length);
    return error;
}

std::string format_error_message(const CompileError& error) {
    const std::string& text = error.text;
    switch (error.kind) {
        case ErrorKind::Syntax:
            return concat("syntax error: ", text);
        case ErrorKind::UndefinedVar:
            return concat("undefined variable '", text, "'");
        case ErrorKind::UndefinedFn:
            return concat("undefined function '", text, "'");
        case ErrorKind::Arity:
            return format_arity_message(error);
        case ErrorKind::Builtin:
            return text;
        case ErrorKind::TypeError:
            return concat("type error: expected array for @for loop, got ", text);
        case ErrorKind::TypeMismatch: {
            std::string out = concat("type mismatch: cannot compare ", text, " with ");
            out += error.detail;
            return out;
        }
        case ErrorKind::CircularImport:
            return concat("circular import detected: ", text);
        case ErrorKind::FileNotFound:
            return concat("file not found: ", text);
        case ErrorKind::Import:
            return concat("import error: ", text);
        case ErrorKind::NameCollision:
            return concat("name collision: '", text, "' is already defined");
        case ErrorKind::NotTyx:
            return concat("not an TYX file: ", text);
        case ErrorKind::Io:
            return text;
        case ErrorKind::ResourceLimit:
            return concat("resource limit exceeded: ", text);
        case ErrorKind::Yaml:
            return concat("YAML parse error: ", text);
        case ErrorKind::Json:
            return concat("JSON parse error: ", text);
        case ErrorKind::InvalidVars:
            return concat("invalid vars file: ", text);
        case ErrorKind::VarConflict:
            return concat("variable '", text,
                          "' is set by both --set and --set-string; use only one");
        case ErrorKind::ModuleNotFound:
            return concat("module '", text, "' is not in the virtual module map");
        case ErrorKind::Recursion:
            return concat("recursion detected in function '", text, "'");
        case ErrorKind::Export:
            return concat("export error: ", text);
        case ErrorKind::Extends:
            return concat("extends error: ", text);
        case ErrorKind::MixedContent:
            return "mixed content: non-message content found outside @message blocks";
        case ErrorKind::ExpectedMarkdown:
            return "expected markdown output, but template produced messages";
        case ErrorKind::ExpectedMessages:
            return "expected messages output, but template produced markdown";
        case ErrorKind::FormatterInvariant:
            return concat("formatter produced non-equivalent output: ", text);
    }
    // Unreachable for a valid kind; an out-of-range value still gets a recognisable text.
    return concat("syntax error: internal error: unknown error kind: ", text);
}

ErrorLocation make_error_location(std::string_view name, std::string_view source, uint64_t offset,
                                  uint64_t length) {
    ErrorLocation location;
    location.span = Span{offset, length};
    const bool overflows = length > std::numeric_limits<uint64_t>::max() - offset;
    if (overflows) return location;
    const uint64_t end = offset + length;
    if (end > source.size()) return location;
    if (!is_char_boundary(source, offset) || !is_char_boundary(source, end)) return location;
    std::optional<std::string> text = neutralize_source_for_render_checked(source);
    // A text that could not be rewritten at its own length would misplace every caret, so the
    // location then keeps only its span.
    if (!text) return location;
    auto named = std::make_shared<NamedSource>();
    named->name = escape_for_display(name);
    named->text = std::move(*text);
    location.source = std::move(named);
    return location;
}

CompileError new_syntax_error(std::string_view message) {
    return CompileError::of(ErrorKind::Syntax, std::string(message));
}

CompileError make_syntax_error_at(std::string_view message, std::string_view name,
                                  std::string_view source, uint64_t offset, uint64_t length) {
    return CompileError::at(ErrorKind::Syntax, std::string(message), name, source, offset, length);
}

CompileError make_syntax_error_at_owned(std::string message, std::string_view name,
                                        std::string_view source, uint64_t offset, uint64_t length) {
    return CompileError::at(ErrorKind::Syntax, std::move(message), name, source, offset, length);
}

CompileError make_undefined_variable_error_at(std::string_view variable, std::string_view name,
                                              std::string_view source, uint64_t offset,
                                              uint64_t length) {
    return CompileError::at(ErrorKind::UndefinedVar, std::string(variable), name, source, offset,
                            length);
}

CompileError new_arity_error(std::string_view function, uint64_t min, uint64_t max, uint64_t given,
                             std::optional<std::string_view> signature) {
    return arity_error(function, min, max, given, signature);
}

CompileError make_arity_error_at(std::string_view function, uint64_t min, uint64_t max,
                                 uint64_t given, std::optional<std::string_view> signature,
                                 std::string_view name, std::string_view source, uint64_t offset,
                                 uint64_t length) {
    CompileError error = arity_error(function, min, max, given, signature);
    error.location = make_error_location(name, source, offset, length);
    return error;
}

CompileError make_call_arity_error_at(std::string_view function, uint64_t min, uint64_t max,
                                      uint64_t given, std::optional<std::string_view> signature,
                                      std::string_view name, std::string_view source,
                                      uint64_t offset, uint64_t length) {
    return make_arity_error_at(function, min, max, given, signature, name, source, offset, length);
}

CompileError new_type_mismatch_error(std::string_view left, std::string_view right) {
    CompileError error = CompileError::of(ErrorKind::TypeMismatch, std::string(left));
    error.detail = std::string(right);
    return error;
}

CompileError make_import_error_at(std::string message, std::string_view name,
                                  std::string_view source, uint64_t offset, uint64_t length) {
    return CompileError::at(ErrorKind::Import, std::move(message), name, source, offset, length);
}

CompileError make_name_collision_error_at(std::string_view collided, std::string_view name,
                                          std::string_view source, uint64_t offset,
                                          uint64_t length) {
    return CompileError::at(ErrorKind::NameCollision, std::string(collided), name, source, offset,
                            length);
}

CompileError make_extends_error_at(std::string_view message, std::string_view name,
                                   std::string_view source, uint64_t offset, uint64_t length) {
    return CompileError::at(ErrorKind::Extends, std::string(message), name, source, offset, length);
}

CompileError make_mixed_content_error_at(std::string_view name, std::string_view source,
                                         uint64_t offset, uint64_t length) {
    return CompileError::at(ErrorKind::MixedContent, {}, name, source, offset, length);
}

CompileError locate_syntax_error(CompileError error, std::string_view name, std::string_view source,
                                 uint64_t offset, uint64_t length) {
    if (error.kind != ErrorKind::Syntax || error.location.span || error.location.source) {
        return error;
    }
    error.location = make_error_location(name, source, offset, length);
    return error;
}

}  // namespace tyx
