#include "core/lint/diagnostic.h"

#include <algorithm>
#include <map>
#include <utility>

#include "core/display.h"

namespace tyx {

namespace {

constexpr std::array<std::string_view, 4> kSeverityNames = {"off", "info", "warn", "error"};

// The group of diagnostics that carry no file name.
constexpr std::string_view kUnknownFile = "<unknown>";

// Rules whose fixes are always safe to apply when they have any.
constexpr std::array<std::string_view, 5> kAlwaysFixableRules = {
    RULE_EMPTY_BLOCK, RULE_DUPLICATE_IMPORT, RULE_DUPLICATE_EXPORT, RULE_UNREACHABLE_BRANCH,
    RULE_LEGACY_INTERPOLATION};

bool is_fixable(const LintDiagnostic& diagnostic, bool fix_unused_allowed) {
    if (!diagnostic.fix_ranges && !diagnostic.fix_edits) return false;
    if (std::find(kAlwaysFixableRules.begin(), kAlwaysFixableRules.end(), diagnostic.rule) !=
        kAlwaysFixableRules.end()) {
        return true;
    }
    if (diagnostic.rule == RULE_UNUSED_IMPORT || diagnostic.rule == RULE_UNUSED_FUNCTION) {
        return fix_unused_allowed;
    }
    return false;
}

// `out` holds no array or object, here and below.
void write_span(const LintSpan& span, nlohmann::json& out) {
    out = nlohmann::json::object();
    if (span.column) out["column"] = *span.column;
    out["length"] = span.length;
    if (span.line) out["line"] = *span.line;
    out["offset"] = span.offset;
}

void write_diagnostic(const LintDiagnostic& diagnostic, bool fix_unused_allowed,
                      nlohmann::json& out) {
    out = nlohmann::json::object();
    nlohmann::json& edits = out["fix_edits"];
    if (diagnostic.fix_edits) {
        edits = nlohmann::json::array();
        for (const FixEdit& edit : *diagnostic.fix_edits) {
            nlohmann::json& written = edits.emplace_back(nlohmann::json::object());
            written["end"] = edit.end;
            written["new_text"] = escape_for_display(edit.new_text);
            written["start"] = edit.start;
        }
    }
    out["fixable"] = is_fixable(diagnostic, fix_unused_allowed);
    if (diagnostic.help) {
        out["help"] = escape_for_display(*diagnostic.help);
    } else {
        out["help"] = nullptr;
    }
    out["message"] = escape_for_display(diagnostic.message);
    out["rule"] = diagnostic.rule;
    out["severity"] = severity_name(diagnostic.severity);
    nlohmann::json& span = out["span"];
    if (diagnostic.span) write_span(*diagnostic.span, span);
}

}  // namespace

std::string_view severity_name(Severity severity) {
    return kSeverityNames[static_cast<size_t>(severity) & 3];
}

std::optional<Severity> parse_severity(std::string_view name) {
    for (size_t i = 0; i < kSeverityNames.size(); ++i) {
        if (kSeverityNames[i] == name) return static_cast<Severity>(i);
    }
    return std::nullopt;
}

bool is_known_rule(std::string_view id) {
    return std::binary_search(KNOWN_RULES.begin(), KNOWN_RULES.end(), id);
}

bool push_diagnostic(LintResult& result, LintDiagnostic diagnostic) {
    if (result.diagnostics.size() >= MAX_DIAGNOSTICS) {
        result.truncated = true;
        return false;
    }
    result.diagnostics.push_back(std::move(diagnostic));
    return true;
}

LintDiagnostic make_diagnostic(const RuleContext& context, std::string message, std::string help,
                               uint64_t offset, uint64_t length) {
    LintDiagnostic diagnostic;
    diagnostic.span = LintSpan{offset, length, std::nullopt, std::nullopt};
    diagnostic.rule = std::string(context.rule);
    diagnostic.message = std::move(message);
    diagnostic.help = std::move(help);
    diagnostic.file = std::string(context.file);
    diagnostic.severity = context.severity;
    return diagnostic;
}

bool diagnostic_order(const LintDiagnostic& a, const LintDiagnostic& b) {
    if (a.file.has_value() != b.file.has_value()) return a.file.has_value();
    // std::string compares as unsigned bytes, a prefix first.
    if (a.file && *a.file != *b.file) return *a.file < *b.file;
    if (a.span.has_value() != b.span.has_value()) return a.span.has_value();
    if (a.span && a.span->offset != b.span->offset) return a.span->offset < b.span->offset;
    return false;
}

void sort_diagnostics(std::vector<LintDiagnostic>& diagnostics) {
    std::stable_sort(diagnostics.begin(), diagnostics.end(), diagnostic_order);
}

OwnedJson LintResult::to_canonical_json(const LintResult& result) {
    // Grouped by the raw file name; the name is escaped only where it is written.
    std::map<std::string_view, std::vector<const LintDiagnostic*>> groups;
    for (const LintDiagnostic& diagnostic : result.diagnostics) {
        const std::string_view key =
            diagnostic.file ? std::string_view(*diagnostic.file) : kUnknownFile;
        groups[key].push_back(&diagnostic);
    }
    // Each part is written where it ends up, inside the owned value.
    OwnedJson owned(nlohmann::json::object());
    nlohmann::json& report = *owned;
    nlohmann::json& files = report["files"] = nlohmann::json::array();
    for (const auto& [file, members] : groups) {
        nlohmann::json& group = files.emplace_back(nlohmann::json::object());
        nlohmann::json& diagnostics = group["diagnostics"] = nlohmann::json::array();
        for (const LintDiagnostic* diagnostic : members)
            write_diagnostic(*diagnostic, result.fix_unused_allowed, diagnostics.emplace_back());
        group["file"] = escape_for_display(file);
    }
    report["truncated"] = result.truncated;
    report["version"] = 1;
    return owned;
}

}  // namespace tyx
