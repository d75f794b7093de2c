// The rules about names, read from the facts: duplicate imports and exports, frontmatter keys,
// imports and functions never used, and inner bindings that hide outer names.
#pragma once

#include <string>
#include <string_view>

#include "core/lint/diagnostic.h"
#include "core/lint/facts.h"

namespace tyx {

// The length a duplicate or unused directive is underlined with: "@import" and "@export".
inline constexpr uint64_t IMPORT_KEYWORD_LENGTH = 7;
inline constexpr uint64_t EXPORT_KEYWORD_LENGTH = 7;

// Drops "." segments and folds ".." into the segment before it, textually; letter case and empty
// segments stay.
std::string normalize_import_path(std::string_view path);

// Each stops at the first refused push.
void check_duplicate_imports(const LintFacts& facts, const RuleContext& context);
void check_duplicate_exports(const LintFacts& facts, const RuleContext& context);
void check_unused_variables(const LintFacts& facts, const RuleContext& context);
void check_unused_imports(const LintFacts& facts, const RuleContext& context);
void check_unused_functions(const LintFacts& facts, const RuleContext& context);
void check_shadowed_variables(const LintFacts& facts, const RuleContext& context);

}  // namespace tyx
