#include "core/lexer.h"

#include "core/display.h"
#include "tests/cpp/char_lexer.h"

#include <gtest/gtest.h>
#include <algorithm>

#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace tyx {

std::ostream& operator<<(std::ostream& out, const Token& token) {
    static constexpr const char* kNames[] = {
        "Text",        "Interpolation", "EscapedBrace", "Directive", "FrontmatterDelimiter",
        "Frontmatter", "CodeFence",     "CodeBlock"};
    return out << kNames[static_cast<int>(token.kind)] << "@" << token.offset << " \"" << token.text
               << "\"";
}

namespace {

using K = TokenKind;

const char* const kUnclosedInterpolation =
    "unclosed `{{` interpolation \xE2\x80\x94 to include a literal `{{` in output, escape it as "
    "`\\{{`";

struct LexCase {
    const char* what;
    std::string source;
    std::vector<Token> expected;
};

// A token as the parser reads it: a Frontmatter token's text without its carriage returns.
struct ReadToken {
    TokenKind kind;
    uint64_t offset;
    std::string text;
    friend bool operator==(const ReadToken&, const ReadToken&) = default;
    friend std::ostream& operator<<(std::ostream& out, const ReadToken& token) {
        return out << Token{token.kind, token.offset, token.text};
    }
};

std::vector<ReadToken> as_read(const std::vector<Token>& tokens) {
    std::vector<ReadToken> read;
    for (const Token& token : tokens) {
        read.push_back({token.kind, token.offset,
                        token.kind == TokenKind::Frontmatter ? frontmatter_text(token)
                                                             : std::string(token.text)});
    }
    return read;
}

void expect_tokens(const std::vector<LexCase>& cases) {
    for (const LexCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Result<std::vector<Token>> tokens = tokenize(c.source, "t.tyx");
        ASSERT_TRUE(tokens.ok()) << tokens.error().text;
        EXPECT_EQ(as_read(tokens.value()), as_read(c.expected));
        for (const Token& token : tokens.value()) {
            if (token.text.empty()) continue;
            // Every text is a view of the source itself, from the token's offset on.
            EXPECT_GE(token.text.data(), c.source.data() + token.offset) << token;
            EXPECT_LE(token.text.data() + token.text.size(), c.source.data() + c.source.size())
                << token;
        }
    }
}

struct ErrorCase {
    const char* what;
    std::string source;
    std::string message;
    uint64_t offset;
    uint64_t length;
};

void expect_errors(const std::vector<ErrorCase>& cases) {
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Result<std::vector<Token>> tokens = tokenize(c.source, "dir/t.tyx");
        ASSERT_FALSE(tokens.ok());
        const CompileError& error = tokens.error();
        EXPECT_EQ(error.kind, ErrorKind::Syntax);
        EXPECT_EQ(error.text, c.message);
        ASSERT_TRUE(error.location.span);
        EXPECT_EQ(*error.location.span, (Span{c.offset, c.length}));
        ASSERT_TRUE(error.location.source);
        EXPECT_EQ(error.location.source->name, "dir/t.tyx");
        EXPECT_EQ(error.location.source->text.size(), c.source.size());
    }
}

TEST(Lexer, PlainText) {
    expect_tokens({
        {"empty source", "", {}},
        {"only text", "Hello, world!\nSecond line", {{K::Text, 0, "Hello, world!\nSecond line"}}},
        {"non-ASCII text",
         "caf\xC3\xA9 \xE2\x80\x94 ok",
         {{K::Text, 0, "caf\xC3\xA9 \xE2\x80\x94 ok"}}},
        {"indented @ is text", "  @if x:\n", {{K::Text, 0, "  @if x:\n"}}},
        {"@ inside a line is text", "a @b\n", {{K::Text, 0, "a @b\n"}}},
        {"CR alone never starts a line", "a\r@if x:\r", {{K::Text, 0, "a\r@if x:\r"}}},
        {"single braces", "{ x } and }} and \\{ x", {{K::Text, 0, "{ x } and }} and \\{ x"}}},
        {"lone backslash and brace at the end", "a\\", {{K::Text, 0, "a\\"}}},
        {"single brace at the end", "a{", {{K::Text, 0, "a{"}}},
        {"two backticks are no fence", "``\ncode\n", {{K::Text, 0, "``\ncode\n"}}},
    });
}

