// The records every lint rule produces, the capped sink they go into, their final order and the
// lint report JSON built from them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/keyed_tables.h"
#include "core/owned_json.h"

namespace tyx {

// The lint levels; the numbers are fixed because bindings read them.
enum class Severity : uint8_t { Off = 0, Info = 1, Warn = 2, Error = 3 };

// "off", "info", "warn" or "error".
std::string_view severity_name(Severity severity);
// The level of one of the four names, exactly as written; nothing for any other text.
std::optional<Severity> parse_severity(std::string_view name);

// The levels a caller configured, by rule id; ids that name no rule are kept and ignored.
using RuleSeverityMap = KeyedTextMap<Severity>;

inline constexpr std::string_view RULE_EMPTY_BLOCK = "empty-block";
inline constexpr std::string_view RULE_REDUNDANT_ELSE = "redundant-else";
inline constexpr std::string_view RULE_UNREACHABLE_BRANCH = "unreachable-branch";
inline constexpr std::string_view RULE_DUPLICATE_IMPORT = "duplicate-import";
inline constexpr std::string_view RULE_DUPLICATE_EXPORT = "duplicate-export";
inline constexpr std::string_view RULE_UNUSED_VARIABLE = "unused-variable";
inline constexpr std::string_view RULE_UNUSED_IMPORT = "unused-import";
inline constexpr std::string_view RULE_UNUSED_FUNCTION = "unused-function";
inline constexpr std::string_view RULE_SHADOW_VARIABLE = "shadow-variable";
inline constexpr std::string_view RULE_LEGACY_INTERPOLATION = "legacy-interpolation";

// The ten rule ids in byte order.
inline constexpr std::array<std::string_view, 10> KNOWN_RULES = {
    "duplicate-export", "duplicate-import", "empty-block",        "legacy-interpolation",
    "redundant-else",   "shadow-variable",  "unreachable-branch", "unused-function",
    "unused-import",    "unused-variable",
};

bool is_known_rule(std::string_view id);

// Where a diagnostic points, in bytes of the linted source. Rules fill offset and length only.
struct LintSpan {
    uint64_t offset = 0;
    uint64_t length = 0;
    std::optional<uint64_t> line;
    std::optional<uint64_t> column;
    friend bool operator==(const LintSpan&, const LintSpan&) = default;
};

// A removal a fixer may apply. With `whole_lines` it covers the lines holding `start` through
// `end`, each with its line break; otherwise exactly the bytes [start, end).
struct FixRange {
    uint64_t start = 0;
    uint64_t end = 0;
    bool whole_lines = false;
    friend bool operator==(const FixRange&, const FixRange&) = default;
};

// A replacement of the bytes [start, end) by `new_text`.
struct FixEdit {
    std::string new_text;
    uint64_t start = 0;
    uint64_t end = 0;
    friend bool operator==(const FixEdit&, const FixEdit&) = default;
};

struct LintDiagnostic {
    std::optional<LintSpan> span;
    std::string rule;
    std::string message;
    std::optional<std::string> help;
    std::optional<std::string> file;
    // Never an empty list: absent instead.
    std::optional<std::vector<FixRange>> fix_ranges;
    std::optional<std::vector<FixEdit>> fix_edits;
    // Never Off.
    Severity severity = Severity::Warn;
};

// The most diagnostics one lint run keeps.
inline constexpr size_t MAX_DIAGNOSTICS = 1000;

struct LintResult {
    std::vector<LintDiagnostic> diagnostics;
    // Set when push_diagnostic refused at least one diagnostic.
    bool truncated = false;
    // Whether the fixes of unused-import and unused-function count as fixable.
    bool fix_unused_allowed = false;

    // The lint report: object keys in byte order, user texts escaped for display.
    static OwnedJson to_canonical_json(const LintResult& result);
};

// Appends the diagnostic unless the result already holds MAX_DIAGNOSTICS; then sets
// `truncated`, drops it and returns false.
bool push_diagnostic(LintResult& result, LintDiagnostic diagnostic);

// What every rule shares when it builds a diagnostic.
struct RuleContext {
    std::string_view rule;
    Severity severity = Severity::Warn;
    std::string_view file;
    LintResult& result;
};

// A diagnostic of the context's rule with help, file and a span of offset and length.
LintDiagnostic make_diagnostic(const RuleContext& context, std::string message, std::string help,
                               uint64_t offset, uint64_t length);

// Whether `a` goes before `b`: with a file first, files by bytes, with a span first, then by
// span offset. Everything else ties.
bool diagnostic_order(const LintDiagnostic& a, const LintDiagnostic& b);

// Stable, so that ties keep production order.
void sort_diagnostics(std::vector<LintDiagnostic>& diagnostics);

}  // namespace tyx
