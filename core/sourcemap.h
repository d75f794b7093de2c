// Source mappings recorded while a template renders, and the Source Map v3 document built from
// them once the output is finished.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/name_map.h"
#include "core/shared_text.h"

namespace tyx {

struct ModuleSourceMap;

// Segments one builder holds; a map past this would cost more to encode than it helps, so
// recording stops and the pipeline drops the map with a warning.
inline constexpr std::size_t MAX_SOURCE_MAP_SEGMENTS = 1'000'000;

// One raw mapping: byte offsets into the rendered text and into one source.
struct Segment {
    uint32_t generated_offset = 0;
    uint32_t source_index = 0;
    uint32_t source_offset = 0;
    // Recorded for every segment; the finished document has no use for it.
    uint32_t source_length = 0;
    friend bool operator==(const Segment&, const Segment&) = default;
};

// Zero-based lines, and columns in UTF-16 code units as the Source Map format counts them.
struct ResolvedSegment {
    uint32_t generated_line = 0;
    uint32_t generated_column = 0;
    uint32_t source_index = 0;
    uint32_t source_line = 0;
    uint32_t source_column = 0;
    friend bool operator==(const ResolvedSegment&, const ResolvedSegment&) = default;
};

struct LineColumn {
    uint32_t line = 0;
    uint32_t column = 0;
    friend bool operator==(const LineColumn&, const LineColumn&) = default;
};

// Line starts of one text, which it borrows and must outlive the index.
class LineIndex {
  public:
    explicit LineIndex(std::string_view text);

    // None past the end of the text or inside a multi-byte character; the end itself resolves.
    std::optional<LineColumn> line_col(uint64_t offset) const;

  private:
    static constexpr std::size_t kCheckpointStride = 64;

    // UTF-16 code units of the characters that begin before `offset`.
    uint32_t units_before(std::size_t offset) const;

    std::string_view text_;
    std::vector<uint32_t> line_starts_;
    // Per line: only ASCII bytes, so the column is the byte distance.
    std::vector<uint8_t> ascii_lines_;
    // Units before every kCheckpointStride-th byte; built only when some line is not ASCII.
    std::vector<uint32_t> unit_checkpoints_;
    bool unit_checkpoints_needed_ = false;
};

// The finished Source Map v3 document; its version is always 3.
struct SourceMap {
    std::optional<std::string> file;
    std::vector<std::string> sources;
    // Absent when the sources were dropped or not asked for.
    std::optional<std::vector<std::string>> sources_content;
    std::vector<std::string> names;
    std::string mappings;
};

// Writes `value` in base64 VLQ, the number encoding of the `mappings` string.
void append_base64_vlq(int64_t value, std::string& out);

// The recorder of one rendering: the sources met, the raw segments, and the cursor that tells
// the evaluator where its next output byte lands.
class MapBuilder {
  public:
    // A builder whose only source, at index 0, is this one.
    MapBuilder(std::string_view name, std::string_view display_name, SharedText content);
    // Out of line: a builder moves through the evaluator's entry points, which would otherwise
    // carry copies of these everywhere it passes.
    MapBuilder(MapBuilder&&) noexcept;
    MapBuilder& operator=(MapBuilder&&) noexcept;
    ~MapBuilder();

    // The index of the source of that name; a name already held keeps its first registration.
    uint32_t add_source(std::string_view name, std::string_view display_name, SharedText content);
    // A segment of the current source; refused once MAX_SOURCE_MAP_SEGMENTS are held.
    void add_segment(uint32_t generated_offset, uint32_t source_offset, uint32_t source_length);
    // A segment that names its own source, as an included module's mappings are spliced in;
    // held to the same limit.
    void add_segment_of_source(const Segment& segment);
    // For a text trimmed of `lead` bytes at the start and `trail` at the end, `untrimmed` bytes
    // long before and rendered at `base`: the segments from index `mark` on that start in the
    // removed white space are dropped and the others moved back by `lead`.
    void trim_segments(std::size_t mark, uint32_t base, uint32_t lead, uint32_t untrimmed,
                       uint32_t trail);

    // The document for `output`, which holds the finished `rendered_text` behind
    // `prefix_length` bytes written in front of it. No two of its segments share a generated
    // position.
    static SourceMap finish(MapBuilder builder, std::string_view rendered_text,
                            std::string_view output, std::size_t prefix_length,
                            std::optional<std::string> file);

    const std::vector<Segment>& segments() const { return segments_; }
    const std::vector<std::string>& source_names() const { return source_names_; }
    const std::vector<std::string>& display_names() const { return display_names_; }
    const std::vector<SharedText>& source_contents() const { return source_contents_; }
    bool segments_overflowed() const { return segments_overflowed_; }

    friend std::shared_ptr<const ModuleSourceMap> pack_module_source_map(MapBuilder builder);

    // Generated byte offset, in the text being rendered, of the next output byte.
    uint32_t cursor = 0;
    // While nonzero the evaluator records nothing of its own.
    uint32_t suppression_depth = 0;
    // The source that add_segment refers to.
    uint32_t current_source_index = 0;
    // Set by the pipeline when `sourcesContent` must be left out.
    bool omit_sources_content = false;

  private:
    std::vector<Segment> segments_;
    // The three lists always have the same length: index i of each describes source i.
    std::vector<std::string> source_names_;
    std::vector<std::string> display_names_;
    std::vector<SharedText> source_contents_;
    NameMap<uint32_t> source_index_by_name_;
    bool segments_overflowed_ = false;
};

// The recorded mappings of a module's rendered body, which an @include splices into the map of
// the including module; shared read-only like the body text it describes.
struct ModuleSourceMap {
    struct Source {
        std::shared_ptr<const std::string> name;
        SharedText content;
    };
    // Generated offsets into the module's rendered body; source indices into `sources`.
    std::vector<Segment> segments;
    std::vector<Source> sources;
};

std::shared_ptr<const ModuleSourceMap> pack_module_source_map(MapBuilder builder);

}  // namespace tyx
