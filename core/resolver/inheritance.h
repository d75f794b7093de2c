// Template inheritance: a template whose first directive is `@extends "path"` fills the @block
// placeholders of the root template at the top of its chain, and inherits the frontmatter, the
// frontmatter imports and the functions of its parent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/evaluator.h"
#include "core/frontmatter/frontmatter.h"
#include "core/parser.h"
#include "core/resolver/module.h"
#include "core/resolver/resolver.h"
#include "core/result.h"
#include "core/scope.h"

namespace tyx {

// The top-level nodes of the root template of a chain, with the root's source.
struct Skeleton {
    std::shared_ptr<const std::vector<Node>> nodes;
    SharedSource source;
};

// What the template being compiled becomes once its chain is applied.
struct ExtendedTemplate {
    // The expanded skeleton copied into one list: what is tested for @message blocks and
    // rendered without a map.
    std::shared_ptr<const std::vector<Node>> flattened;
    Scope scope;
    // The root's block names in the root's order, each with the lowest override.
    BlockMap effective_blocks;
    Skeleton skeleton;
    // Written in front of Markdown output; none when the merged mapping writes nothing.
    std::optional<std::string> frontmatter_text;
    // The frontmatter of the whole chain; none when it has no entries.
    std::optional<YamlMapping> merged_frontmatter;
    // The frontmatter imports of the chain, the root's first and the template's own last.
    std::vector<FrontmatterImportList> chain_imports;
    // What the @import lines of the chain's root bound; null when nothing.
    std::shared_ptr<const DirectiveImports> directive_imports;
    // The parent's functions with the template's own over them.
    FunctionMap functions;
    std::set<std::string, std::less<>> exports;
    bool has_export_list = false;
};

// Applies the `@extends` of `parsed`, compiled from `source`. `frontmatter` is the template's
// own mapping, none when it has none or its text holds no mapping.
Result<ExtendedTemplate> apply_extends(Resolver& resolver,
                                       const std::shared_ptr<const ParsedTemplate>& parsed,
                                       const ModuleSource& source,
                                       const std::optional<YamlMapping>& frontmatter,
                                       std::vector<std::string>& warnings);

// The shared parent of that module key, compiled as a parent on first use; any module already
// in the cache under the key is reused as it is.
Result<CompiledModulePtr> resolve_extends_parent(Resolver& resolver, std::string key,
                                                 const VarsMap* vars,
                                                 std::vector<std::string>& warnings);

// Compiles a parent, whose key is on the resolving stack: its imports, functions and blocks,
// without validating or rendering its body.
Result<CompiledModule> compile_parent_module(Resolver& resolver, const ModuleSource& source,
                                             bool is_plain_markdown,
                                             std::vector<std::string>& warnings);

// The chain above a parent that itself extends.
struct ParentChain {
    BlockMap effective_blocks;
    Skeleton skeleton;
    // The grandparent's mapping merged with the parent's; none when it has no entries.
    std::optional<YamlMapping> merged_frontmatter;
    // The grandparent's functions, under which the parent's own are defined.
    FunctionMap functions;
    // The frontmatter imports of the chain above the parent, the root's first.
    std::vector<FrontmatterImportList> chain_imports;
    // What the @import lines of the chain's root bound; null when nothing.
    std::shared_ptr<const DirectiveImports> directive_imports;
};

// `source` and `shared_source` are the parent's; `frontmatter` its own mapping and `body` its
// top-level nodes.
Result<ParentChain> apply_parent_extends(Resolver& resolver, const ParsedTemplate& parsed,
                                         const std::optional<YamlMapping>& frontmatter,
                                         const std::shared_ptr<const std::vector<Node>>& body,
                                         const ModuleSource& source,
                                         const SharedSource& shared_source,
                                         std::vector<std::string>& warnings);

// Only @block overrides and blank text may stand at the top level of an extending template.
Status check_extending_template_body(const std::vector<Node>& body, const ModuleSource& source);

// The parent's blocks with the template's overrides put in their places.
Result<BlockMap> build_effective_blocks(const BlockMap& parent_blocks,
                                        const std::shared_ptr<const std::vector<Node>>& body,
                                        const SharedSource& source);

// The top-level @block declarations of a root template, in source order.
BlockMap collect_block_declarations(const std::shared_ptr<const std::vector<Node>>& body,
                                    const std::set<std::string, std::less<>>& block_names,
                                    const SharedSource& source);

struct MergedFrontmatter {
    Scope scope;
    YamlMapping mapping;
    // The imports lists bound into the scope, in the order bound, the template's own last.
    std::vector<FrontmatterImportList> chain_imports;
};

// The template's scope: the merged frontmatter, the caller's variables, the frontmatter imports
// of the parent's chain and of the template, the parent's functions, and what the @import lines
// of the chain's root bound.
Result<MergedFrontmatter> merge_parent_frontmatter(Resolver& resolver, const CompiledModule& parent,
                                                   const std::optional<YamlMapping>& child,
                                                   std::string_view parent_key,
                                                   const ModuleSource& source,
                                                   std::vector<std::string>& warnings);

// The mapping as one block-style YAML document; none when it writes nothing.
Result<std::optional<std::string>> emit_frontmatter_yaml(const YamlMapping& mapping);

// One part per top-level skeleton node: a @block becomes the body of its entry in `blocks`, any
// other node a part of its own with the skeleton's source.
Result<std::vector<BodyPart>> expand_skeleton(
    const std::shared_ptr<const std::vector<Node>>& skeleton_nodes, const BlockMap& blocks,
    const SharedSource& skeleton_source);
// The nodes of all parts, copied in order into one list, which keeps the trees they view alive.
Result<std::shared_ptr<const std::vector<Node>>> flatten_skeleton(
    const std::shared_ptr<const std::vector<Node>>& skeleton_nodes, const BlockMap& blocks,
    const SharedSource& skeleton_source);

// Validates every part against the module that wrote it.
Status validate_expanded_skeleton(const ExtendedTemplate& extended, Scope& scope);

}  // namespace tyx