TEST(Lexer, Frontmatter) {
    expect_tokens({
        {"empty frontmatter",
         "---\n---\n",
         {{K::FrontmatterDelimiter, 0, ""},
          {K::Frontmatter, 4, ""},
          {K::FrontmatterDelimiter, 4, ""}}},
        {"closing line at the end without a line feed",
         "---\na: 1\n---",
         {{K::FrontmatterDelimiter, 0, ""},
          {K::Frontmatter, 4, "a: 1\n"},
          {K::FrontmatterDelimiter, 9, ""}}},
        {"CRLF line ends",
         "---\r\na: 1\r\n---\r\nX",
         {{K::FrontmatterDelimiter, 0, ""},
          {K::Frontmatter, 5, "a: 1\n"},
          {K::FrontmatterDelimiter, 11, ""},
          {K::Text, 16, "X"}}},
        {"closing line ended by CR alone",
         "---\na: 1\n---\rX",
         {{K::FrontmatterDelimiter, 0, ""},
          {K::Frontmatter, 4, "a: 1\n"},
          {K::FrontmatterDelimiter, 9, ""},
          {K::Text, 13, "X"}}},
        {"lookalike lines do not close",
         "---\n----\n---x\n--- \n---\nbody\n",
         {{K::FrontmatterDelimiter, 0, ""},
          {K::Frontmatter, 4, "----\n---x\n--- \n"},
          {K::FrontmatterDelimiter, 19, ""},
          {K::Text, 23, "body\n"}}},
        {"a directive right after the frontmatter",
         "---\nx: 1\n---\n@if x:\nA\n@end",
         {{K::FrontmatterDelimiter, 0, ""},
          {K::Frontmatter, 4, "x: 1\n"},
          {K::FrontmatterDelimiter, 9, ""},
          {K::Directive, 13, "@if x:"},
          {K::Text, 20, "A\n"},
          {K::Directive, 22, "@end"}}},
        {"byte order mark first",
         "\xEF\xBB\xBF---\n---\n",
         {{K::Text, 0, "\xEF\xBB\xBF---\n---\n"}}},
        {"space first", " ---\na\n---\n", {{K::Text, 0, " ---\na\n---\n"}}},
        {"text after the dashes", "--- x\n---\n", {{K::Text, 0, "--- x\n---\n"}}},
        {"dashes without line feed", "---", {{K::Text, 0, "---"}}},
        {"dashes and CR alone", "---\ra\n---\n", {{K::Text, 0, "---\ra\n---\n"}}},
        {"a later --- pair is text", "a\n---\nb: 1\n---\n", {{K::Text, 0, "a\n---\nb: 1\n---\n"}}},
    });
}

TEST(Lexer, Directives) {
    expect_tokens({
        {"directives between text",
         "Hello\n@if x:\nWorld\n@end\n",
         {{K::Text, 0, "Hello\n"},
          {K::Directive, 6, "@if x:"},
          {K::Text, 13, "World\n"},
          {K::Directive, 19, "@end"}}},
        {"CRLF: directive loses its CRs, text keeps them",
         "A\r\n@end\r\nB\r\n",
         {{K::Text, 0, "A\r\n"}, {K::Directive, 3, "@end"}, {K::Text, 9, "B\r\n"}}},
        {"all trailing CRs removed, spaces kept",
         "@end  \r\r\n@x \n",
         {{K::Directive, 0, "@end  "}, {K::Directive, 9, "@x "}}},
        {"directive at the end without a line feed", "@end", {{K::Directive, 0, "@end"}}},
        {"a bare @ and a mention",
         "@\n@user wrote\n",
         {{K::Directive, 0, "@"}, {K::Directive, 2, "@user wrote"}}},
        {"interpolation syntax inside a directive line",
         "@if {{ x }}:\n",
         {{K::Directive, 0, "@if {{ x }}:"}}},
        {"consecutive directives and an empty line",
         "@a\n\n@b\n",
         {{K::Directive, 0, "@a"}, {K::Text, 3, "\n"}, {K::Directive, 4, "@b"}}},
    });
}

