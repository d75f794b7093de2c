#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/resolver/lib.h"
#include "core/resolver/loaders.h"
#include "core/resolver/module.h"
#include "core/resolver/output.h"
#include "core/sourcemap.h"

namespace tyx {
namespace {

const std::string kContentWarning =
    "sourcesContent total size (52428801 bytes) exceeds the 52428800 byte ceiling; "
    "sourcesContent will be omitted from the source map";

// A builder whose sources hold `sizes` bytes each.
MapBuilder builder_of_sizes(const std::vector<std::size_t>& sizes) {
    MapBuilder builder("<source>", "<source>",
                       std::make_shared<const std::string>(sizes.front(), 'a'));
    for (std::size_t i = 1; i < sizes.size(); ++i) {
        builder.add_source("m" + std::to_string(i), "m",
                           std::make_shared<const std::string>(sizes[i], 'b'));
    }
    return builder;
}

TEST(ApplySourceMapLimits, SourcesContent) {
    struct Case {
        std::string label;
        std::vector<std::size_t> sizes;
        bool sources_content;
        bool omitted;
        std::vector<std::string> warnings;
    };
    const std::size_t half = MAX_SOURCES_CONTENT_SIZE / 2;
    const std::vector<Case> cases = {
        {"exactly at the ceiling", {half, half}, true, false, {}},
        {"one byte over", {half, half + 1}, true, true, {kContentWarning}},
        // The size is tested even when the contents were not asked for.
        {"over and not asked for", {half + 1, half}, false, true, {kContentWarning}},
        {"not asked for", {3}, false, true, {}},
        {"asked for", {3}, true, false, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> warnings;
        std::optional<MapBuilder> kept =
            apply_source_map_limits(builder_of_sizes(c.sizes), c.sources_content, warnings);
        ASSERT_TRUE(kept.has_value()) << c.label;
        EXPECT_EQ(kept->omit_sources_content, c.omitted) << c.label;
        EXPECT_EQ(warnings, c.warnings) << c.label;
    }
}

TEST(ApplySourceMapLimits, OverflowDropsTheMap) {
    MapBuilder builder = builder_of_sizes({MAX_SOURCES_CONTENT_SIZE + 1});
    for (std::size_t i = 0; i <= MAX_SOURCE_MAP_SEGMENTS; ++i)
        builder.add_segment(0, 0, 0);
    ASSERT_TRUE(builder.segments_overflowed());
    std::vector<std::string> warnings = {"earlier"};
    EXPECT_FALSE(apply_source_map_limits(std::move(builder), true, warnings).has_value());
    // Only the cap's warning: the contents are not weighed for a map that is dropped.
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "earlier",
                            "source map segment cap (1000000 segments) exceeded; no source map "
                            "will be generated"}));
}

TEST(RelativizeSourceMapSources, WithoutProjectRoot) {
    Resolver resolver = new_virtual_resolver({});
    SourceMap map;
    map.sources = {"input.tyx", "./lib/../a.tyx", "/abs/dir/b.tyx", "<x>", "lib/c.tyx"};
    relativize_source_map_sources(map, resolver.loader());
    EXPECT_EQ(map.sources,
              (std::vector<std::string>{"input.tyx", "a.tyx", "b.tyx", "<x>", "lib/c.tyx"}));
}

// A loader that knows nothing but its project root.
class RootOnlyLoader final : public ModuleLoader {
  public:
    explicit RootOnlyLoader(std::optional<std::string> root) : root_(std::move(root)) {}
    Result<std::string> resolve(std::string_view) override { return unknown(); }
    Result<std::string> resolve_relative(std::string_view, std::string_view) override {
        return unknown();
    }
    std::string parent_dir(std::string_view) const override { return {}; }
    Result<std::string> read_source(std::string_view) const override { return unknown(); }
    bool is_plain_markdown(std::string_view) const override { return false; }
    Status set_base_dir(std::string_view) override { return {}; }
    Result<std::string> canonicalize(std::string_view) override { return unknown(); }
    std::optional<std::string> project_root() const override { return root_; }

  private:
    static CompileError unknown() { return CompileError::of(ErrorKind::ModuleNotFound, "none"); }
    std::optional<std::string> root_;
};

