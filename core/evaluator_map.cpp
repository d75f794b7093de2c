#include "core/evaluator_map.h"

#include <algorithm>
#include <limits>

#include "core/text.h"

namespace tyx {
namespace {

// Source offsets and lengths are 32-bit in a map; a source is far smaller, so this never
// saturates for a real one, and a saturated offset only fails to resolve.
uint32_t source_offset32(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

uint32_t saturating_add32(uint32_t a, uint64_t b) {
    const uint64_t sum = uint64_t{a} + b;
    return static_cast<uint32_t>(std::min<uint64_t>(sum, std::numeric_limits<uint32_t>::max()));
}

uint32_t capped32(std::size_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

CompileError cursor_desync_error(std::string_view node_kind) {
    return CompileError::of(
        ErrorKind::Syntax,
        "source-map cursor desynchronised from the output length at " + std::string(node_kind) +
            " node: every following segment would map to the wrong output offset");
}

// A segment recorded from index `mark` on already maps generated offset `at`.
bool has_segment_at(const MapBuilder& builder, std::size_t mark, uint32_t at) {
    const std::vector<Segment>& segments = builder.segments();
    return std::any_of(segments.begin() + static_cast<std::ptrdiff_t>(mark), segments.end(),
                       [at](const Segment& segment) { return segment.generated_offset == at; });
}

}  // namespace

Status MapCursor::enter(std::string_view node_kind, uint32_t& at) {
    at = position();
    if (builder_.suppression_depth == 0 && builder_.cursor != at) {
        return cursor_desync_error(node_kind);
    }
    builder_.cursor = at;
    return {};
}

void MapCursor::record(uint32_t at, uint64_t source_offset, uint64_t source_length) {
    if (builder_.suppression_depth != 0 || source_length == 0) return;
    builder_.add_segment(at, source_offset32(source_offset), source_offset32(source_length));
}

void MapCursor::record_value(uint32_t at, std::size_t mark, std::size_t before,
                             uint64_t source_offset, uint64_t source_length,
                             bool call_segments_placed) {
    if (builder_.suppression_depth == 0 && !call_segments_placed && out_.size() > before &&
        !has_segment_at(builder_, mark, at)) {
        builder_.add_segment(at, source_offset32(source_offset), source_offset32(source_length));
    }
}

void MapCursor::splice(const ModuleSourceMap& mappings,
                       std::unordered_map<const void*, std::vector<uint32_t>>& source_indices) {
    // A builder past its cap yields no map at all, so what it would record is lost work.
    if (builder_.segments_overflowed()) return;
    const auto [entry, added] = source_indices.try_emplace(&mappings);
    std::vector<uint32_t>& indices = entry->second;
    if (added) {
        indices.reserve(mappings.sources.size());
        for (const ModuleSourceMap::Source& source : mappings.sources) {
            const std::string_view name = source.name ? std::string_view(*source.name) : "";
            indices.push_back(builder_.add_source(name, name, source.content));
        }
    }
    for (const Segment& segment : mappings.segments) {
        if (builder_.segments_overflowed()) return;
        if (segment.source_index >= indices.size()) continue;
        builder_.add_segment_of_source(Segment{segment.generated_offset + builder_.cursor,
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
bool trim_call_mapping(std::string_view text, MapBuilder& builder, const CallMapping& mapping) {
    const std::string_view trimmed = trim_white_space(text);
    const auto lead = static_cast<std::size_t>(trimmed.data() - text.data());
    const std::size_t trail = text.size() - lead - trimmed.size();
    builder.trim_segments(mapping.segment_count, mapping.cursor, capped32(lead),
                          capped32(text.size()), capped32(trail));
    if (!mapping.recording) return false;
    builder.cursor = saturating_add32(mapping.cursor, trimmed.size());
    return true;
}

}  // namespace tyx
