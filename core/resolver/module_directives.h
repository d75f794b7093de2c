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

// `tree` is the module's tree, whose top-level body is read; it is shared so that its functions
// keep their bodies, and the texts those view, without copying them. `shared_source`, when the
// caller has made one for the module already, is the one its functions share; otherwise the
// first @define makes one with the text the tree keeps.
Result<DirectiveNames> process_module_directives(Resolver& resolver,
                                                 const std::shared_ptr<const ParsedTemplate>& tree,
                                                 Scope& scope, const ModuleSource& source,
                                                 std::vector<std::string>& warnings,
                                                 const SharedSource* shared_source = nullptr);

// Each exported name must be "prompt" or one of the module's own functions.
Status check_module_exports(const std::set<std::string, std::less<>>& exports,
                            const FunctionMap& functions);

}  // namespace tyx
