#include "core/sourcemap.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace tyx {
namespace {

constexpr uint32_t kMaxOffset = std::numeric_limits<uint32_t>::max();

uint32_t saturating_add(uint32_t a, uint32_t b) {
    return b > kMaxOffset - a ? kMaxOffset : a + b;
}

uint32_t saturating_sub(uint32_t a, uint32_t b) {
    return b > a ? 0 : a - b;
}

bool is_continuation_byte(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// UTF-16 code units that the characters beginning in `bytes` take: a lead byte of a character
// above U+FFFF counts two, any other lead byte one, continuation bytes nothing. Counted per byte,
// so the units of any range follow from running sums without decoding.
uint32_t utf16_units(std::string_view bytes) {
    uint32_t units = 0;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        units += is_continuation_byte(byte) ? 0u : (byte >= 0xF0 ? 2u : 1u);
    }
    return units;
}

bool is_ascii(std::string_view bytes) {
    unsigned char seen = 0;
    for (const char c : bytes)
        seen |= static_cast<unsigned char>(c);
    return seen < 0x80;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A segment whose source position is known, before its generated offset is resolved against
// the finished output.
struct PlacedSegment {
    uint64_t generated_offset;
    uint32_t source_index;
    LineColumn source;
};

// The next segment, from `next` on, whose generated offset resolves in the output; advances
// `next` past it. Segments that do not resolve are skipped.
std::optional<ResolvedSegment> next_output_segment(const std::vector<PlacedSegment>& placed,
                                                   std::size_t& next, const LineIndex& output) {
    while (next < placed.size()) {
        const PlacedSegment& segment = placed[next++];
        const std::optional<LineColumn> generated = output.line_col(segment.generated_offset);
        if (!generated) continue;
        return ResolvedSegment{generated->line, generated->column, segment.source_index,
                               segment.source.line, segment.source.column};
    }
    return std::nullopt;
}

// A consumer resolves a generated position to one segment, so no two may share one. Of segments
// at one offset, sorted, all but the last mapped only bytes that finishing removed (carriage
// returns), or nothing at all; the last maps the byte that is there.
void keep_last_segment_at_each_offset(std::vector<PlacedSegment>& placed) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < placed.size(); ++i) {
        if (i + 1 < placed.size() && placed[i + 1].generated_offset == placed[i].generated_offset) {
            continue;
        }
        placed[kept++] = placed[i];
    }
    placed.resize(kept);
}

// Every value is the difference from the previous segment's: the generated column within its
// line, the other three across the whole string.
std::string encode_mappings(const std::vector<ResolvedSegment>& segments) {
    std::string mappings;
    mappings.reserve(segments.size() * 6);
    uint32_t line = 0;
    bool line_started = false;
    int64_t column = 0;
    int64_t source_index = 0;
    int64_t source_line = 0;
    int64_t source_column = 0;
    for (const ResolvedSegment& segment : segments) {
        while (line < segment.generated_line) {
            mappings += ';';
            ++line;
            line_started = false;
            column = 0;
        }
        if (line_started) mappings += ',';
        line_started = true;
        append_base64_vlq(segment.generated_column - column, mappings);
        append_base64_vlq(segment.source_index - source_index, mappings);
        append_base64_vlq(segment.source_line - source_line, mappings);
        append_base64_vlq(segment.source_column - source_column, mappings);
        column = segment.generated_column;
        source_index = segment.source_index;
        source_line = segment.source_line;
        source_column = segment.source_column;
    }
    return mappings;
}

}  // namespace

