#include "core/lint/lint.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/lexer.h"
#include "core/lint/facts.h"
#include "core/lint/rules/block_rules.h"
#include "core/lint/rules/legacy_interpolation.h"
#include "core/lint/rules/name_rules.h"
#include "core/parser.h"

namespace tyx {

namespace {

struct RuleEntry {
    std::string_view id;
    // Absent for a rule that runs only when configured.
    std::optional<Severity> default_severity;
};

// In the order the rules run, which is also the order of diagnostics at one offset.
constexpr std::array<RuleEntry, 10> kRuleTable = {{
    {RULE_EMPTY_BLOCK, Severity::Warn},
    {RULE_REDUNDANT_ELSE, Severity::Warn},
    {RULE_UNREACHABLE_BRANCH, Severity::Error},
    {RULE_DUPLICATE_IMPORT, Severity::Error},
    {RULE_DUPLICATE_EXPORT, Severity::Error},
    {RULE_UNUSED_VARIABLE, Severity::Warn},
    {RULE_UNUSED_IMPORT, Severity::Warn},
    {RULE_UNUSED_FUNCTION, Severity::Warn},
    {RULE_SHADOW_VARIABLE, std::nullopt},
    {RULE_LEGACY_INTERPOLATION, Severity::Warn},
}};

Severity resolve_severity(const RuleEntry& entry, const RuleSeverityMap& rules) {
    const auto configured = rules.find(entry.id);
    if (configured != rules.end()) return configured->second;
    return entry.default_severity.value_or(Severity::Off);
}

bool is_unused_rule(std::string_view id) {
    return id == RULE_UNUSED_VARIABLE || id == RULE_UNUSED_IMPORT || id == RULE_UNUSED_FUNCTION;
}

struct LintInput {
    const std::vector<Token>& tokens;
    const ParsedTemplate& tree;
    std::string_view source;
    const LintFacts& facts;
};

void run_rule(std::string_view id, const LintInput& input, const RuleContext& context) {
    const std::vector<Node>& body = input.tree.body;
    if (id == RULE_EMPTY_BLOCK) {
        (void)check_empty_blocks(body, context, input.facts);
    } else if (id == RULE_REDUNDANT_ELSE) {
        (void)check_redundant_else(body, context);
    } else if (id == RULE_UNREACHABLE_BRANCH) {
        (void)check_unreachable_branches(body, context);
    } else if (id == RULE_DUPLICATE_IMPORT) {
        check_duplicate_imports(input.facts, context);
    } else if (id == RULE_DUPLICATE_EXPORT) {
        check_duplicate_exports(input.facts, context);
    } else if (id == RULE_UNUSED_VARIABLE) {
        check_unused_variables(input.facts, context);
    } else if (id == RULE_UNUSED_IMPORT) {
        check_unused_imports(input.facts, context);
    } else if (id == RULE_UNUSED_FUNCTION) {
        check_unused_functions(input.facts, context);
    } else if (id == RULE_SHADOW_VARIABLE) {
        check_shadowed_variables(input.facts, context);
    } else if (id == RULE_LEGACY_INTERPOLATION) {
        check_legacy_interpolation(input.tokens, input.source, context);
    }
}

}  // namespace

std::optional<std::string_view> last_path_component(std::string_view path) {
    std::string_view rest = path;
    while (!rest.empty()) {
        const size_t slash = rest.rfind('/');
        const std::string_view last =
            slash == std::string_view::npos ? rest : rest.substr(slash + 1);
        if (!last.empty() && last != ".") {
            if (last == "..") return std::nullopt;
            return last;
        }
        if (slash == std::string_view::npos) return std::nullopt;
        rest = rest.substr(0, slash);
    }
    return std::nullopt;
}

bool is_partial_file_name(std::string_view file_name) {
    const std::optional<std::string_view> last = last_path_component(file_name);
    return last && last->starts_with('_');
}

Result<LintResult> lint_source(std::string_view source, std::string_view file_name,
                               const RuleSeverityMap& rules) {
    // The caller's text outlives the tree, the tokens and the facts, which all view it.
    TYX_ASSIGN_OR_RETURN(const std::vector<Token> tokens, tokenize(source, file_name));
    TYX_ASSIGN_OR_RETURN(const ParsedTemplate tree,
                         parse_template(tokens, file_name, SharedText::borrowed(source)));

    TYX_ASSIGN_OR_RETURN(LintFacts facts, collect_template_facts(tree, source));
    facts.skip_unused = is_partial_file_name(file_name) || tree.extends.has_value();

    LintResult result;
    result.fix_unused_allowed = !facts.skip_unused && facts.import_facts.empty();
    const LintInput input{tokens, tree, source, facts};
    for (const RuleEntry& entry : kRuleTable) {
        const Severity severity = resolve_severity(entry, rules);
        if (severity == Severity::Off) continue;
        if (is_unused_rule(entry.id) && facts.skip_unused) continue;
        if (entry.id == RULE_UNUSED_FUNCTION && !facts.has_export) continue;
        run_rule(entry.id, input, RuleContext{entry.id, severity, file_name, result});
    }
    sort_diagnostics(result.diagnostics);
    return result;
}

}  // namespace tyx
