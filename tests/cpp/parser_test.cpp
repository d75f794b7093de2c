#include "core/parser.h"

#include <gtest/gtest.h>
#include <algorithm>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/lexer.h"
#include "tests/cpp/tree_dump.h"

namespace tyx {
namespace {

using testing::dump;

constexpr std::string_view kName = "t.tyx";

Result<ParsedTemplate> parse(const std::string& source) {
    auto shared = std::make_shared<const std::string>(source);
    auto tokens = tokenize(*shared, kName);
    if (!tokens.ok()) {
        ADD_FAILURE() << "tokenize failed: " << tokens.error().text;
        return std::move(tokens).take_error();
    }
    return parse_template(*tokens, kName, std::move(shared));
}

std::string repeat(const std::string& text, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += text;
    return out;
}

// Parsing while lexing must give the tree, or the error, that lexing first gives; a lexer error
// wins over a parse error wherever each stands.
TEST(ParseSource, MatchesLexingFirst) {
    const std::string sources[] = {
        "",
        "plain",
        "---\r\ntitle: x\r\n---\r\nHi {{ a }}\n",
        "\n  \n@extends \"./base.tyx\"\n@block main:\nX\n@end\n",
        "  \n\n@if x:\n```\n{{ kept }}\n```\n@end\n\\{{ y }}",
        // A parse error before a lexer error.
        "@if x\nbody\n{{ open",
        "@unknown\n```\nnever closed\n",
        "@for x in:\n@end\n---\n",
        // A lexer error that cuts a block short, and one at the very start.
        "@if x:\n{{ open\n@end\n",
        "---\nno: close\n@if x\n",
        // A parse error and no lexer error.
        "@if x:\nno end",
        "\n@extends\n",
    };
    for (const std::string& source : sources) {
        SCOPED_TRACE(source);
        const auto shared = std::make_shared<const std::string>(source);
        const auto streamed = parse_source(shared, kName);
        const auto tokens = tokenize(*shared, kName);
        const auto first = tokens.ok() ? parse_template(*tokens, kName, shared)
                                       : Result<ParsedTemplate>(tokens.error());
        ASSERT_EQ(streamed.ok(), first.ok());
        if (!first.ok()) {
            EXPECT_EQ(streamed.error().text, first.error().text);
            EXPECT_EQ(streamed.error().kind, first.error().kind);
            EXPECT_EQ(streamed.error().location.span, first.error().location.span);
            continue;
        }
        EXPECT_EQ(dump(streamed->body), dump(first->body));
        EXPECT_EQ(streamed->frontmatter, first->frontmatter);
        EXPECT_EQ(streamed->extends, first->extends);
        EXPECT_EQ(streamed->extends_offset, first->extends_offset);
    }
}

TEST(ParseTemplate, EmptyInputs) {
    const std::vector<Token> none;
    const auto empty = parse_template(none, kName, std::make_shared<const std::string>());
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->body.empty());
    EXPECT_FALSE(empty->frontmatter.has_value());
    EXPECT_FALSE(empty->extends.has_value());

    const auto blank = parse("");
    ASSERT_TRUE(blank.ok());
    EXPECT_TRUE(blank->body.empty());
}

// Hands every text, name and path a tree holds to `visit`.
class TreeTexts {
  public:
    explicit TreeTexts(std::function<void(std::string_view)> visit) : visit_(std::move(visit)) {}

    void tree(const ParsedTemplate& tree) {
        if (tree.frontmatter) visit_(*tree.frontmatter);
        if (tree.extends) visit_(*tree.extends);
        body(tree.body);
    }

  private:
    void body(const std::vector<Node>& nodes) {
        for (const Node& node : nodes)
            visit_node([this](const auto& directive) { this->node(directive); }, node);
    }

