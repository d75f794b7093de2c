// The mapping of core errors to what TyxError shows: codes, messages, help texts and spans.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "python/error_mapping.h"

namespace tyx::py {
namespace {

struct KindCase {
    ErrorKind kind;
    const char* code;
    // nullptr for the kinds without help; the error's text is "t" and its detail "d".
    const char* help;
};

const KindCase kKindCases[] = {
    {ErrorKind::Syntax, "tyx::syntax", nullptr},
    {ErrorKind::UndefinedVar, "tyx::undefined_var", "define 't' in frontmatter or imports"},
    {ErrorKind::UndefinedFn, "tyx::undefined_fn", "define 't' with @define or import it"},
    {ErrorKind::Arity, "tyx::arity",
     "check the call site — 't' requires a different number of arguments than were provided"
     "d"},
    {ErrorKind::Builtin, "tyx::builtin", nullptr},
    {ErrorKind::TypeError, "tyx::type_error",
     "@for loops require an array value; valid types are arrays (e.g. [1, 2, 3])"},
    {ErrorKind::TypeMismatch, "tyx::type_mismatch",
     "left side is t, right side is d; compare against a t literal, use '@if x:' for "
     "truthiness, or pass a string with '--set-string KEY=VALUE'"},
    {ErrorKind::CircularImport, "tyx::circular_import",
     "check your import graph for cycles; A imports B imports A is not allowed"},
    {ErrorKind::FileNotFound, "tyx::file_not_found",
     "check the file path and ensure the file exists"},
    {ErrorKind::Import, "tyx::import", nullptr},
    {ErrorKind::NameCollision, "tyx::name_collision", nullptr},
    {ErrorKind::NotTyx, "tyx::not_tyx", "use .tyx extension or add 'type: tyx' to frontmatter"},
    {ErrorKind::Io, "tyx::io", nullptr},
    {ErrorKind::ResourceLimit, "tyx::resource_limit", nullptr},
    {ErrorKind::Yaml, "tyx::yaml", nullptr},
    {ErrorKind::Json, "tyx::json", nullptr},
    {ErrorKind::InvalidVars, "tyx::invalid_vars",
     "vars file must be a JSON object mapping variable names to values"},
    {ErrorKind::VarConflict, "tyx::var_conflict",
     "--set coerces the value (bool/number/null/array/string); --set-string always passes a "
     "string — keep the flag whose semantics you want and drop the other"},
    {ErrorKind::ModuleNotFound, "tyx::module_not_found",
     "add the module to `options.modules` (WASM / napi / Python) or switch to the native "
     "backend for filesystem-backed imports"},
    {ErrorKind::Recursion, "tyx::recursion",
     "TYX does not support recursive functions; restructure using @for loops or multiple "
     "@define blocks"},
    {ErrorKind::Export, "tyx::export", nullptr},
    {ErrorKind::Extends, "tyx::extends", nullptr},
    {ErrorKind::MixedContent, "tyx::mixed_content",
     "move all text and interpolations inside @message blocks, or remove the @message blocks "
     "to use plain markdown mode"},
    {ErrorKind::ExpectedMarkdown, "tyx::expected_markdown", nullptr},
    {ErrorKind::ExpectedMessages, "tyx::expected_messages", nullptr},
    {ErrorKind::FormatterInvariant, "tyx::formatter_invariant",
     "this indicates a bug in `tyx fmt` itself; please file an issue"},
};

TEST(ErrorMapping, EveryKindHasItsCodeAndHelp) {
    ASSERT_EQ(std::size(kKindCases), static_cast<size_t>(kErrorKindCount));
    for (size_t i = 0; i < std::size(kKindCases); ++i) {
        const KindCase& c = kKindCases[i];
        SCOPED_TRACE(c.code);
        EXPECT_EQ(static_cast<size_t>(c.kind), i);
        CompileError error = CompileError::of(c.kind, "t");
        error.detail = "d";
        ErrorFields fields = describe_core_error(error);
        EXPECT_EQ(fields.code, c.code);
        EXPECT_EQ(fields.message, format_error_message(error));
        if (c.help == nullptr) {
            EXPECT_FALSE(fields.help.has_value());
        } else {
            EXPECT_EQ(fields.help, std::optional<std::string>(c.help));
        }
        EXPECT_FALSE(fields.span.has_value());
    }
}

TEST(ErrorMapping, UndefinedVariableAtTheStart) {
    ErrorFields fields =
        describe_core_error(make_undefined_variable_error_at("x", "<source>", "{{ x }}", 0, 7));
    EXPECT_EQ(fields.code, "tyx::undefined_var");
    EXPECT_EQ(fields.message, "undefined variable 'x'");
    EXPECT_EQ(fields.help, std::optional<std::string>("define 'x' in frontmatter or imports"));
    EXPECT_EQ(fields.span, (SpanRecord{1, 1, 0, 7}));
}

struct PositionCase {
    const char* name;
    std::string text;
    uint64_t offset;
    std::optional<uint64_t> line;
    std::optional<uint64_t> column;
};

TEST(ErrorMapping, LineAndColumnCountCharactersAndLineFeedsOnly) {
    const PositionCase cases[] = {
        {"start", "abc", 0, 1, 1},
        {"second line after two-byte character", "ab\ncd\xC3\xA9\nf", 7, 2, 4},
        {"start of third line", "ab\ncd\xC3\xA9\nf", 8, 3, 1},
        {"carriage return is a column of its line", "a\r\nb", 2, 1, 3},
        {"after a CR LF pair", "a\r\nb", 3, 2, 1},
        {"bare carriage returns keep line 1", "a\rb\rc", 4, 1, 5},
        {"end of the text", "ab\nc", 4, 2, 2},
        {"four-byte character counts once", "\xF0\x9F\x98\x80x", 4, 1, 2},
    };
    for (const PositionCase& c : cases) {
        SCOPED_TRACE(c.name);
        CompileError error = make_syntax_error_at("bad", "<source>", c.text, c.offset, 0);
        ASSERT_TRUE(error.location.source);
        ErrorFields fields = describe_core_error(error);
        ASSERT_TRUE(fields.span.has_value());
        EXPECT_EQ(fields.span->offset, c.offset);
        EXPECT_EQ(fields.span->line, c.line);
        EXPECT_EQ(fields.span->column, c.column);
    }
}

TEST(ErrorMapping, PositionUnknownKeepsTheSpan) {
    std::string text = "a\xC3\xA9";
    // Inside the two-byte character, and past the end of the text.
    EXPECT_EQ(line_and_column(text, 2), std::nullopt);
    EXPECT_EQ(line_and_column(text, 4), std::nullopt);
    EXPECT_EQ(line_and_column(text, 3), (std::pair<uint64_t, uint64_t>{1, 3}));

    CompileError without_source = new_syntax_error("bad");
    without_source.location.span = Span{3, 2};
    EXPECT_EQ(describe_core_error(without_source).span,
              (SpanRecord{std::nullopt, std::nullopt, 3, 2}));

    CompileError inside_character = make_syntax_error_at("bad", "<source>", text, 2, 0);
    EXPECT_EQ(describe_core_error(inside_character).span,
              (SpanRecord{std::nullopt, std::nullopt, 2, 0}));

    EXPECT_EQ(describe_core_error(new_syntax_error("bad")).span, std::nullopt);
}

TEST(ErrorMapping, KindsWithoutLocationNeverHaveASpan) {
    for (ErrorKind kind : {ErrorKind::ResourceLimit, ErrorKind::Yaml, ErrorKind::Io,
                           ErrorKind::NotTyx, ErrorKind::ExpectedMessages}) {
        CompileError error = CompileError::of(kind, "t");
        error.location = make_error_location("<source>", "abc", 1, 1);
        EXPECT_EQ(describe_core_error(error).span, std::nullopt);
    }
}

TEST(ErrorMapping, MessagesAndHelpAreEscapedForDisplay) {
    ErrorFields syntax = describe_core_error(new_syntax_error("a\nb\xE2\x80\xAE"));
    EXPECT_EQ(syntax.message, "syntax error: a\\u000Ab\\u202E");

    ErrorFields arity = describe_core_error(new_arity_error("upper", 1, 1, 2, "upper(text)"));
    EXPECT_EQ(arity.message, "arity mismatch for 'upper': expected 1 argument, got 2");
    EXPECT_EQ(arity.help, std::optional<std::string>(
                              "check the call site — 'upper' requires a different number of "
                              "arguments than were provided\\u000Aexpected: upper(text)"));

    ErrorFields no_signature = describe_core_error(new_arity_error("f", 0, 0, 1, std::nullopt));
    EXPECT_EQ(no_signature.help,
              std::optional<std::string>("check the call site — 'f' requires a different number "
                                         "of arguments than were provided"));

    ErrorFields undefined =
        describe_core_error(make_undefined_variable_error_at("a\x1b", "<source>", "x", 0, 1));
    EXPECT_EQ(undefined.message, "undefined variable 'a\\u001B'");
    EXPECT_EQ(undefined.help,
              std::optional<std::string>("define 'a\\u001B' in frontmatter or imports"));
}

TEST(ErrorMapping, TypeMismatchHelpNamesBothSides) {
    ErrorFields fields = describe_core_error(new_type_mismatch_error("number", "string"));
    EXPECT_EQ(fields.code, "tyx::type_mismatch");
    EXPECT_EQ(fields.message, "type mismatch: cannot compare number with string");
    EXPECT_EQ(fields.help,
              std::optional<std::string>(
                  "left side is number, right side is string; compare against a number literal, "
                  "use '@if x:' for truthiness, or pass a string with '--set-string "
                  "KEY=VALUE'"));
}

TEST(ErrorMapping, ResourceLimitOfTheCoreIsPrefixed) {
    ErrorFields fields = describe_core_error(
        CompileError::of(ErrorKind::ResourceLimit, "value nesting exceeds maximum depth of 64"));
    EXPECT_EQ(fields.code, "tyx::resource_limit");
    EXPECT_EQ(fields.message, "resource limit exceeded: value nesting exceeds maximum depth of 64");
    EXPECT_EQ(fields.help, std::nullopt);
    EXPECT_EQ(fields.span, std::nullopt);
}

}  // namespace
}  // namespace tyx::py
