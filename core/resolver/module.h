// A compiled module as importers share it, and the steps of compiling one that need no module
// compiler: parsing it, the checks before it is compiled, and what its directive pass bound.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/frontmatter/frontmatter.h"
#include "core/parser.h"
#include "core/resolver/frontmatter_imports.h"
#include "core/resolver/resolver.h"
#include "core/scope.h"

namespace tyx {

// The body of one @block entry and the template that wrote it.
struct BlockOverride {
    std::shared_ptr<const std::vector<Node>> body;
    SharedSource source;
    // Of that template's @block line.
    uint64_t offset = 0;
};

// Ordered by the root template's declarations; an override keeps its entry's position.
using BlockMap = std::vector<std::pair<std::string, BlockOverride>>;

// One template's frontmatter `imports` list, whose paths resolve from that template's directory.
struct FrontmatterImportList {
    std::string key;
    std::vector<FrontmatterImport> entries;
};

// What a root template's directive pass bound through its @import lines and still held when the
// pass ended. A template extending the root renders the root's text, written against them.
struct DirectiveImports {
    // Of the root, whose frontmatter imports were bound before these.
    std::string key;
    ImportAliasMap aliases;
    FunctionMap functions;
    // For each function in `functions` that took the place of a frontmatter import's, that one.
    FunctionMap replaced;
    std::optional<Value> prompt;
};

// Never changed once stored in the module cache.
struct CompiledModule {
    BlockMap blocks;
    // None when the rendered body is empty or only white space, and for a parent.
    std::shared_ptr<const std::string> body_text;
    std::optional<YamlMapping> frontmatter;
    // Empty when the module only re-exports all of another's functions: `exported` then holds
    // them all, and every one is exported (read them through module_functions).
    FunctionMap functions;
    std::set<std::string, std::less<>> exports;
    // The functions importers see, shared with the module whose functions it re-exports, if any.
    std::shared_ptr<const ExportedFunctions> exported;
    // `functions` and `exports` are empty and `exported` stands for both.
    bool only_reexports = false;
    std::shared_ptr<const std::vector<Node>> nodes;
    SharedSource source;
    std::shared_ptr<const ModuleSourceMap> body_mappings;
    // For a module that extends: the frontmatter imports of its chain, the root's first and its
    // own last. A template extending this module binds them all, since the skeleton and the
    // overrides it renders were written against those names; its frontmatter, the chain's
    // merged mapping, no longer holds them.
    std::vector<FrontmatterImportList> chain_imports;
    // Of the root of the module's chain, the module itself when it does not extend; null when the
    // root's @import lines bound nothing. Only a root has them: an extending template holds
    // nothing but @block overrides.
    std::shared_ptr<const DirectiveImports> directive_imports;
    bool has_export_list = false;
    bool compiled_as_parent = false;
};

// The shared source of a template parsed from `source`: its names, and the text its tree keeps.
SharedSource shared_source_of(const ModuleSource& source, const ParsedTemplate& tree);

// No export list, or one that names "prompt".
bool is_importable(const CompiledModule& module);
// No export list, or one that names `name`.
bool is_exported(const CompiledModule& module, std::string_view name);
std::shared_ptr<const FunctionDef> lookup_exported_function(const CompiledModule& module,
                                                            std::string_view name);
ImportedModule build_imported_module(const CompiledModule& module);
// Every function of the module, exported or not.
const FunctionMap& module_functions(const CompiledModule& module);
// The module's exported functions, in the order the module holds them.
const FunctionMap& exported_functions(const CompiledModule& module);
// Sets `exported` from the module's functions, unless the module shares another's.
void collect_exported_functions(CompiledModule& module);

// The functions, aliases and `prompt` a module's scope holds before its directive pass.
struct ScopeImports {
    FunctionMap functions;
    std::set<std::string, std::less<>> aliases;
    std::optional<Value> prompt;
};
// Nothing when `body` has no @import line, so the directive pass can bind no import.
std::optional<ScopeImports> scope_imports(const Scope& scope, const std::vector<Node>& body);
// What the directive pass of the module at `key` bound through @import, given the scope before
// it (`before`) and after it, and the module's own functions; null when it bound nothing.
std::shared_ptr<const DirectiveImports> bound_directive_imports(
    const Scope& scope, const std::optional<ScopeImports>& before, const FunctionMap& own,
    std::string_view key);

// One module's template and its loaded frontmatter.
struct ParsedModule {
    std::shared_ptr<const ParsedTemplate> tree;
    // Present exactly when the template has a frontmatter text.
    std::optional<YamlValue> frontmatter_value;
    // Present when that text holds a mapping.
    std::optional<YamlMapping> frontmatter;

    const YamlValue* parsed_frontmatter() const {
        return frontmatter_value ? &*frontmatter_value : nullptr;
    }
};

// Lexes and parses the module's text and loads its frontmatter.
Result<ParsedModule> parse_module(const ModuleSource& source);

// How a module is compiled once its key is on the resolving stack: as an import or as a parent.
using ModuleCompiler = Result<CompiledModule> (*)(Resolver&, const ModuleSource&, bool,
                                                  std::vector<std::string>&);
// The cycle, depth and module-count tests for a module not in the cache, then reading it, the
// template test, and `compile` while its key is on the resolving stack. Nothing is stored.
Result<CompiledModule> compile_module_at_key(Resolver& resolver, const std::string& key,
                                             const VarsMap* vars,
                                             std::vector<std::string>& warnings,
                                             ModuleCompiler compile);

// Locates the errors of an import directive at its line in the importing module.
CompileError attach_import_error_span(CompileError error, std::string_view path,
                                      std::string_view display_name, std::string_view text,
                                      uint64_t offset);

// The length from `offset` to the next line feed (not included) or to the end of the text.
uint64_t line_length_at(std::string_view text, uint64_t offset);

}  // namespace tyx