LineIndex::LineIndex(std::string_view text) : text_(text) {
    std::size_t start = 0;
    while (true) {
        line_starts_.push_back(static_cast<uint32_t>(start));
        const void* found = start < text.size()
                                ? std::memchr(text.data() + start, '\n', text.size() - start)
                                : nullptr;
        const std::size_t end =
            found == nullptr
                ? text.size()
                : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
        const bool ascii = is_ascii(text.substr(start, end - start));
        ascii_lines_.push_back(ascii ? 1 : 0);
        if (!ascii) unit_checkpoints_needed_ = true;
        if (found == nullptr) break;
        start = end + 1;
    }
    if (!unit_checkpoints_needed_) return;
    // A long line of non-ASCII text would otherwise be counted from its start for every segment
    // on it.
    unit_checkpoints_.reserve(text.size() / kCheckpointStride + 1);
    uint32_t units = 0;
    for (std::size_t at = 0; at <= text.size(); at += kCheckpointStride) {
        unit_checkpoints_.push_back(units);
        units += utf16_units(text.substr(at, kCheckpointStride));
    }
}

uint32_t LineIndex::units_before(std::size_t offset) const {
    const std::size_t checkpoint = offset / kCheckpointStride;
    const std::size_t from = checkpoint * kCheckpointStride;
    return unit_checkpoints_[checkpoint] + utf16_units(text_.substr(from, offset - from));
}

std::optional<LineColumn> LineIndex::line_col(uint64_t offset) const {
    if (offset > text_.size()) return std::nullopt;
    const auto at = static_cast<std::size_t>(offset);
    if (at < text_.size() && is_continuation_byte(static_cast<unsigned char>(text_[at]))) {
        return std::nullopt;
    }
    const auto after = std::upper_bound(line_starts_.begin(), line_starts_.end(), at);
    const auto line = static_cast<std::size_t>(after - line_starts_.begin()) - 1;
    const uint32_t start = line_starts_[line];
    const uint32_t column = ascii_lines_[line] != 0 ? static_cast<uint32_t>(at - start)
                                                    : units_before(at) - units_before(start);
    return LineColumn{static_cast<uint32_t>(line), column};
}

void append_base64_vlq(int64_t value, std::string& out) {
    const uint64_t magnitude =
        value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    uint64_t rest = value < 0 ? magnitude * 2 + 1 : magnitude * 2;
    do {
        uint64_t digit = rest & 31;
        rest >>= 5;
        if (rest != 0) digit |= 32;
        out += kBase64[digit];
    } while (rest != 0);
}

MapBuilder::MapBuilder(std::string_view name, std::string_view display_name, SharedText content) {
    add_source(name, display_name, std::move(content));
}

MapBuilder::MapBuilder(MapBuilder&&) noexcept = default;
MapBuilder& MapBuilder::operator=(MapBuilder&&) noexcept = default;
MapBuilder::~MapBuilder() = default;

uint32_t MapBuilder::add_source(std::string_view name, std::string_view display_name,
                                SharedText content) {
    if (const auto found = source_index_by_name_.find(name); found != source_index_by_name_.end()) {
        return found->second;
    }
    const auto index = static_cast<uint32_t>(source_names_.size());
    source_names_.emplace_back(name);
    display_names_.emplace_back(display_name);
    source_contents_.push_back(std::move(content));
    source_index_by_name_.emplace(std::string(name), index);
    return index;
}

void MapBuilder::add_segment(uint32_t generated_offset, uint32_t source_offset,
                             uint32_t source_length) {
    add_segment_of_source(
        Segment{generated_offset, current_source_index, source_offset, source_length});
}

void MapBuilder::add_segment_of_source(const Segment& segment) {
    if (segments_.size() >= MAX_SOURCE_MAP_SEGMENTS) {
        segments_overflowed_ = true;
        return;
    }
    segments_.push_back(segment);
}

void MapBuilder::trim_segments(std::size_t mark, uint32_t base, uint32_t lead, uint32_t untrimmed,
                               uint32_t trail) {
    if (mark >= segments_.size()) return;
    const uint32_t low = saturating_add(base, lead);
    const uint32_t high = saturating_sub(saturating_add(base, untrimmed), trail);
    auto kept = segments_.begin() + static_cast<std::ptrdiff_t>(mark);
    for (auto it = kept; it != segments_.end(); ++it) {
        if (it->generated_offset < low || it->generated_offset >= high) continue;
        *kept = *it;
        kept->generated_offset = saturating_sub(kept->generated_offset, lead);
        ++kept;
    }
    segments_.erase(kept, segments_.end());
}

