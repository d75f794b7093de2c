// Renders a validated syntax tree to Markdown text or to chat messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/limits.h"
#include "core/result.h"
#include "core/scope.h"
#include "core/signature.h"
#include "core/sourcemap.h"
#include "core/tree.h"
#include "core/value.h"

namespace tyx {

// One piece of an expanded inheritance skeleton: a run of shared nodes and the module that
// wrote them, against which they are validated, rendered, located and mapped.
struct BodyPart {
    // Keeps the nodes alive; `nodes` views a run of its elements.
    std::shared_ptr<const std::vector<Node>> owner;
    std::span<const Node> nodes;
    SharedSource source;
};

// Warnings held at once; further ones are dropped so a loop cannot flood the caller.
inline constexpr std::size_t MAX_WARNINGS = 1000;
// User-function bodies being rendered at once.
inline constexpr std::size_t MAX_CALL_DEPTH = 128;
// Calls nested inside the arguments of a call.
inline constexpr uint64_t MAX_ARGUMENT_DEPTH = 128;
// Elements or entries one @for may iterate; checked before the first iteration.
inline constexpr uint64_t MAX_LOOP_ITERATIONS = 100'000;
// Iterations of all loops of one evaluation together.
inline constexpr uint64_t MAX_TOTAL_LOOP_ITERATIONS = 1'000'000;
// User-function calls of one evaluation together. Without loops, distinct functions that each
// call the next twice make about 2^128 calls within every other limit; this bounds their time.
inline constexpr uint64_t MAX_TOTAL_CALLS = 1'000'000;
// Node lists being rendered and call-argument levels open at once, across all user-function
// calls of one evaluation. The other limits allow 128 calls each nesting 64 blocks and 64
// argument levels, a recursion no stack could be sized for; this bounds it to about 2 MiB of
// native stack with a source map in a release build, which the caller of the core provides.
inline constexpr uint64_t MAX_RENDER_DEPTH = 1024;
// Messages one evaluation may produce.
inline constexpr std::size_t MAX_MESSAGES = 10'000;
// Bytes of message content one evaluation may produce.
inline constexpr uint64_t MAX_TOTAL_MESSAGE_CONTENT = 52'428'800;

// One chat message of messages mode.
struct Message {
    std::string role;     // as evaluated, not trimmed
    std::string content;  // trimmed, never empty
    friend bool operator==(const Message&, const Message&) = default;
};

// What every evaluator operation of one evaluation shares.
struct EvalContext {
    EvalContext(std::vector<std::string>& warnings_list, std::string_view name,
                std::string_view text, WorkBudget& budget)
        : warnings(warnings_list), source_name(name), source_text(text), work(budget) {}

