#include "core/resolver/module_directives.h"

#include "core/evaluator.h"
#include "core/format.h"
#include "core/resolver/module.h"

namespace tyx {
namespace {

class DirectivePass {
  public:
    DirectivePass(Resolver& resolver, const std::shared_ptr<const ParsedTemplate>& tree,
                  Scope& scope, const ModuleSource& source, std::vector<std::string>& warnings,
                  const SharedSource* shared_source)
        : resolver_(resolver), tree_(tree), scope_(scope), source_(source), warnings_(warnings) {
        if (shared_source != nullptr) shared_source_ = *shared_source;
    }

    Result<DirectiveNames> run() {
        for (const Node& node : tree_->body) {
            Status step =
                visit_node([this](const auto& directive) { return visit(directive); }, node);
            if (!step.ok()) return std::move(step).take_error();
        }
        return std::move(names_);
    }

  private:
    template <class Other>
    Status visit(const Other&) {
        return {};
    }

    Status visit(const Node::Define& node) {
        if (names_.has_function(node.name) || names_.block_names.contains(node.name)) {
            return at_name(node.name, node.offset);
        }
        names_.expand();
        if (!shared_source_) shared_source_ = shared_source_of(source_, *tree_);
        FunctionDef function;
        // The parameters view the tree, which the body keeps alive.
        function.params = node.params;
        function.default_values = make_default_values(node.params);
        function.body = std::shared_ptr<const std::vector<Node>>(tree_, &node.body);
        function.source = shared_source_;
        std::shared_ptr<const FunctionDef> shared = scope_.make_function(std::move(function));
        names_.functions[node.name] = shared;
        scope_.define_function(node.name, std::move(shared));
        return {};
    }

    Status visit(const Node::Import& node) {
        return std::visit([&](const auto& kind) { return import(kind, node.offset); },
                          node.kind.value);
    }

    Status import(const ImportKind::Alias& kind, uint64_t offset) {
        // Tested before the path is resolved, so a second alias reads nothing.
        if (scope_.lookup_import_alias(kind.alias) != nullptr) {
            return CompileError::at(ErrorKind::NameCollision, std::string(kind.alias),
                                    source_.display_name, source_.text, offset, kind.alias.size());
        }
        TYX_ASSIGN_OR_RETURN(CompiledModulePtr module, resolve_located(kind.path, offset));
        scope_.define_import_alias(kind.alias, build_imported_module(*module));
        return {};
    }

    Status import(const ImportKind::Whole& kind, uint64_t offset) {
        TYX_ASSIGN_OR_RETURN(CompiledModulePtr module, resolve_located(kind.path, offset));
        for (const auto& [name, function] : exported_functions(*module)) {
            if (scope_.lookup_function(name) != nullptr) return at_line(name, offset);
            scope_.define_function(name, function);
        }
        define_prompt(*module);
        return {};
    }

    Status import(const ImportKind::Selective& kind, uint64_t offset) {
        TYX_ASSIGN_OR_RETURN(CompiledModulePtr module, resolve_located(kind.path, offset));
        for (const std::string_view name : kind.names) {
            if (name == "prompt") {
                if (!define_prompt(*module)) return not_exported(name, kind.path, offset);
                continue;
            }
            std::shared_ptr<const FunctionDef> function = lookup_exported_function(*module, name);
            if (!function) return not_exported(name, kind.path, offset);
            scope_.define_function(name, std::move(function));
        }
        return {};
    }

    Status visit(const Node::Export& node) {
        names_.has_export_list = true;
        return std::visit([&](const auto& kind) { return exported(kind, node.offset); },
                          node.kind.value);
    }

    Status exported(const ExportKind::Name& kind, uint64_t) {
        names_.expand();
        names_.exports.emplace(kind.name);
        return {};
    }

    Status exported(const ExportKind::ReexportName& kind, uint64_t) {
        TYX_ASSIGN_OR_RETURN(CompiledModulePtr module, resolve(kind.path));
        std::shared_ptr<const FunctionDef> function = lookup_exported_function(*module, kind.name);
        if (!function) {
            return CompileError::of(
                ErrorKind::Export,
                cat("cannot re-export '", kind.name, "': not exported from \"", kind.path, "\""));
        }
        names_.expand();
        names_.functions[kind.name] = std::move(function);
        names_.exports.emplace(kind.name);
        return {};
    }