TEST(RelativizeSourceMapSources, EveryNameIsDistinct) {
    struct Case {
        const char* label;
        std::optional<std::string> root;
        std::vector<std::string> keys;
        std::vector<std::string> names;
    };
    const std::optional<std::string> root = "/home/u/proj";
    const Case cases[] = {
        {"no two alike",
         root,
         {"<source>", "/home/u/proj/lib/a.tyx", "/srv/b.tyx"},
         {"input.tyx", "lib/a.tyx", "b.tyx"}},
        // A later file of the entry text's name is reached from above the root.
        {"file after the entry text",
         root,
         {"<source>", "/home/u/proj/input.tyx"},
         {"input.tyx", "../proj/input.tyx"}},
        {"entry text after a file",
         root,
         {"/home/u/proj/input.tyx", "<source>"},
         {"input.tyx", "<source>"}},
        {"outside the root",
         root,
         {"/home/u/proj/lib.tyx", "/srv/share/lib.tyx"},
         {"lib.tyx", "share/lib.tyx"}},
        {"at the root of the disk", "/", {"<source>", "/input.tyx"}, {"input.tyx", "/input.tyx"}},
        {"below a drive",
         "C:/proj",
         {"<source>", "C:/proj/input.tyx"},
         {"input.tyx", "../proj/input.tyx"}},
        {"at the root of a drive",
         "C:/",
         {"<source>", "C:/input.tyx"},
         {"input.tyx", "C:/input.tyx"}},
        // A longer end of the path, unless another source is named so; then the whole path.
        {"cut to the file name",
         std::nullopt,
         {"/a/x.tyx", "/b/x.tyx", "/c/b/x.tyx"},
         {"x.tyx", "/b/x.tyx", "b/x.tyx"}},
        {"longer end taken by a later source",
         std::nullopt,
         {"/a/x.tyx", "/q/b/x.tyx", "b/x.tyx"},
         {"x.tyx", "/q/b/x.tyx", "b/x.tyx"}},
        // Keys that differ only in "." segments, which consumers drop, are numbered; never with
        // a number that another source's name has.
        {"numbered",
         std::nullopt,
         {"x.tyx", "./x.tyx", "x.tyx (2)", "/a/x.tyx"},
         {"x.tyx", "x.tyx (3)", "x.tyx (2)", "/a/x.tyx"}},
    };
    for (const Case& c : cases) {
        const RootOnlyLoader loader(c.root);
        SourceMap map;
        map.sources = c.keys;
        relativize_source_map_sources(map, loader);
        EXPECT_EQ(map.sources, c.names) << c.label;
    }
}

TEST(CompileWithMap, MarkdownCarriesTheMap) {
    Resolver resolver = new_virtual_resolver({});
    std::vector<std::string> warnings;
    const VarsMap vars = {{"n", Value::string("Ann")}};
    Result<CompileOutput> output =
        compile_source_text(resolver, "---\nk: v\n---\nHi {{ n }}\n", "", &vars,
                            CompileOptions{.source_map = true, .sources_content = true}, warnings);
    ASSERT_TRUE(output.ok()) << format_error_message(output.error());
    const auto& markdown = std::get<MarkdownOutput>(output->body);
    EXPECT_EQ(markdown.text, "---\nk: v\n---\nHi Ann\n");
    ASSERT_TRUE(markdown.source_map.has_value());
    EXPECT_EQ(markdown.source_map->mappings, ";;;AAGA,GAAG,GAAO");
    EXPECT_EQ(markdown.source_map->sources, (std::vector<std::string>{"input.tyx"}));
    EXPECT_EQ(markdown.source_map->sources_content,
              (std::vector<std::string>{"---\nk: v\n---\nHi {{ n }}\n"}));
    EXPECT_TRUE(warnings.empty());
}

// Only a body an importer can paste is rendered with mappings, and only when a map is wanted.
TEST(ImportedModuleMappings, PackedOnlyForAPastableBody) {
    struct Case {
        std::string module;
        bool wanted;
        std::vector<Segment> segments;
        bool mapped;
    };
    const std::vector<Case> cases = {
        {"Body {{ n }}\n", true, {{0, 0, 0, 5}, {5, 0, 5, 1}, {8, 0, 12, 1}}, true},
        {"Body {{ n }}\n@export prompt\n", true, {{0, 0, 0, 5}, {5, 0, 5, 1}, {8, 0, 12, 1}}, true},
        {"Body {{ n }}\n", false, {}, false},
        {"Body\n@define f():\nx\n@end\n@export f\n", true, {}, false},
        {"\n  {{ blank }}\n", true, {}, false},
    };
    const VarsMap vars = {{"n", Value::string("Ann")}, {"blank", Value::string("")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module);
        Resolver resolver = new_virtual_resolver({{"m.tyx", c.module}});
        resolver.set_source_map_wanted(c.wanted);
        std::vector<std::string> warnings;
        Result<CompiledModulePtr> module = resolver.import_module("", "./m.tyx", &vars, warnings);
        ASSERT_TRUE(module.ok()) << format_error_message(module.error());
        EXPECT_TRUE(warnings.empty());
        const std::shared_ptr<const ModuleSourceMap>& mappings = (*module)->body_mappings;
        ASSERT_EQ(mappings != nullptr, c.mapped);
        EXPECT_EQ(build_imported_module(**module).body_mappings, mappings);
        if (!mappings) continue;
        EXPECT_EQ(mappings->segments, c.segments);
        ASSERT_EQ(mappings->sources.size(), 1u);
        EXPECT_EQ(*mappings->sources[0].name, "m.tyx");
        // The module's own text, shared rather than copied.
        EXPECT_EQ(mappings->sources[0].content.owner(), (*module)->source.text.owner());
    }
}

}  // namespace
}  // namespace tyx
