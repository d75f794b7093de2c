// The one error type of the core, its locations and its message texts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tyx {

// A byte range in one source text.
struct Span {
    uint64_t offset = 0;
    uint64_t length = 0;
    friend bool operator==(const Span&, const Span&) = default;
};

// The source a located error keeps for line, column and snippet: the name escaped for
// display and the text neutralized for rendering (same byte length as the original).
struct NamedSource {
    std::string name;
    std::string text;
};

struct ErrorLocation {
    std::optional<Span> span;
    // Present only when the span fits the text and both ends lie on character boundaries.
    std::shared_ptr<const NamedSource> source;
};

// The 26 kinds in their fixed order: the order is the kind number the binding maps to a code.
enum class ErrorKind : uint8_t {
    Syntax,
    UndefinedVar,
    UndefinedFn,
    Arity,
    Builtin,
    TypeError,
    TypeMismatch,
    CircularImport,
    FileNotFound,
    Import,
    NameCollision,
    NotTyx,
    Io,
    ResourceLimit,
    Yaml,
    Json,
    InvalidVars,
    VarConflict,
    ModuleNotFound,
    Recursion,
    Export,
    Extends,
    MixedContent,
    ExpectedMarkdown,
    ExpectedMessages,
    FormatterInvariant,
};

inline constexpr int kErrorKindCount = 26;

// Whether errors of this kind can point into a source text.
bool kind_has_location(ErrorKind kind);

struct CompileError {
    ErrorKind kind = ErrorKind::Syntax;
    // The kind's own text field: the message, name, path, module key or type name; for
    // TypeMismatch the left type name.
    std::string text;
    // TypeMismatch: the right type name. Arity: the expected signature, empty or already
    // composed as "\nexpected: {}".
    std::string detail;
    // Arity only.
    uint64_t min = 0;
    uint64_t max = 0;
    uint64_t given = 0;
    ErrorLocation location;

    // An error of a kind whose only field is one text, with an empty location.
    static CompileError of(ErrorKind kind, std::string text = {});
    // The same with a location built by make_error_location.
    static CompileError at(ErrorKind kind, std::string text, std::string_view name,
                           std::string_view source, uint64_t offset, uint64_t length);
};

// The message of an error, built from its kind's template; never looks at the location.
std::string format_error_message(const CompileError& error);

ErrorLocation make_error_location(std::string_view name, std::string_view source, uint64_t offset,
                                  uint64_t length);

CompileError new_syntax_error(std::string_view message);
CompileError make_syntax_error_at(std::string_view message, std::string_view name,
                                  std::string_view source, uint64_t offset, uint64_t length);
CompileError make_syntax_error_at_owned(std::string message, std::string_view name,
                                        std::string_view source, uint64_t offset, uint64_t length);
CompileError make_undefined_variable_error_at(std::string_view variable, std::string_view name,
                                              std::string_view source, uint64_t offset,
                                              uint64_t length);
CompileError new_arity_error(std::string_view function, uint64_t min, uint64_t max, uint64_t given,
                             std::optional<std::string_view> signature);
CompileError make_arity_error_at(std::string_view function, uint64_t min, uint64_t max,
                                 uint64_t given, std::optional<std::string_view> signature,
                                 std::string_view name, std::string_view source, uint64_t offset,
                                 uint64_t length);
CompileError make_call_arity_error_at(std::string_view function, uint64_t min, uint64_t max,
                                      uint64_t given, std::optional<std::string_view> signature,
                                      std::string_view name, std::string_view source,
                                      uint64_t offset, uint64_t length);
CompileError new_type_mismatch_error(std::string_view left, std::string_view right);
CompileError make_import_error_at(std::string message, std::string_view name,
                                  std::string_view source, uint64_t offset, uint64_t length);
CompileError make_name_collision_error_at(std::string_view collided, std::string_view name,
                                          std::string_view source, uint64_t offset,
                                          uint64_t length);
CompileError make_extends_error_at(std::string_view message, std::string_view name,
                                   std::string_view source, uint64_t offset, uint64_t length);
CompileError make_mixed_content_error_at(std::string_view name, std::string_view source,
                                         uint64_t offset, uint64_t length);

// Gives an unlocated Syntax error the location of the construct being parsed; any other error
// is returned unchanged.
CompileError locate_syntax_error(CompileError error, std::string_view name, std::string_view source,
                                 uint64_t offset, uint64_t length);

}  // namespace tyx
