#include "core/sourcemap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyx {
namespace {

std::shared_ptr<const std::string> text(std::string_view content) {
    return std::make_shared<const std::string>(content);
}

// Reads a `mappings` string back into absolute positions, independently of the encoder.
std::vector<ResolvedSegment> decode_mappings(std::string_view mappings) {
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<ResolvedSegment> out;
    int64_t fields[5] = {0, 0, 0, 0, 0};
    std::size_t at = 0;
    uint32_t line = 0;
    const auto read_value = [&]() {
        uint64_t value = 0;
        int shift = 0;
        while (true) {
            const auto digit = static_cast<uint64_t>(kAlphabet.find(mappings[at++]));
            value |= (digit & 31) << shift;
            shift += 5;
            if ((digit & 32) == 0) break;
        }
        const auto magnitude = static_cast<int64_t>(value >> 1);
        return (value & 1) != 0 ? -magnitude : magnitude;
    };
    while (at < mappings.size()) {
        if (mappings[at] == ';') {
            ++line;
            fields[0] = 0;
            ++at;
            continue;
        }
        if (mappings[at] == ',') {
            ++at;
            continue;
        }
        for (int i = 0; i < 4; ++i)
            fields[i] += read_value();
        out.push_back(ResolvedSegment{
            line, static_cast<uint32_t>(fields[0]), static_cast<uint32_t>(fields[1]),
            static_cast<uint32_t>(fields[2]), static_cast<uint32_t>(fields[3])});
    }
    return out;
}

TEST(Base64Vlq, Values) {
    const std::vector<std::pair<int64_t, std::string>> cases = {
        {0, "A"},
        {1, "C"},
        {-1, "D"},
        {15, "e"},
        {16, "gB"},
        {-16, "hB"},
        {1000, "w+B"},
        {-1000, "x+B"},
        {4294967295, "+/////H"},
        {-4294967295, "//////H"},
    };
    for (const auto& [value, encoded] : cases) {
        std::string out = "x";
        append_base64_vlq(value, out);
        EXPECT_EQ(out, "x" + encoded) << value;
    }
}

TEST(LineIndex, LinesAndUtf16Columns) {
    struct Case {
        std::string text;
        uint64_t offset;
        std::optional<LineColumn> expected;
    };
    const std::string astral = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
    const std::vector<Case> cases = {
        {"ab\ncd", 0, LineColumn{0, 0}},
        {"ab\ncd", 2, LineColumn{0, 2}},  // the line feed itself ends line 0
        {"ab\ncd", 3, LineColumn{1, 0}},
        {"ab\ncd", 5, LineColumn{1, 2}},  // the end of the text resolves
        {"ab\ncd", 6, std::nullopt},
        {"ab\n", 3, LineColumn{1, 0}},
        {"", 0, LineColumn{0, 0}},
        // U+00E9 is two bytes and one unit: x at byte 3 is column 2.
        {"\xC3\xA9=x", 3, LineColumn{0, 2}},
        {"\xC3\xA9=x", 1, std::nullopt},  // inside the two-byte character
        {astral + "=x", 5, LineColumn{0, 3}},
        {astral + "=x", 2, std::nullopt},
        // Only the line of the offset is counted in units; ASCII lines count bytes.
        {"\xC3\xA9\nab\n\xE2\x82\xAC" + astral + "x", 13, LineColumn{2, 3}},
        {"\xC3\xA9\nab", 4, LineColumn{1, 1}},
    };
    for (const Case& c : cases) {
        const LineIndex index(c.text);
        EXPECT_EQ(index.line_col(c.offset), c.expected) << c.text << " @" << c.offset;
    }
}

TEST(LineIndex, LongNonAsciiLine) {
    // Columns far into a long line, across many checkpoints, and on a later line.
    std::string line;
    for (int i = 0; i < 1000; ++i)
        line += (i % 3 == 0) ? "\xF0\x9F\x98\x80" : "\xC3\xA9";
    const std::string content = "x\n" + line + "y\n" + line;
    const LineIndex index(content);
    const uint64_t first = 2;
    // 334 astral characters (two units each) and 666 two-byte ones.
    EXPECT_EQ(index.line_col(first + line.size()), (LineColumn{1, 334 * 2 + 666}));
    EXPECT_EQ(index.line_col(first + 4 + 2), (LineColumn{1, 3}));
    EXPECT_EQ(index.line_col(content.size()), (LineColumn{2, 334 * 2 + 666}));
    EXPECT_EQ(index.line_col(content.size() - 1), std::nullopt);
}

TEST(MapBuilder, SourcesAreRegisteredOncePerName) {
    MapBuilder builder("<source>", "<source>", text("main"));
    EXPECT_EQ(builder.add_source("<source>", "other display", text("other")), 0u);
    EXPECT_EQ(builder.add_source("lib/a.tyx", "a", text("A")), 1u);
    EXPECT_EQ(builder.add_source("lib/a.tyx", "again", text("changed")), 1u);
    // The entry text's key is another source than a module of the name the map gives it.
    EXPECT_EQ(builder.add_source("input.tyx", "input.tyx", text("I")), 2u);
    EXPECT_EQ(builder.source_names(),
              (std::vector<std::string>{"<source>", "lib/a.tyx", "input.tyx"}));
    EXPECT_EQ(builder.display_names(), (std::vector<std::string>{"<source>", "a", "input.tyx"}));
    EXPECT_EQ(*builder.source_contents()[0], "main");
    EXPECT_EQ(*builder.source_contents()[1], "A");

    // Named for the reader by the pipeline's last step.
    SourceMap map = MapBuilder::finish(std::move(builder), "", "", 0, std::nullopt);
    EXPECT_EQ(map.sources, (std::vector<std::string>{"<source>", "lib/a.tyx", "input.tyx"}));
    EXPECT_EQ(map.sources_content, (std::vector<std::string>{"main", "A", "I"}));
    EXPECT_TRUE(map.names.empty());
    EXPECT_EQ(map.mappings, "");
    EXPECT_EQ(map.file, std::nullopt);
}

TEST(MapBuilder, SegmentCap) {
    MapBuilder builder("a", "a", text("x"));
    builder.current_source_index = 0;
    for (std::size_t i = 0; i < MAX_SOURCE_MAP_SEGMENTS; ++i)
        builder.add_segment(0, 0, 1);
    EXPECT_FALSE(builder.segments_overflowed());
    builder.add_segment(7, 0, 1);
    builder.add_segment_of_source(Segment{8, 0, 0, 1});
    EXPECT_TRUE(builder.segments_overflowed());
    EXPECT_EQ(builder.segments().size(), MAX_SOURCE_MAP_SEGMENTS);
    EXPECT_EQ(builder.segments().back(), (Segment{0, 0, 0, 1}));
}

TEST(MapBuilder, TrimSegments) {
    struct Case {
        std::string label;
        std::size_t mark;
        uint32_t base, lead, untrimmed, trail;
        std::vector<uint32_t> expected;  // generated offsets left
    };
    const std::vector<uint32_t> recorded = {50, 99, 100, 101, 102, 105, 108, 109, 110};
    const std::vector<Case> cases = {
        // A 10-byte output at 100 loses 2 leading and 1 trailing bytes; what is left moves back.
        {"lead and trail", 2, 100, 2, 10, 1, {50, 99, 100, 103, 106}},
        {"nothing trimmed", 2, 100, 0, 10, 0, {50, 99, 100, 101, 102, 105, 108, 109}},
        {"mark at the end", 9, 100, 2, 10, 1, recorded},
        {"all white space", 2, 100, 10, 10, 0, {50, 99}},
        // Overflowing sums saturate rather than wrap around to keep everything.
        {"saturating", 0, 4294967290u, 2, 100, 0, {}},
    };
    for (const Case& c : cases) {
        MapBuilder builder("a", "a", text("x"));
        for (uint32_t offset : recorded)
            builder.add_segment(offset, offset, 1);
        builder.trim_segments(c.mark, c.base, c.lead, c.untrimmed, c.trail);
        std::vector<uint32_t> left;
        for (const Segment& segment : builder.segments()) {
            left.push_back(segment.generated_offset);
        }
        EXPECT_EQ(left, c.expected) << c.label;
    }
    // The kept segments keep their sources and their order.
    MapBuilder builder("a", "a", text("x"));
    builder.add_segment(104, 9, 2);
    builder.add_segment(103, 8, 1);
    builder.trim_segments(0, 100, 2, 10, 1);
    EXPECT_EQ(builder.segments(), (std::vector<Segment>{{102, 0, 9, 2}, {101, 0, 8, 1}}));
}

struct FinishCase {
    std::string label;
    std::string source;
    std::vector<Segment> segments;
    std::string rendered;
    std::string output;
    std::size_t prefix_length;
    std::vector<ResolvedSegment> expected;
};

TEST(MapBuilderFinish, Positions) {
    const std::string frontmatter = "---\ntitle: abcd\n---\n";  // 20 bytes
    const std::vector<FinishCase> cases = {
        {"plain",
         "Hi {{ n }}",
         {{0, 0, 0, 3}, {3, 0, 3, 1}},
         "Hi x",
         "Hi x\n",
         0,
         {{0, 0, 0, 0, 0}, {0, 3, 0, 0, 3}}},
        // Carriage returns of the rendered text are gone from the output.
        {"carriage return",
         "a\r\nb",
         {{0, 0, 0, 1}, {3, 0, 3, 1}},
         "a\r\nb",
         "a\nb\n",
         0,
         {{0, 0, 0, 0, 0}, {1, 0, 0, 1, 0}}},
        {"prefix", "x", {{0, 0, 0, 1}}, "x", frontmatter + "x\n", 20, {{3, 0, 0, 0, 0}}},
        // Segments in the trimmed trailing white space, or past the text, are dropped.
        {"body limit",
         "a\n\n{{ x }}",
         {{0, 0, 0, 3}, {3, 0, 3, 1}, {90, 0, 0, 1}},
         "a\n\n",
         "a\n",
         0,
         {{0, 0, 0, 0, 0}}},
        // Unknown sources and source offsets inside a character are dropped.
        {"unresolvable source",
         "\xC3\xA9x",
         {{0, 0, 1, 1}, {0, 5, 0, 1}, {1, 0, 2, 1}},
         "ab",
         "ab\n",
         0,
         {{0, 1, 0, 0, 1}}},
        // Lines without segments give only their ";". Of segments at one position only the
        // last recorded is kept: a consumer would resolve the position to the first.
        {"sorted by position",
         "abc",
         {{3, 0, 2, 1}, {0, 0, 1, 1}, {0, 0, 0, 1}},
         "a\n\nb",
         "a\n\nb\n",
         0,
         {{0, 0, 0, 0, 0}, {2, 0, 0, 0, 2}}},
        // A segment whose bytes were all carriage returns lands on the next one's position and
        // gives way to it, whichever was recorded first.
        {"only a carriage return",
         "a{{ x }}b",
         {{0, 0, 0, 1}, {1, 0, 1, 7}, {2, 0, 8, 1}},
         "a\rb",
         "ab\n",
         0,
         {{0, 0, 0, 0, 0}, {0, 1, 0, 0, 8}}},
        {"only a carriage return, recorded last",
         "a{{ x }}b",
         {{2, 0, 8, 1}, {0, 0, 0, 1}, {1, 0, 1, 7}},
         "a\rb",
         "ab\n",
         0,
         {{0, 0, 0, 0, 0}, {0, 1, 0, 0, 8}}},
        {"utf-16 output columns",
         "ab",
         {{3, 0, 1, 1}},
         "\xC3\xA9=b",
         "\xC3\xA9=b\n",
         0,
         {{0, 2, 0, 0, 1}}},
    };
    for (const FinishCase& c : cases) {
        MapBuilder builder("<source>", "<source>", text(c.source));
        for (const Segment& segment : c.segments) {
            builder.current_source_index = segment.source_index;
            builder.add_segment(segment.generated_offset, segment.source_offset,
                                segment.source_length);
        }
        SourceMap map = MapBuilder::finish(std::move(builder), c.rendered, c.output,
                                           c.prefix_length, std::nullopt);
        EXPECT_EQ(decode_mappings(map.mappings), c.expected) << c.label << ": " << map.mappings;
    }
}

TEST(MapBuilderFinish, MappingsText) {
    MapBuilder builder("<source>", "<source>", text("abc\ndef"));
    builder.add_segment(0, 1, 1);
    builder.add_segment(6, 5, 1);
    builder.add_segment(6, 4, 1);
    builder.add_segment(7, 0, 1);
    SourceMap map = MapBuilder::finish(std::move(builder), "ab\ncd\nefg", "ab\ncd\nefg\n", 0,
                                       std::string("out.md"));
    // Lines 0 and 2 only: two semicolons between, none at either end; the source line and
    // column run on across lines. Generated offset 6 keeps only the segment recorded last.
    EXPECT_EQ(map.mappings, "AAAC;;AACD,CADA");
    EXPECT_EQ(map.file, "out.md");
}

TEST(MapBuilderFinish, OutputNoLongerThanPrefix) {
    MapBuilder builder("a.tyx", "a.tyx", text("x"));
    builder.add_segment(0, 0, 1);
    builder.omit_sources_content = true;
    SourceMap map =
        MapBuilder::finish(std::move(builder), "", "---\nk: v\n---\n", 13, std::nullopt);
    EXPECT_EQ(map.mappings, "");
    EXPECT_EQ(map.sources, (std::vector<std::string>{"a.tyx"}));
    EXPECT_EQ(map.sources_content, std::nullopt);
}

TEST(PackModuleSourceMap, SharesTheSources) {
    const std::shared_ptr<const std::string> content = text("A {{ x }}");
    MapBuilder builder("/p/a.tyx", "a.tyx", content);
    builder.add_segment(0, 0, 2);
    builder.add_segment(2, 2, 1);
    builder.add_source("<source>", "<source>", text("main"));
    const std::shared_ptr<const ModuleSourceMap> packed =
        pack_module_source_map(std::move(builder));
    EXPECT_EQ(packed->segments, (std::vector<Segment>{{0, 0, 0, 2}, {2, 0, 2, 1}}));
    ASSERT_EQ(packed->sources.size(), 2u);
    EXPECT_EQ(*packed->sources[0].name, "/p/a.tyx");
    EXPECT_EQ(packed->sources[0].content.owner(), content);
    EXPECT_EQ(*packed->sources[1].name, "<source>");
    EXPECT_EQ(*packed->sources[1].content, "main");
}

}  // namespace
}  // namespace tyx
