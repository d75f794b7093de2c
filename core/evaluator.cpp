#include "core/evaluator.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>
#include <variant>

#include "core/builtins.h"
#include "core/display.h"
#include "core/evaluator_map.h"
#include "core/format.h"
#include "core/parser_helpers.h"

namespace tyx {
namespace {

CompileError resource_limit(std::string message) {
    return CompileError::of(ErrorKind::ResourceLimit, std::move(message));
}

CompileError syntax_error(std::string message) {
    return CompileError::of(ErrorKind::Syntax, std::move(message));
}

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

CompileError output_limit_error() {
    return resource_limit("output exceeds maximum size of " + decimal(MAX_OUTPUT_SIZE) + " bytes");
}

CompileError render_depth_error() {
    return resource_limit("evaluation nesting exceeds maximum depth of " +
                          decimal(MAX_RENDER_DEPTH));
}

Status append_value_text_charged(const Value& value, EvalContext& context, std::string& out) {
    // A string, the common case, is charged and written from one look at the value.
    if (value.is_string()) {
        const std::string& text = value.as_string();
        TYX_TRY(context.work.charge(text.size()));
        out.append(text);
        return {};
    }
    TYX_TRY(charge_display(value, context.work));
    append_value_text(value, out);
    return {};
}

CompileError object_interpolation_error(const Expression& expression) {
    if (const auto* variable = std::get_if<Expression::Variable>(&expression.value)) {
        return syntax_error(cat("cannot interpolate object '", variable->name,
                                "' directly, access a specific field with dot notation (e.g. {{",
                                variable->name, ".field}})"));
    }
    if (const auto* path = unboxed_if<Expression::DotPath>(expression.value)) {
        const std::string_view last = path->fields.empty() ? std::string_view(path->root)
                                                           : std::string_view(path->fields.back());
        return syntax_error(
            "cannot interpolate object directly, access a specific field with dot notation "
            "(e.g. {{" +
            std::string(path->root) + "." + std::string(last) + "}})");
    }
    return syntax_error("cannot interpolate an object value directly");
}

// The body an @if chooses, or nullptr when no branch is true.
Result<const std::vector<Node>*> choose_branch(const Node::If& node, Scope& scope,
                                               EvalContext& context) {
    TYX_ASSIGN_OR_RETURN(const bool taken,
                         evaluate_condition(node.condition, scope, context, node.offset));
    if (taken) return &node.then_body;
    for (const ElseIfBranch& branch : node.elseif_branches) {
        TYX_ASSIGN_OR_RETURN(const bool branch_taken,
                             evaluate_condition(branch.condition, scope, context, branch.offset));
        if (branch_taken) return &branch.body;
    }
    if (node.else_branch) return &node.else_branch->body;
    return static_cast<const std::vector<Node>*>(nullptr);
}

Status render_include(const Node::Include& node, Scope& scope, EvalContext& context,
                      std::string& out) {
    const ImportedModule* module = scope.lookup_import_alias(node.name);
    if (module == nullptr) return CompileError::of(ErrorKind::UndefinedVar, std::string(node.name));
    if (module->body_text) {
        TYX_TRY(context.work.charge(module->body_text->size()));
        out += *module->body_text;
        return {};
    }
    if (context.warnings.size() >= MAX_WARNINGS) return {};
    const std::string alias = escape_for_display(node.name);
    if (module->body_hidden) {
        add_warning(context, "warning: @include of '" + alias +
                                 "' produced empty output — module has body text, but its "
                                 "explicit @export list does not export 'prompt'; add `@export "
                                 "prompt` to the module, or call its functions directly: {{" +
                                 alias + ".fn()}}");
    } else {
        add_warning(context, "warning: @include of '" + alias +
                                 "' produced empty output — module has no body text; to use the "
                                 "module's functions, call them directly: {{" +
                                 alias + ".fn()}}");
    }
    return {};
}

// The byte at `offset` continues a multi-byte UTF-8 sequence.
bool is_continuation_byte(std::string_view text, uint64_t offset) {
    return offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80;
}

Value literal_value(const Expression& expression) {
    return visit_unboxed(
        Overloaded{
            [](const Expression::String& literal) {
                return Value::string(std::string(literal.value));
            },
            [](const Expression::Number& literal) { return Value::number(literal.value); },
            [](const Expression::Bool& literal) { return Value::boolean(literal.value); },
            [](const auto&) { return Value::null(); },
        },
        expression.value);
}

// The arguments one call pushed onto the context's argument stack, removed when it ends however
// the call ended.
class PushedArguments {
  public:
    explicit PushedArguments(EvalContext& context)
        : stack_(context.argument_stack), base_(stack_.size()) {}
    PushedArguments(const PushedArguments&) = delete;
    PushedArguments& operator=(const PushedArguments&) = delete;
    ~PushedArguments() { release(); }

    std::size_t size() const { return stack_.size() - base_; }
    // Valid until the stack next grows.
    std::span<Value> values() { return {stack_.data() + base_, size()}; }
    // Built where it is kept, not moved there from a parameter.
    void push(Value&& value) { stack_.push_back(std::move(value)); }
    void push(const Value& value) { stack_.push_back(value); }
    void release() {
        stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(base_), stack_.end());
    }

