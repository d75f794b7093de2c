// The compile pipeline and its entry points, and the canonical result of a compilation.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/evaluator.h"
#include "core/owned_json.h"
#include "core/parser.h"
#include "core/resolver/resolver.h"
#include "core/result.h"
#include "core/sourcemap.h"

namespace tyx {

// The per-call switches of the pipeline; sources_content is only ever set with source_map.
struct CompileOptions {
    bool source_map = false;
    bool sources_content = false;
};

struct MarkdownOutput {
    std::string text;
    // Present only when a map was asked for and survived its limits.
    std::optional<SourceMap> source_map;
};

// What a successful compilation yields: Markdown, or the chat messages in document order.
struct CompileOutput {
    std::variant<MarkdownOutput, std::vector<Message>> body;

    bool is_markdown() const { return body.index() == 0; }
};

// A @message block at any depth of the node, outside @define bodies.
bool contains_message_block(const Node& node);

// Compiles the entry module, whose key the caller has pushed on the resolving stack.
Result<CompileOutput> compile_entry_source(Resolver& resolver, const ModuleSource& source,
                                           bool is_plain_markdown, const CompileOptions& options,
                                           std::vector<std::string>& warnings);

// A template given as text, compiled from the canonical base directory; what `compile` runs
// after its own size check, with the caller's options.
Result<CompileOutput> compile_source_text(Resolver& resolver, std::string_view text,
                                          std::string_view base_dir, const VarsMap* vars,
                                          const CompileOptions& options,
                                          std::vector<std::string>& warnings);
// The same from a base directory that resolve_base_dir gave, which is not resolved again.
Result<CompileOutput> compile_source_text(Resolver& resolver, std::string_view text,
                                          const BaseDirectory& base_dir, const VarsMap* vars,
                                          const CompileOptions& options,
                                          std::vector<std::string>& warnings);
// The same with the size check and no map.
Result<CompileOutput> compile_root_source(Resolver& resolver, std::string_view text,
                                          std::string_view base_dir, const VarsMap* vars,
                                          std::vector<std::string>& warnings);
Result<CompileOutput> compile_root_source(Resolver& resolver, std::string_view text,
                                          const BaseDirectory& base_dir, const VarsMap* vars,
                                          std::vector<std::string>& warnings);
// An entry named by a loader key.
Result<CompileOutput> compile_entry_key(Resolver& resolver, std::string_view key,
                                        const VarsMap* vars, const CompileOptions& options,
                                        std::vector<std::string>& warnings);
Result<CompileOutput> compile_entry_key_without_map(Resolver& resolver, std::string_view key,
                                                    const VarsMap* vars,
                                                    std::vector<std::string>& warnings);
// An entry file path, turned into a key by the loader first.
Result<CompileOutput> compile_entry_path(Resolver& resolver, std::string_view path,
                                         const VarsMap* vars, std::vector<std::string>& warnings);

// What a successful compile call hands to the binding.
struct CoreCompileResult {
    std::variant<std::string, std::vector<Message>> body;
    std::vector<std::string> warnings;
    std::vector<std::string> dependencies;
    std::optional<SourceMap> source_map;

    static CoreCompileResult from_output(CompileOutput output, std::vector<std::string> warnings,
                                         std::vector<std::string> dependencies);
    // The wire form shared byte for byte with other bindings; object keys in byte order. The
    // result is read, never copied: copying its body variant could throw halfway.
    static OwnedJson to_canonical_json(const CoreCompileResult& result);
    // The "sourceMap" member of the wire form.
    static OwnedJson source_map_json(const SourceMap& map);
};

}  // namespace tyx
