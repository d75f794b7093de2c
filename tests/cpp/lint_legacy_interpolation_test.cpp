#include "core/lint/rules/legacy_interpolation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cpp/lint_fixture.h"

namespace tyx {
namespace {

using lint_test::findings;
using lint_test::Found;

constexpr const char* kRule = "legacy-interpolation";

// A single-brace interpolation of `inner` found at `offset`.
Found interpolation(uint64_t offset, const std::string& inner) {
    const uint64_t length = inner.size() + 2;
    return Found{kRule,
                 "legacy single-brace interpolation `{" + inner + "}` — use `{{" + inner +
                     "}}` (double braces)",
                 "Run `tyx lint --fix` to migrate to `{{x}}` syntax automatically.",
                 true,
                 offset,
                 length,
                 {},
                 {FixEdit{"{{" + inner + "}}", offset, offset + length}}};
}

Found escape(uint64_t offset, char brace) {
    return Found{kRule,
                 std::string("legacy escape `\\") + brace +
                     "` — single-brace escapes are no longer needed; remove the backslash",
                 "Run `tyx lint --fix` to remove the backslash automatically.",
                 true,
                 offset,
                 2,
                 {},
                 {FixEdit{"", offset, offset + 1}}};
}

Found role(uint64_t offset, const std::string& written, const std::string& inner) {
    return Found{kRule,
                 "legacy single-brace `@message` role `" + written + "` — use `{{" + inner +
                     "}}` (double braces)",
                 "Run `tyx lint --fix` to update to `{{expr}}` syntax.",
                 true,
                 offset,
                 written.size(),
                 {},
                 {FixEdit{"{{" + inner + "}}", offset, offset + written.size()}}};
}

struct Case {
    const char* name;
    std::string source;
    std::vector<Found> expected;
};

TEST(LegacyInterpolation, FindsTheOldForms) {
    const std::vector<Case> cases = {
        {"a name", "Hello {name}!\n", {interpolation(6, "name")}},
        {"spaces are kept", "{ name }\n", {interpolation(0, " name ")}},
        {"dot path, calls, qualified call",
         "{user.name} {f(x)} {f (a, b)} {lib.render()}\n",
         {interpolation(0, "user.name"), interpolation(12, "f(x)"), interpolation(19, "f (a, b)"),
          interpolation(30, "lib.render()")}},
        {"not expressions", "{not an expression} {} { } {1} {a..b} {.a} {a.1}\n", {}},
        {"a quoted brace does not close", "{f('}')}\n", {interpolation(0, "f('}')")}},
        {"an escaped quote stays in the run", "{f('\\'}')}\n", {interpolation(0, "f('\\'}')")}},
        {"${...} is skipped", "${total} {x}\n", {interpolation(9, "x")}},
        {"an unclosed ${ ends the token", "{a} ${ {b}\n", {interpolation(0, "a")}},
        {"escapes of both braces", "\\{ and \\}\n", {escape(0, '{'), escape(7, '}')}},
        {"another escape is text", "\\x \\n\n", {}},
        {"fenced code is skipped", "```\n{x}\n```\n", {}},
        {"inline code is scanned", "a `{x}` b\n", {interpolation(3, "x")}},
        {"a rejected candidate is looked into", "{a {b}\n", {interpolation(3, "b")}},
        {"no closing brace", "{a\n", {}},
        {"byte offsets after non-ASCII text", "\u00e9{x}\n", {interpolation(2, "x")}},
        {"Unicode white space is trimmed",
         "{\u3000x\u3000}\n",
         {interpolation(0, "\u3000x\u3000")}},
        {"non-ASCII is no identifier", "{\u00e9}\n", {}},
        {"double braces are today's syntax", "{{ x }}\n", {}},
        {"frontmatter is skipped", "---\nk: '{x}'\n---\n", {}},
        {"a single-brace role", "@message {system}:\nhi\n@end\n", {role(9, "{system}", "system")}},
        {"a role with a dot path",
         "@message  { who.role } :\nhi\n@end\n",
         {role(10, "{ who.role }", " who.role ")}},
        {"roles that are fine", "@message {{ r }}:\nhi\n@end\n@message system:\nhi\n@end\n", {}},
        {"diagnostics in token order",
         "{a}\n@message {r}:\n{b}\n@end\n",
         {interpolation(0, "a"), role(13, "{r}", "r"), interpolation(18, "b")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(findings(c.source, kRule), c.expected);
    }
}

TEST(LegacyInterpolation, RoleOfTwoBracesIsNotReported) {
    // Read the directive alone: a role of "{}" never gets past the length test.
    LintResult result;
    const RuleContext context{kRule, Severity::Warn, "input.tyx", result};
    check_legacy_interpolation({Token{TokenKind::Directive, 0, "@message {}:"}},
                               "@message {}:", context);
    check_legacy_interpolation({Token{TokenKind::Directive, 0, "@message {x}}:"}},
                               "@message {x}}:", context);
    EXPECT_TRUE(result.diagnostics.empty());
}

TEST(LegacyExpression, Shapes) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"x", true},         {" _x1 ", true},    {"a.b.c", true},     {"a..b", false},
        {"a.", false},       {"f()", true},      {" f ( x ) ", true}, {"f(x", false},
        {"(x)", false},      {"lib.f(1)", true}, {"lib.f (1)", true}, {"lib .f(1)", false},
        {"a.b.f(1)", false}, {"1x", false},      {"", false},         {" ", false},
        {"x y", false},      {"a-b", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(is_legacy_expression(text), expected) << text;
    EXPECT_TRUE(is_plain_identifier("_"));
    EXPECT_FALSE(is_plain_identifier("\u00e9"));
    EXPECT_FALSE(is_plain_identifier(""));
}

}  // namespace
}  // namespace tyx
