// Shared helpers of the lint tests: run one rule alone and compare what it found as plain
// records with the exact texts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/lint/diagnostic.h"
#include "core/lint/lint.h"

namespace tyx::lint_test {

// One diagnostic as the tests compare it; the file name and severity are checked separately.
struct Found {
    std::string rule;
    std::string message;
    std::string help;
    bool has_span = true;
    uint64_t offset = 0;
    uint64_t length = 0;
    std::vector<FixRange> ranges = {};
    std::vector<FixEdit> edits = {};
    friend bool operator==(const Found&, const Found&) = default;
};

inline void PrintTo(const Found& found, std::ostream* out) {
    *out << "{" << found.rule << " '" << found.message << "' help '" << found.help << "' ";
    if (found.has_span) {
        *out << "span " << found.offset << "+" << found.length;
    } else {
        *out << "no span";
    }
    for (const FixRange& range : found.ranges) {
        *out << " range[" << range.start << "," << range.end
             << (range.whole_lines ? ",lines]" : ",exact]");
    }
    for (const FixEdit& edit : found.edits) {
        *out << " edit[" << edit.start << "," << edit.end << ",'" << edit.new_text << "']";
    }
    *out << "}";
}

inline Found found_of(const LintDiagnostic& diagnostic) {
    Found found;
    found.rule = diagnostic.rule;
    found.message = diagnostic.message;
    found.help = diagnostic.help.value_or("<none>");
    found.has_span = diagnostic.span.has_value();
    if (diagnostic.span) {
        found.offset = diagnostic.span->offset;
        found.length = diagnostic.span->length;
    }
    if (diagnostic.fix_ranges) found.ranges = *diagnostic.fix_ranges;
    if (diagnostic.fix_edits) found.edits = *diagnostic.fix_edits;
    return found;
}

// Every rule off except `rule`, which runs at `severity`.
inline RuleSeverityMap only(std::string_view rule, Severity severity = Severity::Warn) {
    RuleSeverityMap rules;
    for (std::string_view id : KNOWN_RULES)
        rules[std::string(id)] = Severity::Off;
    rules[std::string(rule)] = severity;
    return rules;
}

inline LintResult lint_ok(std::string_view source, const RuleSeverityMap& rules = {},
                          std::string_view file = "input.tyx") {
    Result<LintResult> result = lint_source(source, file, rules);
    if (!result.ok()) {
        ADD_FAILURE() << "lint failed: " << result.error().text << "\nsource:\n" << source;
        return LintResult{};
    }
    return std::move(result).value();
}

// What `rule` alone finds in `source`, in final order.
inline std::vector<Found> findings(std::string_view source, std::string_view rule,
                                   std::string_view file = "input.tyx") {
    std::vector<Found> out;
    for (const LintDiagnostic& diagnostic : lint_ok(source, only(rule), file).diagnostics) {
        out.push_back(found_of(diagnostic));
    }
    return out;
}

// The byte offset of the `nth` occurrence of `needle` in `source`.
inline uint64_t at(std::string_view source, std::string_view needle, int nth = 0) {
    size_t position = source.find(needle);
    for (int i = 0; i < nth && position != std::string_view::npos; ++i) {
        position = source.find(needle, position + 1);
    }
    EXPECT_NE(position, std::string_view::npos) << "no '" << needle << "' in the source";
    return position;
}

inline FixRange lines(uint64_t start, uint64_t end) {
    return FixRange{start, end, true};
}
inline FixRange exact(uint64_t start, uint64_t end) {
    return FixRange{start, end, false};
}

// One source and the findings one rule must report for it.
struct RuleCase {
    const char* name;
    std::string source;
    // Builds the expected findings from the source, so offsets are looked up, not counted.
    std::function<std::vector<Found>(std::string_view)> expected;
};

inline void run_rule_cases(std::string_view rule, const std::vector<RuleCase>& cases) {
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(findings(c.source, rule), c.expected(c.source));
    }
}

}  // namespace tyx::lint_test