    void node(const Node::Text& text) { visit_(text.text); }
    void node(const Node::Interpolation& interpolation) { expression(interpolation.expression); }
    void node(const Node::EscapedBrace&) {}
    void node(const Node::If& branch) {
        condition(branch.condition);
        body(branch.then_body);
        for (const ElseIfBranch& elseif : branch.elseif_branches) {
            condition(elseif.condition);
            body(elseif.body);
        }
        if (branch.else_branch) body(branch.else_branch->body);
    }
    void node(const Node::For& loop) {
        if (loop.key_variable) visit_(*loop.key_variable);
        visit_(loop.item_variable);
        expression(loop.iterable);
        body(loop.body);
    }
    void node(const Node::Define& define) {
        visit_(define.name);
        for (const DefineParam& param : define.params) {
            visit_(param.name);
            if (param.default_value) expression(*param.default_value);
        }
        body(define.body);
    }
    void node(const Node::Import& import) {
        std::visit(
            [this](const auto& kind) {
                visit_(kind.path);
                if constexpr (requires { kind.alias; }) visit_(kind.alias);
                if constexpr (requires { kind.names; }) {
                    for (const std::string_view name : kind.names)
                        visit_(name);
                }
            },
            import.kind.value);
    }
    void node(const Node::Export& exported) {
        std::visit(
            [this](const auto& kind) {
                if constexpr (requires { kind.name; }) visit_(kind.name);
                if constexpr (requires { kind.path; }) visit_(kind.path);
            },
            exported.kind.value);
    }
    void node(const Node::Include& include) { visit_(include.name); }
    void node(const Node::MessageBlock& message) {
        expression(message.role);
        body(message.body);
    }
    void node(const Node::Block& block) {
        visit_(block.name);
        body(block.body);
    }

    void expressions(const std::vector<Expression>& args) {
        for (const Expression& arg : args)
            expression(arg);
    }
    void expression(const Expression& expression) {
        visit_unboxed(
            [this](const auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, Expression::Variable>) {
                    visit_(value.name);
                } else if constexpr (std::is_same_v<T, Expression::Call>) {
                    visit_(value.name);
                    expressions(value.args);
                } else if constexpr (std::is_same_v<T, Expression::QualifiedCall>) {
                    visit_(value.namespace_name);
                    visit_(value.name);
                    expressions(value.args);
                } else if constexpr (std::is_same_v<T, Expression::DotPath>) {
                    visit_(value.root);
                    for (const std::string_view field : value.fields)
                        visit_(field);
                } else if constexpr (std::is_same_v<T, Expression::String>) {
                    visit_(value.value);
                }
            },
            expression.value);
    }
    void condition(const Condition& condition) {
        std::visit(
            [this](const auto& value) {
                if constexpr (requires { value.expression; }) expression(value.expression);
                if constexpr (requires { value.left; }) {
                    expression(value.left);
                    expression(value.right);
                }
                if constexpr (requires { value.conditions; }) {
                    for (const Condition& member : value.conditions)
                        this->condition(member);
                }
            },
            condition.value);
    }

    std::function<void(std::string_view)> visit_;
};

bool lies_within(std::string_view part, std::string_view whole) {
    return std::less_equal<>()(whole.data(), part.data()) &&
           std::less_equal<>()(part.data() + part.size(), whole.data() + whole.size());
}