TEST(Lexer, Interpolations) {
    expect_tokens({
        {"trimmed",
         "Hi {{ name }}!",
         {{K::Text, 0, "Hi "}, {K::Interpolation, 3, "name"}, {K::Text, 13, "!"}}},
        {"closing braces inside a string", "{{ '}}' }}", {{K::Interpolation, 0, "'}}'"}}},
        {"the first }} outside strings ends it",
         "{{ name }} b }}",
         {{K::Interpolation, 0, "name"}, {K::Text, 10, " b }}"}}},
        {"escaped quote inside a string",
         "{{ \"a\\\"}}\" }}x",
         {{K::Interpolation, 0, "\"a\\\"}}\""}, {K::Text, 13, "x"}}},
        {"other quote inside a string", "{{ \"it's\" }}", {{K::Interpolation, 0, "\"it's\""}}},
        {"spans lines, strings too",
         "{{ f(\n'a\nb'\n) }}\nz",
         {{K::Interpolation, 0, "f(\n'a\nb'\n)"}, {K::Text, 16, "\nz"}}},
        {"empty", "{{}}", {{K::Interpolation, 0, ""}}},
        {"Unicode white space trimmed",
         "{{\xE3\x80\x80\xC2\xA0 x\xE2\x80\xA9\t\r\n}}",
         {{K::Interpolation, 0, "x"}}},
        {"non-white-space neighbours kept",
         "{{\xE2\x80\x8B"
         "x\xE2\x80\x94}}",
         {{K::Interpolation, 0, "\xE2\x80\x8Bx\xE2\x80\x94"}}},
        {"third brace joins the content",
         "{{{ x }}}",
         {{K::Interpolation, 0, "{ x"}, {K::Text, 8, "}"}}},
        {"at a line start",
         "a\n{{ x }}\n",
         {{K::Text, 0, "a\n"}, {K::Interpolation, 2, "x"}, {K::Text, 9, "\n"}}},
        {"adjacent", "{{a}}{{b}}", {{K::Interpolation, 0, "a"}, {K::Interpolation, 5, "b"}}},
    });
}

TEST(Lexer, EscapedBraces) {
    expect_tokens({
        {"escape then text", "\\{{ x }}", {{K::EscapedBrace, 0, ""}, {K::Text, 3, " x }}"}}},
        {"inside text", "a\\{{b", {{K::Text, 0, "a"}, {K::EscapedBrace, 1, ""}, {K::Text, 4, "b"}}},
        {"escape followed by an interpolation",
         "\\{{{{x}}",
         {{K::EscapedBrace, 0, ""}, {K::Interpolation, 3, "x"}}},
        {"escape followed by a single brace",
         "\\{{{",
         {{K::EscapedBrace, 0, ""}, {K::Text, 3, "{"}}},
        {"backslash and one brace", "\\{ x", {{K::Text, 0, "\\{ x"}}},
        {"double backslash",
         "\\\\{{x}}",
         {{K::Text, 0, "\\"}, {K::EscapedBrace, 1, ""}, {K::Text, 4, "x}}"}}},
    });
}

TEST(Lexer, CodeFences) {
    expect_tokens({
        {"directives and interpolations are code",
         "```py\n@if x:\n{{ y }}\n```\nafter\n",
         {{K::CodeFence, 0, "```py"},
          {K::CodeBlock, 6, "@if x:\n{{ y }}\n"},
          {K::CodeFence, 21, "```"},
          {K::Text, 25, "after\n"}}},
        {"text before a fence keeps its line feed",
         "a\n```\nb\n```\n",
         {{K::Text, 0, "a\n"},
          {K::CodeFence, 2, "```"},
          {K::CodeBlock, 6, "b\n"},
          {K::CodeFence, 8, "```"}}},
        {"four backticks close only with four or more, bare",
         "````\n```\n~~~~\n```` x\n`````  \t\nz",
         {{K::CodeFence, 0, "````"},
          {K::CodeBlock, 5, "```\n~~~~\n```` x\n"},
          {K::CodeFence, 21, "`````  \t"},
          {K::Text, 30, "z"}}},
        {"tildes",
         "~~~\n```\n~~~\n",
         {{K::CodeFence, 0, "~~~"}, {K::CodeBlock, 4, "```\n"}, {K::CodeFence, 8, "~~~"}}},
        {"block-quoted and indented fence lines",
         "> ```\n> code\n> ```\n    ```\nx\n    ```\n",
         {{K::CodeFence, 0, "> ```"},
          {K::CodeBlock, 6, "> code\n"},
          {K::CodeFence, 13, "> ```"},
          {K::CodeFence, 19, "    ```"},
          {K::CodeBlock, 27, "x\n"},
          {K::CodeFence, 29, "    ```"}}},
        {"empty block and closing fence at the very end",
         "```\n```",
         {{K::CodeFence, 0, "```"}, {K::CodeFence, 4, "```"}}},
        {"CRLF fence lines",
         "```\r\ncode\r\n```\r\nx",
         {{K::CodeFence, 0, "```"},
          {K::CodeBlock, 5, "code\r\n"},
          {K::CodeFence, 11, "```"},
          {K::Text, 16, "x"}}},
        {"fence line ended by CR alone continues as code",
         "```\rcode\n```\n",
         {{K::CodeFence, 0, "```"}, {K::CodeBlock, 4, "code\n"}, {K::CodeFence, 9, "```"}}},
        {"a fence line stops a text run",
         "text\n  ~~~ info\nx\n  ~~~\n",
         {{K::Text, 0, "text\n"},
          {K::CodeFence, 5, "  ~~~ info"},
          {K::CodeBlock, 16, "x\n"},
          {K::CodeFence, 18, "  ~~~"}}},
        {"backticks inside a line are text", "a ```\nb\n", {{K::Text, 0, "a ```\nb\n"}}},
    });
}