  private:
    std::vector<Value>& stack_;
    std::size_t base_;
};

Status push_call_arguments(const std::vector<Expression>& arguments, Scope& scope,
                           EvalContext& context, uint64_t depth, PushedArguments& pushed);
Result<Value> call_with_arguments(std::string_view name, PushedArguments& arguments, Scope& scope,
                                  EvalContext& context);
Status call_user_function(const FunctionDef& function, std::string_view name,
                          PushedArguments& arguments, Scope& scope, EvalContext& context,
                          std::string& out);

// Out of line, so that the interpolation of a variable keeps none of a call's state.
[[gnu::noinline]] Status render_call_interpolation(const Expression::Call& call,
                                                   const Node::Interpolation& node, Scope& scope,
                                                   EvalContext& context, std::string& out) {
    PushedArguments arguments(context);
    TYX_TRY(push_call_arguments(call.args, scope, context, 0, arguments));
    // A user function's value is its text: written out directly, it needs no string value.
    if (const FunctionDef* function = scope.lookup_function(call.name)) {
        return call_user_function(*function, call.name, arguments, scope, context, out);
    }
    TYX_ASSIGN_OR_RETURN(const Value value,
                         call_with_arguments(call.name, arguments, scope, context));
    if (value.is_object()) return object_interpolation_error(node.expression);
    return append_value_text_charged(value, context, out);
}

// Inline in both walks: the interpolation of a variable is the most common node after text.
[[gnu::always_inline]] inline Status render_interpolation(const Node::Interpolation& node,
                                                          Scope& scope, EvalContext& context,
                                                          std::string& out) {
    context.call_segments_placed = false;
    if (const auto* variable = std::get_if<Expression::Variable>(&node.expression.value)) {
        const Value* value = scope.lookup_variable(variable->name);
        if (value == nullptr) {
            return CompileError::of(ErrorKind::UndefinedVar, std::string(variable->name));
        }
        if (value->is_object()) return object_interpolation_error(node.expression);
        return append_value_text_charged(*value, context, out);
    }
    if (const auto* call = unboxed_if<Expression::Call>(node.expression.value)) {
        return render_call_interpolation(*call, node, scope, context, out);
    }
    TYX_ASSIGN_OR_RETURN(const Value* named, find_named_value(node.expression, scope));
    if (named != nullptr) {
        if (named->is_object()) return object_interpolation_error(node.expression);
        return append_value_text_charged(*named, context, out);
    }
    TYX_ASSIGN_OR_RETURN(const Value value, evaluate_expression(node.expression, scope, context));
    if (value.is_object()) return object_interpolation_error(node.expression);
    return append_value_text_charged(value, context, out);
}

// The iterations of a loop whose iterable is evaluated already.
Status render_loop_iterations(const Node::For& node, const Value& iterable, Scope& scope,
                              EvalContext& context, std::string& out);

// The recorder of a walk without a source map: every hook is empty, so that walk compiles as
// if recording did not exist.
struct NoMap {
    static constexpr bool kRecords = false;
    void sync() {}
    Status enter(std::string_view, uint32_t&) { return {}; }
    void record(uint32_t, uint64_t, uint64_t) {}
    std::size_t mark() const { return 0; }
    void record_value(uint32_t, std::size_t, std::size_t, uint64_t, uint64_t, bool) {}
};

// Runs `work` with the builder set aside when the walk records.
template <class Recorder, class Work>
auto unmapped(EvalContext& context, Work&& work) {
    if constexpr (Recorder::kRecords) {
        const DetachedBuilder detached(context);
        return work();
    } else {
        return work();
    }
}

// Renders and charges one node; the recorder keeps the map, if any, in step with the output.
// Every node kind but the three the resolver acts on syncs the cursor before its own work and
// again after its text is written.
template <class Recorder>
Status render_node(const Node& node, Scope& scope, EvalContext& context, std::string& out,
                   Recorder& recorder) {
    return visit_node(
        Overloaded{
            [&](const Node::Text& text) -> Status {
                uint32_t at = 0;
                TYX_TRY(recorder.enter("a Text", at));
                TYX_TRY(context.work.charge(text.text.size()));
                recorder.record(at, text.offset, text.text.size());
                out += text.text;
                recorder.sync();
                return {};
            },
            [&](const Node::Interpolation& interpolation) -> Status {
                uint32_t at = 0;
                TYX_TRY(recorder.enter("an Interpolation", at));
                const std::size_t mark = recorder.mark();
                const std::size_t before = out.size();
                TYX_TRY(render_interpolation(interpolation, scope, context, out));
                recorder.record_value(at, mark, before, interpolation.offset, interpolation.length,
                                      context.call_segments_placed);
                recorder.sync();
                return {};
            },
            [&](const Node::EscapedBrace& brace) -> Status {
                uint32_t at = 0;
                TYX_TRY(recorder.enter("an EscapedBrace", at));
                TYX_TRY(context.work.charge(2));
                // The source text is "\{{".
                recorder.record(at, brace.offset, 3);
                out += "{{";
                recorder.sync();
                return {};
            },
            [&](const Node::If& branch) -> Status {
                recorder.sync();
                TYX_ASSIGN_OR_RETURN(const std::vector<Node>* body,
                                     unmapped<Recorder>(context, [&] {
                                         return choose_branch(branch, scope, context);
                                     }));
                if (body != nullptr) TYX_TRY(render_nodes(*body, scope, context, out));
                recorder.sync();
                return {};
            },
            [&](const Node::For& loop) -> Status {
                recorder.sync();
                TYX_ASSIGN_OR_RETURN(const Value iterable, unmapped<Recorder>(context, [&] {
                                         return evaluate_expression(loop.iterable, scope, context);
                                     }));
                TYX_TRY(render_loop_iterations(loop, iterable, scope, context, out));
                recorder.sync();
                return {};
            },
            [&](const Node::Include& include) -> Status {
                if constexpr (Recorder::kRecords) {
                    recorder.sync();
                    const ImportedModule* module = scope.lookup_import_alias(include.name);
                    if (module != nullptr && module->body_text && module->body_mappings) {
                        recorder.splice(*module->body_mappings, context.include_source_indices);
                    }
                }
                TYX_TRY(render_include(include, scope, context, out));
                recorder.sync();
                return {};
            },
            [&](const Node::MessageBlock& block) -> Status {
                recorder.sync();
                TYX_TRY(render_nodes(block.body, scope, context, out));
                recorder.sync();
                return {};
            },
            [&](const Node::Block& block) -> Status {
                recorder.sync();
                TYX_TRY(render_nodes(block.body, scope, context, out));
                recorder.sync();
                return {};
            },
            // The resolver has already acted on these.
            [](const Node::Define&) -> Status { return {}; },
            [](const Node::Import&) -> Status { return {}; },
            [](const Node::Export&) -> Status { return {}; },
        },
        node);
}

template <class Recorder>
Status render_node_list(std::span<const Node> nodes, Scope& scope, EvalContext& context,
                        std::string& out, Recorder& recorder) {
    // Nested bodies append to the same buffer; this call's own text starts here.
    const std::size_t start = out.size();
    for (const Node& node : nodes) {
        TYX_TRY(context.work.charge_visit());
        TYX_TRY(render_node(node, scope, context, out, recorder));
        if (out.size() - start > MAX_OUTPUT_SIZE) return output_limit_error();
    }
    return {};
}

// Renders a node list at a level already taken, recording when the context has a builder.
Status render_node_list(std::span<const Node> nodes, Scope& scope, EvalContext& context,
                        std::string& out) {
    if (context.map_builder != nullptr) [[unlikely]] {
        MapCursor cursor(*context.map_builder, out);
        return render_node_list(nodes, scope, context, out, cursor);
    }
    NoMap none;
    return render_node_list(nodes, scope, context, out, none);
}

// Counts one iteration against the evaluation's total, before its frame is pushed.
Status count_iteration(EvalContext& context) {
    ++context.total_loop_iterations;
    if (context.total_loop_iterations > MAX_TOTAL_LOOP_ITERATIONS) {
        return resource_limit("total loop iterations exceeded maximum of " +
                              decimal(MAX_TOTAL_LOOP_ITERATIONS) +
                              " across all loops in this compilation");
    }
    return {};
}

// Runs `count` iterations, each bound by `bind(i)` and rendered by `render_body()`. They share one
// frame that each iteration rebinds: only loop variables are ever defined into it (a call
// pushes its own frame), so this is a fresh frame per iteration without its cost. The frame is
// popped whatever the body did; the body's failure wins over the pop's.
template <class Bind, class RenderBody>
Status run_iterations(std::size_t count, Scope& scope, EvalContext& context, Bind&& bind,
                      RenderBody&& render_body) {
    if (count == 0) return {};
    scope.push_frame();
    Status outcome;
    for (std::size_t i = 0; i < count && outcome.ok(); ++i) {
        outcome = count_iteration(context);
        if (!outcome.ok()) break;
        bind(i);
        outcome = render_body();
    }
    Status popped = scope.pop_frame();
    if (!outcome.ok()) return outcome;
    return popped;
}

// The loop procedure shared by Markdown and messages mode; `render_body` renders one
// iteration's body in the iteration's frame.
template <class RenderBody>
Status run_for_loop(const Node::For& node, const Value& iterable, Scope& scope,
                    EvalContext& context, RenderBody&& render_body) {
    if (!node.key_variable) {
        if (iterable.is_object()) {
            return syntax_error(
                "to iterate over an object's entries, use `@for key, value in obj:` syntax");
        }
        if (!iterable.is_array()) {
            return CompileError::of(ErrorKind::TypeError, std::string(iterable.type_name()));
        }
        // `iterable` keeps the shared elements alive however the body rebinds names, so the loop
        // variable refers to its element instead of holding a copy.
        const ValueArray& items = iterable.as_array();
        if (items.size() > MAX_LOOP_ITERATIONS) {
            return resource_limit("array has " + decimal(items.size()) +
                                  " elements, exceeding maximum loop iteration limit of " +
                                  decimal(MAX_LOOP_ITERATIONS));
        }
        return run_iterations(
            items.size(), scope, context,
            [&](std::size_t i) { scope.bind_variable_ref(node.item_variable, items[i]); },
            render_body);
    }
    if (!iterable.is_object()) {
        return syntax_error("key-value iteration requires an object, but got " +
                            std::string(iterable.type_name()));
    }
    // Object entries are held sorted by key bytes, the order the loop must visit them in.
    const ValueObject& entries = iterable.as_object();
    if (entries.size() > MAX_LOOP_ITERATIONS) {
        return resource_limit("object has " + decimal(entries.size()) +
                              " entries, exceeding maximum loop iteration limit of " +
                              decimal(MAX_LOOP_ITERATIONS));
    }
    return run_iterations(
        entries.size(), scope, context,
        [&](std::size_t i) {
            scope.bind_variable(*node.key_variable, Value::string(entries[i].first));
            scope.bind_variable_ref(node.item_variable, entries[i].second);
        },
        render_body);
}

Status render_loop_iterations(const Node::For& node, const Value& iterable, Scope& scope,
                              EvalContext& context, std::string& out) {
    // The caller tests the loop's text only after the loop; without this test too, a loop of many
    // large iterations would hold gigabytes before it failed.
    const std::size_t start = out.size();
    return run_for_loop(node, iterable, scope, context, [&]() -> Status {
        TYX_TRY(render_nodes(node.body, scope, context, out));
        if (out.size() - start > MAX_OUTPUT_SIZE) return output_limit_error();
        return {};
    });
}

CompileError mixed_content_at(const EvalContext& context, uint64_t offset, uint64_t length) {
    return make_mixed_content_error_at(context.source_name, context.source_text, offset, length);
}

Status render_message_node(const Node& node, Scope& scope, EvalContext& context,
                           std::vector<Message>& messages) {
    return visit_node(
        Overloaded{
            [&](const Node::Text& text) -> Status {
                const std::string_view trimmed = trim_white_space(text.text);
                if (trimmed.empty()) return {};
                const auto lead = static_cast<uint64_t>(trimmed.data() - text.text.data());
                return mixed_content_at(context, text.offset + lead, trimmed.size());
            },
            [&](const Node::Interpolation& interpolation) -> Status {
                return mixed_content_at(context, interpolation.offset, interpolation.length);
            },
            [&](const Node::If& branch) -> Status {
                TYX_ASSIGN_OR_RETURN(const std::vector<Node>* body,
                                     choose_branch(branch, scope, context));
                if (body == nullptr) return {};
                return render_message_nodes(*body, scope, context, messages);
            },
            [&](const Node::For& loop) {
                return render_for_loop_messages(loop, scope, context, messages);
            },
            [&](const Node::Include& include) -> Status {
                if (context.warnings.size() < MAX_WARNINGS) {
                    add_warning(context, "warning: @include '" + escape_for_display(include.name) +
                                             "' inside messages mode is ignored");
                }
                return {};
            },
            [&](const Node::MessageBlock& block) {
                return render_message_block(block, scope, context, messages);
            },
            [&](const Node::Block& block) {
                return render_message_nodes(block.body, scope, context, messages);
            },
            [](const Node::EscapedBrace&) -> Status { return {}; },
            [](const Node::Define&) -> Status { return {}; },
            [](const Node::Import&) -> Status { return {}; },
            [](const Node::Export&) -> Status { return {}; },
        },
        node);
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

}  // namespace

void add_warning(EvalContext& context, std::string warning) {
    if (context.warnings.size() < MAX_WARNINGS) context.warnings.push_back(std::move(warning));
}

Result<std::string> evaluate(const std::vector<Node>& nodes, Scope& scope,
                             std::vector<std::string>& warnings, std::string_view source_name,
                             std::string_view source_text, WorkBudget& work) {
    EvalContext context(warnings, source_name, source_text, work);
    std::string out;
    // Most output is the template's own text, so its size is a good first capacity.
    out.reserve(std::min<size_t>(source_text.size(), MAX_OUTPUT_SIZE));
    TYX_TRY(render_nodes(nodes, scope, context, out));
    return out;
}

Status render_nodes(const std::vector<Node>& nodes, Scope& scope, EvalContext& context,
                    std::string& out) {
    const RenderLevel level(context);
    if (!level.entered()) return render_depth_error();
    return render_node_list(nodes, scope, context, out);
}

namespace {

// One part of a rendering with mappings, with the loop and message counters it ended on.
struct MappedPart {
    std::string text;
    MapBuilder builder;
    uint64_t total_loop_iterations = 0;
    uint64_t message_bytes = 0;
};

// One part of a rendering; `total_calls` runs on across the parts like the other two counters, so
// that the parts of a skeleton cannot each make a full allowance of calls.
Result<MappedPart> render_mapped_part(std::span<const Node> nodes, Scope& scope,
                                      std::vector<std::string>& warnings, MapBuilder builder,
                                      uint64_t total_loop_iterations, uint64_t message_bytes,
                                      uint64_t& total_calls, WorkBudget& work) {
    // Copies: registering a source during the rendering may move the builder's own strings.
    std::string source_name;
    SharedText source_text;
    if (builder.current_source_index < builder.display_names().size()) {
        source_name = builder.display_names()[builder.current_source_index];
        source_text = builder.source_contents()[builder.current_source_index];
    }
    const std::string_view text = source_text.view();
    EvalContext context(warnings, source_name, text, work);
    context.map_builder = &builder;
    context.total_loop_iterations = total_loop_iterations;
    context.message_bytes = message_bytes;
    context.total_calls = total_calls;
    std::string out;
    out.reserve(std::min<size_t>(text.size(), MAX_OUTPUT_SIZE));
    {
        const RenderLevel level(context);
        if (!level.entered()) return render_depth_error();
        TYX_TRY(render_node_list(nodes, scope, context, out));
    }
    if (context.map_builder != &builder) {
        return syntax_error(
            "internal: MapBuilder disappeared during evaluate_with_map — compiler bug");
    }
    total_calls = context.total_calls;
    return MappedPart{std::move(out), std::move(builder), context.total_loop_iterations,
                      context.message_bytes};
}

}  // namespace

Result<MappedText> evaluate_with_map(const std::vector<Node>& nodes, Scope& scope,
                                     std::vector<std::string>& warnings, MapBuilder builder,
                                     WorkBudget& work) {
    uint64_t total_calls = 0;
    TYX_ASSIGN_OR_RETURN(
        MappedPart part,
        render_mapped_part(nodes, scope, warnings, std::move(builder), 0, 0, total_calls, work));
    return MappedText{std::move(part.text), std::move(part.builder)};
}

Result<MappedText> evaluate_parts(const std::vector<BodyPart>& parts, Scope& scope,
                                  std::vector<std::string>& warnings, MapBuilder builder,
                                  WorkBudget& work) {
    std::string text;
    uint64_t total_loop_iterations = 0;
    uint64_t message_bytes = 0;
    uint64_t total_calls = 0;
    for (const BodyPart& part : parts) {
        builder.current_source_index = add_shared_source(builder, part.source);
        // The cursor runs on from the previous part, so offsets address the joined text.
        TYX_ASSIGN_OR_RETURN(
            MappedPart rendered,
            render_mapped_part(part.nodes, scope, warnings, std::move(builder),
                               total_loop_iterations, message_bytes, total_calls, work));
        if (text.size() + rendered.text.size() > MAX_OUTPUT_SIZE) return output_limit_error();
        text += rendered.text;
        builder = std::move(rendered.builder);
        total_loop_iterations = rendered.total_loop_iterations;
        message_bytes = rendered.message_bytes;
    }
    return MappedText{std::move(text), std::move(builder)};
}

Result<Value> evaluate_expression(const Expression& expression, Scope& scope,
                                  EvalContext& context) {
    return visit_unboxed(
        Overloaded{
            [&](const Expression::Variable&) -> Result<Value> {
                TYX_ASSIGN_OR_RETURN(const Value* value, find_named_value(expression, scope));
                return *value;
            },
            [&](const Expression::Call& call) -> Result<Value> {
                PushedArguments arguments(context);
                TYX_TRY(push_call_arguments(call.args, scope, context, 0, arguments));
                return call_with_arguments(call.name, arguments, scope, context);
            },
            [&](const Expression::QualifiedCall& call) -> Result<Value> {
                PushedArguments arguments(context);
                TYX_TRY(push_call_arguments(call.args, scope, context, 0, arguments));
                std::string qualified =
                    std::string(call.namespace_name) + "." + std::string(call.name);
                const ImportedModule* module = scope.lookup_import_alias(call.namespace_name);
                if (module == nullptr) {
                    return CompileError::of(ErrorKind::UndefinedVar,
                                            std::string(call.namespace_name));
                }
                const FunctionDef* function = module->find_exported_function(call.name);
                if (function == nullptr) {
                    return CompileError::of(ErrorKind::UndefinedFn, std::move(qualified));
                }
                std::string text;
                TYX_TRY(call_user_function(*function, qualified, arguments, scope, context, text));
                return Value::string(std::move(text));
            },
            [&](const Expression::DotPath&) -> Result<Value> {
                TYX_ASSIGN_OR_RETURN(const Value* value, find_named_value(expression, scope));
                return *value;
            },
            [&](const auto&) -> Result<Value> { return literal_value(expression); },
        },
        expression.value);
}

namespace {

// Of any list of field names, views or strings.
template <class Fields>
std::string join_path(std::string_view root, const Fields& fields, std::size_t count) {
    std::string path(root);
    for (std::size_t i = 0; i < count && i < fields.size(); ++i) {
        path += '.';
        path += std::string_view(fields[i]);
    }
    return path;
}

}  // namespace

std::string join_path_segments(std::string_view root, const std::vector<std::string>& fields,
                               std::size_t count) {
    return join_path(root, fields, count);
}

namespace {

// The value at the end of a dot path whose root is `current` (nullptr when the root is not
// defined), where it lives in the scope.
template <class Fields>
Result<const Value*> follow_field_path(const Value* current, std::string_view root,
                                       const Fields& fields) {
    if (fields.size() > MAX_DOT_PATH_SEGMENTS) {
        return syntax_error("dot path exceeds maximum segment count of " +
                            decimal(MAX_DOT_PATH_SEGMENTS));
    }
    if (current == nullptr) return CompileError::of(ErrorKind::UndefinedVar, std::string(root));
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string_view field = fields[i];
        if (!current->is_object()) {
            return syntax_error("cannot access field '" + std::string(field) + "' on " +
                                std::string(current->type_name()) + " '" +
                                join_path(root, fields, i) + "'");
        }
        const Value* entry = current->find(field);
        if (entry == nullptr) {
            return syntax_error("field '" + std::string(field) + "' not found on '" +
                                join_path(root, fields, i) + "'");
        }
        current = entry;
    }
    return current;
}

}  // namespace