    // Re-exported functions are offered to importers only: the module does not call them.
    Status exported(const ExportKind::ReexportAll& kind, uint64_t offset) {
        TYX_ASSIGN_OR_RETURN(CompiledModulePtr module, resolve(kind.path));
        if (names_.functions.empty() && names_.exports.empty() && names_.reexported == nullptr &&
            module->exported != nullptr) {
            names_.reexported = module->exported;
            return {};
        }
        names_.expand();
        for (const auto& [name, function] : exported_functions(*module)) {
            if (names_.functions.contains(name)) return at_line(name, offset);
            names_.functions.emplace(name, function);
            names_.exports.insert(name);
        }
        return {};
    }

    Status visit(const Node::Block& node) {
        if (++block_count_ > MAX_BLOCK_DECLARATIONS) {
            return CompileError::of(
                ErrorKind::ResourceLimit,
                "module has more than " + decimal(MAX_BLOCK_DECLARATIONS) + " @block declarations");
        }
        if (names_.block_names.contains(node.name) || names_.has_function(node.name)) {
            return at_name(node.name, node.offset);
        }
        names_.block_names.emplace(node.name);
        return {};
    }

    Result<CompiledModulePtr> resolve(std::string_view path) {
        return resolver_.import_module(source_.base_dir, path, source_.vars, warnings_);
    }

    Result<CompiledModulePtr> resolve_located(std::string_view path, uint64_t offset) {
        Result<CompiledModulePtr> module = resolve(path);
        if (module.ok()) return module;
        return attach_import_error_span(std::move(module).take_error(), path, source_.display_name,
                                        source_.text, offset);
    }

    bool define_prompt(const CompiledModule& module) {
        if (!is_importable(module) || module.body_text == nullptr) return false;
        scope_.define_variable("prompt", Value::string(*module.body_text));
        return true;
    }

    // From the directive's offset, as long as the name.
    CompileError at_name(std::string_view name, uint64_t offset) const {
        return CompileError::at(ErrorKind::NameCollision, std::string(name), source_.display_name,
                                source_.text, offset, name.size());
    }

    CompileError at_line(std::string_view name, uint64_t offset) const {
        return CompileError::at(ErrorKind::NameCollision, std::string(name), source_.display_name,
                                source_.text, offset, line_length_at(source_.text, offset));
    }

    CompileError not_exported(std::string_view name, std::string_view path, uint64_t offset) const {
        return make_import_error_at(cat("'", name, "' is not exported from '", path, "'"),
                                    source_.display_name, source_.text, offset,
                                    line_length_at(source_.text, offset));
    }

    Resolver& resolver_;
    const std::shared_ptr<const ParsedTemplate>& tree_;
    Scope& scope_;
    const ModuleSource& source_;
    std::vector<std::string>& warnings_;
    DirectiveNames names_;
    std::optional<SharedSource> shared_source_;
    size_t block_count_ = 0;
};

}  // namespace

void DirectiveNames::expand() {
    if (reexported == nullptr) return;
    for (const auto& [name, function] : reexported->functions()) {
        functions.emplace(name, function);
        exports.insert(name);
    }
    reexported = nullptr;
}

Result<DirectiveNames> process_module_directives(Resolver& resolver,
                                                 const std::shared_ptr<const ParsedTemplate>& tree,
                                                 Scope& scope, const ModuleSource& source,
                                                 std::vector<std::string>& warnings,
                                                 const SharedSource* shared_source) {
    return DirectivePass(resolver, tree, scope, source, warnings, shared_source).run();
}

Status check_module_exports(const std::set<std::string, std::less<>>& exports,
                            const FunctionMap& functions) {
    for (const std::string& name : exports) {
        if (name == "prompt" || functions.contains(name)) continue;
        return CompileError::of(ErrorKind::Export,
                                "cannot export '" + name + "': not defined in this module");
    }
    return {};
}

}  // namespace tyx