// The tree owns its source, and every text it holds views that source where it is the source's
// own bytes, or a text the tree made where the parser made it: a string literal whose escapes
// change it, a fence line without its line feed, frontmatter with carriage returns.
TEST(ParseTemplate, EveryTextViewsTheSourceOrATextTheTreeMade) {
    const struct {
        std::string source;
        // The texts the tree made, in any order.
        std::vector<std::string> made;
    } cases[] = {
        {"---\ntitle: x\n---\nIntro {{ a }} text\n@if b == 'y\\z':\nyes {{ c.d(e, \"f\") "
         "}}\n@end\n",
         {}},
        {"---\r\ntitle: x\r\n---\r\n{{ lib.f('it\\'s') }}\n", {"title: x\n", "it's"}},
        {"@extends \"./base.tyx\"\n@block main:\n{{ f(\"a\\\\b\", 'c\\\"') }}\n@end\n",
         {"a\\b", "c\""}},
        {"```\ncode {{ kept }}\n```", {"```\n"}},
        {"@for k, v in xs.items:\n- {{ v }}\n@end\n@message {{ role }}:\nM\n@end\n"
         "@message user:\nU\n@end\n",
         {}},
        {"@import \"./a.tyx\" as a\n@import { p, q } from \"./b.tyx\"\n@import \"./c.tyx\"\n"
         "@export f\n@export g from \"./d.tyx\"\n@export * from \"./e.tyx\"\n@include a\n"
         "@define f(p, q = 'x\\'y', r = \"plain\"):\nbody {{ p }}\n@end\n" +
             repeat("line {{ a }} and {{ b }}\n", 50),
         {"x'y"}},
    };
    // Every text of the tree lies in `source` or is one of the texts it made, which are `made`.
    const auto expect_views = [](const ParsedTemplate& parsed, std::string_view source,
                                 const std::vector<std::string>& made_expected) {
        std::vector<std::string> made;
        for (const std::string& text : parsed.made_texts)
            made.push_back(text);
        std::vector<std::string> expected = made_expected;
        std::sort(made.begin(), made.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(made, expected);

        size_t texts = 0;
        TreeTexts([&](std::string_view text) {
            ++texts;
            const bool in_made = std::any_of(parsed.made_texts.begin(), parsed.made_texts.end(),
                                             [&](const std::string& made_text) {
                                                 return text.data() == made_text.data() &&
                                                        text.size() == made_text.size();
                                             });
            EXPECT_TRUE(in_made || lies_within(text, source)) << text;
        }).tree(parsed);
        EXPECT_GT(texts, 0u);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        auto shared = std::make_shared<const std::string>(c.source);
        Result<ParsedTemplate> parsed = parse_source(shared, kName);
        ASSERT_TRUE(parsed.ok()) << parsed.error().text;
        EXPECT_EQ(parsed->source.owner(), shared);
        // The tree's own copy of the pointer is what keeps its texts.
        shared.reset();
        expect_views(*parsed, *parsed->source, c.made);

        // A caller's text is read where it stands, not copied.
        Result<ParsedTemplate> borrowed = parse_source(SharedText::borrowed(c.source), kName);
        ASSERT_TRUE(borrowed.ok()) << borrowed.error().text;
        EXPECT_EQ(borrowed->source.owner(), nullptr);
        EXPECT_EQ(borrowed->source.view().data(), c.source.data());
        expect_views(*borrowed, c.source, c.made);
    }
}

TEST(ParseTemplate, BuildsTreesForEachForm) {
    const struct {
        std::string source;
        std::string tree;
    } cases[] = {
        {"Hello {{ name }}!", "[(text 0 \"Hello \") (interp 6 4 name) (text 16 \"!\")]"},
        {"\\{{ x }}", "[(escaped 0) (text 3 \" x }}\")]"},
        {"a {{ user.name }} {{ f(x, 'y') }} {{ lib.g() }}",
         "[(text 0 \"a \") (interp 2 9 user.name) (text 17 \" \") (interp 18 9 f(x, \"y\")) "
         "(text 33 \" \") (interp 34 7 lib::g())]"},
        // The line breaks after "@if x:" and after "@end" belong to no node.
        {"@if x:\nA\n@end\n", "[(if 0 x [(text 7 \"A\\n\")] end 9)]"},
        {"@if x:\r\nA\r\n@end\r\n", "[(if 0 x [(text 8 \"A\\r\\n\")] end 11)]"},
        {"@if a:\nA\n@elseif b == 'x':\nB\n@elseif !c:\nC\n@else:\nD\n@end",
         "[(if 0 a [(text 7 \"A\\n\")] (elseif 9 (b == \"x\") [(text 27 \"B\\n\")]) "
         "(elseif 29 !c [(text 41 \"C\\n\")]) (else 43 [(text 50 \"D\\n\")]) end 52)]"},
        {"@if a || b && c:   \n@end", "[(if 0 (or a (and b c)) [] end 20)]"},
        {"@if f('a:b'):\n@end", "[(if 0 f(\"a:b\") [] end 14)]"},
        {"@for item in items:\n- {{ item }}\n@end",
         "[(for 0 item in items [(text 20 \"- \") (interp 22 4 item) (text 32 \"\\n\")] end 33)]"},
        {"@for k, v in obj:\n@end", "[(for 0 k, v in obj [] end 18)]"},
        {"@for x in lib.items(1):\n@end", "[(for 0 x in lib::items(#1) [] end 24)]"},
        {"@for x in a.b:\n@end", "[(for 0 x in a.b [] end 15)]"},
        {"@define greet(name, greeting='Hi'):\n{{ greeting }}, {{ name }}\n@end",
         "[(define 0 greet(name, greeting=\"Hi\") [(interp 36 8 greeting) (text 50 \", \") "
         "(interp 52 4 name) (text 62 \"\\n\")] end 63)]"},
        {"@define f(a) extra:\n@end", "[(define 0 f(a) [] end 20)]"},
        {"@define f():\n@end", "[(define 0 f() [] end 13)]"},
        {"@import \"./a.tyx\" as lib\n@import { x, y } from \"./b.tyx\"\n@export greet\n"
         "@include lib\n",
         "[(import 0 \"./a.tyx\" as lib) (import 25 { x@35 y@38 } from \"./b.tyx\") "
         "(export 57 greet) (include 71 lib)]"},
        {"@import \"./a.tyx\"\n@export * from \"./c.tyx\"\n@export g from \"./d.tyx\"",
         "[(import 0 \"./a.tyx\") (export 18 * from \"./c.tyx\") (export 43 g from \"./d.tyx\")]"},
        {"@message system:\nBe kind.\n@end\n@message {{ role }}:\nHi\n@end",
         "[(message 0 \"system\" [(text 17 \"Be kind.\\n\")]) (message 31 role [(text 52 "
         "\"Hi\\n\")])]"},
        {"@message \"system\":\n@end", "[(message 0 \"\"system\"\" [])]"},
        {"@message {{ 'user' }}:\n@end", "[(message 0 \"user\" [])]"},
        {"@message {{ lib.role() }}:\n@end", "[(message 0 lib::role() [])]"},
        {"@block intro:\n@message user:\n@define f():\n@end\n@end\n@end",
         "[(block 0 intro [(message 14 \"user\" [(define 29 f() [] end 42)])])]"},
        {"@message user:\n@define f():\n@end\n@end",
         "[(message 0 \"user\" [(define 15 f() [] end 28)])]"},
        {"@if x:\n@import \"./a.tyx\" as lib\n@end",
         "[(if 0 x [(import 7 \"./a.tyx\" as lib)] end 32)]"},
        {"```py\n@if x:\n{{ y }}\n```\nAfter",
         "[(text 0 \"```py\\n\") (text 6 \"@if x:\\n{{ y }}\\n\") (text 21 \"```\\n\") "
         "(text 25 \"After\")]"},
        // A fence line's text always ends in one line feed, whatever ends it in the source.
        {"```\ncode\n```", "[(text 0 \"```\\n\") (text 4 \"code\\n\") (text 9 \"```\\n\")]"},
        {"~~~ \r\nx\r\n~~~\r", "[(text 0 \"~~~ \\n\") (text 6 \"x\\r\\n\") (text 9 \"~~~\\n\")]"},
        {"  \n@if x:\n@end", "[(text 0 \"  \\n\") (if 3 x [] end 10)]"},
        {"@if a:\n@for x in xs:\n{{ x }}\n@end\n@else:\nnone\n@end",
         "[(if 0 a [(for 7 x in xs [(interp 21 1 x) (text 28 \"\\n\")] end 29)] "
         "(else 34 [(text 41 \"none\\n\")]) end 46)]"},
    };
    for (const auto& c : cases) {
        const auto result = parse(c.source);
        ASSERT_TRUE(result.ok()) << c.source << ": " << result.error().text;
        EXPECT_EQ(dump(result->body), c.tree) << c.source;
        EXPECT_FALSE(result->frontmatter.has_value()) << c.source;
        EXPECT_FALSE(result->extends.has_value()) << c.source;
    }
}

TEST(ParseTemplate, FrontmatterAndLeadingExtends) {
    const struct {
        std::string source;
        std::optional<std::string> frontmatter;
        std::optional<std::string> extends;
        uint64_t extends_offset;
        std::string tree;
    } cases[] = {
        {"---\ntitle: x\n---\nBody {{ title }}", "title: x\n", std::nullopt, 0,
         "[(text 17 \"Body \") (interp 22 5 title)]"},
        {"---\n---\n", "", std::nullopt, 0, "[]"},
        {"\n\n@extends \"./base.tyx\"\nX", std::nullopt, "./base.tyx", 2, "[(text 24 \"X\")]"},
        {"@extends \"./base.tyx\"", std::nullopt, "./base.tyx", 0, "[]"},
        {"---\na: 1\n---\n\n@extends \"./b.tyx\" ignored\nX", "a: 1\n", "./b.tyx", 14,
         "[(text 41 \"X\")]"},
        {"@extends \"\"\n", std::nullopt, "", 0, "[]"},
        {"@extends   \"a\\b.tyx\"  \n@block main:\nHi\n@end", std::nullopt, "a\\b.tyx", 0,
         "[(block 23 main [(text 36 \"Hi\\n\")])]"},
    };
    for (const auto& c : cases) {
        const auto result = parse(c.source);
        ASSERT_TRUE(result.ok()) << c.source << ": " << result.error().text;
        EXPECT_EQ(result->frontmatter, c.frontmatter) << c.source;
        EXPECT_EQ(result->extends, c.extends) << c.source;
        if (c.extends) {
            EXPECT_EQ(result->extends_offset, c.extends_offset) << c.source;
        }
        EXPECT_EQ(dump(result->body), c.tree) << c.source;
    }
}

TEST(ParseTemplate, FrontmatterTokensWithoutClosingDelimiter) {
    const auto source = std::make_shared<const std::string>("---\na: 1\nX");
    const std::string_view text = *source;
    const std::vector<Token> tokens = {
        {TokenKind::FrontmatterDelimiter, 0, text.substr(0, 0)},
        {TokenKind::Frontmatter, 4, text.substr(4, 5)},
        {TokenKind::Text, 9, text.substr(9)},
    };
    const auto result = parse_template(tokens, kName, source);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->frontmatter, "a: 1\n");
    EXPECT_EQ(dump(result->body), "[(text 9 \"X\")]");

    const auto bare_source = std::make_shared<const std::string>("---\nX");
    const std::vector<Token> delimiter_only = {
        {TokenKind::FrontmatterDelimiter, 0, std::string_view(*bare_source).substr(0, 0)},
        {TokenKind::Text, 4, std::string_view(*bare_source).substr(4)}};
    const auto bare = parse_template(delimiter_only, kName, bare_source);
    ASSERT_TRUE(bare.ok());
    EXPECT_FALSE(bare->frontmatter.has_value());
    EXPECT_EQ(dump(bare->body), "[(text 4 \"X\")]");
}

