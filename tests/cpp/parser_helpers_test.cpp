#include "core/parser_helpers.h"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/cpp/tree_dump.h"

namespace tyx {
namespace {

using testing::dump;

struct Case {
    std::string input;
    std::string expected;  // the dumped tree, or the error message
};

std::string repeat_joined(const std::string& item, const std::string& separator, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        if (i > 0) out += separator;
        out += item;
    }
    return out;
}

std::string dotted_path(int segments) {
    return repeat_joined("a", ".", segments);
}

// A call with `levels` calls nested inside its argument list: f(g(g(...g()...))).
std::string nested_call(int levels) {
    return "f(" + repeat_joined("g(", "", levels) +
           std::string(static_cast<size_t>(levels) + 1, ')');
}

template <class T>
void expect_unlocated_error(const Result<T>& result, const std::string& input,
                            const std::string& message) {
    ASSERT_FALSE(result.ok()) << input;
    EXPECT_EQ(result.error().kind, ErrorKind::Syntax) << input;
    EXPECT_EQ(result.error().text, message) << input;
    EXPECT_FALSE(result.error().location.span.has_value()) << input;
    EXPECT_EQ(result.error().location.source, nullptr) << input;
}

TEST(IsValidIdentifier, AcceptsAsciiNamesAndNoReservedWords) {
    for (const char* name : {"a", "_", "_a1", "A_B9", "true", "null", "in", "false"}) {
        EXPECT_TRUE(is_valid_identifier(name)) << name;
    }
    for (const char* name : {"", "1a", "a-b", "a b", " a", "a.b", "\xC3\xA9", "a\xC3\xA9", "$x"}) {
        EXPECT_FALSE(is_valid_identifier(name)) << name;
    }
}

TEST(TrimParserSpace, RemovesUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim_white_space(" \t\r\n x y \v\f"), "x y");
    // U+00A0, U+2003, U+3000 are White_Space; U+200B (zero width space) is not.
    EXPECT_EQ(trim_white_space("\xC2\xA0\xE2\x80\x83x\xE3\x80\x80"), "x");
    EXPECT_EQ(trim_white_space("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");
    EXPECT_EQ(trim_white_space("   "), "");
    // An invalid byte is not white space and stops the trim.
    EXPECT_EQ(trim_white_space(" \xFF "), "\xFF");
}

TEST(SplitDirectiveHead, FindsTheLastTopLevelColon) {
    const struct {
        const char* text;
        std::optional<std::string> head;
    } cases[] = {
        {"x == 'a:b':", "x == 'a:b'"},
        {"x: y", std::nullopt},
        {"f(a:", std::nullopt},
        {"a:b:", "a:b"},
        {"f('a:b'):", "f('a:b')"},
        {"(a:b):", "(a:b)"},
        {"x :", "x "},
        {"x: \t", "x"},
        {"x:\xC2\xA0", "x"},
        {"x", std::nullopt},
        {"'x:'", std::nullopt},
        {"\"a\\\":\":", "\"a\\\":\""},
        {"f(a)):", "f(a))"},
        {":", ""},
    };
    for (const auto& c : cases) {
        const auto head = split_directive_head(c.text);
        ASSERT_EQ(head.has_value(), c.head.has_value()) << c.text;
        if (head) {
            EXPECT_EQ(std::string(*head), *c.head) << c.text;
        }
    }
}

TEST(ParseCondition, BuildsTrees) {
    MadeTexts made;
    const Case cases[] = {
        {"x", "x"},
        {"  x  ", "x"},
        {"!x", "!x"},
        {"! x", "!x"},
        {"!user.admin", "!user.admin"},
        {"!f(x)", "!f(x)"},
        {"x == 'a'", "(x == \"a\")"},
        {"'a' == 'b'", "(\"a\" == \"b\")"},
        {"x != 1", "(x != #1)"},
        {"x==null", "(x == #null)"},
        {"x == 'a==b'", "(x == \"a==b\")"},
        {"user.name == 'Bob'", "(user.name == \"Bob\")"},
        {"lib.check(x) != false", "(lib::check(x) != #false)"},
        {"a || b && c", "(or a (and b c))"},
        {"a && b || c && d", "(or (and a b) (and c d))"},
        {"a && !b && c == 'x'", "(and a !b (c == \"x\"))"},
        {"f('a||b') && x", "(and f(\"a||b\") x)"},
        {"f(a, 'x && y') || g()", "(or f(a, \"x && y\") g())"},
    };
    for (const auto& c : cases) {
        const auto result = parse_condition(c.input, made);
        ASSERT_TRUE(result.ok()) << c.input << ": " << result.error().text;
        EXPECT_EQ(dump(*result), c.expected) << c.input;
    }
}

TEST(ParseCondition, ReportsEachErrorWithoutLocation) {
    MadeTexts made;
    const Case cases[] = {
        {"", "expected an expression"},
        {"   ", "expected an expression"},
        {"(a || b)", "invalid function name in directive expression: ''"},
        {"a ||", "empty operand in '||' expression"},
        {"a |||| b", "empty operand in '||' expression"},
        {"|| a", "empty operand in '||' expression"},
        {"a && && b", "empty operand in '&&' expression"},
        {"a &&", "empty operand in '&&' expression"},
        {"!!a", "double negation is not supported"},
        {"!a == b", "cannot combine negation with comparison; use @if var != 'value': instead"},
        {"!a != b", "cannot combine negation with comparison; use @if var != 'value': instead"},
        {"!", "expected variable name after '!'"},
        {"!  ", "expected variable name after '!'"},
        {"!'x'",
         "cannot use a literal value after '!' \xE2\x80\x94 use a variable or function call"},
        {"!5", "cannot use a literal value after '!' \xE2\x80\x94 use a variable or function call"},
        {"! !a",
         "invalid expression in directive: '!a' \xE2\x80\x94 expected a variable, function call, "
         "or literal"},
        {"x = 1", "use '==' for comparison, not '='"},
        {"x <= 1", "use '==' for comparison, not '='"},
        {"5",
         "cannot use a literal value in @if condition \xE2\x80\x94 use a variable or function "
         "call"},
        {"'x'",
         "cannot use a literal value in @if condition \xE2\x80\x94 use a variable or function "
         "call"},
        {"null",
         "cannot use a literal value in @if condition \xE2\x80\x94 use a variable or function "
         "call"},
        {"== b", "expected expression before '=='"},
        {"a !=", "expected value after '!='"},
        {"a === b",
         "invalid expression in directive: '= b' \xE2\x80\x94 expected a variable, function call, "
         "or literal"},
        {"x == 'a", "unterminated string literal in directive expression"},
        {"a && 5 || b",
         "cannot use a literal value in @if condition \xE2\x80\x94 use a variable or function "
         "call"},
    };
    for (const auto& c : cases)
        expect_unlocated_error(parse_condition(c.input, made), c.input, c.expected);
}

TEST(ParseCondition, OperandLimitCountsLeavesOfAndAndOr) {
    MadeTexts made;
    const auto sixteen = parse_condition(repeat_joined("a", " && ", 16), made);
    ASSERT_TRUE(sixteen.ok());
    EXPECT_EQ(std::get<Condition::And>(sixteen->value).conditions.size(), 16u);
    EXPECT_TRUE(parse_condition(repeat_joined("a && b", " || ", 8), made).ok());

    expect_unlocated_error(parse_condition(repeat_joined("a", " && ", 17), made), "17 and",
                           "logical expression has 17 operands, exceeding maximum of 16");
    expect_unlocated_error(parse_condition(repeat_joined("a", " || ", 17), made), "17 or",
                           "logical expression has 17 operands, exceeding maximum of 16");
    expect_unlocated_error(parse_condition(repeat_joined("a && b", " || ", 8) + " || x == y", made),
                           "mixed", "logical expression has 17 operands, exceeding maximum of 16");
    expect_unlocated_error(parse_condition(repeat_joined("a", " && ", 100000), made), "many",
                           "logical expression has 100000 operands, exceeding maximum of 16");
    // An operand's own error comes before the count, even past the limit.
    expect_unlocated_error(
        parse_condition(repeat_joined("a", " && ", 20) + " && 5", made), "late literal",
        "cannot use a literal value in @if condition \xE2\x80\x94 use a variable or function call");
}

TEST(ParseDirectiveExpression, BuildsEachKind) {
    MadeTexts made;
    const Case cases[] = {
        {"x", "x"},
        {"  x ", "x"},
        {"inf", "inf"},
        {"true", "#true"},
        {"false", "#false"},
        {"null", "#null"},
        {"'a'", "\"a\""},
        {"\"a\"", "\"a\""},
        {"''", "\"\""},
        {"'it\\'s'", "\"it's\""},
        {"\"a\\\"b\"", "\"a\"b\""},
        {"\"a\\\\\"", "\"a\\\""},
        {"'a\\nb'", "\"a\\nb\""},
        {"'say \"hi\"'", "\"say \"hi\"\""},
        {"'a'b'", "\"a'b\""},
        {"-2.5", "#-2.5"},
        {"0", "#0"},
        {"1.", "#1"},
        {"1e3", "#1000"},
        {"2E-2", "#0.02"},
        {"1e-400", "#0"},
        {"0.1", "#0.1"},
        {"9007199254740993", "#9007199254740992"},
        {"a.b.c", "a.b.c"},
        {"a . b", "a.b"},
        {"f()", "f()"},
        {"f( )", "f()"},
        {"f(g(h(1)))", "f(g(h(#1)))"},
        {"lib.greet(name)", "lib::greet(name)"},
        {"lib . greet ( a, 'b' )", "lib::greet(a, \"b\")"},
        {"f('a,b', 'c)')", "f(\"a,b\", \"c)\")"},
        {"f(a,)", "f(a)"},
        {"f( a , 'b' , 2 , true, null, x.y, -1.5, g() )",
         "f(a, \"b\", #2, #true, #null, x.y, #-1.5, g())"},
        {"f('a.b')", "f(\"a.b\")"},
        {"f(\"x\\\"y\", 'z')", "f(\"x\"y\", \"z\")"},
        {"f(g(1), h(2, 3))", "f(g(#1), h(#2, #3))"},
    };
    for (const auto& c : cases) {
        const auto result = parse_directive_expression(c.input, made);
        ASSERT_TRUE(result.ok()) << c.input << ": " << result.error().text;
        EXPECT_EQ(dump(*result), c.expected) << c.input;
    }
}

TEST(ParseDirectiveExpression, ReportsEachErrorWithoutLocation) {
    MadeTexts made;
    const std::string invalid = "' \xE2\x80\x94 expected a variable, function call, or literal";
    const std::string dot = "invalid dot-path in directive expression: '";
    const Case cases[] = {
        {"", "expected an expression"},
        {"\"abc", "unterminated string literal in directive expression"},
        {"'", "unterminated string literal in directive expression"},
        {"\"a\\\"", "unterminated string literal in directive expression"},
        {"'a\"", "unterminated string literal in directive expression"},
        {"1e400", "NaN and infinity are not valid directive expression values"},
        {"-1e999", "NaN and infinity are not valid directive expression values"},
        {"+1", "invalid expression in directive: '+1" + invalid},
        {"1_000", "invalid expression in directive: '1_000" + invalid},
        {"12abc", "invalid expression in directive: '12abc" + invalid},
        {"-", "invalid expression in directive: '-" + invalid},
        {"a b", "invalid expression in directive: 'a b" + invalid},
        {"1.2.3", dot + "1.2.3' \xE2\x80\x94 each segment must be a valid identifier (got '1')"},
        {"a..b", dot + "a..b' \xE2\x80\x94 each segment must be a valid identifier (got '')"},
        {"a.", dot + "a.' \xE2\x80\x94 each segment must be a valid identifier (got '')"},
        {"a.b-c", dot + "a.b-c' \xE2\x80\x94 each segment must be a valid identifier (got 'b-c')"},
        {"(a)", "invalid function name in directive expression: ''"},
        {"1f(x)", "invalid function name in directive expression: '1f'"},
        {"f(x", "unclosed parenthesis in directive expression"},
        {"f(x).y", "unclosed parenthesis in directive expression"},
        {"a.b.c(x)", "invalid function name in qualified call: 'b.c'"},
        {"1a.f()", "invalid namespace in qualified call: '1a'"},
        {".f()", "invalid namespace in qualified call: ''"},
        {"lib.(x)", "invalid function name in qualified call: ''"},
        {"lib.f(x", "unclosed parenthesis in qualified call expression"},
        {"f(,a)", "invalid function argument: ''"},
        {"f(a,,b)", "invalid function argument: ''"},
        {"f(a, b c)", "invalid function argument: 'b c'"},
        {"f('abc)", "invalid function argument: ''abc'"},
        {"f(- 1)", "invalid function argument: '- 1'"},
        {"f(+1)", "invalid function argument: '+1'"},
        {"f(1x)", "invalid numeric argument: '1x'"},
        {"f(1e400)", "NaN and infinity are not valid argument values: '1e400'"},
        {"f(lib.g(1))", "invalid function name in argument: 'lib.g'"},
        {"f((1))", "invalid function name in argument: ''"},
        {"f(g(x) y)", "unclosed parenthesis in nested function call"},
        {"f(a.)",
         "invalid dot-path in argument: 'a.' \xE2\x80\x94 each segment must be a valid identifier "
         "(got '')"},
        {"f(1.5.x)", "invalid numeric argument: '1.5.x'"},
    };
    for (const auto& c : cases) {
        expect_unlocated_error(parse_directive_expression(c.input, made), c.input, c.expected);
    }
}

TEST(ParseDirectiveExpression, DotPathSegmentLimit) {
    MadeTexts made;
    const auto at_limit = parse_directive_expression(dotted_path(32), made);
    ASSERT_TRUE(at_limit.ok());
    EXPECT_EQ(unboxed_get<Expression::DotPath>(at_limit->value).fields.size(), 31u);
    expect_unlocated_error(parse_directive_expression(dotted_path(33), made), "33 segments",
                           "invalid dot-path in directive expression: '" + dotted_path(33) +
                               "' \xE2\x80\x94 dot path exceeds maximum segment count of 32");
    // The count is checked before the segments, so even bad segments report the count.
    const std::string bad = repeat_joined("1", ".", 40);
    expect_unlocated_error(parse_directive_expression("x." + bad, made), "bad segments",
                           "invalid dot-path in directive expression: 'x." + bad +
                               "' \xE2\x80\x94 dot path exceeds maximum segment count of 32");
    EXPECT_TRUE(parse_directive_expression("f(" + dotted_path(32) + ")", made).ok());
    expect_unlocated_error(parse_directive_expression("f(" + dotted_path(33) + ")", made),
                           "argument",
                           "invalid dot-path in argument: '" + dotted_path(33) +
                               "' \xE2\x80\x94 dot path exceeds maximum segment count of 32");
}

TEST(ParseCallArguments, NestingLimitAndTrailingComma) {
    MadeTexts made;
    EXPECT_TRUE(parse_directive_expression(nested_call(64), made).ok());
    expect_unlocated_error(parse_directive_expression(nested_call(65), made), "65 nested",
                           "nested function call depth exceeds maximum of 64");
    // The limit is checked before the list is read, so depth 65 fails even for no arguments.
    expect_unlocated_error(parse_call_arguments("", 65, made), "depth 65",
                           "nested function call depth exceeds maximum of 64");
    const auto at_limit = parse_call_arguments("a", 64, made);
    ASSERT_TRUE(at_limit.ok());
    EXPECT_EQ(at_limit->size(), 1u);

    const Case cases[] = {
        {"", "()"}, {"  ", "()"}, {"a,", "(a)"}, {"a, ", "(a)"}, {"'x\\'', y", "(\"x'\", y)"},
    };
    for (const auto& c : cases) {
        const auto result = parse_call_arguments(c.input, 0, made);
        ASSERT_TRUE(result.ok()) << c.input;
        EXPECT_EQ(testing::dump_args(*result), c.expected) << c.input;
    }
    expect_unlocated_error(parse_call_arguments(",", 0, made), ",",
                           "invalid function argument: ''");
}

TEST(UnescapeStringLiteral, ResolvesOnlyQuotesAndBackslash) {
    const Case cases[] = {
        {"a\\\"b", "a\"b"}, {"\\'", "'"},         {"\\\\", "\\"},     {"\\n", "\\n"},
        {"a\\", "a\\"},     {"\\\\\\\"", "\\\""}, {"plain", "plain"}, {"\\\xC3\xA9", "\\\xC3\xA9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(unescape_string_literal(c.input), c.expected) << c.input;
}

// A string literal's value views the text it was read from, unless an escape changes it: only
// then is it a made text.
TEST(ParseDirectiveExpression, StringValuesViewTheirTextUnlessAnEscapeChangesThem) {
    const struct {
        std::string input;
        std::string value;
        bool made;
    } cases[] = {
        {"'plain'", "plain", false},
        {"\"\"", "", false},
        {"'back\\slash'", "back\\slash", false},
        {"'\\n and \\t'", "\\n and \\t", false},
        {"'it\\'s'", "it's", true},
        {"\"say \\\"hi\\\"\"", "say \"hi\"", true},
        {"'a\\\\b'", "a\\b", true},
        {"'end\\\\'", "end\\", true},
        {"'x\\y\\\\'", "x\\y\\", true},
    };
    for (const auto& c : cases) {
        MadeTexts made;
        const auto result = parse_directive_expression(c.input, made);
        ASSERT_TRUE(result.ok()) << c.input << ": " << result.error().text;
        const auto* literal = std::get_if<Expression::String>(&result->value);
        ASSERT_NE(literal, nullptr) << c.input;
        EXPECT_EQ(literal->value, c.value) << c.input;
        if (c.made) {
            ASSERT_FALSE(made.empty()) << c.input;
            EXPECT_EQ(literal->value.data(), made.front().data()) << c.input;
            EXPECT_EQ(std::next(made.begin()), made.end()) << c.input;
        } else {
            EXPECT_TRUE(made.empty()) << c.input;
            EXPECT_EQ(literal->value.data(), c.input.data() + 1) << c.input;
        }
    }

    // Each argument of a call and each parameter default alike.
    MadeTexts made;
    const std::string call = "f('a', 'b\\'c', g(\"d\\\\\"))";
    const auto nested = parse_directive_expression(call, made);
    ASSERT_TRUE(nested.ok()) << nested.error().text;
    EXPECT_EQ(dump(*nested), "f(\"a\", \"b'c\", g(\"d\\\"))");
    std::vector<std::string> texts(made.begin(), made.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"d\\", "b'c"}));
    const auto params = parse_define_params("p='x', q='y\\'z'", "f", made);
    ASSERT_TRUE(params.ok()) << params.error().text;
    EXPECT_EQ(made.front(), "y'z");
    EXPECT_NE(std::get<Expression::String>((*params)[0].default_value->value).value.data(),
              made.front().data());
}

TEST(ParseInterpolation, BuildsReferencesWithOffsetAndTrimmedLength) {
    MadeTexts made;
    const Case cases[] = {
        {"name", "(interp 40 4 name)"},
        {"  name ", "(interp 40 4 name)"},
        {"true", "(interp 40 4 true)"},
        {"user.name", "(interp 40 9 user.name)"},
        {"f(x)", "(interp 40 4 f(x))"},
        {"f(x, 'a')", "(interp 40 9 f(x, \"a\"))"},
        {"lib.f()", "(interp 40 7 lib::f())"},
        {"f(a.b)", "(interp 40 6 f(a.b))"},
        // The name of a plain call is kept as written; it is reported later as undefined.
        {"a b(x)", "(interp 40 6 a b(x))"},
    };
    for (const auto& c : cases) {
        const auto result = parse_interpolation(c.input, 40, "t.tyx", "", made);
        ASSERT_TRUE(result.ok()) << c.input << ": " << result.error().text;
        EXPECT_EQ(dump(Node{*result}), c.expected) << c.input;
    }
}

TEST(ParseInterpolation, OwnErrorsAreLocatedAtTheBraces) {
    MadeTexts made;
    const std::string invalid_tail =
        "': use a variable name, function call like func(), or dot path like obj.field. To output "
        "a literal `{{` in the document, escape it as `\\{{`.";
    const Case cases[] = {
        {"1.5",
         "invalid dot-path in interpolation: '1.5' \xE2\x80\x94 each segment must be a valid "
         "identifier (got '1')"},
        {"", "invalid interpolation expression '" + invalid_tail},
        {"5", "invalid interpolation expression '5" + invalid_tail},
        {"'x'", "invalid interpolation expression ''x'" + invalid_tail},
        {"a b", "invalid interpolation expression 'a b" + invalid_tail},
        {"f(x", "unclosed parenthesis in function call"},
        {"lib.f(x", "unclosed parenthesis in function call"},
        {"1a.f()",
         "invalid namespace in qualified call: '1a' \xE2\x80\x94 must be a valid identifier"},
        {"a.b c()",
         "invalid function name in qualified call: 'b c' \xE2\x80\x94 must be a valid identifier"},
        {"a.b.c()",
         "invalid function name in qualified call: 'b.c' \xE2\x80\x94 must be a valid identifier"},
        {dotted_path(33), "invalid dot-path in interpolation: '" + dotted_path(33) +
                              "' \xE2\x80\x94 dot path exceeds maximum segment count of 32"},
    };
    for (const auto& c : cases) {
        const std::string source = "Hi {{ " + c.input + " }} there";
        const auto result = parse_interpolation(c.input, 3, "t.tyx", source, made);
        ASSERT_FALSE(result.ok()) << c.input;
        EXPECT_EQ(result.error().kind, ErrorKind::Syntax);
        EXPECT_EQ(result.error().text, c.expected) << c.input;
        ASSERT_TRUE(result.error().location.span.has_value()) << c.input;
        EXPECT_EQ(*result.error().location.span, (Span{3, c.input.size()})) << c.input;
        ASSERT_NE(result.error().location.source, nullptr) << c.input;
        EXPECT_EQ(result.error().location.source->name, "t.tyx");
    }
    EXPECT_TRUE(parse_interpolation(dotted_path(32), 0, "t.tyx", "", made).ok());
}

TEST(ParseInterpolation, ArgumentErrorsStayUnlocated) {
    MadeTexts made;
    const Case cases[] = {
        {"f(,)", "invalid function argument: ''"},
        {"lib.f(1x)", "invalid numeric argument: '1x'"},
        {nested_call(65), "nested function call depth exceeds maximum of 64"},
    };
    for (const auto& c : cases) {
        expect_unlocated_error(
            parse_interpolation(c.input, 0, "t.tyx", "{{ " + c.input + " }}", made), c.input,
            c.expected);
    }
}

TEST(ParseQuotedPath, ReadsUpToTheNextQuote) {
    const Case cases[] = {
        {"\"./a.tyx\"", "./a.tyx"}, {"  \"x\" trailing", "x"}, {"\"\"", ""},
        {"\"a\\b\"", "a\\b"},       {"\"it's\"", "it's"},      {"\"a\\\"b\"", "a\\"},
    };
    for (const auto& c : cases) {
        const auto result = parse_quoted_path(c.input);
        ASSERT_TRUE(result.ok()) << c.input;
        EXPECT_EQ(*result, c.expected) << c.input;
    }
    const Case errors[] = {
        {"'./a.tyx'", "expected quoted path, got: './a.tyx'"},
        {" base ", "expected quoted path, got: base"},
        {"", "expected quoted path, got: "},
        {"\"abc", "unclosed quote in path"},
    };
    for (const auto& c : errors)
        expect_unlocated_error(parse_quoted_path(c.input), c.input, c.expected);
}

TEST(IsKeywordLine, NeedsASeparatorAfterTheKeyword) {
    for (const char* text : {"@import", "@import \"x\"", "@import\t\"x\"", "@import{a}"}) {
        EXPECT_TRUE(is_keyword_line(text, "@import")) << text;
    }
    for (const char* text : {"@imports", "@import:", "@impor", "@export x"}) {
        EXPECT_FALSE(is_keyword_line(text, "@import")) << text;
    }
    EXPECT_TRUE(is_keyword_line("@export", "@export"));
}

TEST(ParseImport, BuildsTheThreeForms) {
    const Case cases[] = {
        {"@import \"./a.tyx\" as lib", "(import 100 \"./a.tyx\" as lib)"},
        {"@import \"./a.tyx\" as   lib ", "(import 100 \"./a.tyx\" as lib)"},
        {"@import \"./a.tyx\"", "(import 100 \"./a.tyx\")"},
        {"@import \"\"", "(import 100 \"\")"},
        {"@import { x, y } from \"./a.tyx\"", "(import 100 { x@110 y@113 } from \"./a.tyx\")"},
        {"@import{a} from \"./x.tyx\"", "(import 100 { a@108 } from \"./x.tyx\")"},
        {"@import { } from \"./a.tyx\"", "(import 100 { } from \"./a.tyx\")"},
        {"@import {}from \"./a.tyx\"", "(import 100 { } from \"./a.tyx\")"},
        {"@import { a, } from \"./a.tyx\"", "(import 100 { a@110 } from \"./a.tyx\")"},
        {"@import { a,, b } from\t\"./a.tyx\"", "(import 100 { a@110 b@114 } from \"./a.tyx\")"},
        {"@import { a } from \"./a.tyx\"  ", "(import 100 { a@110 } from \"./a.tyx\")"},
    };
    for (const auto& c : cases) {
        const auto result = parse_import(c.input, 100);
        ASSERT_TRUE(result.ok()) << c.input << ": " << result.error().text;
        EXPECT_EQ(dump(Node{*result}), c.expected) << c.input;
    }
}

TEST(ParseImport, ReportsEachErrorWithoutLocation) {
    const Case cases[] = {
        {"@import './a.tyx'", "expected quoted path, got: './a.tyx'"},
        {"@import", "expected quoted path, got: "},
        {"@import \"./a.tyx", "unclosed quote in path"},
        {"@import \"./a.tyx\" as", "unexpected text after import path: 'as'"},
        {"@import \"./a.tyx\" lib", "unexpected text after import path: 'lib'"},
        {"@import \"./a.tyx\" as lib extra", "invalid import alias: 'lib extra'"},
        {"@import \"./a.tyx\" as 1x", "invalid import alias: '1x'"},
        {"@import { x } \"./a.tyx\"", "selective import requires 'from' keyword"},
        {"@import { x } fromx \"./a.tyx\"", "selective import requires 'from' keyword"},
        {"@import { x }", "selective import requires 'from' keyword"},
        {"@import { x-y } from \"./a.tyx\"", "invalid import name: 'x-y'"},
        {"@import { a, 2b, c-d } from \"./a.tyx\"", "invalid import name: '2b'"},
        {"@import { x", "unclosed { in selective import"},
        {"@import { x } from './a.tyx'", "expected quoted path, got: './a.tyx'"},
        // Text after the path of a selective import is refused like in the other forms.
        {"@import { a } from \"./a.tyx\" junk", "unexpected text after import path: 'junk'"},
        {"@import { a } from \"./a.tyx\"as b", "unexpected text after import path: 'as b'"},
    };
    for (const auto& c : cases)
        expect_unlocated_error(parse_import(c.input, 0), c.input, c.expected);
}

TEST(ParseExport, BuildsTheThreeForms) {
    const Case cases[] = {
        {"@export * from \"./a.tyx\"", "(export 7 * from \"./a.tyx\")"},
        {"@export *from \"./a.tyx\"", "(export 7 * from \"./a.tyx\")"},
        {"@export * from \"./a.tyx\" trailing", "(export 7 * from \"./a.tyx\")"},
        {"@export greet from \"./a.tyx\"", "(export 7 greet from \"./a.tyx\")"},
        {"@export greet from \"./a.tyx\" trailing", "(export 7 greet from \"./a.tyx\")"},
        {"@export greet", "(export 7 greet)"},
        {"@export\tgreet", "(export 7 greet)"},
    };
    for (const auto& c : cases) {
        const auto result = parse_export(c.input, 7);
        ASSERT_TRUE(result.ok()) << c.input << ": " << result.error().text;
        EXPECT_EQ(dump(Node{*result}), c.expected) << c.input;
    }
}

TEST(ParseExport, ReportsEachErrorWithoutLocation) {
    const Case cases[] = {
        {"@export", "@export requires a name"},
        {"@export   ", "@export requires a name"},
        {"@export a b", "invalid export name: 'a b'"},
        {"@export a from", "invalid export name: 'a from'"},
        {"@export a  from \"./x.tyx\"", "invalid export name: 'a  from \"./x.tyx\"'"},
        {"@export *  from \"./x.tyx\"", "invalid export name: '*  from \"./x.tyx\"'"},
        {"@export 1a from \"./x.tyx\"", "invalid re-export name: '1a'"},
        {"@export a from ./x", "expected quoted path, got: ./x"},
        {"@export a from \"./x", "unclosed quote in path"},
        {"@export * from x", "expected quoted path, got: x"},
        {"@export{a}", "invalid export name: '{a}'"},
    };
    for (const auto& c : cases)
        expect_unlocated_error(parse_export(c.input, 0), c.input, c.expected);
}

TEST(ParseDefineParams, DeclaresNamesAndLiteralDefaults) {
    MadeTexts made;
    const Case cases[] = {
        {"", ""},
        {"  ", ""},
        {"a", "a"},
        {"a,", "a"},
        {"a,,b", "a, b"},
        {"a, b=1, c='x', d=true, e=null", "a, b=#1, c=\"x\", d=#true, e=#null"},
        {"a=+1", "a=#1"},
        {"a=.5", "a=#0.5"},
        {"a=1e3", "a=#1000"},
        {"a = -2", "a=#-2"},
        {"a=1.", "a=#1"},
        {"a=1e-400", "a=#0"},
        {"a=false", "a=#false"},
        {"a='x,y'", "a=\"x,y\""},
        {"a=\"q\\\"\"", "a=\"q\"\""},
        {"b, a='='", "b, a=\"=\""},
        {"a=\"\"", "a=\"\""},
    };
    for (const auto& c : cases) {
        const auto result = parse_define_params(c.input, "f", made);
        ASSERT_TRUE(result.ok()) << c.input << ": " << result.error().text;
        std::string text;
        for (size_t i = 0; i < result->size(); ++i)
            text += (i > 0 ? ", " : "") + dump((*result)[i]);
        EXPECT_EQ(text, c.expected) << c.input;
    }
}

TEST(ParseDefineParams, ReportsEachErrorWithoutLocation) {
    MadeTexts made;
    const std::string tail = "' \xE2\x80\x94 must be a string, number, boolean, or null";
    const Case cases[] = {
        {"a=1, b", "required parameter 'b' cannot follow an optional parameter in @define f"},
        {"a, a", "duplicate parameter name 'a' in @define f"},
        {"a=1, a=2", "duplicate parameter name 'a' in @define f"},
        // The order of the checks: the required-after-optional test comes before the duplicate.
        {"a=1, a", "required parameter 'a' cannot follow an optional parameter in @define f"},
        {"a=1, 1b", "invalid parameter name: '1b'"},
        {"a=", "invalid default value for parameter 'a': '" + tail},
        {"a=b", "invalid default value for parameter 'a': 'b" + tail},
        {"a=inf", "invalid default value for parameter 'a': 'inf" + tail},
        {"a=NaN", "invalid default value for parameter 'a': 'NaN" + tail},
        {"a=1e400", "invalid default value for parameter 'a': '1e400" + tail},
        {"a='x", "invalid default value for parameter 'a': ''x" + tail},
        {"a=1_0", "invalid default value for parameter 'a': '1_0" + tail},
        {"a=[1]", "invalid default value for parameter 'a': '[1]" + tail},
        {"1a", "invalid parameter name: '1a'"},
        {"a==1", "invalid parameter name: 'a='"},
        {"=1", "invalid parameter name: ''"},
        {"a b", "invalid parameter name: 'a b'"},
        {"a-b=1", "invalid parameter name: 'a-b'"},
    };
    for (const auto& c : cases) {
        expect_unlocated_error(parse_define_params(c.input, "f", made), c.input, c.expected);
    }
}

// Short lists are checked by a scan and long ones by a set; both find a repeated name, early or
// late, and neither refuses a long list of distinct names.
TEST(ParseDefineParams, DuplicatesInShortAndLongLists) {
    MadeTexts made;
    for (const size_t count : {2u, 15u, 16u, 17u, 40u}) {
        std::string list;
        for (size_t i = 0; i < count; ++i)
            list += (i > 0 ? ", p" : "p") + std::to_string(i);
        Result<std::vector<DefineParam>> distinct = parse_define_params(list, "f", made);
        ASSERT_TRUE(distinct.ok()) << count;
        EXPECT_EQ(distinct->size(), count);
        for (const size_t repeated : {size_t{0}, count - 1}) {
            const std::string input = list + ", p" + std::to_string(repeated);
            expect_unlocated_error(
                parse_define_params(input, "f", made), input,
                "duplicate parameter name 'p" + std::to_string(repeated) + "' in @define f");
        }
    }
}

}  // namespace
}  // namespace tyx