TEST(Lexer, Errors) {
    expect_errors({
        {"frontmatter never closed", "---\na: 1\n", "unclosed frontmatter (missing closing ---)", 0,
         3},
        {"nothing after the opening line", "---\n", "unclosed frontmatter (missing closing ---)", 0,
         3},
        {"CRLF opening line only", "---\r\n", "unclosed frontmatter (missing closing ---)", 0, 3},
        {"apostrophe opens a string", "ab {{ it's }}", kUnclosedInterpolation, 3, 2},
        {"source ends inside", "x\n{{ name", kUnclosedInterpolation, 2, 2},
        {"single closing brace", "{{ x }", kUnclosedInterpolation, 0, 2},
        {"backslash at the end of a string", "{{ 'a\\", kUnclosedInterpolation, 0, 2},
        {"fence never closed", "intro\n```py\ncode\n", "unclosed code fence", 6, 3},
        {"indented fence never closed", "  ~~~\n", "unclosed code fence", 0, 3},
        {"a shorter run does not close", "````\ncode\n```\n", "unclosed code fence", 0, 3},
        {"a closing line is reopened later", "```\n```\n```\n", "unclosed code fence", 8, 3},
    });
}

TEST(Lexer, ErrorsNeutralizeTheSource) {
    const Result<std::vector<Token>> tokens = tokenize("a\r\n{{ x", "n\ame");
    ASSERT_FALSE(tokens.ok());
    ASSERT_TRUE(tokens.error().location.source);
    EXPECT_EQ(tokens.error().location.source->text, "a?\n{{ x");
    EXPECT_EQ(tokens.error().location.source->name, "n\\u0007me");
}

TEST(Lexer, IllFormedUtf8PassesThroughText) {
    expect_tokens({
        {"stray bytes",
         "\xFF\xC3{{ \x80 }}\xE2",
         {{K::Text, 0, "\xFF\xC3"}, {K::Interpolation, 2, "\x80"}, {K::Text, 9, "\xE2"}}},
    });
}

