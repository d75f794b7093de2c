// The recording of source mappings while a node list renders: where each node's output stands
// in the generated text and which source bytes it came from. The evaluator's walk drives it; it
// knows nothing of evaluation itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/result.h"
#include "core/scope.h"
#include "core/sourcemap.h"

namespace tyx {

// The recorder of one node list's rendering into `out`: it keeps the builder's cursor at the
// generated offset of the next byte the list writes and records the segments of its nodes.
class MapCursor {
  public:
    static constexpr bool kRecords = true;

    MapCursor(MapBuilder& builder, const std::string& out)
        : builder_(builder), out_(out), base_(builder.cursor), start_(out.size()) {}

    // Cursor arithmetic wraps at 32 bits, as the offsets of the map do.
    uint32_t position() const { return base_ + static_cast<uint32_t>(out_.size() - start_); }
    void sync() { builder_.cursor = position(); }
    // Syncs the cursor for a node that records, after testing that nothing moved it unseen; `at`
    // is where the node's output begins.
    Status enter(std::string_view node_kind, uint32_t& at);
    // A segment of the current source at `at`, unless recording is suppressed or it is empty.
    void record(uint32_t at, uint64_t source_offset, uint64_t source_length);
    // What `record_value` needs to know of the segments recorded before a value was computed.
    std::size_t mark() const { return builder_.segments().size(); }
    // The segment of an interpolation whose value was written from `before` on. An empty value has
    // no byte to map: its segment would take the position of whatever is written next. A user
    // function that placed its own segments, or a module that a suppressed one included at this
    // very position, maps the value better.
    void record_value(uint32_t at, std::size_t mark, std::size_t before, uint64_t source_offset,
                      uint64_t source_length, bool call_segments_placed);
    // Registers an included module's sources once per rendering, in `source_indices`, and copies
    // its segments to where its body is pasted, whatever the suppression depth: the body's own
    // mappings stay true wherever it is pasted.
    void splice(const ModuleSourceMap& mappings,
                std::unordered_map<const void*, std::vector<uint32_t>>& source_indices);

  private:
    MapBuilder& builder_;
    const std::string& out_;
    uint32_t base_;
    std::size_t start_;
};

uint32_t add_shared_source(MapBuilder& builder, const SharedSource& source);

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
// After the body's text `text` is trimmed as the call's value: whether the call placed its own
// segments for that value.
bool trim_call_mapping(std::string_view text, MapBuilder& builder, const CallMapping& mapping);

}  // namespace tyx
