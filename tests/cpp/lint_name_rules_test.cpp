#include "core/lint/rules/name_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cpp/lint_fixture.h"

namespace tyx {
namespace {

using lint_test::at;
using lint_test::findings;
using lint_test::Found;
using lint_test::lines;

using Case = lint_test::RuleCase;
using lint_test::run_rule_cases;

const auto nothing = [](std::string_view) { return std::vector<Found>{}; };

TEST(NormalizeImportPath, FoldsDotSegmentsTextually) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"./a.tyx", "a.tyx"},
        {"./lib/../a.tyx", "a.tyx"},
        {"../../x/./y.tyx", "../../x/y.tyx"},
        {"./a//b.tyx", "a//b.tyx"},
        {"./A.tyx", "A.tyx"},
        {"a/../../b", "../b"},
        {"", ""},
        {"..", ".."},
    };
    for (const auto& [path, normal] : cases)
        EXPECT_EQ(normalize_import_path(path), normal) << path;
}

TEST(DuplicateImport, ReportsEveryLaterImportOfAPath) {
    const std::string rule = "duplicate-import";
    const std::string help =
        "Remove the duplicate import. If different forms are needed (alias vs merge), consolidate "
        "into one import directive.";
    const auto dup = [&](std::string_view s, std::string_view path, int nth) {
        const uint64_t offset = at(s, "@import", nth);
        return Found{rule,
                     "Duplicate import: '" + std::string(path) + "' is imported more than once.",
                     help,
                     true,
                     offset,
                     7,
                     {lines(offset, offset)}};
    };
    run_rule_cases(
        rule, {
                  {"two identical aliases", "@import \"./a.tyx\" as a\n@import \"./a.tyx\" as a\n",
                   [&](std::string_view s) { return std::vector<Found>{dup(s, "./a.tyx", 1)}; }},
                  {"the message names the later path",
                   "@import \"./a.tyx\"\n@import \"./lib/../a.tyx\"\n@import \"a.tyx\"\n",
                   [&](std::string_view s) {
                       return std::vector<Found>{dup(s, "./lib/../a.tyx", 1), dup(s, "a.tyx", 2)};
                   }},
                  {"forms collide", "@import \"./a.tyx\" as a\n@import { f } from \"./a.tyx\"\n",
                   [&](std::string_view s) { return std::vector<Found>{dup(s, "./a.tyx", 1)}; }},
                  {"case differs", "@import \"./a.tyx\"\n@import \"./A.tyx\"\n", nothing},
              });
}

TEST(DuplicateExport, ReportsRepeatedNamesAndWildcards) {
    const std::string rule = "duplicate-export";
    const auto name_dup = [&](std::string_view s, std::string_view needle, std::string_view name) {
        const uint64_t offset = at(s, needle);
        return Found{rule,
                     "Duplicate export: '" + std::string(name) + "' is exported more than once.",
                     "Remove the duplicate @export directive.",
                     true,
                     offset,
                     7,
                     {lines(offset, offset)}};
    };
    run_rule_cases(
        rule, {
                  {"two wildcards of one path",
                   "@export * from \"./a.tyx\"\n@export * from \"./a.tyx\"\n",
                   [&](std::string_view s) {
                       const uint64_t offset = at(s, "@export", 1);
                       return std::vector<Found>{
                           {rule,
                            "Duplicate wildcard export from './a.tyx': already exported above.",
                            "Remove the duplicate @export * from directive.",
                            true,
                            offset,
                            7,
                            {lines(offset, offset)}}};
                   }},
                  {"wildcard paths are not normalised",
                   "@export * from \"./a.tyx\"\n@export * from \"./x/../a.tyx\"\n", nothing},
                  {"a plain export then a re-export of the name",
                   "@define f():\nx\n@end\n@export f\n@export f from \"./b.tyx\"\n",
                   [&](std::string_view s) {
                       return std::vector<Found>{name_dup(s, "@export f from", "f")};
                   }},
                  {"a wildcard and a name do not collide",
                   "@export * from \"./f\"\n@define f():\nx\n@end\n@export f\n", nothing},
              });
}

TEST(UnusedVariable, ReportsKeysNeverReferenced) {
    const std::string rule = "unused-variable";
    const std::string help = "Remove the frontmatter key or reference it in the template body.";
    const auto unused = [&](std::string_view name, std::optional<uint64_t> offset) {
        return Found{rule,
                     "Variable '" + std::string(name) +
                         "' is defined in frontmatter but never referenced in the body.",
                     help,
                     offset.has_value(),
                     offset.value_or(0),
                     offset ? name.size() : 0};
    };
    run_rule_cases(
        rule,
        {
            {"unused key", "---\ntitle: x\n---\nhi\n",
             [&](std::string_view) { return std::vector<Found>{unused("title", 4)}; }},
            {"references anywhere count",
             "---\na: 1\nb: 2\nc: 3\nd: 4\ne: 5\n---\n@define f(p):\n{{ a }}\n@end\n@if b:\n@end\n"
             "@for i in c:\n@end\n{{ f(d.x) }}\n@message {{ e }}:\nx\n@end\n",
             nothing},
            {"a call, include or namespace is not a reference",
             "---\nf: 1\nlib: 2\n---\n@import \"./l.tyx\" as lib\n{{ f() }}\n@include lib\n",
             [&](std::string_view s) {
                 return std::vector<Found>{unused("f", at(s, "f: 1")),
                                           unused("lib", at(s, "lib: 2"))};
             }},
            // Without a span it sorts after every diagnostic that has one.
            {"a quoted key has no span", "---\n'q': 1\nr: 2\n---\n",
             [&](std::string_view s) {
                 return std::vector<Found>{unused("r", at(s, "r: 2")), unused("q", std::nullopt)};
             }},
        });
    // Line and column stay absent on every span the engine writes.
    const LintResult result = lint_test::lint_ok("---\ntitle: x\n---\n", lint_test::only(rule));
    ASSERT_EQ(result.diagnostics.size(), 1u);
    EXPECT_FALSE(result.diagnostics[0].span->line);
    EXPECT_FALSE(result.diagnostics[0].span->column);
}

