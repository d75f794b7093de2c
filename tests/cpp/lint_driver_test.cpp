#include "core/lint/lint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/frontmatter/frontmatter.h"
#include "tests/cpp/lint_fixture.h"

namespace tyx {
namespace {

using lint_test::lint_ok;
using lint_test::only;

std::vector<std::string> rules_of(const LintResult& result) {
    std::vector<std::string> out;
    for (const LintDiagnostic& diagnostic : result.diagnostics)
        out.push_back(diagnostic.rule);
    return out;
}

TEST(LintSource, EmptySource) {
    const LintResult result = lint_ok("");
    EXPECT_TRUE(result.diagnostics.empty());
    EXPECT_FALSE(result.truncated);
    EXPECT_TRUE(result.fix_unused_allowed);
}

// One template in which every rule but shadow-variable finds something, each at a known level.
constexpr const char* kEveryRule =
    "---\ntitle: t\n---\n"
    "@import \"./a.tyx\" as a\n@import \"./a.tyx\" as a\n"
    "@export g\n@export g\n"
    "@define g():\ng\n@end\n@define h():\nh\n@end\n"
    "@if x:\n@end\n@if y:\nsame\n@else:\nsame\n@end\n@if 1 == 2:\nq\n@end\n"
    "@for title in xs:\n{x}\n@end\n";

TEST(LintSource, DefaultSeverities) {
    const LintResult result = lint_ok(kEveryRule);
    std::map<std::string, Severity> seen;
    for (const LintDiagnostic& diagnostic : result.diagnostics) {
        EXPECT_EQ(diagnostic.file, "input.tyx");
        seen[diagnostic.rule] = diagnostic.severity;
    }
    EXPECT_EQ(seen, (std::map<std::string, Severity>{
                        {"duplicate-export", Severity::Error},
                        {"duplicate-import", Severity::Error},
                        {"empty-block", Severity::Warn},
                        {"legacy-interpolation", Severity::Warn},
                        {"redundant-else", Severity::Warn},
                        {"unreachable-branch", Severity::Error},
                        {"unused-function", Severity::Warn},
                        {"unused-import", Severity::Warn},
                        {"unused-variable", Severity::Warn},
                    }));
}

TEST(LintSource, ConfiguredSeverities) {
    RuleSeverityMap rules = {{"empty-block", Severity::Off},
                             {"unreachable-branch", Severity::Info},
                             {"no-such-rule", Severity::Error}};
    const LintResult result = lint_ok(kEveryRule, rules);
    for (const LintDiagnostic& diagnostic : result.diagnostics) {
        EXPECT_NE(diagnostic.rule, "empty-block");
        if (diagnostic.rule == "unreachable-branch") {
            EXPECT_EQ(diagnostic.severity, Severity::Info);
        }
    }
    EXPECT_EQ(result.diagnostics.size(), lint_ok(kEveryRule).diagnostics.size() - 1);

    const std::string shadowing = "---\ntitle: t\n---\n{{ title }}\n@for title in xs:\n@end\n";
    EXPECT_EQ(rules_of(lint_ok(shadowing)), (std::vector<std::string>{"empty-block"}));
    EXPECT_EQ(rules_of(lint_ok(shadowing, {{"shadow-variable", Severity::Off}})),
              (std::vector<std::string>{"empty-block"}));
    const LintResult warned = lint_ok(shadowing, {{"shadow-variable", Severity::Error}});
    ASSERT_EQ(rules_of(warned), (std::vector<std::string>{"empty-block", "shadow-variable"}));
    EXPECT_EQ(warned.diagnostics[1].severity, Severity::Error);
}

TEST(LintSource, PartialsAndChildrenSkipTheUnusedRules) {
    const std::string source =
        "---\nk: 1\n---\n@import { n } from \"./a.tyx\"\n@define f():\nx\n@end\n@export g\n";
    const std::vector<std::string> unused = {"unused-variable", "unused-import", "unused-function"};
    const auto count_unused = [&](const LintResult& result) {
        size_t count = 0;
        for (const std::string& rule : rules_of(result)) {
            count += std::find(unused.begin(), unused.end(), rule) != unused.end();
        }
        return count;
    };
    EXPECT_EQ(count_unused(lint_ok(source)), 3u);
    for (const char* name : {"_partial.tyx", "dir/_partial.tyx", "dir/_part/"}) {
        SCOPED_TRACE(name);
        const LintResult result = lint_ok(source, {}, name);
        EXPECT_EQ(count_unused(result), 0u);
        EXPECT_FALSE(result.fix_unused_allowed);
    }
    const LintResult child = lint_ok(
        "@extends \"./base.tyx\"\n@block b:\n{{ k }}\n@end\n"
        "@define f():\nx\n@end\n@export g\n");
    EXPECT_EQ(count_unused(child), 0u);
    EXPECT_FALSE(child.fix_unused_allowed);
}

TEST(LintSource, PartialFileNames) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"_a.tyx", true}, {"dir/_a.tyx", true}, {"_dir/a.tyx", false}, {"a.tyx", false},
        {"", false},      {"..", false},        {"_x/..", false},      {"dir/_a/.", true},
        {"/", false},     {"a_b.tyx", false},
    };
    for (const auto& [name, partial] : cases)
        EXPECT_EQ(is_partial_file_name(name), partial) << name;
}