Result<Value> resolve_field_path(std::string_view root, const std::vector<std::string>& fields,
                                 const Scope& scope) {
    TYX_ASSIGN_OR_RETURN(const Value* value,
                         follow_field_path(scope.lookup_variable(root), root, fields));
    return *value;
}

Result<const Value*> find_named_value(const Expression& expression, const Scope& scope) {
    if (const auto* variable = std::get_if<Expression::Variable>(&expression.value)) {
        if (const Value* value = scope.lookup_variable(variable->name)) return value;
        return CompileError::of(ErrorKind::UndefinedVar, std::string(variable->name));
    }
    if (const auto* path = unboxed_if<Expression::DotPath>(expression.value)) {
        const Value* root = scope.lookup_variable(path->root);
        if (root == nullptr && scope.lookup_import_alias(path->root) != nullptr) {
            const std::string root_name(path->root);
            return syntax_error("'" + root_name +
                                "' is an imported module, not a variable — to call a "
                                "function use {{" +
                                root_name + ".func()}}");
        }
        return follow_field_path(root, path->root, path->fields);
    }
    return static_cast<const Value*>(nullptr);
}

Comparison compare_values(const Value& left, const Value& right) {
    if (left.kind() != right.kind()) return Comparison::Incomparable;
    return values_equal(left, right) ? Comparison::Equal : Comparison::Unequal;
}