struct ErrorCase {
    std::string source;
    ErrorKind kind;
    std::string message;
    std::optional<Span> span;  // nothing: the error carries no location
};

void expect_error(const ErrorCase& c) {
    const auto result = parse(c.source);
    ASSERT_FALSE(result.ok()) << c.source;
    const CompileError& error = result.error();
    EXPECT_EQ(error.kind, c.kind) << c.source;
    EXPECT_EQ(error.text, c.message) << c.source;
    EXPECT_EQ(error.location.span, c.span) << c.source;
    if (c.span) {
        ASSERT_NE(error.location.source, nullptr) << c.source;
        EXPECT_EQ(error.location.source->name, kName);
    } else {
        EXPECT_EQ(error.location.source, nullptr) << c.source;
    }
}

const std::string kUnknownTail =
    ". Valid directives: @if, @elseif, @else:, @end, @for, @define, @import, @export, @include, "
    "@message, @block, @extends";
const std::string kExtendsMisplaced =
    "@extends must be the first directive after frontmatter \xE2\x80\x94 only one @extends is "
    "allowed and it must appear before any other content";
const std::string kLiteralCondition =
    "cannot use a literal value in @if condition \xE2\x80\x94 use a variable or function call";

TEST(ParseTemplate, DirectiveDispatchErrors) {
    const ErrorKind S = ErrorKind::Syntax;
    const ErrorCase cases[] = {
        {"Intro\n@extends \"./base.tyx\"", ErrorKind::Extends, kExtendsMisplaced, Span{6, 21}},
        {"Intro\n@extends \"./base.tyx\"   ", ErrorKind::Extends, kExtendsMisplaced, Span{6, 24}},
        // The span is as long as the token text, which the lexer stripped of its carriage return.
        {"Intro\r\n@extends \"a\"\r\nX", ErrorKind::Extends, kExtendsMisplaced, Span{7, 12}},
        {"@extends \"a\"\n@extends \"b\"", ErrorKind::Extends, kExtendsMisplaced, Span{13, 12}},
        {"{{ x }}\n@extends \"a\"", ErrorKind::Extends, kExtendsMisplaced, Span{8, 12}},
        {"@extends", S, "@extends requires a quoted path: @extends \"./base.tyx\"", Span{0, 8}},
        {"\n@extends   \nX", S, "@extends requires a quoted path: @extends \"./base.tyx\"",
         Span{1, 11}},
        {"@extends base", S, "expected quoted path, got: base", std::nullopt},
        {"@extends \"./a", S, "unclosed quote in path", std::nullopt},
        {"@end", S, "unknown directive: @end" + kUnknownTail, Span{0, 4}},
        {"A\n@else:", S, "unknown directive: @else:" + kUnknownTail, Span{2, 6}},
        {"@bogus\r\nX", S, "unknown directive: @bogus" + kUnknownTail, Span{0, 7}},
        {"@", S, "unknown directive: @" + kUnknownTail, Span{0, 1}},
        {"@user wrote", S, "unknown directive: @user wrote" + kUnknownTail, Span{0, 11}},
        {"@if", S, "unknown directive: @if" + kUnknownTail, Span{0, 3}},
        {"@if\tx:", S, "unknown directive: @if\tx:" + kUnknownTail, Span{0, 6}},
        {"@message:", S, "unknown directive: @message:" + kUnknownTail, Span{0, 9}},
        {"@include", S, "unknown directive: @include" + kUnknownTail, Span{0, 8}},
        {"@imports x", S, "unknown directive: @imports x" + kUnknownTail, Span{0, 10}},
        {"@else", S, "found '@else' without colon \xE2\x80\x94 use '@else:' (with trailing colon)",
         Span{0, 5}},
        {"@elseif x:", S, "@elseif must appear inside an @if block", Span{0, 10}},
        {"@if x:\n@elseif\n@end", S, "@elseif must appear inside an @if block", Span{7, 7}},
        {"@elseif:", S,
         "found '@elseif:' without a condition \xE2\x80\x94 use '@elseif <condition>:' (condition "
         "required)",
         Span{0, 8}},
        {"@include 1x", S, "invalid include alias: '1x'", Span{0, 11}},
        {"@include a b", S, "invalid include alias: 'a b'", Span{0, 12}},
        {"@import './x'", S, "expected quoted path, got: './x'", std::nullopt},
        {"@import { a } from \"./a.tyx\" junk", S, "unexpected text after import path: 'junk'",
         std::nullopt},
        {"@export a b", S, "invalid export name: 'a b'", std::nullopt},
        {"Text {{ 5 }}", S,
         "invalid interpolation expression '5': use a variable name, function call like func(), or "
         "dot path like obj.field. To output a literal `{{` in the document, escape it as `\\{{`.",
         Span{5, 1}},
        {"{{ f(,) }}", S, "invalid function argument: ''", std::nullopt},
    };
    for (const auto& c : cases)
        expect_error(c);
}