TEST(LintSource, FixUnusedAllowedNeedsNoImportDirective) {
    EXPECT_FALSE(lint_ok("@if x:\n@import \"./a.tyx\"\n@end\n").fix_unused_allowed);
    EXPECT_TRUE(lint_ok("---\nimports:\n  - ./a.tyx\n---\nhi\n").fix_unused_allowed);
}

TEST(LintSource, UnusedFunctionNeedsAnExport) {
    const std::string defines = "@define f():\nx\n@end\n@define g():\ny\n@end\n";
    EXPECT_TRUE(lint_ok(defines, only("unused-function")).diagnostics.empty());
    EXPECT_EQ(lint_ok(defines + "@export * from \"./a.tyx\"\n", only("unused-function"))
                  .diagnostics.size(),
              2u);
}

TEST(LintSource, SameOffsetKeepsRuleOrderAndSpanlessGoLast) {
    const LintResult result = lint_ok("---\n'q': 1\n---\n@if 1 == 2:\n@end\n");
    ASSERT_EQ(rules_of(result),
              (std::vector<std::string>{"empty-block", "unreachable-branch", "unused-variable"}));
    EXPECT_EQ(result.diagnostics[0].span->offset, result.diagnostics[1].span->offset);
    EXPECT_FALSE(result.diagnostics[2].span);
}

TEST(LintSource, SortsByOffsetAcrossRules) {
    const LintResult result = lint_ok("{a}\n@for i in xs:\n@end\n{b}\n");
    std::vector<uint64_t> offsets;
    for (const LintDiagnostic& diagnostic : result.diagnostics) {
        offsets.push_back(diagnostic.span->offset);
    }
    EXPECT_EQ(rules_of(result), (std::vector<std::string>{"legacy-interpolation", "empty-block",
                                                          "legacy-interpolation"}));
    EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 4, 23}));
}

std::string empty_loops(size_t count) {
    std::string source = "{x}\n";
    for (size_t i = 0; i < count; ++i)
        source += "@for i in xs:\n@end\n";
    return source;
}

TEST(LintSource, KeepsTheFirstThousandProduced) {
    // The loops' diagnostics come first in production, the legacy one at offset 0 last.
    const LintResult full = lint_ok(empty_loops(MAX_DIAGNOSTICS - 1));
    ASSERT_EQ(full.diagnostics.size(), MAX_DIAGNOSTICS);
    EXPECT_FALSE(full.truncated);
    EXPECT_EQ(full.diagnostics.front().rule, "legacy-interpolation");

    const LintResult over = lint_ok(empty_loops(MAX_DIAGNOSTICS));
    ASSERT_EQ(over.diagnostics.size(), MAX_DIAGNOSTICS);
    EXPECT_TRUE(over.truncated);
    EXPECT_EQ(over.diagnostics.front().rule, "empty-block");
    EXPECT_EQ(over.diagnostics.front().span->offset, 4u);
    EXPECT_EQ(over.diagnostics.back().rule, "empty-block");
}

