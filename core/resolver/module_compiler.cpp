#include "core/resolver/module_compiler.h"

#include "core/display.h"
#include "core/evaluator.h"
#include "core/format.h"
#include "core/resolver/frontmatter_scope.h"
#include "core/resolver/inheritance.h"
#include "core/resolver/module_directives.h"
#include "core/resolver/source_path.h"
#include "core/text.h"
#include "core/validator.h"

namespace tyx {

namespace {

std::shared_ptr<const std::string> body_text_of(std::string rendered) {
    if (is_white_space_only(rendered)) return nullptr;
    return std::make_shared<const std::string>(std::move(rendered));
}

Status compile_plain_module(Resolver& resolver, const std::shared_ptr<const ParsedTemplate>& tree,
                            const YamlValue* frontmatter, const ModuleSource& source,
                            bool is_plain_markdown, std::vector<std::string>& warnings,
                            CompiledModule& module) {
    TYX_ASSIGN_OR_RETURN(
        FrontmatterScope prepared,
        build_frontmatter_scope(tree->frontmatter, frontmatter, is_plain_markdown, source.vars));
    TYX_TRY(bind_frontmatter_imports(resolver, prepared.imports, prepared.scope, source, warnings));
    std::shared_ptr<const std::vector<Node>> body(tree, &tree->body);
    SharedSource shared = shared_source_of(source, *tree);
    const std::optional<ScopeImports> before = scope_imports(prepared.scope, *body);
    TYX_ASSIGN_OR_RETURN(
        DirectiveNames names,
        process_module_directives(resolver, tree, prepared.scope, source, warnings, &shared));
    TYX_TRY(check_module_exports(names.exports, names.functions));
    TYX_TRY(validate_nodes(*body, prepared.scope, source.display_name, source.text));
    // Kept for a template that extends this module once it was imported.
    module.directive_imports = bound_directive_imports(
        prepared.scope, before,
        names.reexported != nullptr ? names.reexported->functions() : names.functions, source.key);
    module.functions = std::move(names.functions);
    module.exports = std::move(names.exports);
    module.has_export_list = names.has_export_list;
    if (names.reexported != nullptr) {
        module.exported = std::move(names.reexported);
        module.only_reexports = true;
    }

    // Rendered once, whether or not an importer ever pastes it; with mappings only when a map
    // is wanted and an importer can paste the body at all.
    if (is_importable(module) && resolver.source_map_wanted()) {
        TYX_ASSIGN_OR_RETURN(
            MappedText mapped,
            evaluate_with_map(*body, prepared.scope, warnings,
                              MapBuilder(source.key, source.display_name, shared.text),
                              resolver.work()));
        module.body_text = body_text_of(std::move(mapped.text));
        if (mapped.builder.segments_overflowed()) {
            warnings.push_back("source map segment cap (" + decimal(MAX_SOURCE_MAP_SEGMENTS) +
                               " segments) exceeded in imported module '" +
                               escape_for_display(source.display_name) +
                               "'; no source map will be generated");
        } else if (module.body_text) {
            module.body_mappings = pack_module_source_map(std::move(mapped.builder));
        }
    } else {
        TYX_ASSIGN_OR_RETURN(std::string rendered,
                             evaluate(*body, prepared.scope, warnings, source.display_name,
                                      source.text, resolver.work()));
        module.body_text = body_text_of(std::move(rendered));
    }
    module.blocks = collect_block_declarations(body, names.block_names, shared);
    module.nodes = std::move(body);
    module.source = std::move(shared);
    return {};
}

// An extending module renders its flattened chain; its parts come from several texts, so
// errors carry a span but no source, and it never records mappings.
Status compile_extending_module(Resolver& resolver,
                                const std::shared_ptr<const ParsedTemplate>& tree,
                                const std::optional<YamlMapping>& frontmatter,
                                const ModuleSource& source, std::vector<std::string>& warnings,
                                CompiledModule& module) {
    TYX_ASSIGN_OR_RETURN(ExtendedTemplate extended,
                         apply_extends(resolver, tree, source, frontmatter, warnings));
    TYX_TRY(validate_expanded_skeleton(extended, extended.scope));
    TYX_ASSIGN_OR_RETURN(std::string rendered, evaluate(*extended.flattened, extended.scope,
                                                        warnings, "", "", resolver.work()));
    module.body_text = body_text_of(std::move(rendered));
    module.blocks = std::move(extended.effective_blocks);
    module.functions = std::move(extended.functions);
    module.exports = std::move(extended.exports);
    module.has_export_list = extended.has_export_list;
    module.nodes = std::move(extended.skeleton.nodes);
    module.source = std::move(extended.skeleton.source);
    // The whole chain's frontmatter, as a parent that extends keeps it: a child extending this
    // module then inherits the same keys whether the module was first imported or first
    // extended.
    module.frontmatter = std::move(extended.merged_frontmatter);
    module.chain_imports = std::move(extended.chain_imports);
    module.directive_imports = std::move(extended.directive_imports);
    return {};
}

}  // namespace

Result<CompiledModule> compile_imported_module(Resolver& resolver, const ModuleSource& source,
                                               bool is_plain_markdown,
                                               std::vector<std::string>& warnings) {
    TYX_ASSIGN_OR_RETURN(ParsedModule parsed, parse_module(source));
    CompiledModule module;
    if (parsed.tree->extends) {
        TYX_TRY(compile_extending_module(resolver, parsed.tree, parsed.frontmatter, source,
                                         warnings, module));
    } else {
        TYX_TRY(compile_plain_module(resolver, parsed.tree, parsed.parsed_frontmatter(), source,
                                     is_plain_markdown, warnings, module));
        module.frontmatter = std::move(parsed.frontmatter);
    }
    return module;
}

Result<CompiledModulePtr> Resolver::import_module(std::string_view directory, std::string_view path,
                                                  const VarsMap* vars,
                                                  std::vector<std::string>& warnings) {
    TYX_TRY(check_import_path(path));
    TYX_ASSIGN_OR_RETURN(std::string key, loader().resolve_relative(directory, path));
    // A module already compiled is shared: importing it again is never a cycle.
    const CompiledModulePtr* cached = find_module(key);
    if (cached != nullptr && !(*cached)->compiled_as_parent) return *cached;
    TYX_ASSIGN_OR_RETURN(CompiledModule module, compile_module_at_key(*this, key, vars, warnings,
                                                                      compile_imported_module));

    // A module compiled first as a parent keeps what its children already rely on.
    if (const CompiledModulePtr* parent = find_module(key)) {
        module.blocks = (*parent)->blocks;
        module.nodes = (*parent)->nodes;
        module.source = (*parent)->source;
    }
    collect_exported_functions(module);
    auto shared = std::make_shared<const CompiledModule>(std::move(module));
    store_module(std::move(key), shared);
    return CompiledModulePtr(std::move(shared));
}

}  // namespace tyx