TEST(ParseTemplate, BlockStructureErrors) {
    const ErrorKind S = ErrorKind::Syntax;
    const ErrorCase cases[] = {
        {"@if a:\nA\n@else:\nB\n@else:\nC\n@end", S, "unknown directive: @else:" + kUnknownTail,
         Span{18, 6}},
        {"@for x in y:\n@else:\n@end", S, "unknown directive: @else:" + kUnknownTail, Span{13, 6}},
        {"@if x:\nA", S, "unclosed @if block (missing @end)", Span{0, 3}},
        {"@if x:\n@else:\n", S, "unclosed @if block (missing @end)", Span{0, 3}},
        {"@if x:\n@elseif y:\n", S, "unclosed @if block (missing @end)", Span{0, 3}},
        {"B\n@for x in y:\n", S, "unclosed @for block (missing @end)", Span{2, 4}},
        {"@define f():\n", S, "unclosed @define block (missing @end)", Span{0, 7}},
        {"@message user:\n", S, "unclosed @message block (missing @end)", Span{0, 8}},
        {"@block b:\n", S, "unclosed @block block (missing @end)", Span{0, 6}},
        {"@if x:\n@for y in z:\n@end", S, "unclosed @if block (missing @end)", Span{0, 3}},
        {"@message user:\n@message system:\n@end\n@end", S,
         "@message blocks cannot be nested inside another @message block", Span{15, 16}},
        {"@if x:\n@block b:\n@end\n@end", S,
         "@block is top-level only \xE2\x80\x94 it cannot appear inside @if, @for, or @define",
         Span{7, 9}},
        {"@define f():\n@block b:\n@end\n@end", S,
         "@block is top-level only \xE2\x80\x94 it cannot appear inside @if, @for, or @define",
         Span{13, 9}},
        // Inside a @message the @message test comes before the depth test.
        {"@message user:\n@block b:\n@end\n@end", S,
         "@block cannot be nested inside a @message block", Span{15, 9}},
        {"@block a:\n@block b:\n@end\n@end", S, "@block cannot be nested inside another @block",
         Span{10, 9}},
        {"@block a:\n@if x:\n@block b:\n@end\n@end\n@end", S,
         "@block cannot be nested inside another @block", Span{17, 9}},
        // Errors from a nested body are neither relocated nor given a location on the way out.
        {"@if a:\n@if b:\nX {{ 5 }}\n@end\n@end", S,
         "invalid interpolation expression '5': use a variable name, function call like func(), or "
         "dot path like obj.field. To output a literal `{{` in the document, escape it as `\\{{`.",
         Span{16, 1}},
        {"@if x:\n@for 1 in y:\n@end\n@end", S, "invalid loop variable name: '1'", std::nullopt},
    };
    for (const auto& c : cases)
        expect_error(c);
}

