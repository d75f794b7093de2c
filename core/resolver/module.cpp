#include "core/resolver/module.h"

#include <algorithm>

#include "core/display.h"
#include "core/format.h"
#include "core/lexer.h"
#include "core/resolver/frontmatter_scope.h"
#include "core/resolver/inheritance.h"
#include "core/resolver/module_directives.h"
#include "core/resolver/source_path.h"
#include "core/text.h"
#include "core/validator.h"

namespace tyx {

SharedSource shared_source_of(const ModuleSource& source, const ParsedTemplate& tree) {
    return SharedSource{std::make_shared<const std::string>(source.key),
                        std::make_shared<const std::string>(source.display_name), tree.source};
}

bool is_importable(const CompiledModule& module) {
    return is_exported(module, "prompt");
}

bool is_exported(const CompiledModule& module, std::string_view name) {
    if (module.only_reexports) return exported_functions(module).contains(name);
    return !module.has_export_list || module.exports.contains(name);
}

std::shared_ptr<const FunctionDef> lookup_exported_function(const CompiledModule& module,
                                                            std::string_view name) {
    const FunctionMap& functions = exported_functions(module);
    auto found = functions.find(name);
    return found == functions.end() ? nullptr : found->second;
}

const FunctionMap& module_functions(const CompiledModule& module) {
    return module.only_reexports ? exported_functions(module) : module.functions;
}

const FunctionMap& exported_functions(const CompiledModule& module) {
    static const FunctionMap kNone;
    return module.exported == nullptr ? kNone : module.exported->functions();
}

void collect_exported_functions(CompiledModule& module) {
    if (module.only_reexports) return;
    FunctionMap exported;
    for (const auto& [name, function] : module.functions) {
        if (is_exported(module, name)) exported.emplace(name, function);
    }
    module.exported = std::make_shared<const ExportedFunctions>(std::move(exported));
}

ImportedModule build_imported_module(const CompiledModule& module) {
    ImportedModule imported;
    const bool importable = is_importable(module);
    if (importable) imported.body_text = module.body_text;
    imported.body_hidden = module.body_text != nullptr && !importable;
    imported.exported_functions = module.exported;
    if (importable) imported.body_mappings = module.body_mappings;
    return imported;
}

std::optional<ScopeImports> scope_imports(const Scope& scope, const std::vector<Node>& body) {
    const bool imports = std::any_of(body.begin(), body.end(),
                                     [](const Node& node) { return node_is<Node::Import>(node); });
    if (!imports) return std::nullopt;
    ScopeImports names;
    for (const ScopeFrame& frame : scope.frames()) {
        for (const auto& [name, function] : frame.functions)
            names.functions.insert_or_assign(name, function);
        for (const auto& [name, module] : frame.import_aliases)
            names.aliases.insert(name);
    }
    if (const Value* prompt = scope.lookup_variable("prompt")) names.prompt = *prompt;
    return names;
}

namespace {

// An import binds `prompt` only to a string value of its own, and a copy of a value shares its
// text, so the text's address tells whether the pass bound it.
bool binds_prompt(const std::optional<Value>& before, const Value* after) {
    if (after == nullptr || !after->is_string()) return false;
    return !before || !before->is_string() || &before->as_string() != &after->as_string();
}

}  // namespace

std::shared_ptr<const DirectiveImports> bound_directive_imports(
    const Scope& scope, const std::optional<ScopeImports>& imports, const FunctionMap& own,
    std::string_view key) {
    if (!imports) return nullptr;
    const ScopeImports& before = *imports;
    DirectiveImports bound;
    FunctionMap visible;
    for (const ScopeFrame& frame : scope.frames()) {
        for (const auto& [name, function] : frame.functions)
            visible.insert_or_assign(name, function);
        for (const auto& [name, module] : frame.import_aliases) {
            if (!before.aliases.contains(name)) bound.aliases.insert_or_assign(name, module);
        }
    }
    for (const auto& [name, function] : visible) {
        const auto was = before.functions.find(name);
        if (was != before.functions.end() && was->second == function) continue;
        const auto defined = own.find(name);
        if (defined != own.end() && defined->second == function) continue;
        bound.functions.insert_or_assign(name, function);
        if (was != before.functions.end()) bound.replaced.insert_or_assign(name, was->second);
    }
    const Value* prompt = scope.lookup_variable("prompt");
    if (binds_prompt(before.prompt, prompt)) bound.prompt = *prompt;
    if (bound.aliases.empty() && bound.functions.empty() && !bound.prompt) return nullptr;
    bound.key = std::string(key);
    return std::make_shared<const DirectiveImports>(std::move(bound));
}

Result<ParsedModule> parse_module(const ModuleSource& source) {
    // The tree's texts view this copy, which the tree and the module's functions share.
    auto text = std::make_shared<const std::string>(source.text);
    TYX_ASSIGN_OR_RETURN(ParsedTemplate parsed, parse_source(std::move(text), source.display_name));
    ParsedModule module{std::make_shared<const ParsedTemplate>(std::move(parsed)), {}, {}};
    if (module.tree->frontmatter) {
        TYX_ASSIGN_OR_RETURN(module.frontmatter_value,
                             parse_frontmatter_yaml(*module.tree->frontmatter));
        if (module.frontmatter_value->is_mapping()) {
            module.frontmatter = module.frontmatter_value->as_mapping();
        }
    }
    return module;
}

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

Result<CompiledModule> compile_module_at_key(Resolver& resolver, const std::string& key,
                                             const VarsMap* vars,
                                             std::vector<std::string>& warnings,
                                             ModuleCompiler compile) {
    if (resolver.is_resolving(key)) {
        return CompileError::of(ErrorKind::CircularImport,
                                format_cycle_chain(resolver.resolving_stack(), key));
    }
    if (resolver.resolving_stack().size() >= MAX_IMPORT_DEPTH) {
        return CompileError::of(ErrorKind::Import, "import depth exceeds maximum of " +
                                                       decimal(MAX_IMPORT_DEPTH) +
                                                       " (possible deep chain)");
    }
    if (resolver.module_count() >= MAX_MODULES) {
        return CompileError::of(ErrorKind::ResourceLimit,
                                "module count exceeds maximum of " + decimal(MAX_MODULES) + " (" +
                                    decimal(resolver.module_count()) + " modules resolved)");
    }
    ModuleLoader& loader = resolver.loader();
    TYX_ASSIGN_OR_RETURN(std::string text, loader.read_source(key));
    const bool is_plain_markdown = loader.is_plain_markdown(key);
    TYX_TRY(check_tyx_module(key, text));

    resolver.push_resolving(key);
    std::string base_dir = loader.parent_dir(key);
    std::string display_name = display_source_path_with_root(key, loader);
    ModuleSource source{key, display_name, text, base_dir, vars};
    Result<CompiledModule> compiled = compile(resolver, source, is_plain_markdown, warnings);
    std::optional<std::string> popped = resolver.pop_resolving();
    return check_entry_stack_pop(std::move(compiled), popped, key);
}

Result<CompiledModulePtr> resolve_import(Resolver& resolver, std::string_view directory,
                                         std::string_view path, const VarsMap* vars,
                                         std::vector<std::string>& warnings) {
    TYX_TRY(check_import_path(path));
    TYX_ASSIGN_OR_RETURN(std::string key, resolver.loader().resolve_relative(directory, path));
    // A module already compiled is shared: importing it again is never a cycle.
    const CompiledModulePtr* cached = resolver.find_module(key);
    if (cached != nullptr && !(*cached)->compiled_as_parent) return *cached;
    TYX_ASSIGN_OR_RETURN(CompiledModule module, compile_module_at_key(resolver, key, vars, warnings,
                                                                      compile_imported_module));

    // A module compiled first as a parent keeps what its children already rely on.
    if (const CompiledModulePtr* parent = resolver.find_module(key)) {
        module.blocks = (*parent)->blocks;
        module.nodes = (*parent)->nodes;
        module.source = (*parent)->source;
    }
    collect_exported_functions(module);
    auto shared = std::make_shared<const CompiledModule>(std::move(module));
    resolver.store_module(std::move(key), shared);
    return CompiledModulePtr(std::move(shared));
}

uint64_t line_length_at(std::string_view text, uint64_t offset) {
    if (offset >= text.size()) return 0;
    size_t newline = text.find('\n', static_cast<size_t>(offset));
    if (newline == std::string_view::npos) newline = text.size();
    return newline - offset;
}

CompileError attach_import_error_span(CompileError error, std::string_view path,
                                      std::string_view display_name, std::string_view text,
                                      uint64_t offset) {
    if (error.location.span) return error;
    const uint64_t length = line_length_at(text, offset);
    switch (error.kind) {
        case ErrorKind::CircularImport:
        case ErrorKind::ModuleNotFound:
            error.location = make_error_location(display_name, text, offset, length);
            return error;
        case ErrorKind::FileNotFound:
            return CompileError::at(ErrorKind::FileNotFound, std::string(path), display_name, text,
                                    offset, length);
        default:
            return error;
    }
}

}  // namespace tyx
