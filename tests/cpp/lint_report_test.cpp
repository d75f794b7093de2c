#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/lint/diagnostic.h"
#include "tests/cpp/lint_fixture.h"

namespace tyx {
namespace {

using lint_test::lint_ok;

std::string report_of(const LintResult& result) {
    return LintResult::to_canonical_json(result)->dump();
}

TEST(LintReport, EmptyRun) {
    EXPECT_EQ(report_of(LintResult{}), R"({"files":[],"truncated":false,"version":1})");
    LintResult truncated;
    truncated.truncated = true;
    EXPECT_EQ(report_of(truncated), R"({"files":[],"truncated":true,"version":1})");
}

TEST(LintReport, ExactBytesOfGroupsAndDiagnostics) {
    LintResult result;
    result.fix_unused_allowed = false;

    LintDiagnostic legacy;
    legacy.span = LintSpan{3, 4, std::nullopt, std::nullopt};
    legacy.rule = "legacy-interpolation";
    legacy.message = "line\nbreak \u202e";
    legacy.help = "h";
    legacy.file = "input.tyx";
    legacy.fix_edits = std::vector<FixEdit>{FixEdit{"{{a\nb}}", 3, 7}};
    legacy.severity = Severity::Warn;
    result.diagnostics.push_back(legacy);

    LintDiagnostic unused;
    unused.rule = "unused-function";
    unused.message = "m";
    unused.file = "input.tyx";
    unused.span = LintSpan{0, 9, 2, 5};
    unused.fix_ranges = std::vector<FixRange>{FixRange{0, 10, true}};
    unused.severity = Severity::Info;
    result.diagnostics.push_back(unused);

    LintDiagnostic nowhere;
    nowhere.rule = "shadow-variable\n";
    nowhere.message = "n";
    nowhere.severity = Severity::Error;
    result.diagnostics.push_back(nowhere);

    EXPECT_EQ(report_of(result),
              "{\"files\":["
              "{\"diagnostics\":["
              "{\"fix_edits\":null,\"fixable\":false,\"help\":null,\"message\":\"n\","
              "\"rule\":\"shadow-variable\\n\",\"severity\":\"error\",\"span\":null}],"
              "\"file\":\"<unknown>\"},"
              "{\"diagnostics\":["
              "{\"fix_edits\":[{\"end\":7,\"new_text\":\"{{a\\\\u000Ab}}\",\"start\":3}],"
              "\"fixable\":true,\"help\":\"h\",\"message\":\"line\\\\u000Abreak \\\\u202E\","
              "\"rule\":\"legacy-interpolation\",\"severity\":\"warn\","
              "\"span\":{\"length\":4,\"offset\":3}},"
              "{\"fix_edits\":null,\"fixable\":false,\"help\":null,\"message\":\"m\","
              "\"rule\":\"unused-function\",\"severity\":\"info\","
              "\"span\":{\"column\":5,\"length\":9,\"line\":2,\"offset\":0}}],"
              "\"file\":\"input.tyx\"}],"
              "\"truncated\":false,\"version\":1}");

    result.fix_unused_allowed = true;
    EXPECT_TRUE((*LintResult::to_canonical_json(result))["files"][1]["diagnostics"][1]["fixable"]);
}

TEST(LintReport, FileNamesGroupRawAndWriteEscaped) {
    LintResult result;
    for (const char* file : {"b\n.tyx", "a.tyx", "b\n.tyx"}) {
        LintDiagnostic diagnostic;
        diagnostic.rule = "empty-block";
        diagnostic.file = file;
        result.diagnostics.push_back(diagnostic);
    }
    const OwnedJson owned = LintResult::to_canonical_json(result);
    const nlohmann::json& report = *owned;
    ASSERT_EQ(report["files"].size(), 2u);
    EXPECT_EQ(report["files"][0]["file"], "a.tyx");
    EXPECT_EQ(report["files"][1]["file"], "b\\u000A.tyx");
    EXPECT_EQ(report["files"][1]["diagnostics"].size(), 2u);
}

struct FixableCase {
    const char* name;
    std::string source;
    std::string rule;
    bool fixable;
};

TEST(LintReport, FixableByRule) {
    const std::vector<FixableCase> cases = {
        {"empty @if with a range", "@if x:\n@end\n", "empty-block", true},
        {"empty @message without", "@message user:\n@end\n", "empty-block", false},
        {"redundant else", "@if x:\na\n@else:\na\n@end\n", "redundant-else", false},
        {"unused variable", "---\nk: 1\n---\n", "unused-variable", false},
        {"unreachable", "@if 1 == 2:\na\n@end\n", "unreachable-branch", true},
        {"duplicate import", "@import \"./a.tyx\"\n@import \"./a.tyx\"\n", "duplicate-import",
         true},
        {"duplicate export", "@export * from \"./a\"\n@export * from \"./a\"\n", "duplicate-export",
         true},
        {"legacy", "{x}\n", "legacy-interpolation", true},
        {"unused function, no import", "@define f():\nx\n@end\n@export g\n", "unused-function",
         true},
        {"unused function beside an import",
         "@import \"./a.tyx\"\n@define f():\nx\n@end\n@export g\n", "unused-function", false},
        {"unused import has no fix", "@import \"./a.tyx\" as a\n", "unused-import", false},
    };
    for (const FixableCase& c : cases) {
        SCOPED_TRACE(c.name);
        const OwnedJson owned =
            LintResult::to_canonical_json(lint_ok(c.source, lint_test::only(c.rule)));
        const nlohmann::json& report = *owned;
        ASSERT_EQ(report["files"].size(), 1u);
        const nlohmann::json& diagnostics = report["files"][0]["diagnostics"];
        ASSERT_EQ(diagnostics.size(), 1u);
        EXPECT_EQ(diagnostics[0]["rule"], c.rule);
        EXPECT_EQ(diagnostics[0]["fixable"], c.fixable);
    }
}

TEST(LintReport, RealRunSpansHaveLengthAndOffsetOnly) {
    const OwnedJson owned = LintResult::to_canonical_json(lint_ok("{x}\n"));
    const nlohmann::json& report = *owned;
    EXPECT_EQ(report["files"][0]["diagnostics"][0]["span"].dump(), R"({"length":3,"offset":0})");
    EXPECT_EQ(report["files"][0]["file"], "input.tyx");
}

}  // namespace
}  // namespace tyx