CompileError make_type_mismatch_error(const EvalContext& context,
                                      std::optional<uint64_t> line_offset,
                                      std::string_view left_type, std::string_view right_type) {
    CompileError error = new_type_mismatch_error(left_type, right_type);
    std::string_view name = context.source_name;
    std::string_view text = context.source_text;
    if (context.function_source != nullptr) {
        const SharedSource& source = *context.function_source;
        name = source.display_name ? std::string_view(*source.display_name) : std::string_view();
        text = source.text.view();
    }
    if (!line_offset || text.empty() || *line_offset > text.size() ||
        is_continuation_byte(text, *line_offset)) {
        return error;
    }
    const uint64_t start = *line_offset;
    const std::size_t line_end = text.find('\n', start);
    const uint64_t end = line_end == std::string_view::npos ? text.size() : line_end;
    error.location = make_error_location(name, text, start, end - start);
    return error;
}

namespace {

bool is_call(const Expression& expression) {
    return unboxed_is<Expression::Call>(expression.value) ||
           unboxed_is<Expression::QualifiedCall>(expression.value);
}

// Whether `left` equals a string of this text: what comparing it with the text's value would
// give and charge.
Result<bool> compare_with_text(const Value& left, std::string_view text, EvalContext& context,
                               std::optional<uint64_t> line_offset) {
    if (!left.is_string()) {
        return make_type_mismatch_error(context, line_offset, left.type_name(), "string");
    }
    const std::string& left_text = left.as_string();
    // Texts of different lengths differ without being read.
    if (left_text.size() != text.size()) return false;
    TYX_TRY(context.work.charge(text.size()));
    return left_text == text;
}

}  // namespace