TEST(UnusedImport, ReportsAliasesAndSelectedNamesNeverUsed) {
    const std::string rule = "unused-import";
    const auto alias = [&](std::string_view s, std::string_view name, std::string_view path,
                           int nth) {
        return Found{rule,
                     "Import alias '" + std::string(name) + "' from '" + std::string(path) +
                         "' is never used.",
                     "Remove the @import or use the alias with @include or as a qualified call "
                     "(`alias.func(...)`).",
                     true,
                     at(s, "@import", nth),
                     7};
    };
    const auto name = [&](std::string_view s, std::string_view n, std::string_view path,
                          std::string_view needle) {
        return Found{
            rule,
            "Imported name '" + std::string(n) + "' from '" + std::string(path) +
                "' is never used.",
            "Remove '" + std::string(n) + "' from the selective import or use it in the body.",
            true,
            at(s, needle),
            n.size()};
    };
    run_rule_cases(
        rule,
        {
            {"alias only in a dot path", "@import \"./a.tyx\" as lib\n{{ lib.name }}\n",
             [&](std::string_view s) { return std::vector<Found>{alias(s, "lib", "./a.tyx", 0)}; }},
            {"alias used by include or a qualified call",
             "@import \"./a.tyx\" as a\n@import \"./b.tyx\" as b\n@include a\n{{ b.f() }}\n",
             nothing},
            {"whole import never reported", "@import \"./a.tyx\"\n", nothing},
            {"selected names: called, referenced or exported count",
             "@import { f, g, h, k } from \"./s.tyx\"\n{{ f() }}\n{{ h }}\n@export k\n",
             [&](std::string_view s) {
                 return std::vector<Found>{name(s, "g", "./s.tyx", "g, h")};
             }},
            {"a wildcard re-export is no use",
             "@import { g } from \"./s.tyx\"\n@export * from \"./s.tyx\"\n",
             [&](std::string_view s) {
                 return std::vector<Found>{name(s, "g", "./s.tyx", "g }")};
             }},
        });
}

TEST(UnusedFunction, ReportsFunctionsNeitherExportedNorCalled) {
    const std::string rule = "unused-function";
    const auto unused = [&](std::string_view s, std::string_view name, int nth) {
        const uint64_t start = at(s, "@define", nth);
        return Found{
            rule,
            "Function '" + std::string(name) + "' is defined but never exported or called.",
            "Export the function with @export or call it somewhere, or remove the "
            "definition.",
            true,
            start,
            8 + name.size(),
            {lines(start, s.find("@end", start))}};
    };
    run_rule_cases(
        rule, {
                  {"uncalled beside an export",
                   "@define f():\nx\n@end\n@define g():\ny\n@end\n@export g\n",
                   [&](std::string_view s) { return std::vector<Found>{unused(s, "f", 0)}; }},
                  {"no export list: nothing", "@define f():\nx\n@end\n", nothing},
                  {"a call in its own body counts",
                   "@define f(n):\n{{ f(n) }}\n@end\n@export g\n@define g():\ny\n@end\n", nothing},
                  {"a qualified call does not count",
                   "@import \"./a.tyx\" as lib\n@define render():\nx\n@end\n{{ lib.render() }}\n"
                   "@define g():\ny\n@end\n@export g\n",
                   [&](std::string_view s) { return std::vector<Found>{unused(s, "render", 0)}; }},
              });
}

TEST(ShadowVariable, ReportsInnerBindings) {
    const std::string rule = "shadow-variable";
    run_rule_cases(
        rule,
        {
            {"loop variable over a frontmatter key",
             "---\ntitle: t\n---\n@for title in xs:\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{
                     {rule,
                      "Variable 'title' (@for loop variable) shadows an outer frontmatter variable "
                      "with the same name.",
                      "Rename 'title' in the inner scope to avoid shadowing.", true, at(s, "@for"),
                      5}};
             }},
            {"parameter over a loop variable",
             "@for total in xs:\n@define f(total):\nx\n@end\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{
                     {rule,
                      "Variable 'total' (@define parameter) shadows an outer @for loop variable "
                      "with the same name.",
                      "Rename 'total' in the inner scope to avoid shadowing.", true,
                      at(s, "@define"), 5}};
             }},
            {"loop variable over an alias", "@import \"./a.tyx\" as m\n@for m in xs:\n@end\n",
             [&](std::string_view s) {
                 return std::vector<Found>{
                     {rule,
                      "Variable 'm' (@for loop variable) shadows an outer import alias with the "
                      "same name.",
                      "Rename 'm' in the inner scope to avoid shadowing.", true, at(s, "@for"), 1}};
             }},
        });
}

}  // namespace
}  // namespace tyx
