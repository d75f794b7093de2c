#include "core/lint/rules/block_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/format.h"
#include "core/lexer.h"
#include "core/parser.h"
#include "tests/cpp/lint_fixture.h"

namespace tyx {
namespace {

using lint_test::at;
using lint_test::exact;
using lint_test::findings;
using lint_test::Found;
using lint_test::lines;

using Case = lint_test::RuleCase;
using lint_test::run_rule_cases;

constexpr const char* kIfEmpty = "@if then-body is empty.";
constexpr const char* kIfEmptyHelp = "Add content inside the @if block or remove it.";
constexpr const char* kElseIfEmpty = "@elseif body is empty.";
constexpr const char* kElseIfEmptyHelp = "Add content inside the @elseif block or remove it.";
constexpr const char* kElseEmpty = "@else body is empty.";
constexpr const char* kElseEmptyHelp = "Add content inside the @else block or remove it.";
constexpr const char* kForEmpty = "@for body is empty.";
constexpr const char* kForEmptyHelp = "Add content inside the @for block or remove it.";
constexpr const char* kDefineEmptyHelp = "Add a body to the function or remove the definition.";
constexpr const char* kMessageEmpty = "@message body is empty.";
constexpr const char* kMessageEmptyHelp =
    "Add content to the message block or remove it. Empty @message is allowed for priming but "
    "often accidental.";

TEST(EmptyBlock, FindsBlankBodiesWithTheirFixes) {
    const std::string_view rule = "empty-block";
    run_rule_cases(
        rule,
        {
            {"lone @if is removed whole", "@if x:\n  \n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            kIfEmpty,
                                            kIfEmptyHelp,
                                            true,
                                            0,
                                            3,
                                            {lines(0, at(s, "@end"))}}};
             }},
            {"@if with @else: then-body has no fix, @else body is filled",
             "@if x:\n@else:\nno\n@end\n",
             [&](std::string_view) {
                 return std::vector<Found>{{std::string(rule), kIfEmpty, kIfEmptyHelp, true, 0, 3}};
             }},
            {"two blank @elseif: only the last carries an exact range",
             "@if x:\na\n@elseif y:\n@elseif z:\n\t\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule), kElseIfEmpty, kElseIfEmptyHelp, true,
                                            at(s, "@elseif y"), 7},
                                           {std::string(rule),
                                            kElseIfEmpty,
                                            kElseIfEmptyHelp,
                                            true,
                                            at(s, "@elseif z"),
                                            7,
                                            {exact(at(s, "@elseif z"), at(s, "@end"))}}};
             }},
            {"blank @elseif before an @else has no fix", "@if x:\na\n@elseif y:\n@else:\nb\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule), kElseIfEmpty, kElseIfEmptyHelp, true,
                                            at(s, "@elseif"), 7}};
             }},
            {"blank @else is removed up to the @end line", "@if x:\na\n@else:\n \n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            kElseEmpty,
                                            kElseEmptyHelp,
                                            true,
                                            at(s, "@else:"),
                                            5,
                                            {exact(at(s, "@else:"), at(s, "@end"))}}};
             }},
            {"@for of blank lines and tabs", "@for i in items:\n\n\t\t\n\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            kForEmpty,
                                            kForEmptyHelp,
                                            true,
                                            0,
                                            4,
                                            {lines(0, at(s, "@end"))}}};
             }},
            {"a filled @for is walked into", "@for i in items:\n{{ i }}\n@if i:\n@end\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            kIfEmpty,
                                            kIfEmptyHelp,
                                            true,
                                            at(s, "@if"),
                                            3,
                                            {lines(at(s, "@if"), at(s, "@end"))}}};
             }},
            {"blank @message has no fix", "@message user:\n@end\n",
             [&](std::string_view) {
                 return std::vector<Found>{
                     {std::string(rule), kMessageEmpty, kMessageEmptyHelp, true, 0, 8}};
             }},
            {"empty @block is never reported but is walked",
             "@block intro:\n@for i in items:\n@end\n@end\n@block other:\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            kForEmpty,
                                            kForEmptyHelp,
                                            true,
                                            at(s, "@for"),
                                            4,
                                            {lines(at(s, "@for"), at(s, "@end"))}}};
             }},
            {"Unicode white space is blank", "@if x:\n\u00a0\u3000\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            kIfEmpty,
                                            kIfEmptyHelp,
                                            true,
                                            0,
                                            3,
                                            {lines(0, at(s, "@end"))}}};
             }},
            {"an escaped brace or an interpolation is content",
             "@if x:\n\\{{\n@end\n@if y:\n{{ y }}\n@end\n",
             [](std::string_view) { return std::vector<Found>{}; }},
        });
}