Result<bool> evaluate_condition(const Condition& condition, Scope& scope, EvalContext& context,
                                std::optional<uint64_t> line_offset) {
    TYX_TRY(context.work.charge_visit());
    const auto compare = [&](const Expression& left_expression,
                             const Expression& right_expression) -> Result<bool> {
        // A name is compared where it lives, unless a call on the right could run code first.
        Value left_held;
        Value right_held;
        const Value* left = nullptr;
        if (!is_call(right_expression)) {
            TYX_ASSIGN_OR_RETURN(left, find_named_value(left_expression, scope));
        }
        if (left == nullptr) {
            TYX_ASSIGN_OR_RETURN(left_held, evaluate_expression(left_expression, scope, context));
            left = &left_held;
        }
        // A string literal, the usual right side, is compared as text, without a value made
        // for it at every test.
        if (const auto* literal = unboxed_if<Expression::String>(right_expression.value)) {
            return compare_with_text(*left, literal->value, context, line_offset);
        }
        TYX_ASSIGN_OR_RETURN(const Value* right, find_named_value(right_expression, scope));
        if (right == nullptr) {
            TYX_ASSIGN_OR_RETURN(right_held, evaluate_expression(right_expression, scope, context));
            right = &right_held;
        }
        TYX_TRY(charge_comparison(*left, *right, context.work));
        const Comparison comparison = compare_values(*left, *right);
        if (comparison == Comparison::Incomparable) {
            return make_type_mismatch_error(context, line_offset, left->type_name(),
                                            right->type_name());
        }
        return comparison == Comparison::Equal;
    };
    return visit_unboxed(
        Overloaded{
            [&](const Condition::Truthy& truthy) -> Result<bool> {
                TYX_ASSIGN_OR_RETURN(const Value* named,
                                     find_named_value(truthy.expression, scope));
                if (named != nullptr) return named->truthy();
                TYX_ASSIGN_OR_RETURN(const Value value,
                                     evaluate_expression(truthy.expression, scope, context));
                return value.truthy();
            },
            [&](const Condition::Not& negation) -> Result<bool> {
                TYX_ASSIGN_OR_RETURN(const Value* named,
                                     find_named_value(negation.expression, scope));
                if (named != nullptr) return !named->truthy();
                TYX_ASSIGN_OR_RETURN(const Value value,
                                     evaluate_expression(negation.expression, scope, context));
                return !value.truthy();
            },
            [&](const Condition::Equals& equals) { return compare(equals.left, equals.right); },
            [&](const Condition::NotEquals& not_equals) -> Result<bool> {
                TYX_ASSIGN_OR_RETURN(const bool equal, compare(not_equals.left, not_equals.right));
                return !equal;
            },
            [&](const Condition::And& all) -> Result<bool> {
                for (const Condition& operand : all.conditions) {
                    TYX_ASSIGN_OR_RETURN(const bool value,
                                         evaluate_condition(operand, scope, context, line_offset));
                    if (!value) return false;
                }
                return true;
            },
            [&](const Condition::Or& any) -> Result<bool> {
                for (const Condition& operand : any.conditions) {
                    TYX_ASSIGN_OR_RETURN(const bool value,
                                         evaluate_condition(operand, scope, context, line_offset));
                    if (value) return true;
                }
                return false;
            },
        },
        condition.value);
}