TEST(ParseTemplate, DirectiveHeadErrors) {
    const ErrorKind S = ErrorKind::Syntax;
    const ErrorCase cases[] = {
        {"@if x", S, "@if directive must end with ':'", Span{0, 5}},
        {"@if x == 'a:", S, "unterminated string literal in @if condition", Span{0, 12}},
        {"@if 5:", S, kLiteralCondition, Span{0, 6}},
        {"@if :", S, "expected an expression", Span{0, 5}},
        {"@if x = 1:\r\n@end", S, "use '==' for comparison, not '='", Span{0, 11}},
        {"@if x:\n@elseif y\n@end", S, "@elseif directive must end with ':'", Span{7, 9}},
        {"@if x:\n@elseif y == 'a:\n@end", S, "unterminated string literal in @elseif condition",
         Span{7, 16}},
        {"@if x:\n@elseif 5:\n@end", S, kLiteralCondition, Span{7, 10}},
        {"@for x in y", S, "@for directive must end with ':'", Span{0, 11}},
        {"@for x in f('a:", S, "unterminated string literal in @for condition", Span{0, 15}},
        {"@for x in:", S, "@for must follow pattern: @for <var> in <iterable>:", Span{0, 10}},
        {"@for x:", S, "@for must follow pattern: @for <var> in <iterable>:", Span{0, 7}},
        {"@for a, b, c in x:\n@end", S, "invalid value variable name: 'b, c'", std::nullopt},
        {"@for 1, b in x:", S, "invalid key variable name: '1'", std::nullopt},
        {"@for , b in x:", S, "invalid key variable name: ''", std::nullopt},
        {"@for 1 in x:", S, "invalid loop variable name: '1'", std::nullopt},
        {"@for x in 'abc':", S,
         "cannot use a literal value as @for iterable: ''abc'' \xE2\x80\x94 use a variable or "
         "function call",
         Span{0, 16}},
        {"@for x in  5 :", S,
         "cannot use a literal value as @for iterable: '5' \xE2\x80\x94 use a variable or function "
         "call",
         Span{0, 14}},
        {"@for x in a..b:", S,
         "invalid dot-path in directive expression: 'a..b' \xE2\x80\x94 each segment must be a "
         "valid identifier (got '')",
         Span{0, 15}},
        {"@define f:", S, "@define must have parameter list: @define name(params):", Span{0, 10}},
        {"@define f(a)", S, "@define directive must end with ':'", Span{0, 12}},
        {"@define f(a:", S, "@define: unclosed parenthesis", Span{0, 12}},
        {"@define 1f(a):", S, "invalid function name: '1f'", Span{0, 14}},
        {"@define (a):", S, "invalid function name: ''", Span{0, 12}},
        // Both parentheses are searched from the start, so a ")" before the "(" is found and
        // the name holding it fails.
        {"@define f)(:", S, "invalid function name: 'f)'", Span{0, 12}},
        {"@define f)(a:", S, "invalid function name: 'f)'", Span{0, 13}},
        {"@define f)(a):", S, "invalid function name: 'f)'", Span{0, 14}},
        {"@define f(a, a):", S, "duplicate parameter name 'a' in @define f", std::nullopt},
        {"@define f(a=x):", S,
         "invalid default value for parameter 'a': 'x' \xE2\x80\x94 must be a string, number, "
         "boolean, or null",
         std::nullopt},
        {"@message {{}}:", S, "expected an expression", Span{0, 14}},
        {"@message {{ a b }}:", S,
         "invalid expression in directive: 'a b' \xE2\x80\x94 expected a variable, function call, "
         "or literal",
         Span{0, 19}},
        {"@message {{ 'x }}:", S, "unterminated string literal in @message condition", Span{0, 18}},
        {"@message :", S,
         "@message role must not be empty \xE2\x80\x94 use e.g. @message system:", Span{0, 10}},
        {"@message user", S, "@message directive must end with ':'", Span{0, 13}},
        {"@block :", S,
         "@block name must not be empty \xE2\x80\x94 use e.g. @block instructions:", Span{0, 8}},
        {"@block 1a:", S, "invalid @block name: '1a' \xE2\x80\x94 must be a valid identifier",
         Span{0, 10}},
        {"@block b", S, "@block directive must end with ':'", Span{0, 8}},
    };
    for (const auto& c : cases)
        expect_error(c);
}

