#include "core/lint/rules/name_rules.h"

#include <optional>
#include <utility>
#include <vector>

#include "core/format.h"
#include "core/keyed_tables.h"
#include "core/lint/rules/block_rules.h"

namespace tyx {

namespace {

bool push(const RuleContext& context, std::string message, std::string help,
          std::optional<uint64_t> offset, uint64_t length,
          std::optional<std::vector<FixRange>> fixes = std::nullopt) {
    LintDiagnostic diagnostic =
        make_diagnostic(context, std::move(message), std::move(help), offset.value_or(0), length);
    if (!offset) diagnostic.span.reset();
    diagnostic.fix_ranges = std::move(fixes);
    return push_diagnostic(context.result, std::move(diagnostic));
}

// Removes the one line holding the directive.
std::vector<FixRange> remove_line(uint64_t offset) {
    return {FixRange{offset, offset, true}};
}

// Names that a plain or by-name re-export offers; a wildcard names nothing here.
KeyedTextSet exported_names(const LintFacts& facts) {
    KeyedTextSet names;
    for (const ExportFact& fact : facts.export_facts) {
        if (fact.kind != ExportFactKind::ReexportAll && fact.name) names.insert(*fact.name);
    }
    return names;
}

}  // namespace

std::string normalize_import_path(std::string_view path) {
    std::vector<std::string_view> segments;
    size_t start = 0;
    while (true) {
        const size_t slash = path.find('/', start);
        const std::string_view segment = path.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (segment == "..") {
            if (segments.empty() || segments.back() == "..") {
                segments.push_back(segment);
            } else {
                segments.pop_back();
            }
        } else if (segment != ".") {
            segments.push_back(segment);
        }
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    std::string joined;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) joined += '/';
        joined.append(segments[i]);
    }
    return joined;
}

void check_duplicate_imports(const LintFacts& facts, const RuleContext& context) {
    KeyedTextSet seen;
    for (const ImportFact& fact : facts.import_facts) {
        if (seen.insert(normalize_import_path(fact.path)).second) continue;
        if (!push(context, cat("Duplicate import: '", fact.path, "' is imported more than once."),
                  "Remove the duplicate import. If different forms are needed (alias vs merge), "
                  "consolidate into one import directive.",
                  fact.offset, IMPORT_KEYWORD_LENGTH, remove_line(fact.offset))) {
            return;
        }
    }
}

void check_duplicate_exports(const LintFacts& facts, const RuleContext& context) {
    KeyedTextSet wildcard_paths;
    KeyedTextSet names;
    for (const ExportFact& fact : facts.export_facts) {
        std::string message;
        std::string help;
        if (fact.kind == ExportFactKind::ReexportAll) {
            if (!fact.from_path || wildcard_paths.insert(*fact.from_path).second) continue;
            message = cat("Duplicate wildcard export from '", *fact.from_path,
                          "': already exported above.");
            help = "Remove the duplicate @export * from directive.";
        } else {
            if (!fact.name || names.insert(*fact.name).second) continue;
            message = cat("Duplicate export: '", *fact.name, "' is exported more than once.");
            help = "Remove the duplicate @export directive.";
        }
        if (!push(context, std::move(message), std::move(help), fact.offset, EXPORT_KEYWORD_LENGTH,
                  remove_line(fact.offset))) {
            return;
        }
    }
}

void check_unused_variables(const LintFacts& facts, const RuleContext& context) {
    for (const FrontmatterKeyFact& fact : facts.frontmatter_key_facts) {
        if (facts.referenced.contains(fact.name)) continue;
        const std::optional<uint64_t> offset =
            fact.found ? std::optional<uint64_t>(fact.offset) : std::nullopt;
        if (!push(context,
                  cat("Variable '", fact.name,
                      "' is defined in frontmatter but never referenced in the body."),
                  "Remove the frontmatter key or reference it in the template body.", offset,
                  fact.name.size())) {
            return;
        }
    }
}

void check_unused_imports(const LintFacts& facts, const RuleContext& context) {
    const KeyedTextSet exported = exported_names(facts);
    for (const ImportFact& fact : facts.import_facts) {
        if (fact.kind == ImportFactKind::Alias && fact.alias) {
            const std::string& alias = *fact.alias;
            if (facts.qualified_namespaces.contains(alias) || facts.included.contains(alias)) {
                continue;
            }
            if (!push(context,
                      cat("Import alias '", alias, "' from '", fact.path, "' is never used."),
                      "Remove the @import or use the alias with @include or as a qualified call "
                      "(`alias.func(...)`).",
                      fact.offset, IMPORT_KEYWORD_LENGTH)) {
                return;
            }
        } else if (fact.kind == ImportFactKind::Selective) {
            for (size_t i = 0; i < fact.names.size(); ++i) {
                const std::string& name = fact.names[i];
                if (facts.called.contains(name) || facts.referenced.contains(name) ||
                    exported.contains(name)) {
                    continue;
                }
                const bool located = i < fact.name_offsets.size();
                if (!push(
                        context,
                        cat("Imported name '", name, "' from '", fact.path, "' is never used."),
                        cat("Remove '", name, "' from the selective import or use it in the body."),
                        located ? fact.name_offsets[i] : fact.offset,
                        located ? name.size() : IMPORT_KEYWORD_LENGTH)) {
                    return;
                }
            }
        }
    }
}

void check_unused_functions(const LintFacts& facts, const RuleContext& context) {
    const KeyedTextSet exported = exported_names(facts);
    for (const DefineFact& fact : facts.define_facts) {
        if (exported.contains(fact.name) || facts.called.contains(fact.name)) continue;
        if (!push(context,
                  cat("Function '", fact.name, "' is defined but never exported or called."),
                  "Export the function with @export or call it somewhere, or remove the "
                  "definition.",
                  fact.start, DEFINE_PREFIX_LENGTH + fact.name.size(),
                  std::vector<FixRange>{FixRange{fact.start, fact.end, true}})) {
            return;
        }
    }
}

void check_shadowed_variables(const LintFacts& facts, const RuleContext& context) {
    for (const ShadowFact& fact : facts.shadow_facts) {
        if (!push(context,
                  cat("Variable '", fact.name, "' (", binding_kind_text(fact.inner),
                      ") shadows an outer ", binding_kind_text(fact.outer), " with the same name."),
                  cat("Rename '", fact.name, "' in the inner scope to avoid shadowing."),
                  fact.offset, fact.name.size())) {
            return;
        }
    }
}

}  // namespace tyx