namespace {

Status push_call_argument(const Expression& argument, Scope& scope, EvalContext& context,
                          uint64_t depth, PushedArguments& pushed) {
    return visit_unboxed(
        Overloaded{
            [&](const Expression::String& literal) -> Status {
                auto [entry, added] = context.literal_arguments.try_emplace(&literal);
                if (added) entry->second = Value::string(std::string(literal.value));
                pushed.push(entry->second);
                return {};
            },
            [&](const Expression::Number& literal) -> Status {
                pushed.push(Value::number(literal.value));
                return {};
            },
            [&](const Expression::Bool& literal) -> Status {
                pushed.push(Value::boolean(literal.value));
                return {};
            },
            [&](const Expression::Null&) -> Status {
                pushed.push(Value::null());
                return {};
            },
            [&](const Expression::Variable& variable) -> Status {
                const Value* value = scope.lookup_variable(variable.name);
                if (value == nullptr) {
                    return CompileError::of(ErrorKind::UndefinedVar, std::string(variable.name));
                }
                pushed.push(*value);
                return {};
            },
            [&](const Expression::DotPath& path) -> Status {
                TYX_ASSIGN_OR_RETURN(
                    const Value* value,
                    follow_field_path(scope.lookup_variable(path.root), path.root, path.fields));
                pushed.push(*value);
                return {};
            },
            [&](const Expression::Call& call) -> Status {
                const uint64_t nested = depth + 1;
                if (nested > MAX_ARGUMENT_DEPTH) {
                    return CompileError::of(
                        ErrorKind::Recursion,
                        "argument expression depth exceeds " + decimal(MAX_ARGUMENT_DEPTH));
                }
                const RenderLevel level(context);
                if (!level.entered()) return render_depth_error();
                // A value passed to another call is not written where it is computed, so
                // nothing of it is mapped.
                const DetachedBuilder detached(context);
                Value value;
                {
                    PushedArguments arguments(context);
                    TYX_TRY(push_call_arguments(call.args, scope, context, nested, arguments));
                    TYX_ASSIGN_OR_RETURN(value,
                                         call_with_arguments(call.name, arguments, scope, context));
                }
                pushed.push(std::move(value));
                return {};
            },
            [](const Expression::QualifiedCall&) -> Status {
                return syntax_error("internal error: qualified call in argument position");
            },
        },
        argument.value);
}

Status push_call_arguments(const std::vector<Expression>& arguments, Scope& scope,
                           EvalContext& context, uint64_t depth, PushedArguments& pushed) {
    for (const Expression& argument : arguments)
        TYX_TRY(push_call_argument(argument, scope, context, depth, pushed));
    return {};
}

Result<Value> call_with_arguments(std::string_view name, PushedArguments& arguments, Scope& scope,
                                  EvalContext& context) {
    if (const FunctionDef* function = scope.lookup_function(name)) {
        std::string text;
        TYX_TRY(call_user_function(*function, name, arguments, scope, context, text));
        return Value::string(std::move(text));
    }
    if (const BuiltinSpec* builtin = lookup_builtin(name)) {
        const std::size_t given = arguments.size();
        if (given < builtin->min_args || given > builtin->max_args) {
            return new_arity_error(name, builtin->min_args, builtin->max_args, given, std::nullopt);
        }
        TYX_TRY(context.work.charge_call());
        return builtin->handler(arguments.values(), context.work);
    }
    return CompileError::of(ErrorKind::UndefinedFn, std::string(name));
}

// Pushes the values of a vector the caller made.
void push_values(std::vector<Value> values, PushedArguments& pushed) {
    for (Value& value : values)
        pushed.push(std::move(value));
}

}  // namespace