TEST(EmptyBlock, RemovesAnEmptyDefineOnlyWhereNothingCanUseIt) {
    const std::string_view rule = "empty-block";
    const auto define_found = [&](std::string_view s, bool fix) {
        const uint64_t start = at(s, "@define");
        Found found{
            std::string(rule), "@define 'f' body is empty.", kDefineEmptyHelp, true, start, 9};
        if (fix) found.ranges = {lines(start, at(s, "@end"))};
        return std::vector<Found>{found};
    };
    run_rule_cases(
        rule, {
                  {"uncalled and unexported beside an export list",
                   "@define f():\n@end\n@define g():\ng\n@end\n@export g\n",
                   [&](std::string_view s) { return define_found(s, true); }},
                  // Without an export list every function is offered to importers.
                  {"no export list", "@define f():\n@end\n",
                   [&](std::string_view s) { return define_found(s, false); }},
                  {"called", "@define f():\n@end\n{{ f() }}\n@export g\n@define g():\ng\n@end\n",
                   [&](std::string_view s) { return define_found(s, false); }},
                  {"exported", "@define f():\n@end\n@export f\n",
                   [&](std::string_view s) { return define_found(s, false); }},
              });
    const std::string partial = "@define f():\n@end\n@define g():\ng\n@end\n@export g\n";
    std::vector<Found> in_partial = findings(partial, rule, "_part.tyx");
    ASSERT_EQ(in_partial.size(), 1u);
    EXPECT_TRUE(in_partial[0].ranges.empty());
}

TEST(RedundantElse, ReportsAnElseThatRepeatsTheIf) {
    const std::string_view rule = "redundant-else";
    const char* message =
        "The @else body is identical to the @if body — the conditional produces the same output "
        "regardless of the condition.";
    const char* help = "Remove the @else branch or make its content different from the @if body.";
    const auto at_if = [&](std::string_view s) {
        return std::vector<Found>{{std::string(rule), message, help, true, at(s, "@if"), 3}};
    };
    const auto nothing = [](std::string_view) { return std::vector<Found>{}; };
    run_rule_cases(
        rule,
        {
            {"same text", "@if x == 1:\nsame\n@else:\nsame\n@end\n", at_if},
            {"an @elseif in between", "@if x == 1:\nsame\n@elseif y:\nz\n@else:\nsame\n@end\n",
             nothing},
            {"different text", "@if x:\na\n@else:\nb\n@end\n", nothing},
            {"offsets differ, structure equal",
             "@if x:\n@if y:\n{{ a.b }}\n@end\n@else:\n@if y:\n{{ a.b }}\n@end\n@end\n", at_if},
            {"an @export is never equal", "@if x:\n@export f\n@else:\n@export f\n@end\n", nothing},
            {"defines equal with equal defaults",
             "@if x:\n@define f(a='1'):\n{{ a }}\n@end\n@else:\n@define f(a='1'):\n{{ a }}\n@end\n"
             "@end\n",
             at_if},
            // A call that leaves the parameter out renders its default.
            {"defines differing in a default",
             "@if x:\n@define f(a='1'):\n{{ a }}\n@end\n@else:\n@define f(a='2'):\n{{ a }}\n@end\n"
             "@end\n",
             nothing},
            {"nested inside a @for and an @else",
             "@for i in items:\n@if a:\nq\n@else:\n@if b:\nt\n@else:\nt\n@end\n@end\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{
                     {std::string(rule), message, help, true, at(s, "@if b"), 3}};
             }},
        });
}

constexpr const char* kConstantHelp =
    "Replace the constant condition with a variable or remove the dead branch.";

