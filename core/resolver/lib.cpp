#include "core/resolver/lib.h"

#include <memory>

#include "core/display.h"
#include "core/evaluator.h"
#include "core/format.h"
#include "core/frontmatter/frontmatter.h"
#include "core/lexer.h"
#include "core/parser.h"
#include "core/resolver/frontmatter_scope.h"
#include "core/resolver/inheritance.h"
#include "core/resolver/module_directives.h"
#include "core/resolver/output.h"
#include "core/resolver/source_path.h"
#include "core/validator.h"

namespace tyx {
namespace {

constexpr std::string_view kRootKey = "<source>";

bool body_holds_message_block(const std::vector<Node>& nodes);

// A @define body is not searched: a message block there renders only when the function is
// called, which cannot switch the whole template into messages mode.
bool holds_message_block(const Node& node) {
    if (node_is<Node::MessageBlock>(node)) return true;
    if (const auto* branch = node_if<Node::If>(node)) {
        if (body_holds_message_block(branch->then_body)) return true;
        for (const ElseIfBranch& elseif : branch->elseif_branches) {
            if (body_holds_message_block(elseif.body)) return true;
        }
        return branch->else_branch && body_holds_message_block(branch->else_branch->body);
    }
    if (const auto* loop = node_if<Node::For>(node)) {
        return body_holds_message_block(loop->body);
    }
    if (const auto* block = node_if<Node::Block>(node)) {
        return body_holds_message_block(block->body);
    }
    return false;
}

bool body_holds_message_block(const std::vector<Node>& nodes) {
    for (const Node& node : nodes) {
        if (holds_message_block(node)) return true;
    }
    return false;
}

// The nodes to render and the scope they are rendered in, after the module's own imports,
// directives and validation.
struct PreparedModule {
    std::shared_ptr<const std::vector<Node>> nodes;
    Scope scope;
    // For an extending template: its chain's frontmatter as written back in front of Markdown
    // output, where a plain template writes its own text.
    std::optional<std::string> extended_frontmatter;
    // For an extending template: its root's skeleton and the effective blocks, which a
    // rendering with a map expands into parts (expand_skeleton) instead of rendering `nodes`.
    std::optional<Skeleton> skeleton;
    BlockMap effective_blocks;
};

Result<PreparedModule> prepare_plain_module(Resolver& resolver,
                                            std::shared_ptr<const ParsedTemplate> tree,
                                            const ModuleSource& source, bool is_plain_markdown,
                                            std::vector<std::string>& warnings) {
    TYX_ASSIGN_OR_RETURN(
        FrontmatterScope prepared,
        build_frontmatter_scope(tree->frontmatter, is_plain_markdown, source.vars));
    TYX_TRY(bind_frontmatter_imports(resolver, prepared.imports, prepared.scope, source, warnings));
    TYX_ASSIGN_OR_RETURN(
        DirectiveNames names,
        process_module_directives(resolver, tree, prepared.scope, source, warnings));
    TYX_TRY(check_module_exports(names.exports, names.functions));
    std::shared_ptr<const std::vector<Node>> body(tree, &tree->body);
    TYX_TRY(validate_nodes(*body, prepared.scope, source.display_name, source.text));
    return PreparedModule{std::move(body), std::move(prepared.scope), {}, {}, {}};
}

// The frontmatter an extending template merges into its parent's; a text that does not hold a
// mapping counts as none, but one that does not parse fails before the chain is read.
Result<std::optional<YamlMapping>> extending_frontmatter(const ParsedTemplate& tree) {
    if (!tree.frontmatter) return std::optional<YamlMapping>();
    TYX_ASSIGN_OR_RETURN(YamlValue value, parse_frontmatter_yaml(*tree.frontmatter));
    if (!value.is_mapping()) return std::optional<YamlMapping>();
    return std::optional<YamlMapping>(value.as_mapping());
}

// An extending template is flattened into its root's skeleton by template inheritance.
Result<PreparedModule> prepare_extending_module(Resolver& resolver,
                                                std::shared_ptr<const ParsedTemplate> tree,
                                                const ModuleSource& source,
                                                std::vector<std::string>& warnings) {
    TYX_ASSIGN_OR_RETURN(std::optional<YamlMapping> frontmatter, extending_frontmatter(*tree));
    TYX_ASSIGN_OR_RETURN(ExtendedTemplate extended,
                         apply_extends(resolver, tree, source, frontmatter, warnings));
    TYX_TRY(validate_expanded_skeleton(extended, extended.scope));
    return PreparedModule{std::move(extended.flattened), std::move(extended.scope),
                          std::move(extended.frontmatter_text), std::move(extended.skeleton),
                          std::move(extended.effective_blocks)};
}

}  // namespace

bool contains_message_block(const Node& node) {
    return holds_message_block(node);
}

Result<CompileOutput> compile_entry_source(Resolver& resolver, const ModuleSource& source,
                                           bool is_plain_markdown, const CompileOptions& options,
                                           std::vector<std::string>& warnings) {
    // Every module imported during this call reads it, also when the entry renders messages.
    resolver.set_source_map_wanted(options.source_map);
    // The entry's tree, its functions and its map read the caller's text where it stands: the
    // caller keeps it for the whole call, and nothing the call returns views it.
    TYX_ASSIGN_OR_RETURN(ParsedTemplate parsed,
                         parse_source(SharedText::borrowed(source.text), source.display_name));
    auto tree = std::make_shared<const ParsedTemplate>(std::move(parsed));
    const bool extends = tree->extends.has_value();

    TYX_ASSIGN_OR_RETURN(
        PreparedModule module,
        extends ? prepare_extending_module(resolver, tree, source, warnings)
                : prepare_plain_module(resolver, tree, source, is_plain_markdown, warnings));

    // A tree without any @message block renders Markdown, whatever its body holds; an
    // extending template's nodes come from the whole chain.
    if ((extends || tree->has_message_blocks) && body_holds_message_block(*module.nodes)) {
        if (options.source_map) {
            warnings.emplace_back(
                "source maps are not supported for messages-mode templates (@message blocks); "
                "no source map will be generated");
        }
        TYX_ASSIGN_OR_RETURN(std::vector<Message> messages,
                             evaluate_messages(*module.nodes, module.scope, warnings,
                                               source.display_name, source.text, resolver.work()));
        return CompileOutput{std::move(messages)};
    }

    std::string rendered;
    std::optional<MapBuilder> builder;
    if (!options.source_map) {
        // Errors raised while rendering a flattened chain carry a span but no source: its nodes
        // come from several texts.
        TYX_ASSIGN_OR_RETURN(
            rendered, extends
                          ? evaluate(*module.nodes, module.scope, warnings, "", "", resolver.work())
                          : evaluate(*module.nodes, module.scope, warnings, source.display_name,
                                     source.text, resolver.work()));
    } else {
        std::optional<MappedText> mapped;
        if (extends) {
            // Each part is mapped against the module that wrote it; the root's skeleton is the
            // map's first source.
            const Skeleton& skeleton = *module.skeleton;
            TYX_ASSIGN_OR_RETURN(
                std::vector<BodyPart> parts,
                expand_skeleton(skeleton.nodes, module.effective_blocks, skeleton.source));
            TYX_ASSIGN_OR_RETURN(mapped, evaluate_parts(parts, module.scope, warnings,
                                                        MapBuilder(*skeleton.source.key,
                                                                   *skeleton.source.display_name,
                                                                   skeleton.source.text),
                                                        resolver.work()));
        } else {
            TYX_ASSIGN_OR_RETURN(
                mapped, evaluate_with_map(*module.nodes, module.scope, warnings,
                                          MapBuilder(source.key, source.display_name, tree->source),
                                          resolver.work()));
        }
        rendered = std::move(mapped->text);
        builder =
            apply_source_map_limits(std::move(mapped->builder), options.sources_content, warnings);
    }

    // The map's offsets were recorded in the rendered text, which finishing changes.
    std::string finished = finalize_output(builder ? rendered : std::move(rendered));
    const std::size_t finished_length = finished.size();
    std::string output = prepend_frontmatter(
        extends ? std::optional<std::string_view>(module.extended_frontmatter) : tree->frontmatter,
        std::move(finished));
    std::optional<SourceMap> map;
    if (builder) {
        map = finish_entry_source_map(std::move(*builder), rendered, output,
                                      output.size() - finished_length);
    }

    // Lets the file-system loader find a project root for the display paths of a map; a
    // failure here changes nothing the caller can see.
    if (!resolver.loader().knows_project_root() && !source.base_dir.empty()) {
        (void)resolver.loader().set_base_dir(source.base_dir);
    }
    if (map) relativize_source_map_sources(*map, resolver.loader());
    return CompileOutput{MarkdownOutput{std::move(output), std::move(map)}};
}

Result<CompileOutput> compile_source_text(Resolver& resolver, std::string_view text,
                                          const BaseDirectory& base_dir, const VarsMap* vars,
                                          const CompileOptions& options,
                                          std::vector<std::string>& warnings) {
    resolver.loader().set_canonical_base_dir(base_dir.path);
    resolver.push_resolving(std::string(kRootKey));
    ModuleSource source{kRootKey, kRootKey, text, base_dir.path, vars};
    Result<CompileOutput> outcome =
        compile_entry_source(resolver, source, false, options, warnings);
    std::optional<std::string> popped = resolver.pop_resolving();
    return check_entry_stack_pop(std::move(outcome), popped, kRootKey);
}

Result<CompileOutput> compile_source_text(Resolver& resolver, std::string_view text,
                                          std::string_view base_dir, const VarsMap* vars,
                                          const CompileOptions& options,
                                          std::vector<std::string>& warnings) {
    TYX_ASSIGN_OR_RETURN(std::string directory, resolver.loader().canonicalize(base_dir));
    return compile_source_text(resolver, text, BaseDirectory{std::move(directory)}, vars, options,
                               warnings);
}

namespace {

Status check_root_source_size(std::string_view text) {
    if (text.size() <= MAX_SOURCE_SIZE) return {};
    return CompileError::of(ErrorKind::ResourceLimit,
                            "file too large (" + decimal(text.size()) + " bytes, max " +
                                decimal(MAX_SOURCE_SIZE) + " bytes): " + std::string(kRootKey));
}

}  // namespace

Result<CompileOutput> compile_root_source(Resolver& resolver, std::string_view text,
                                          std::string_view base_dir, const VarsMap* vars,
                                          std::vector<std::string>& warnings) {
    TYX_TRY(check_root_source_size(text));
    return compile_source_text(resolver, text, base_dir, vars, CompileOptions{}, warnings);
}

Result<CompileOutput> compile_root_source(Resolver& resolver, std::string_view text,
                                          const BaseDirectory& base_dir, const VarsMap* vars,
                                          std::vector<std::string>& warnings) {
    TYX_TRY(check_root_source_size(text));
    return compile_source_text(resolver, text, base_dir, vars, CompileOptions{}, warnings);
}

Result<CompileOutput> compile_entry_key(Resolver& resolver, std::string_view key,
                                        const VarsMap* vars, const CompileOptions& options,
                                        std::vector<std::string>& warnings) {
    ModuleLoader& loader = resolver.loader();
    TYX_ASSIGN_OR_RETURN(std::string text, loader.read_source(key));
    const bool is_plain_markdown = loader.is_plain_markdown(key);
    TYX_TRY(check_tyx_module(key, text));
    resolver.push_resolving(std::string(key));
    std::string base_dir = loader.parent_dir(key);
    std::string display_name = display_source_path_with_root(key, loader);
    ModuleSource source{key, display_name, text, base_dir, vars};
    Result<CompileOutput> outcome =
        compile_entry_source(resolver, source, is_plain_markdown, options, warnings);
    std::optional<std::string> popped = resolver.pop_resolving();
    return check_entry_stack_pop(std::move(outcome), popped, key);
}

Result<CompileOutput> compile_entry_key_without_map(Resolver& resolver, std::string_view key,
                                                    const VarsMap* vars,
                                                    std::vector<std::string>& warnings) {
    TYX_ASSIGN_OR_RETURN(CompileOutput output,
                         compile_entry_key(resolver, key, vars, CompileOptions{}, warnings));
    if (auto* markdown = std::get_if<MarkdownOutput>(&output.body)) markdown->source_map.reset();
    return output;
}

Result<CompileOutput> compile_entry_path(Resolver& resolver, std::string_view path,
                                         const VarsMap* vars, std::vector<std::string>& warnings) {
    TYX_ASSIGN_OR_RETURN(std::string key, resolver.loader().resolve(path));
    return compile_entry_key_without_map(resolver, key, vars, warnings);
}

CoreCompileResult CoreCompileResult::from_output(CompileOutput output,
                                                 std::vector<std::string> warnings,
                                                 std::vector<std::string> dependencies) {
    CoreCompileResult result;
    if (auto* markdown = std::get_if<MarkdownOutput>(&output.body)) {
        result.body = std::move(markdown->text);
        result.source_map = std::move(markdown->source_map);
    } else {
        result.body = std::move(std::get<std::vector<Message>>(output.body));
    }
    result.warnings = std::move(warnings);
    result.dependencies = std::move(dependencies);
    return result;
}

namespace {

// `out` holds no array or object.
void write_source_map(const SourceMap& map, nlohmann::json& out) {
    out = nlohmann::json::object();
    if (map.file) out["file"] = *map.file;
    out["mappings"] = map.mappings;
    set_text_array(out, "names", map.names);
    set_text_array(out, "sources", map.sources);
    if (map.sources_content) set_text_array(out, "sourcesContent", *map.sources_content);
    out["version"] = 3;
}

}  // namespace

OwnedJson CoreCompileResult::to_canonical_json(const CoreCompileResult& result) {
    // nlohmann's default object keeps its members ordered by key bytes. Each part is written
    // where it ends up, inside the owned value.
    OwnedJson owned(nlohmann::json::object());
    nlohmann::json& canonical = *owned;
    nlohmann::json& warnings = canonical["warnings"] = nlohmann::json::array();
    for (const std::string& warning : result.warnings)
        warnings.push_back(escape_for_display(std::string_view(warning)));
    set_text_array(canonical, "dependencies", result.dependencies);
    if (const auto* text = std::get_if<std::string>(&result.body)) {
        canonical["kind"] = "markdown";
        canonical["output"] = *text;
    } else {
        canonical["kind"] = "messages";
        nlohmann::json& messages = canonical["messages"] = nlohmann::json::array();
        for (const Message& message : std::get<std::vector<Message>>(result.body)) {
            nlohmann::json& written = messages.emplace_back(nlohmann::json::object());
            written["content"] = message.content;
            written["role"] = message.role;
        }
    }
    if (result.source_map) write_source_map(*result.source_map, canonical["sourceMap"]);
    return owned;
}

OwnedJson CoreCompileResult::source_map_json(const SourceMap& map) {
    OwnedJson owned;
    write_source_map(map, *owned);
    return owned;
}

}  // namespace tyx