    // Names of the user functions whose bodies are being rendered, innermost last.
    // Each names a function in the tree or a qualified name its caller holds for the call.
    std::vector<std::string_view> call_stack;
    // Present only while source mappings are recorded; not owned.
    MapBuilder* map_builder = nullptr;
    // The arguments of the calls being prepared, those of a call nested in another's arguments
    // above the other's. Kept from call to call, so that a call allocates none.
    std::vector<Value> argument_stack;
    // The value of each string literal passed as a call argument, made at its first call and
    // keyed by the literal in the tree, which outlives the evaluation.
    std::unordered_map<const void*, Value> literal_arguments;
    // The caller's list, which may already hold warnings.
    std::vector<std::string>& warnings;
    // The source indices given to the sources of an included module's body mappings, keyed by
    // the identity of those mappings, so that a module included twice registers them once.
    std::unordered_map<const void*, std::vector<uint32_t>> include_source_indices;
    // The module whose nodes are rendered: error locations are made against it.
    std::string_view source_name;
    std::string_view source_text;
    uint64_t total_loop_iterations = 0;
    uint64_t message_bytes = 0;
    // User-function calls made so far, bounded by MAX_TOTAL_CALLS.
    uint64_t total_calls = 0;
    // The work done so far in the whole compilation, bounded by MAX_EVALUATION_WORK; not owned.
    WorkBudget& work;
    // The defining module of the user function being rendered; replaces the current source for
    // error locations while present.
    // Points into the FunctionDef, which outlives its call.
    const SharedSource* function_source = nullptr;
    // Set when a user function call placed its own source-map segments for its value.
    bool call_segments_placed = false;
    // Levels open now, bounded by MAX_RENDER_DEPTH.
    uint64_t render_depth = 0;
};

// Appends a warning unless MAX_WARNINGS are already held.
void add_warning(EvalContext& context, std::string warning);

// Renders a node list to Markdown in a fresh context charging `work`, which every evaluation of
// one compilation shares. The scope is left as it was found.
Result<std::string> evaluate(const std::vector<Node>& nodes, Scope& scope,
                             std::vector<std::string>& warnings, std::string_view source_name,
                             std::string_view source_text, WorkBudget& work);

// The text of a rendering that recorded source mappings, with the builder that holds them.
struct MappedText {
    std::string text;
    MapBuilder builder;
};

// Renders a node list to Markdown recording into `builder`, whose current source is the one
// the nodes were parsed from.
Result<MappedText> evaluate_with_map(const std::vector<Node>& nodes, Scope& scope,
                                     std::vector<std::string>& warnings, MapBuilder builder,
                                     WorkBudget& work);
// Renders the parts of an expanded skeleton one after another into one text: each part is
// mapped against its own module, and the loop and output limits hold for the whole.
Result<MappedText> evaluate_parts(const std::vector<BodyPart>& parts, Scope& scope,
                                  std::vector<std::string>& warnings, MapBuilder builder,
                                  WorkBudget& work);

// Renders a node list, appending to `out`; on failure `out` holds a partial text to discard.
Status render_nodes(const std::vector<Node>& nodes, Scope& scope, EvalContext& context,
                    std::string& out);

Result<Value> evaluate_expression(const Expression& expression, Scope& scope, EvalContext& context);
// `line_offset` is the offset of the @if or @elseif line, used to place a type mismatch.
Result<bool> evaluate_condition(const Condition& condition, Scope& scope, EvalContext& context,
                                std::optional<uint64_t> line_offset);
Result<Value> resolve_field_path(std::string_view root, const std::vector<std::string>& fields,
                                 const Scope& scope);
// The value a variable or dot-path expression names, where it lives in the scope (valid until
// the scope next changes), or the error evaluating it gives; nullptr for any other expression.
Result<const Value*> find_named_value(const Expression& expression, const Scope& scope);
// The root followed by the first `count` fields, joined with ".".
std::string join_path_segments(std::string_view root, const std::vector<std::string>& fields,
                               std::size_t count);

enum class Comparison : uint8_t { Equal, Unequal, Incomparable };
Comparison compare_values(const Value& left, const Value& right);

CompileError make_type_mismatch_error(const EvalContext& context,
                                      std::optional<uint64_t> line_offset,
                                      std::string_view left_type, std::string_view right_type);

// `name` is the name the call used: plain, or "alias.name" for a qualified call. The value is
// the body's text, trimmed.
Result<std::string> invoke_user_function(const FunctionDef& function, std::string_view name,
                                         std::vector<Value> arguments, Scope& scope,
                                         EvalContext& context);

// The values of FunctionDef::default_values for these parameters.
std::vector<Value> make_default_values(const std::vector<DefineParam>& params);

Status render_for_loop_messages(const Node::For& node, Scope& scope, EvalContext& context,
                                std::vector<Message>& messages);

// Renders a template holding @message blocks to its list of messages in a fresh context.
Result<std::vector<Message>> evaluate_messages(const std::vector<Node>& nodes, Scope& scope,
                                               std::vector<std::string>& warnings,
                                               std::string_view source_name,
                                               std::string_view source_text, WorkBudget& work);
Status render_message_nodes(const std::vector<Node>& nodes, Scope& scope, EvalContext& context,
                            std::vector<Message>& messages);
Status render_message_block(const Node::MessageBlock& node, Scope& scope, EvalContext& context,
                            std::vector<Message>& messages);

}  // namespace tyx