std::vector<Value> make_default_values(const std::vector<DefineParam>& params) {
    std::vector<Value> values;
    values.reserve(params.size());
    for (const DefineParam& param : params) {
        values.push_back(param.default_value ? literal_value(*param.default_value) : Value::null());
    }
    return values;
}

namespace {

// The tests made before a user function's frame exists. Kept out of line, like the other
// helpers below, so that their temporaries do not weigh on every level of a deep call chain.
[[gnu::noinline]] Status check_user_call(const FunctionDef& function, std::string_view name,
                                         uint64_t given, const EvalContext& context) {
    for (const std::string_view active : context.call_stack) {
        if (active == name) return CompileError::of(ErrorKind::Recursion, std::string(name));
    }
    if (context.call_stack.size() >= MAX_CALL_DEPTH) {
        return CompileError::of(ErrorKind::Recursion, std::string(name) + " (call depth exceeds " +
                                                          decimal(MAX_CALL_DEPTH) + ")");
    }
    const uint64_t required = count_required_params(function.params);
    if (given < required || given > function.params.size()) {
        return new_arity_error(name, required, function.params.size(), given,
                               format_function_signature(name, function.params));
    }
    return {};
}

// Checks the defaults of the parameters the arguments leave out. Prepared defaults are bound by
// reference as the frame is pushed; others are made here and added to the arguments.
[[gnu::noinline]] Status bind_defaults(const FunctionDef& function, PushedArguments& arguments) {
    const std::vector<DefineParam>& params = function.params;
    const bool prepared = function.default_values.size() == params.size();
    for (std::size_t i = arguments.size(); i < params.size(); ++i) {
        if (!params[i].default_value) {
            return syntax_error("internal error: non-optional param '" +
                                std::string(params[i].name) + "' missing but arity check passed");
        }
        if (!params[i].default_value->is_literal()) {
            return syntax_error(
                "internal error: non-literal expression in parameter default position");
        }
        if (!prepared) arguments.push(literal_value(*params[i].default_value));
    }
    return {};
}

[[gnu::noinline]] CompileError total_calls_error() {
    return resource_limit("total user function calls exceeded maximum of " +
                          decimal(MAX_TOTAL_CALLS) + " in this compilation");
}

// For a call whose name is not the one it popped.
[[gnu::noinline]] CompileError call_stack_pop_error(std::string_view name,
                                                    std::string_view popped) {
    return syntax_error("internal error: call_stack LIFO violated: expected '" + std::string(name) +
                        "', got Some(\"" + std::string(popped) + "\")");
}

// Trims what a call appended to `out` from `start` on, in place.
void trim_appended_text(std::string& out, std::size_t start) {
    const std::string_view added = std::string_view(out).substr(start);
    const std::string_view trimmed = trim_white_space(added);
    if (trimmed.size() == added.size()) return;
    const auto lead = static_cast<std::size_t>(trimmed.data() - added.data());
    out.resize(start + lead + trimmed.size());
    out.erase(start, lead);
}

Status call_user_function(const FunctionDef& function, std::string_view name,
                          PushedArguments& arguments, Scope& scope, EvalContext& context,
                          std::string& out) {
    context.call_segments_placed = false;
    TYX_TRY(check_user_call(function, name, arguments.size(), context));
    if (++context.total_calls > MAX_TOTAL_CALLS) return total_calls_error();
    // Defaults are settled before the frame exists, so a broken one leaves the scope untouched.
    if (arguments.size() < function.params.size()) TYX_TRY(bind_defaults(function, arguments));

    scope.push_call_frame(function, arguments.values());
    // The values now live in the frame; the body's calls push theirs where these stood.
    arguments.release();

    const SharedSource* const saved_source = context.function_source;
    context.function_source = function.source ? &*function.source : nullptr;

    MapBuilder* const builder = context.map_builder;
    CallMapping mapping;
    if (builder != nullptr) [[unlikely]] {
        mapping = begin_call_mapping(*builder, function);
    }

    context.call_stack.emplace_back(name);
    const std::size_t start = out.size();
    Status body = function.body ? render_nodes(*function.body, scope, context, out) : Status();
    const std::string_view popped = context.call_stack.back();
    context.call_stack.pop_back();

    if (builder != nullptr) [[unlikely]] {
        end_call_mapping(*builder, mapping);
    }
    context.function_source = saved_source;

    Status stack_check = popped == name ? Status() : Status(call_stack_pop_error(name, popped));
    Status frame = scope.pop_frame();
    if (!body.ok()) return std::move(body).take_error();
    if (!stack_check.ok()) return std::move(stack_check).take_error();
    if (!frame.ok()) return std::move(frame).take_error();
    if (builder != nullptr) [[unlikely]] {
        if (trim_call_mapping(std::string_view(out).substr(start), *builder, mapping)) {
            context.call_segments_placed = true;
        }
    }
    trim_appended_text(out, start);
    return {};
}

}  // namespace