TEST(UnreachableBranch, ConstantIfConditions) {
    const std::string_view rule = "unreachable-branch";
    const char* always_false = "@if condition is always false — the then-body is dead code.";
    const char* always_true =
        "@if condition is always true — @elseif/@else branches are unreachable.";
    const char* true_help =
        "Replace the constant condition with a variable or remove later branches.";
    run_rule_cases(
        rule,
        {
            {"false alone: the whole block", "@if 1 == 2:\na\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            always_false,
                                            kConstantHelp,
                                            true,
                                            0,
                                            3,
                                            {lines(0, at(s, "@end"))}}};
             }},
            {"false with @elseif: no fix", "@if 1 == 2:\na\n@elseif y:\nb\n@end\n",
             [&](std::string_view) {
                 return std::vector<Found>{
                     {std::string(rule), always_false, kConstantHelp, true, 0, 3}};
             }},
            {"false with @else: keeps the else body", "@if 'a' != 'a':\na\n@else:\nb\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{
                     {std::string(rule),
                      always_false,
                      kConstantHelp,
                      true,
                      0,
                      3,
                      {lines(0, at(s, "@else:")), lines(at(s, "@end"), at(s, "@end"))}}};
             }},
            {"true with @else: keeps the then-body", "@if 'a' == 'a':\na\n@else:\nb\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            always_true,
                                            true_help,
                                            true,
                                            0,
                                            3,
                                            {lines(0, 0), lines(at(s, "@else:"), at(s, "@end"))}}};
             }},
            {"true with @elseif: removes from the first later branch",
             "@if null == null:\na\n@elseif y:\nb\n@else:\nc\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            always_true,
                                            true_help,
                                            true,
                                            0,
                                            3,
                                            {lines(0, 0), lines(at(s, "@elseif"), at(s, "@end"))}}};
             }},
            {"true alone says nothing", "@if 'a' == 'a':\na\n@end\n",
             [](std::string_view) { return std::vector<Found>{}; }},
            {"kinds differ: always false", "@if 'a' == 1:\na\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            always_false,
                                            kConstantHelp,
                                            true,
                                            0,
                                            3,
                                            {lines(0, at(s, "@end"))}}};
             }},
            // Numbers compare as the evaluator compares them, so the then-body is rendered and
            // must not be offered for removal.
            {"0 == -0 is always true", "@if 0 == -0:\na\n@else:\nb\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            always_true,
                                            true_help,
                                            true,
                                            0,
                                            3,
                                            {lines(0, 0), lines(at(s, "@else:"), at(s, "@end"))}}};
             }},
            {"a variable side is not constant", "@if x == 1:\na\n@else:\nb\n@end\n",
             [](std::string_view) { return std::vector<Found>{}; }},
            {"nested in a @define body", "@define f():\n@if true == false:\na\n@end\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{{std::string(rule),
                                            always_false,
                                            kConstantHelp,
                                            true,
                                            at(s, "@if"),
                                            3,
                                            {lines(at(s, "@if"), at(s, "@end"))}}};
             }},
        });
}

// A repeat of an earlier condition is found whatever operands it is made of, and a condition
// that differs from every earlier one in a single operand is no repeat.
TEST(UnreachableBranch, RepeatsOfEveryOperandKind) {
    struct RepeatCase {
        const char* condition;
        const char* other;  // differs from `condition` in one place
    };
    const std::vector<RepeatCase> cases = {
        {"x", "y"},
        {"!x", "!y"},
        {"x == \"a\"", "x == \"b\""},
        {"x != 1.5", "x != 2.5"},
        {"x == 0", "x == -0"},
        {"x == true", "x == false"},
        {"x == null", "x == 1"},
        {"a.b.c", "a.b.d"},
        {"f(1, \"s\", true, null, v, g(w.z))", "f(1, \"s\", true, null, v, g(w.y))"},
        {"lib.f(a, 2)", "lib.f(a, 3)"},
        {"a && b && c", "a && b && d"},
        {"a || b || c", "a || b || e"},
        {"f(a) == lib.g(b.c)", "f(a) == lib.g(b.d)"},
    };
    const std::string_view rule = "unreachable-branch";
    for (const RepeatCase& c : cases) {
        SCOPED_TRACE(c.condition);
        const std::string differing =
            cat("@if ", c.condition, ":\na\n@elseif ", c.other, ":\nb\n@end\n");
        EXPECT_TRUE(findings(differing, rule).empty());
        const std::string repeated =
            cat("@if q:\na\n@elseif ", c.other, ":\nb\n@elseif ", c.condition, ":\nc\n@elseif ",
                c.condition, ":\nd\n@end\n");
        const std::vector<Found> found = findings(repeated, rule);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].offset, at(repeated, "@elseif", 2));
    }
}

