// What the evaluator's two translation units share: the rendering helpers that the recording
// of source mappings reuses, and the recording that user-function calls drive. The recording
// lives apart so that the rendering without a map is compiled exactly as before it existed.
// Internal to the evaluator; nothing else includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/evaluator.h"
#include "core/sourcemap.h"

namespace tyx::evaluator_internal {

// Holds one level of MAX_RENDER_DEPTH for as long as it lives; `entered` is false when the
// limit was already reached and nothing was taken.
class RenderLevel {
  public:
    explicit RenderLevel(EvalContext& context)
        : context_(context), entered_(context.render_depth < MAX_RENDER_DEPTH) {
        if (entered_) ++context_.render_depth;
    }
    RenderLevel(const RenderLevel&) = delete;
    RenderLevel& operator=(const RenderLevel&) = delete;
    ~RenderLevel() {
        if (entered_) --context_.render_depth;
    }
    bool entered() const { return entered_; }

  private:
    EvalContext& context_;
    bool entered_;
};

CompileError render_depth_error();
CompileError output_limit_error();

// Sets the context's builder aside while it lives. A value that is not written where it is
// computed (a condition, a loop's iterable, a call's argument) has no place in the output for
// the segments of the calls it makes, nor should those calls move the cursor.
class DetachedBuilder {
  public:
    explicit DetachedBuilder(EvalContext& context)
        : context_(context), builder_(std::exchange(context.map_builder, nullptr)) {}
    DetachedBuilder(const DetachedBuilder&) = delete;
    DetachedBuilder& operator=(const DetachedBuilder&) = delete;
    ~DetachedBuilder() { context_.map_builder = builder_; }

  private:
    EvalContext& context_;
    MapBuilder* builder_;
};

CompileError object_interpolation_error(const Expression& expression);
// Appends the text of `value` once its work is charged.
Status append_value_text_charged(const Value& value, EvalContext& context, std::string& out);
// The body an @if chooses, or nullptr when no branch is true.
Result<const std::vector<Node>*> choose_branch(const Node::If& node, Scope& scope,
                                               EvalContext& context);
Status render_include(const Node::Include& node, Scope& scope, EvalContext& context,
                      std::string& out);
// The iterations of a loop whose iterable is evaluated already.
Status render_loop_iterations(const Node::For& node, const Value& iterable, Scope& scope,
                              EvalContext& context, std::string& out);

// The walk of render_nodes while a builder records.
Status render_nodes_mapped(std::span<const Node> nodes, Scope& scope, EvalContext& context,
                           std::string& out);

// Where the builder stood when a call began, to which the call's mapping returns.
struct CallMapping {
    uint32_t cursor = 0;
    std::size_t segment_count = 0;
    uint32_t source_index = 0;
    // The body records under the function's own source; otherwise recording is suppressed.
    bool recording = false;
};

// Chooses between recording the body under the function's source and suppressing it.
CallMapping begin_call_mapping(MapBuilder& builder, const FunctionDef& function);
void end_call_mapping(MapBuilder& builder, const CallMapping& mapping);
// After the body's text `text` is trimmed as the call's value.
void trim_call_mapping(std::string_view text, MapBuilder& builder, const CallMapping& mapping,
                       EvalContext& context);

}  // namespace tyx::evaluator_internal