SourceMap MapBuilder::finish(MapBuilder builder, std::string_view rendered_text,
                             std::string_view output, std::size_t prefix_length,
                             std::optional<std::string> file) {
    std::vector<LineIndex> sources;
    sources.reserve(builder.source_contents_.size());
    for (const SharedText& content : builder.source_contents_) {
        sources.emplace_back(*content);
    }

    std::vector<PlacedSegment> placed;
    placed.reserve(builder.segments_.size());
    for (const Segment& segment : builder.segments_) {
        if (segment.source_index >= sources.size()) continue;
        const std::optional<LineColumn> source =
            sources[segment.source_index].line_col(segment.source_offset);
        if (!source) continue;
        placed.push_back(PlacedSegment{segment.generated_offset, segment.source_index, *source});
    }
    builder.segments_ = {};
    // In generated order from here on; segments at one offset stay in recording order.
    const auto by_generated_offset = [](const PlacedSegment& a, const PlacedSegment& b) {
        return a.generated_offset < b.generated_offset;
    };
    if (!std::is_sorted(placed.begin(), placed.end(), by_generated_offset)) {
        std::stable_sort(placed.begin(), placed.end(), by_generated_offset);
    }

    // The finished output has no carriage returns: each one before a segment moves it back.
    std::vector<std::size_t> carriage_returns;
    for (std::size_t at = rendered_text.find('\r'); at != std::string_view::npos;
         at = rendered_text.find('\r', at + 1)) {
        carriage_returns.push_back(at);
    }
    if (!carriage_returns.empty()) {
        for (PlacedSegment& segment : placed) {
            const std::size_t limit = static_cast<std::size_t>(
                std::min<uint64_t>(segment.generated_offset, rendered_text.size()));
            const auto before =
                std::lower_bound(carriage_returns.begin(), carriage_returns.end(), limit);
            segment.generated_offset -= static_cast<uint64_t>(before - carriage_returns.begin());
        }
    }

    const std::size_t body_length =
        output.size() > prefix_length ? output.size() - prefix_length : 0;
    std::erase_if(placed, [&](const PlacedSegment& segment) {
        return segment.generated_offset >= body_length;
    });
    keep_last_segment_at_each_offset(placed);

    SourceMap map;
    map.file = std::move(file);
    map.sources = std::move(builder.source_names_);
    if (!builder.omit_sources_content) {
        std::vector<std::string> contents;
        contents.reserve(builder.source_contents_.size());
        for (const SharedText& content : builder.source_contents_) {
            contents.emplace_back(*content);
        }
        map.sources_content = std::move(contents);
    }
    if (output.size() <= prefix_length) return map;

    const LineIndex output_index(output);
    std::vector<ResolvedSegment> resolved;
    resolved.reserve(placed.size());
    for (PlacedSegment& segment : placed)
        segment.generated_offset += prefix_length;
    std::size_t next = 0;
    while (std::optional<ResolvedSegment> segment =
               next_output_segment(placed, next, output_index)) {
        resolved.push_back(*segment);
    }
    map.mappings = encode_mappings(resolved);
    return map;
}

std::shared_ptr<const ModuleSourceMap> pack_module_source_map(MapBuilder builder) {
    auto packed = std::make_shared<ModuleSourceMap>();
    packed->segments = std::move(builder.segments_);
    const std::size_t count =
        std::min(builder.source_names_.size(), builder.source_contents_.size());
    packed->sources.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        packed->sources.push_back(ModuleSourceMap::Source{
            std::make_shared<const std::string>(std::move(builder.source_names_[i])),
            std::move(builder.source_contents_[i])});
    }
    return packed;
}

}  // namespace tyx