std::string nested_ifs(size_t levels, const std::string& innermost) {
    return repeat("@if x:\n", levels) + innermost + repeat("@end\n", levels);
}

TEST(ParseTemplate, NestingDepthLimit) {
    EXPECT_TRUE(parse(nested_ifs(64, "")).ok());
    EXPECT_TRUE(parse(nested_ifs(63, "@message user:\n@end\n")).ok());
    const std::string limit = "nesting depth exceeds maximum of 64";
    const ErrorKind S = ErrorKind::Syntax;
    const ErrorCase cases[] = {
        {nested_ifs(65, ""), S, limit, std::nullopt},
        {nested_ifs(64, "@for y in z:\n@end\n"), S, limit, std::nullopt},
        {nested_ifs(64, "@message user:\n@end\n"), S, limit, std::nullopt},
        // @if, @for and @define count before their head is read ...
        {nested_ifs(64, "@if 5:\n@end\n"), S, limit, std::nullopt},
        {nested_ifs(64, "@for x\n"), S, limit, std::nullopt},
        {nested_ifs(64, "@define bogus\n"), S, limit, std::nullopt},
        // ... a @message only after its role.
        {nested_ifs(64, "@message :\n"), S,
         "@message role must not be empty \xE2\x80\x94 use e.g. @message system:",
         Span{64 * 7, 10}},
    };
    for (const auto& c : cases)
        expect_error(c);
}

TEST(ParseTemplate, ElseIfBranchLimit) {
    const auto at_limit = parse("@if x:\n" + repeat("@elseif y:\n", 256) + "@end");
    ASSERT_TRUE(at_limit.ok());
    EXPECT_EQ(node_get<Node::If>(at_limit->body[0]).elseif_branches.size(), 256u);
    expect_error({"@if x:\n" + repeat("@elseif y:\n", 257) + "@end", ErrorKind::Syntax,
                  "@if block has more than 256 @elseif branches", Span{7 + 256 * 11, 10}});
}

}  // namespace
}  // namespace tyx
