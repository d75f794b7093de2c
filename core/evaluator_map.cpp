#include "core/evaluator_map.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>
#include <variant>

#include "core/format.h"
#include "core/text.h"

namespace tyx {

using namespace evaluator_internal;

namespace {

CompileError syntax_error(std::string message) {
    return CompileError::of(ErrorKind::Syntax, std::move(message));
}

// Source offsets and lengths are 32-bit in a map; a source is far smaller, so this never
// saturates for a real one, and a saturated offset only fails to resolve.
uint32_t source_offset32(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

uint32_t saturating_add32(uint32_t a, uint64_t b) {
    const uint64_t sum = uint64_t{a} + b;
    return static_cast<uint32_t>(std::min<uint64_t>(sum, std::numeric_limits<uint32_t>::max()));
}

CompileError cursor_desync_error(std::string_view node_kind) {
    return syntax_error("source-map cursor desynchronised from the output length at " +
                        std::string(node_kind) +
                        " node: every following segment would map to the wrong output offset");
}

// Registers an included module's sources once per rendering and copies its segments to where
// its body is pasted.
void splice_included_mappings(const ModuleSourceMap& mappings, EvalContext& context,
                              MapBuilder& builder) {
    // A builder past its cap yields no map at all, so what it would record is lost work.
    if (builder.segments_overflowed()) return;
    const auto [entry, added] = context.include_source_indices.try_emplace(&mappings);
    std::vector<uint32_t>& indices = entry->second;
    if (added) {
        indices.reserve(mappings.sources.size());
        for (const ModuleSourceMap::Source& source : mappings.sources) {
            const std::string_view name = source.name ? std::string_view(*source.name) : "";
            indices.push_back(builder.add_source(name, name, source.content));
        }
    }
    for (const Segment& segment : mappings.segments) {
        if (builder.segments_overflowed()) return;
        if (segment.source_index >= indices.size()) continue;
        builder.add_segment_of_source(Segment{segment.generated_offset + builder.cursor,
                                              indices[segment.source_index], segment.source_offset,
                                              segment.source_length});
    }
}

uint32_t add_shared_source(MapBuilder& builder, const SharedSource& source) {
    return builder.add_source(
        source.key ? std::string_view(*source.key) : std::string_view(),
        source.display_name ? std::string_view(*source.display_name) : std::string_view(),
        source.text);
}

// A segment recorded from index `mark` on already maps generated offset `at`.
bool has_segment_at(const MapBuilder& builder, std::size_t mark, uint32_t at) {
    const std::vector<Segment>& segments = builder.segments();
    return std::any_of(segments.begin() + static_cast<std::ptrdiff_t>(mark), segments.end(),
                       [at](const Segment& segment) { return segment.generated_offset == at; });
}

uint32_t capped32(std::size_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

namespace evaluator_internal {

// Every node keeps the cursor at the generated offset of its output and records where that
// output came from.
Status render_nodes_mapped(std::span<const Node> nodes, Scope& scope, EvalContext& context,
                           std::string& out) {
    MapBuilder& builder = *context.map_builder;
    const uint32_t base = builder.cursor;
    const std::size_t start = out.size();
    // Cursor arithmetic wraps at 32 bits, as the offsets of the map do.
    const auto position = [&] { return base + static_cast<uint32_t>(out.size() - start); };
    // Syncs the cursor for a node that records, after testing that nothing moved it unseen.
    const auto enter_recorded = [&](std::string_view node_kind) -> Result<uint32_t> {
        const uint32_t at = position();
        if (builder.suppression_depth == 0 && builder.cursor != at) {
            return cursor_desync_error(node_kind);
        }
        builder.cursor = at;
        return at;
    };
    for (const Node& node : nodes) {
        TYX_TRY(context.work.charge_visit());
        Status rendered = visit_node(
            Overloaded{
                [&](const Node::Text& text) -> Status {
                    TYX_ASSIGN_OR_RETURN(const uint32_t at, enter_recorded("a Text"));
                    TYX_TRY(context.work.charge(text.text.size()));
                    if (builder.suppression_depth == 0 && !text.text.empty()) {
                        builder.add_segment(at, source_offset32(text.offset),
                                            source_offset32(text.text.size()));
                    }
                    out += text.text;
                    builder.cursor = position();
                    return {};
                },
                [&](const Node::Interpolation& interpolation) -> Status {
                    TYX_ASSIGN_OR_RETURN(const uint32_t at, enter_recorded("an Interpolation"));
                    context.call_segments_placed = false;
                    const std::size_t mark = builder.segments().size();
                    TYX_ASSIGN_OR_RETURN(
                        const Value value,
                        evaluate_expression(interpolation.expression, scope, context));
                    if (value.is_object()) {
                        return object_interpolation_error(interpolation.expression);
                    }
                    const std::size_t before = out.size();
                    TYX_TRY(append_value_text_charged(value, context, out));
                    // An empty value has no byte to map: its segment would take the position
                    // of whatever is written next. A user function that placed its own
                    // segments, or a module that a suppressed one included at this very
                    // position, maps the value better.
                    if (builder.suppression_depth == 0 && !context.call_segments_placed &&
                        out.size() > before && !has_segment_at(builder, mark, at)) {
                        builder.add_segment(at, source_offset32(interpolation.offset),
                                            source_offset32(interpolation.length));
                    }
                    builder.cursor = position();
                    return {};
                },
                [&](const Node::EscapedBrace& brace) -> Status {
                    TYX_ASSIGN_OR_RETURN(const uint32_t at, enter_recorded("an EscapedBrace"));
                    TYX_TRY(context.work.charge(2));
                    // The source text is "\{{".
                    if (builder.suppression_depth == 0) {
                        builder.add_segment(at, source_offset32(brace.offset), 3);
                    }
                    out += "{{";
                    builder.cursor = position();
                    return {};
                },
                [&](const Node::If& branch) -> Status {
                    builder.cursor = position();
                    const std::vector<Node>* body = nullptr;
                    {
                        const DetachedBuilder detached(context);
                        TYX_ASSIGN_OR_RETURN(body, choose_branch(branch, scope, context));
                    }
                    if (body != nullptr) TYX_TRY(render_nodes(*body, scope, context, out));
                    builder.cursor = position();
                    return {};
                },
                [&](const Node::For& loop) -> Status {
                    builder.cursor = position();
                    Value iterable;
                    {
                        const DetachedBuilder detached(context);
                        TYX_ASSIGN_OR_RETURN(iterable,
                                             evaluate_expression(loop.iterable, scope, context));
                    }
                    TYX_TRY(render_loop_iterations(loop, iterable, scope, context, out));
                    builder.cursor = position();
                    return {};
                },
                [&](const Node::Include& include) -> Status {
                    builder.cursor = position();
                    // Spliced whatever the suppression depth: the body's own mappings stay true
                    // wherever it is pasted.
                    const ImportedModule* module = scope.lookup_import_alias(include.name);
                    if (module != nullptr && module->body_text && module->body_mappings) {
                        splice_included_mappings(*module->body_mappings, context, builder);
                    }
                    TYX_TRY(render_include(include, scope, context, out));
                    builder.cursor = position();
                    return {};
                },
                [&](const Node::MessageBlock& block) -> Status {
                    builder.cursor = position();
                    TYX_TRY(render_nodes(block.body, scope, context, out));
                    builder.cursor = position();
                    return {};
                },
                [&](const Node::Block& block) -> Status {
                    builder.cursor = position();
                    TYX_TRY(render_nodes(block.body, scope, context, out));
                    builder.cursor = position();
                    return {};
                },
                [](const Node::Define&) -> Status { return {}; },
                [](const Node::Import&) -> Status { return {}; },
                [](const Node::Export&) -> Status { return {}; },
            },
            node);
        if (!rendered.ok()) return rendered;
        if (out.size() - start > MAX_OUTPUT_SIZE) return output_limit_error();
    }
    return {};
}

CallMapping begin_call_mapping(MapBuilder& builder, const FunctionDef& function) {
    CallMapping mapping{builder.cursor, builder.segments().size(), builder.current_source_index,
                        false};
    if (builder.suppression_depth == 0 && function.source) {
        const SharedSource& source = *function.source;
        mapping.recording = true;
        builder.current_source_index = add_shared_source(builder, source);
    } else {
        ++builder.suppression_depth;
    }
    return mapping;
}

void end_call_mapping(MapBuilder& builder, const CallMapping& mapping) {
    if (mapping.recording) {
        builder.current_source_index = mapping.source_index;
    } else if (builder.suppression_depth > 0) {
        --builder.suppression_depth;
    }
}

// The segments of the body follow its trimming. Under suppression only an included module's
// segments can be there; they are trimmed too, or they would lie past the value's white space.
void trim_call_mapping(std::string_view text, MapBuilder& builder, const CallMapping& mapping,
                       EvalContext& context) {
    const std::string_view trimmed = trim_white_space(text);
    const auto lead = static_cast<std::size_t>(trimmed.data() - text.data());
    const std::size_t trail = text.size() - lead - trimmed.size();
    builder.trim_segments(mapping.segment_count, mapping.cursor, capped32(lead),
                          capped32(text.size()), capped32(trail));
    if (!mapping.recording) return;
    builder.cursor = saturating_add32(mapping.cursor, trimmed.size());
    context.call_segments_placed = true;
}

}  // namespace evaluator_internal

Result<MappedText> evaluate_with_map(const std::vector<Node>& nodes, Scope& scope,
                                     std::vector<std::string>& warnings, MapBuilder builder,
                                     WorkBudget& work) {
    TYX_ASSIGN_OR_RETURN(MappedPart part, evaluate_part_with_map(nodes, scope, warnings,
                                                                 std::move(builder), 0, 0, work));
    return MappedText{std::move(part.text), std::move(part.builder)};
}

namespace {

// One part of a rendering; `total_calls` runs on across the parts like the other two counters, so
// that the parts of a skeleton cannot each make a full allowance of calls.
Result<MappedPart> render_mapped_part(std::span<const Node> nodes, Scope& scope,
                                      std::vector<std::string>& warnings, MapBuilder builder,
                                      uint64_t total_loop_iterations, uint64_t message_bytes,
                                      uint64_t& total_calls, WorkBudget& work) {
    // Copies: registering a source during the rendering may move the builder's own strings.
    std::string source_name;
    std::shared_ptr<const std::string> source_text;
    if (builder.current_source_index < builder.display_names().size()) {
        source_name = builder.display_names()[builder.current_source_index];
        source_text = builder.source_contents()[builder.current_source_index];
    }
    const std::string_view text = source_text ? std::string_view(*source_text) : std::string_view();
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
        TYX_TRY(render_nodes_mapped(nodes, scope, context, out));
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

Result<MappedPart> evaluate_part_with_map(std::span<const Node> nodes, Scope& scope,
                                          std::vector<std::string>& warnings, MapBuilder builder,
                                          uint64_t total_loop_iterations, uint64_t message_bytes,
                                          WorkBudget& work) {
    uint64_t total_calls = 0;
    return render_mapped_part(nodes, scope, warnings, std::move(builder), total_loop_iterations,
                              message_bytes, total_calls, work);
}

Result<MappedText> evaluate_parts(const std::vector<BodyPart>& parts, Scope& scope,
                                  std::vector<std::string>& warnings, MapBuilder builder,
                                  WorkBudget& work) {
    std::string text;
    uint64_t total_loop_iterations = 0;
    uint64_t message_bytes = 0;
    uint64_t total_calls = 0;
    for (const BodyPart& part : parts) {
        const SharedSource& source = part.source;
        builder.current_source_index = add_shared_source(builder, source);
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

}  // namespace tyx
