// How a module reached by an import is compiled: its frontmatter imports and directives bound,
// its chain applied when it extends, and its body rendered once for every importer.
// Resolver::import_module, which compiles the module an import path names, is defined here.
#pragma once

#include <string>
#include <vector>

#include "core/resolver/module.h"
#include "core/resolver/resolver.h"

namespace tyx {

// Compiles a module reached by an import; its key is on the resolving stack.
Result<CompiledModule> compile_imported_module(Resolver& resolver, const ModuleSource& source,
                                               bool is_plain_markdown,
                                               std::vector<std::string>& warnings);

}  // namespace tyx
