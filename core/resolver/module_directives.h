// The one pass over a module's top-level directives that shape the module rather than its
// output: @define, @import, @export and @block declarations.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/parser.h"
#include "core/resolver/resolver.h"
#include "core/scope.h"

namespace tyx {

// @block declarations per module.
inline constexpr size_t MAX_BLOCK_DECLARATIONS = 256;

struct DirectiveNames {
    // Defined with @define, or re-exported from other modules.
    FunctionMap functions;
    std::set<std::string, std::less<>> exports;
    // Of the top-level @block declarations; they share one name space with `functions`.
    std::set<std::string, std::less<>> block_names;
    // At least one @export directive, of any form.
    bool has_export_list = false;
    // Set when the first @export line re-exports all of one module's functions, before any
    // @define, until a later line adds a function or an export: `functions` and `exports` are
    // then empty and stand for these, shared instead of copied.
    std::shared_ptr<const ExportedFunctions> reexported;

    // Spells out `reexported` in `functions` and `exports`.
    void expand();
    bool has_function(std::string_view name) const {
        return functions.contains(name) ||
               (reexported != nullptr && reexported->functions().contains(name));
    }
};

// `nodes` is the module's top-level body, shared so that its functions keep their bodies
// without copying them. `shared_source`, when the caller has made one for the module already,
// is the one its functions share instead of a copy of their own.
Result<DirectiveNames> process_module_directives(
    Resolver& resolver, const std::shared_ptr<const std::vector<Node>>& nodes, Scope& scope,
    const ModuleSource& source, std::vector<std::string>& warnings,
    const SharedSource* shared_source = nullptr);

// Each exported name must be "prompt" or one of the module's own functions.
Status check_module_exports(const std::set<std::string, std::less<>>& exports,
                            const FunctionMap& functions);

}  // namespace tyx