TEST(UnreachableBranch, ElseIfConditions) {
    const std::string_view rule = "unreachable-branch";
    const char* repeated =
        "@elseif condition is structurally identical to an earlier branch — this branch can "
        "never be reached.";
    const char* repeated_help = "Remove the duplicate @elseif branch or change its condition.";
    const char* always_false = "@elseif condition is always false — this branch is dead code.";
    const char* always_true = "@elseif condition is always true.";
    const char* true_help = "Replace the constant condition with a variable.";
    run_rule_cases(
        rule,
        {
            {"repeats of the @if condition, each reported",
             "@if x:\na\n@elseif x:\nb\n@elseif x:\nc\n@end\n",
             [&](std::string_view s) {
                 const uint64_t first = at(s, "@elseif");
                 const uint64_t second = at(s, "@elseif", 1);
                 return std::vector<Found>{{std::string(rule),
                                            repeated,
                                            repeated_help,
                                            true,
                                            first,
                                            7,
                                            {exact(first, second)}},
                                           {std::string(rule),
                                            repeated,
                                            repeated_help,
                                            true,
                                            second,
                                            7,
                                            {exact(second, at(s, "@end"))}}};
             }},
            {"a repeat of an earlier @elseif, up to the @else",
             "@if x:\na\n@elseif y && z:\nb\n@elseif y && z:\nc\n@else:\nd\n@end\n",
             [&](std::string_view s) {
                 const uint64_t second = at(s, "@elseif", 1);
                 return std::vector<Found>{{std::string(rule),
                                            repeated,
                                            repeated_help,
                                            true,
                                            second,
                                            7,
                                            {exact(second, at(s, "@else:"))}}};
             }},
            {"operand order matters", "@if a && b:\na\n@elseif b && a:\nb\n@end\n",
             [](std::string_view) { return std::vector<Found>{}; }},
            {"always false", "@if x:\na\n@elseif \"a\" != \"a\":\nb\n@end\n",
             [&](std::string_view s) {
                 const uint64_t branch = at(s, "@elseif");
                 return std::vector<Found>{{std::string(rule),
                                            always_false,
                                            kConstantHelp,
                                            true,
                                            branch,
                                            7,
                                            {exact(branch, at(s, "@end"))}}};
             }},
            {"always true has no fix", "@if x:\na\n@elseif 1 == 1:\nb\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{
                     {std::string(rule), always_true, true_help, true, at(s, "@elseif"), 7}};
             }},
            {"a constant repeat is only a repeat", "@if 1 == 2:\na\n@elseif 1 == 2:\nb\n@end\n",
             [&](std::string_view s) {
                 const uint64_t branch = at(s, "@elseif");
                 return std::vector<Found>{
                     {std::string(rule),
                      "@if condition is always false — the then-body is dead code.", kConstantHelp,
                      true, 0, 3},
                     {std::string(rule),
                      repeated,
                      repeated_help,
                      true,
                      branch,
                      7,
                      {exact(branch, at(s, "@end"))}}};
             }},
        });
}

TEST(StructuralEquality, ComparesNumbersByBitsAndIgnoresOffsets) {
    const auto parse = [](std::string_view source) {
        auto text = std::make_shared<const std::string>(source);
        auto tokens = tokenize(*text, "t");
        EXPECT_TRUE(tokens.ok());
        auto tree = parse_template(*tokens, "t", text);
        EXPECT_TRUE(tree.ok());
        return std::move(tree).value();
    };
    const ParsedTemplate a = parse("{{ f(0, x.y, g('s', null, true)) }}\n");
    const ParsedTemplate b = parse("  {{ f(0,x.y,g('s',null,true)) }}\n");
    ASSERT_EQ(a.body.size(), 2u);
    ASSERT_EQ(b.body.size(), 3u);
    EXPECT_TRUE(nodes_structurally_equal({a.body[0]}, {b.body[1]}));
    const ParsedTemplate c = parse("{{ f(-0, x.y, g('s', null, true)) }}\n");
    EXPECT_FALSE(nodes_structurally_equal({a.body[0]}, {c.body[0]}));
    EXPECT_TRUE(is_blank_body({}));
}

}  // namespace
}  // namespace tyx
