// A module's global scope frame, filled from its frontmatter and the caller's variables, and
// the binding of its frontmatter `imports` list.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/resolver/frontmatter_imports.h"
#include "core/resolver/resolver.h"
#include "core/scope.h"

namespace tyx {

struct FrontmatterScope {
    Scope scope;
    // Empty when the frontmatter has no `imports` key.
    std::vector<FrontmatterImport> imports;
};

// `plain_markdown` is the loader's answer for the module; the caller's variables win over
// the frontmatter's.
Result<FrontmatterScope> build_frontmatter_scope(std::optional<std::string_view> frontmatter,
                                                 bool plain_markdown, const VarsMap* vars);
// The same for a frontmatter text that the caller has parsed already into `parsed` (present
// exactly when `frontmatter` is), so that it is not parsed twice.
Result<FrontmatterScope> build_frontmatter_scope(std::optional<std::string_view> frontmatter,
                                                 const YamlValue* parsed, bool plain_markdown,
                                                 const VarsMap* vars);

// Resolves each entry from the importer's directory and binds what it brings into the scope.
Status bind_frontmatter_imports(Resolver& resolver, const std::vector<FrontmatterImport>& entries,
                                Scope& scope, const ModuleSource& importer,
                                std::vector<std::string>& warnings);

// An unlocated resolution failure reworded for the entry at `index`.
CompileError describe_frontmatter_import_error(CompileError error, size_t index);

}  // namespace tyx
