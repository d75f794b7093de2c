#include "core/error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tyx {
namespace {

struct MessageCase {
    ErrorKind kind;
    bool has_location;
    std::string expected;
};

// Every kind with the text field "X" (and the right type name "Y" for TypeMismatch).
const std::vector<MessageCase> kMessageCases = {
    {ErrorKind::Syntax, true, "syntax error: X"},
    {ErrorKind::UndefinedVar, true, "undefined variable 'X'"},
    {ErrorKind::UndefinedFn, true, "undefined function 'X'"},
    {ErrorKind::Arity, true, "arity mismatch for 'X': expected 0 arguments, got 0"},
    {ErrorKind::Builtin, true, "X"},
    {ErrorKind::TypeError, true, "type error: expected array for @for loop, got X"},
    {ErrorKind::TypeMismatch, true, "type mismatch: cannot compare X with Y"},
    {ErrorKind::CircularImport, true, "circular import detected: X"},
    {ErrorKind::FileNotFound, true, "file not found: X"},
    {ErrorKind::Import, true, "import error: X"},
    {ErrorKind::NameCollision, true, "name collision: 'X' is already defined"},
    {ErrorKind::NotTyx, false, "not an TYX file: X"},
    {ErrorKind::Io, false, "X"},
    {ErrorKind::ResourceLimit, false, "resource limit exceeded: X"},
    {ErrorKind::Yaml, false, "YAML parse error: X"},
    {ErrorKind::Json, false, "JSON parse error: X"},
    {ErrorKind::InvalidVars, false, "invalid vars file: X"},
    {ErrorKind::VarConflict, false,
     "variable 'X' is set by both --set and --set-string; use only one"},
    {ErrorKind::ModuleNotFound, true, "module 'X' is not in the virtual module map"},
    {ErrorKind::Recursion, true, "recursion detected in function 'X'"},
    {ErrorKind::Export, true, "export error: X"},
    {ErrorKind::Extends, true, "extends error: X"},
    {ErrorKind::MixedContent, true,
     "mixed content: non-message content found outside @message blocks"},
    {ErrorKind::ExpectedMarkdown, false,
     "expected markdown output, but template produced messages"},
    {ErrorKind::ExpectedMessages, false,
     "expected messages output, but template produced markdown"},
    {ErrorKind::FormatterInvariant, false, "formatter produced non-equivalent output: X"},
};

TEST(ErrorMessage, EveryKindInOrderWithItsText) {
    ASSERT_EQ(kMessageCases.size(), static_cast<size_t>(kErrorKindCount));
    for (size_t i = 0; i < kMessageCases.size(); ++i) {
        const MessageCase& c = kMessageCases[i];
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(static_cast<size_t>(c.kind), i);
        CompileError error = CompileError::of(c.kind, "X");
        if (c.kind == ErrorKind::TypeMismatch) error.detail = "Y";
        EXPECT_EQ(format_error_message(error), c.expected);
        EXPECT_EQ(kind_has_location(c.kind), c.has_location);
    }
}

TEST(ErrorMessage, FixedTextsIgnoreTheTextField) {
    for (ErrorKind kind :
         {ErrorKind::MixedContent, ErrorKind::ExpectedMarkdown, ErrorKind::ExpectedMessages}) {
        EXPECT_EQ(format_error_message(CompileError::of(kind, "ignored")),
                  format_error_message(CompileError::of(kind)));
    }
}

TEST(ErrorMessage, FieldsAreInsertedUnchanged) {
    // No quoting or escaping of its own: the binding escapes the whole message later.
    EXPECT_EQ(format_error_message(CompileError::of(ErrorKind::Builtin, "a\n'b' {}")), "a\n'b' {}");
    EXPECT_EQ(format_error_message(CompileError::of(ErrorKind::Io, "")), "");
    EXPECT_EQ(format_error_message(new_type_mismatch_error("string", "number")),
              "type mismatch: cannot compare string with number");
}

struct ArityCase {
    uint64_t min;
    uint64_t max;
    uint64_t given;
    std::string expected;
};

TEST(ErrorMessage, ArityWording) {
    const std::vector<ArityCase> cases = {
        {1, 1, 0, "arity mismatch for 'upper': expected 1 argument, got 0"},
        {1, 1, 2, "arity mismatch for 'upper': expected 1 argument, got 2"},
        {0, 0, 1, "arity mismatch for 'upper': expected 0 arguments, got 1"},
        {2, 2, 1, "arity mismatch for 'upper': expected 2 arguments, got 1"},
        {2, 3, 4, "arity mismatch for 'upper': expected 2-3 arguments, got 4"},
        {0, 1, 2, "arity mismatch for 'upper': expected 0-1 arguments, got 2"},
        {1, 18446744073709551615u, 0,
         "arity mismatch for 'upper': expected 1-18446744073709551615 arguments, got 0"},
    };
    for (const ArityCase& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(format_error_message(new_arity_error("upper", c.min, c.max, c.given, "upper(s)")),
                  c.expected);
        EXPECT_EQ(format_error_message(new_arity_error("upper", c.min, c.max, c.given, {})),
                  c.expected);
    }
}

TEST(ErrorConstructors, AritySignatureIsComposedButNeverShown) {
    const CompileError with = new_arity_error("f", 1, 2, 3, "f(a, b?)");
    EXPECT_EQ(with.kind, ErrorKind::Arity);
    EXPECT_EQ(with.text, "f");
    EXPECT_EQ(with.detail, "\nexpected: f(a, b?)");
    EXPECT_EQ(with.min, 1u);
    EXPECT_EQ(with.max, 2u);
    EXPECT_EQ(with.given, 3u);
    EXPECT_FALSE(with.location.span);
    EXPECT_EQ(format_error_message(with).find("expected:"), std::string::npos);

    EXPECT_EQ(new_arity_error("f", 1, 2, 3, std::nullopt).detail, "");
    EXPECT_EQ(new_arity_error("f", 1, 2, 3, "").detail, "\nexpected: ");

    const CompileError located =
        make_arity_error_at("f", 0, 0, 1, "f()", "t.tyx", "{{ f(1) }}", 3, 4);
    const CompileError call =
        make_call_arity_error_at("f", 0, 0, 1, "f()", "t.tyx", "{{ f(1) }}", 3, 4);
    for (const CompileError* e : {&located, &call}) {
        EXPECT_EQ(e->detail, "\nexpected: f()");
        ASSERT_TRUE(e->location.span);
        EXPECT_EQ(*e->location.span, (Span{3, 4}));
        ASSERT_TRUE(e->location.source);
        EXPECT_EQ(e->location.source->name, "t.tyx");
        EXPECT_EQ(e->location.source->text, "{{ f(1) }}");
    }
}

TEST(ErrorConstructors, KindsFieldsAndLocations) {
    const std::string source = "line one\nline two\n";
    struct Case {
        CompileError error;
        ErrorKind kind;
        std::string text;
        bool located;
    };
    std::string owned = "taken over";
    const std::vector<Case> cases = {
        {new_syntax_error("bad"), ErrorKind::Syntax, "bad", false},
        {make_syntax_error_at("bad", "t", source, 0, 4), ErrorKind::Syntax, "bad", true},
        {make_syntax_error_at_owned(std::move(owned), "t", source, 0, 4), ErrorKind::Syntax,
         "taken over", true},
        {make_undefined_variable_error_at("x", "t", source, 0, 4), ErrorKind::UndefinedVar, "x",
         true},
        {new_type_mismatch_error("string", "null"), ErrorKind::TypeMismatch, "string", false},
        {make_import_error_at("gone", "t", source, 0, 4), ErrorKind::Import, "gone", true},
        {make_name_collision_error_at("n", "t", source, 0, 4), ErrorKind::NameCollision, "n", true},
        {make_extends_error_at("twice", "t", source, 0, 4), ErrorKind::Extends, "twice", true},
        {make_mixed_content_error_at("t", source, 0, 4), ErrorKind::MixedContent, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(format_error_message(c.error));
        EXPECT_EQ(c.error.kind, c.kind);
        EXPECT_EQ(c.error.text, c.text);
        EXPECT_EQ(c.error.location.span.has_value(), c.located);
        EXPECT_EQ(c.error.location.source != nullptr, c.located);
        if (c.located) {
            EXPECT_EQ(*c.error.location.span, (Span{0, 4}));
            EXPECT_EQ(c.error.location.source->text, source);
        }
    }
}

TEST(ErrorConstructors, KindWithoutSlotNeverKeepsALocation) {
    const CompileError error =
        CompileError::at(ErrorKind::ResourceLimit, "too big", "t", "source", 0, 1);
    EXPECT_FALSE(error.location.span);
    EXPECT_FALSE(error.location.source);
    EXPECT_EQ(format_error_message(error), "resource limit exceeded: too big");
}

struct LocationCase {
    const char* what;
    std::string source;
    uint64_t offset;
    uint64_t length;
    bool keeps_source;
};

TEST(ErrorLocation, SourceAttachedOnlyWhenTheSpanFits) {
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    // "a\xC3\xA9b": e-acute occupies bytes 1 and 2.
    const std::string accented =
        "a\xC3\xA9"
        "b";
    const std::vector<LocationCase> cases = {
        {"whole text", "abc", 0, 3, true},
        {"ends exactly at the end", "abc", 1, 2, true},
        {"empty range at the end", "abc", 3, 0, true},
        {"empty text, empty range", "", 0, 0, true},
        {"one past the end", "abc", 1, 3, false},
        {"offset past the end", "abc", 4, 0, false},
        {"whole character", accented, 1, 2, true},
        {"offset inside a character", accented, 2, 1, false},
        {"end inside a character", accented, 0, 2, false},
        {"offset plus length overflows", "abc", 1, max, false},
        {"offset at the maximum", "abc", max, 1, false},
    };
    for (const LocationCase& c : cases) {
        SCOPED_TRACE(c.what);
        const ErrorLocation location = make_error_location("t.tyx", c.source, c.offset, c.length);
        ASSERT_TRUE(location.span);
        EXPECT_EQ(*location.span, (Span{c.offset, c.length}));
        EXPECT_EQ(location.source != nullptr, c.keeps_source);
    }
}

TEST(ErrorLocation, NameEscapedAndTextNeutralized) {
    const ErrorLocation location =
        make_error_location("dir/a\nb.tyx", "one\r\ntwo\r\n\x1B[31m", 5, 3);
    ASSERT_TRUE(location.source);
    EXPECT_EQ(location.source->name, "dir/a\\u000Ab.tyx");
    EXPECT_EQ(location.source->text, "one?\ntwo?\n?[31m");
}

TEST(ErrorLocation, EachLocationBuildsItsOwnSource) {
    const ErrorLocation first = make_error_location("t", "abc", 0, 1);
    const ErrorLocation second = make_error_location("t", "abc", 0, 1);
    ASSERT_TRUE(first.source && second.source);
    EXPECT_NE(first.source.get(), second.source.get());
    // Copies of one error share the one source.
    const CompileError error = make_syntax_error_at("x", "t", "abc", 0, 1);
    const CompileError copy = error;
    EXPECT_EQ(copy.location.source.get(), error.location.source.get());
}

TEST(LocateSyntaxError, GivesAnUnlocatedSyntaxErrorThePosition) {
    const CompileError located =
        locate_syntax_error(new_syntax_error("bad operand"), "t.tyx", "@if x ==:\n", 0, 9);
    EXPECT_EQ(located.kind, ErrorKind::Syntax);
    EXPECT_EQ(located.text, "bad operand");
    ASSERT_TRUE(located.location.span);
    EXPECT_EQ(*located.location.span, (Span{0, 9}));
    ASSERT_TRUE(located.location.source);
    EXPECT_EQ(located.location.source->name, "t.tyx");
}

TEST(LocateSyntaxError, LeavesOtherErrorsAsTheyWere) {
    const std::string source = "@if x:\n@end\n";
    struct Case {
        const char* what;
        CompileError error;
    };
    CompileError span_only = new_syntax_error("inner");
    span_only.location.span = Span{100, 1};
    const std::vector<Case> cases = {
        {"import error", CompileError::of(ErrorKind::Import, "nope")},
        {"syntax error with a span", make_syntax_error_at("inner", "other", source, 7, 4)},
        {"syntax error with a span only", span_only},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CompileError result = locate_syntax_error(c.error, "t", source, 0, 6);
        EXPECT_EQ(result.kind, c.error.kind);
        EXPECT_EQ(result.text, c.error.text);
        EXPECT_EQ(result.location.span, c.error.location.span);
        EXPECT_EQ(result.location.source.get(), c.error.location.source.get());
    }
}

}  // namespace
}  // namespace tyx