TEST(DetectCodeFence, Lines) {
    struct Case {
        std::string line;
        std::optional<FenceMarker> expected;
    };
    const std::vector<Case> cases = {
        {"```", FenceMarker{3, U'`', true}},
        {"~~~~~ \t", FenceMarker{5, U'~', true}},
        {"```python", FenceMarker{3, U'`', false}},
        {"``` x", FenceMarker{3, U'`', false}},
        {" \t>> ```", FenceMarker{3, U'`', true}},
        {"```\r\nnext", FenceMarker{3, U'`', true}},
        {"```\nnext", FenceMarker{3, U'`', true}},
        {"``~", std::nullopt},
        {"``", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"x```", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(detect_code_fence(c.line, 0), c.expected);
    }
    EXPECT_EQ(detect_code_fence("ab\n```", 3), (FenceMarker{3, U'`', true}));
}

TEST(Lexer, InterpolationTrimsUnicodeWhiteSpace) {
    // One of each White_Space group: ASCII controls and space, U+0085, U+00A0, U+1680,
    // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
    const std::vector<std::string> white = {"\t",           "\n",           "\v",
                                            "\f",           "\r",           " ",
                                            "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
                                            "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A",
                                            "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
                                            "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (const std::string& ws : white) {
        SCOPED_TRACE(escape_for_display(ws));
        const std::string source = "{{" + ws + ws + "a b" + ws + "}}{{" + ws + "}}";
        const Result<std::vector<Token>> tokens = tokenize(source, "t");
        ASSERT_TRUE(tokens.ok());
        const std::vector<Token> expected = {{K::Interpolation, 0, "a b"},
                                             {K::Interpolation, 7 + 3 * ws.size(), ""}};
        EXPECT_EQ(tokens.value(), expected);
    }
    // Zero width space, word joiner, Mongolian vowel separator and BOM are not White_Space.
    for (const char* other : {"\xE2\x80\x8B", "\xE2\x81\xA0", "\xE1\xA0\x8E", "\xEF\xBB\xBF"}) {
        const std::string source = std::string("{{") + other + "}}";
        const Result<std::vector<Token>> tokens = tokenize(source, "t");
        ASSERT_TRUE(tokens.ok());
        EXPECT_EQ(tokens.value(), (std::vector<Token>{{K::Interpolation, 0, other}}));
    }
}

// The bound is counted sixteen bytes at a time with byte-wide counters, which must not wrap on
// long runs of braces and line feeds nor lose the bytes of a last partial chunk.
TEST(Lexer, MostTokensCountsEveryBraceAndLineFeed) {
    struct Case {
        size_t braces;
        size_t feeds;
        size_t others;
    };
    for (const Case c : {Case{0, 0, 0}, Case{1, 0, 15}, Case{17, 3, 0}, Case{5000, 0, 0},
                         Case{0, 4081, 7}, Case{70000, 70001, 3}}) {
        std::string source;
        for (size_t i = 0; i < std::max({c.braces, c.feeds, c.others}); ++i) {
            if (i < c.braces) source += '{';
            if (i < c.feeds) source += '\n';
            if (i < c.others) source += 'a';
        }
        EXPECT_EQ(most_tokens(source), 2 * (c.braces / 2 + c.feeds + 4) + 1)
            << c.braces << " " << c.feeds;
    }
}

// The byte cursor must agree with the literal char-indexed lexer on every input, including the
// ones random fragments of the syntax produce together.
TEST(Lexer, AgreesWithTheCharIndexedLexer) {
    static const char* const kFragments[] = {
        "\n",       "\r",       "\r\n",         "@",        "@if x:",       "{{",   "}}",
        "{",        "}",        "\\",           "'",        "\"",           "```",  "~~~",
        "````",     "---",      "--- ",         " ",        "\t",           ">",    "a",
        "b c",      "\xC2\xA0", "\xE3\x80\x80", "\xC2\x85", "\xE2\x80\x94", "\xFF", "\xC3",
        "\xE2\x80", "py",       "\xE2\x80\xA8", "\x0B"};
    std::mt19937 random(20240601);
    std::uniform_int_distribution<size_t> pick(0, std::size(kFragments) - 1);
    std::uniform_int_distribution<int> count(0, 40);
    for (int round = 0; round < 20000; ++round) {
        std::string source;
        // Start a quarter of the inputs with an opening frontmatter line.
        if (round % 4 == 0) source = round % 8 == 0 ? "---\n" : "---\r\n";
        for (int n = count(random); n > 0; --n)
            source += kFragments[pick(random)];
        const Result<std::vector<Token>> fast = tokenize(source, "t");
        const Result<std::vector<Token>> literal = testing::char_tokenize(source, "t");
        SCOPED_TRACE(escape_for_display(source));
        ASSERT_EQ(fast.ok(), literal.ok());
        if (fast.ok()) {
            ASSERT_EQ(fast.value(), literal.value());
            // The parser sizes its node list by this bound.
            ASSERT_GE(most_tokens(source), fast->size());
        } else {
            ASSERT_EQ(fast.error().text, literal.error().text);
            ASSERT_EQ(fast.error().location.span, literal.error().location.span);
        }
    }
}

}  // namespace
}  // namespace tyx