TEST(PushDiagnostic, RefusesPastTheCap) {
    LintResult result;
    for (size_t i = 0; i < MAX_DIAGNOSTICS; ++i)
        ASSERT_TRUE(push_diagnostic(result, {}));
    EXPECT_FALSE(result.truncated);
    EXPECT_FALSE(push_diagnostic(result, {}));
    EXPECT_TRUE(result.truncated);
    EXPECT_EQ(result.diagnostics.size(), MAX_DIAGNOSTICS);
}

TEST(DiagnosticOrder, FileThenSpanThenOffset) {
    const auto make = [](std::optional<std::string> file, std::optional<uint64_t> offset,
                         std::string rule) {
        LintDiagnostic diagnostic;
        diagnostic.file = std::move(file);
        if (offset) diagnostic.span = LintSpan{*offset, 1, std::nullopt, std::nullopt};
        diagnostic.rule = std::move(rule);
        return diagnostic;
    };
    std::vector<LintDiagnostic> diagnostics = {
        make(std::nullopt, 0, "no-file"),
        make("ab", std::nullopt, "ab-none"),
        make("ab", 5, "ab-5-first"),
        make("a", 9, "a-9"),
        make("ab", 5, "ab-5-second"),
        make("\xc3\xa9", 0, "high-byte"),
        make("ab", 1, "ab-1"),
    };
    sort_diagnostics(diagnostics);
    std::vector<std::string> order;
    for (const LintDiagnostic& diagnostic : diagnostics)
        order.push_back(diagnostic.rule);
    EXPECT_EQ(order, (std::vector<std::string>{"a-9", "ab-1", "ab-5-first", "ab-5-second",
                                               "ab-none", "high-byte", "no-file"}));
}

TEST(LintSource, FrontmatterFailures) {
    // Not YAML: linted without frontmatter facts.
    EXPECT_TRUE(lint_ok("---\na: [1\n---\nhi\n", only("unused-variable")).diagnostics.empty());
    EXPECT_TRUE(lint_ok("---\n- a\n---\nhi\n", only("unused-variable")).diagnostics.empty());

    const std::string large =
        "---\na: '" + std::string(MAX_FRONTMATTER_BYTES, 'x') + "'\n---\nhi\n";
    Result<LintResult> result = lint_source(large, "input.tyx", {});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::ResourceLimit);
}

TEST(LintSource, LexerAndParserErrorsReturnUnchanged) {
    Result<LintResult> unclosed = lint_source("a {{ x\n", "input.tyx", {});
    ASSERT_FALSE(unclosed.ok());
    EXPECT_EQ(unclosed.error().kind, ErrorKind::Syntax);
    Result<LintResult> unbalanced = lint_source("@if x:\n", "input.tyx", {});
    ASSERT_FALSE(unbalanced.ok());
    EXPECT_EQ(unbalanced.error().kind, ErrorKind::Syntax);
}

TEST(Severity, NamesAndKnownRules) {
    const std::vector<std::pair<Severity, std::string>> names = {{Severity::Off, "off"},
                                                                 {Severity::Info, "info"},
                                                                 {Severity::Warn, "warn"},
                                                                 {Severity::Error, "error"}};
    for (const auto& [severity, name] : names) {
        EXPECT_EQ(severity_name(severity), name);
        EXPECT_EQ(parse_severity(name), severity);
    }
    EXPECT_FALSE(parse_severity("Warn"));
    EXPECT_FALSE(parse_severity("warning"));

    for (std::string_view id : {"Empty-Block", "nope", "", "empty-block "})
        EXPECT_FALSE(is_known_rule(id)) << id;
    for (std::string_view id : KNOWN_RULES)
        EXPECT_TRUE(is_known_rule(id)) << id;
}

}  // namespace
}  // namespace tyx