Result<std::string> invoke_user_function(const FunctionDef& function, std::string_view name,
                                         std::vector<Value> arguments, Scope& scope,
                                         EvalContext& context) {
    PushedArguments pushed(context);
    push_values(std::move(arguments), pushed);
    std::string text;
    TYX_TRY(call_user_function(function, name, pushed, scope, context, text));
    return text;
}

Status render_for_loop_messages(const Node::For& node, Scope& scope, EvalContext& context,
                                std::vector<Message>& messages) {
    TYX_ASSIGN_OR_RETURN(const Value iterable, evaluate_expression(node.iterable, scope, context));
    return run_for_loop(node, iterable, scope, context,
                        [&] { return render_message_nodes(node.body, scope, context, messages); });
}

Result<std::vector<Message>> evaluate_messages(const std::vector<Node>& nodes, Scope& scope,
                                               std::vector<std::string>& warnings,
                                               std::string_view source_name,
                                               std::string_view source_text, WorkBudget& work) {
    EvalContext context(warnings, source_name, source_text, work);
    std::vector<Message> messages;
    TYX_TRY(render_message_nodes(nodes, scope, context, messages));
    return messages;
}

Status render_message_nodes(const std::vector<Node>& nodes, Scope& scope, EvalContext& context,
                            std::vector<Message>& messages) {
    for (const Node& node : nodes) {
        TYX_TRY(context.work.charge_visit());
        TYX_TRY(render_message_node(node, scope, context, messages));
    }
    return {};
}

Status render_message_block(const Node::MessageBlock& node, Scope& scope, EvalContext& context,
                            std::vector<Message>& messages) {
    TYX_ASSIGN_OR_RETURN(Value role, evaluate_expression(node.role, scope, context));
    if (!role.is_string()) {
        return CompileError::of(
            ErrorKind::Builtin,
            "@message role must evaluate to a string, but got " + std::string(role.type_name()));
    }
    if (trim_white_space(role.as_string()).empty()) {
        return CompileError::of(ErrorKind::Builtin,
                                "@message role must evaluate to a non-empty string");
    }
    std::string text;
    TYX_TRY(render_nodes(node.body, scope, context, text));
    const std::string_view content = trim_white_space(text);
    if (content.empty()) return {};
    if (messages.size() >= MAX_MESSAGES) {
        return resource_limit("message count exceeded maximum of " + decimal(MAX_MESSAGES));
    }
    context.message_bytes = saturating_add(context.message_bytes, content.size());
    if (context.message_bytes > MAX_TOTAL_MESSAGE_CONTENT) {
        return resource_limit("total message content exceeds maximum cumulative size of " +
                              decimal(MAX_TOTAL_MESSAGE_CONTENT) + " bytes");
    }
    messages.push_back(Message{role.as_string(), std::string(content)});
    return {};
}

}  // namespace tyx
