#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/evaluator.h"
#include "core/sourcemap.h"
#include "evaluator_fixture.h"

namespace tyx {
namespace {

using testing::expect_error;
using testing::ExpectedError;
using testing::Template;

MapBuilder builder_for(const Template& t) {
    return MapBuilder(t.name(), t.name(), t.shared_source().text);
}

struct Recorded {
    std::string text;
    std::vector<Segment> segments;
    std::vector<std::string> sources;
};

Recorded render_mapped(Template& t, MapBuilder builder) {
    Result<MappedText> mapped =
        evaluate_with_map(t.nodes(), t.scope, t.warnings, std::move(builder), t.work);
    EXPECT_TRUE(mapped.ok()) << (mapped.ok() ? "" : format_error_message(mapped.error()));
    if (!mapped.ok()) return {};
    return {mapped->text, mapped->builder.segments(), mapped->builder.source_names()};
}

Recorded render_mapped(Template& t) {
    return render_mapped(t, builder_for(t));
}

// Recording never changes the text: the same template renders alike without a builder.
void expect_same_text_without_map(const std::string& source, std::string_view vars,
                                  const std::string& mapped_text) {
    Template plain(source, vars);
    Result<std::string> text = plain.render();
    ASSERT_TRUE(text.ok()) << source;
    EXPECT_EQ(*text, mapped_text) << source;
}

struct MapCase {
    const char* label;
    const char* source;
    const char* vars;
    const char* text;
    std::vector<Segment> segments;  // all in source 0 unless a case says otherwise
};

TEST(EvaluateWithMap, SegmentsOfEachNodeKind) {
    const MapCase cases[] = {
        // The interpolation's length is that of the trimmed text between its braces.
        {"text and interpolation",
         "Hi {{ name }}",
         R"({"name": "Ann"})",
         "Hi Ann",
         {{0, 0, 0, 3}, {3, 0, 3, 4}}},
        {"escaped brace", "a\\{{b", "{}", "a{{b", {{0, 0, 0, 1}, {1, 0, 1, 3}, {3, 0, 4, 1}}},
        // Null and empty values are displayed as nothing, and map nothing: their segment would
        // take the position of the text written after them.
        {"null value", "[{{ x }}]", R"({"x": null})", "[]", {{0, 0, 0, 1}, {1, 0, 8, 1}}},
        {"empty value", "[{{ x }}]", R"({"x": ""})", "[]", {{0, 0, 0, 1}, {1, 0, 8, 1}}},
        {"chosen branch",
         "@if yes:\nA {{ x }}\n@end\nB\n",
         R"({"yes": true, "x": "1"})",
         "A 1\nB\n",
         {{0, 0, 9, 2}, {2, 0, 11, 1}, {3, 0, 18, 1}, {4, 0, 24, 2}}},
        {"no branch", "@if yes:\nA\n@end\nB\n", R"({"yes": false})", "B\n", {{0, 0, 16, 2}}},
        {"loop iterations",
         "@for i in items:\n- {{ i }}\n@end\n",
         R"({"items": ["a", "bb"]})",
         "- a\n- bb\n",
         {{0, 0, 17, 2},
          {2, 0, 19, 1},
          {3, 0, 26, 1},
          {4, 0, 17, 2},
          {6, 0, 19, 1},
          {8, 0, 26, 1}}},
        {"object loop",
         "@for k, v in o:\n{{ k }}={{ v }};\n@end\n",
         R"({"o": {"b": 2, "a": 1}})",
         "a=1;\nb=2;\n",
         {{0, 0, 16, 1},
          {1, 0, 23, 1},
          {2, 0, 24, 1},
          {3, 0, 31, 2},
          {5, 0, 16, 1},
          {6, 0, 23, 1},
          {7, 0, 24, 1},
          {8, 0, 31, 2}}},
        {"block body", "@block b:\nX\n@end\nY", "{}", "X\nY", {{0, 0, 10, 2}, {2, 0, 17, 1}}},
    };
    for (const MapCase& c : cases) {
        Template t(c.source, c.vars);
        const Recorded recorded = render_mapped(t);
        EXPECT_EQ(recorded.text, c.text) << c.label;
        EXPECT_EQ(recorded.segments, c.segments) << c.label;
        expect_same_text_without_map(c.source, c.vars, recorded.text);
    }
}

TEST(EvaluateWithMap, UserFunctionPlacesItsTrimmedBody) {
    // The body renders as "  <Ann>  \n" and is trimmed to "<Ann>": its leading text starts in
    // the removed white space and goes, the rest moves back by the two bytes removed.
    const std::string source = "@define f(x):\n  <{{ x }}>  \n@end\nand {{ f(name) }}!";
    Template t(source, R"({"name": "Ann"})");
    const Recorded recorded = render_mapped(t);
    EXPECT_EQ(recorded.text, "and <Ann>!");
    EXPECT_EQ(recorded.segments, (std::vector<Segment>{
                                     {0, 0, 33, 4},  // "and "
                                     {5, 0, 17, 1},  // the body's {{ x }}
                                     {8, 0, 24, 4},  // ">  \n", cut to ">"
                                     {9, 0, 50, 1},  // "!", right after the trimmed value
                                 }));
    expect_same_text_without_map(source, R"({"name": "Ann"})", recorded.text);
}

TEST(EvaluateWithMap, FunctionOfAnotherModuleRecordsUnderItsSource) {
    Template lib("@define greet(who):\nHi {{ who }}\n@end\n", "{}", "lib.tyx");
    Template t("[{{ m.greet(name) }}] {{ name }}", R"({"name": "Ann"})");
    t.scope.define_import_alias("m", lib.as_module());
    const Recorded recorded = render_mapped(t);
    EXPECT_EQ(recorded.text, "[Hi Ann] Ann");
    EXPECT_EQ(recorded.sources, (std::vector<std::string>{"main.tyx", "lib.tyx"}));
    EXPECT_EQ(recorded.segments, (std::vector<Segment>{
                                     {0, 0, 0, 1},
                                     {1, 1, 20, 3},
                                     {4, 1, 23, 3},
                                     // The current source is the entry's again after the call.
                                     {7, 0, 20, 2},
                                     {9, 0, 22, 4},
                                 }));
}

TEST(EvaluateWithMap, FunctionWithoutSourceIsSuppressed) {
    Template t("@define f():\nbody\n@end\n<{{ f() }}>");
    // Rebuilt without a source, as a function that cannot be mapped.
    const FunctionDef* defined = t.scope.lookup_function("f");
    ASSERT_NE(defined, nullptr);
    auto unmapped = std::make_shared<FunctionDef>(*defined);
    unmapped->source.reset();
    t.scope.define_function("f", unmapped);
    const Recorded recorded = render_mapped(t);
    EXPECT_EQ(recorded.text, "<body>");
    // The interpolation maps the whole value, and nothing of the body is recorded.
    EXPECT_EQ(recorded.segments,
              (std::vector<Segment>{{0, 0, 23, 1}, {1, 0, 24, 3}, {5, 0, 33, 1}}));
}

TEST(EvaluateWithMap, CallsWhoseValueIsNotWrittenRecordNothing) {
    const MapCase cases[] = {
        // The body of f would otherwise be mapped where the branch's own text goes.
        {"condition",
         "@define f():\nfff\n@end\n@if f():\nX\n@end\nY",
         "{}",
         "X\nY",
         {{0, 0, 31, 2}, {2, 0, 38, 1}}},
        {"loop iterable",
         "@define f():\nfff\n@end\n@for c in split(f(), 'f'):\n.\n@end\n",
         "{}",
         ".\n.\n.\n.\n",
         {{0, 0, 49, 2}, {2, 0, 49, 2}, {4, 0, 49, 2}, {6, 0, 49, 2}}},
        // Only the outer call's body is placed; the inner value enters through its parameter.
        {"call argument",
         "@define f():\nfff\n@end\n@define g(x):\n[{{ x }}]\n@end\n{{ g(f()) }}",
         "{}",
         "[fff]",
         {{0, 0, 36, 1}, {1, 0, 37, 1}, {4, 0, 44, 2}}},
    };
    for (const MapCase& c : cases) {
        Template t(c.source, c.vars);
        const Recorded recorded = render_mapped(t);
        EXPECT_EQ(recorded.text, c.text) << c.label;
        EXPECT_EQ(recorded.segments, c.segments) << c.label;
        expect_same_text_without_map(c.source, c.vars, recorded.text);
    }
}

// A module body "ab" rendered from two sources of its own, as the resolver packs it.
ImportedModule included_module(std::shared_ptr<const ModuleSourceMap>& mappings) {
    auto packed = std::make_shared<ModuleSourceMap>();
    packed->sources = {
        {std::make_shared<const std::string>("lib/a.tyx"),
         std::make_shared<const std::string>("a")},
        {std::make_shared<const std::string>("lib/b.tyx"),
         std::make_shared<const std::string>("b")},
    };
    // The last segment names a source the record does not hold, and is dropped.
    packed->segments = {{0, 0, 0, 1}, {1, 1, 0, 1}, {1, 7, 0, 1}};
    mappings = packed;
    ImportedModule module;
    module.body_text = std::make_shared<const std::string>("ab");
    module.body_mappings = packed;
    return module;
}

TEST(EvaluateWithMap, IncludeSplicesTheModuleMappings) {
    std::shared_ptr<const ModuleSourceMap> mappings;
    Template t("x\n@include m\n--\n@include m\n");
    t.scope.define_import_alias("m", included_module(mappings));
    const Recorded recorded = render_mapped(t);
    EXPECT_EQ(recorded.text, "x\nab--\nab");
    // Registered once for both inclusions; each shifted to where its body is pasted.
    EXPECT_EQ(recorded.sources, (std::vector<std::string>{"main.tyx", "lib/a.tyx", "lib/b.tyx"}));
    EXPECT_EQ(recorded.segments, (std::vector<Segment>{
                                     {0, 0, 0, 2},
                                     {2, 1, 0, 1},
                                     {3, 2, 0, 1},
                                     {4, 0, 13, 3},
                                     {7, 1, 0, 1},
                                     {8, 2, 0, 1},
                                 }));
}

TEST(EvaluateWithMap, IncludeOfAPackedModuleBody) {
    // The module's body is rendered with its own builder and packed, as the resolver does.
    Template lib("Hello {{ who }}\n", R"({"who": "Ann"})", "lib.tyx");
    Result<MappedText> body =
        evaluate_with_map(lib.nodes(), lib.scope, lib.warnings, builder_for(lib), lib.work);
    ASSERT_TRUE(body.ok());
    ImportedModule module;
    module.body_text = std::make_shared<const std::string>(body->text);
    module.body_mappings = pack_module_source_map(std::move(body->builder));

    Template t("A\n@include m\nB");
    t.scope.define_import_alias("m", module);
    const Recorded recorded = render_mapped(t);
    EXPECT_EQ(recorded.text, "A\nHello Ann\nB");
    EXPECT_EQ(recorded.sources, (std::vector<std::string>{"main.tyx", "lib.tyx"}));
    EXPECT_EQ(recorded.segments, (std::vector<Segment>{
                                     {0, 0, 0, 2},
                                     {2, 1, 0, 6},
                                     {8, 1, 6, 3},
                                     {11, 1, 15, 1},
                                     {12, 0, 13, 1},
                                 }));
}

TEST(EvaluateWithMap, IncludeInsideAnUnmappedFunctionFollowsItsTrimming) {
    std::shared_ptr<const ModuleSourceMap> mappings;
    Template t("@define f():\n  \n@include m\n@end\n<{{ f() }}>");
    const FunctionDef* defined = t.scope.lookup_function("f");
    ASSERT_NE(defined, nullptr);
    auto unmapped = std::make_shared<FunctionDef>(*defined);
    unmapped->source.reset();
    NameLogs captured;
    captured.aliases.bind("m", included_module(mappings));
    unmapped->captured = CapturedNames::of(captured);
    t.scope.define_function("f", unmapped);
    const Recorded recorded = render_mapped(t);
    EXPECT_EQ(recorded.text, "<ab>");
    // The body "  \nab" loses three leading bytes, and so do the included segments; the first
    // of them maps where the value begins, so the interpolation records nothing there.
    EXPECT_EQ(recorded.segments, (std::vector<Segment>{
                                     {0, 0, 32, 1},
                                     {1, 1, 0, 1},
                                     {2, 2, 0, 1},
                                     {3, 0, 42, 1},
                                 }));
}

TEST(EvaluateWithMap, IncludeRespectsTheSegmentCap) {
    std::shared_ptr<const ModuleSourceMap> mappings;
    Template t("@include m\n");
    t.scope.define_import_alias("m", included_module(mappings));
    MapBuilder builder = builder_for(t);
    for (std::size_t i = 0; i + 1 < MAX_SOURCE_MAP_SEGMENTS; ++i)
        builder.add_segment(0, 0, 0);
    Result<MappedText> mapped =
        evaluate_with_map(t.nodes(), t.scope, t.warnings, std::move(builder), t.work);
    ASSERT_TRUE(mapped.ok());
    EXPECT_TRUE(mapped->builder.segments_overflowed());
    EXPECT_EQ(mapped->builder.segments().size(), MAX_SOURCE_MAP_SEGMENTS);
    EXPECT_EQ(mapped->builder.segments().back(), (Segment{0, 1, 0, 1}));
}

TEST(EvaluateWithMap, ErrorsAreThoseOfRendering) {
    Template t("{{ missing }}");
    Result<MappedText> mapped =
        evaluate_with_map(t.nodes(), t.scope, t.warnings, builder_for(t), t.work);
    expect_error(mapped, ExpectedError{ErrorKind::UndefinedVar, "undefined variable 'missing'",
                                       std::nullopt});
}

BodyPart part_of(const Template& t) {
    return BodyPart{nullptr, std::span<const Node>(t.nodes()), t.shared_source()};
}

TEST(EvaluateParts, EachPartMapsToItsOwnModule) {
    Template root("Top {{ x }}\n", R"({"x": "1"})", "root.tyx");
    Template child("Child\n", "{}", "child.tyx");
    const std::vector<BodyPart> parts = {part_of(root), part_of(child), part_of(root)};
    Result<MappedText> mapped =
        evaluate_parts(parts, root.scope, root.warnings, builder_for(root), root.work);
    ASSERT_TRUE(mapped.ok()) << format_error_message(mapped.error());
    EXPECT_EQ(mapped->text, "Top 1\nChild\nTop 1\n");
    EXPECT_EQ(mapped->builder.source_names(), (std::vector<std::string>{"root.tyx", "child.tyx"}));
    EXPECT_EQ(mapped->builder.segments(), (std::vector<Segment>{
                                              {0, 0, 0, 4},
                                              {4, 0, 4, 1},
                                              {5, 0, 11, 1},
                                              {6, 1, 0, 6},
                                              {12, 0, 0, 4},
                                              {16, 0, 4, 1},
                                              {17, 0, 11, 1},
                                          }));
}

TEST(EvaluateParts, ErrorsAreLocatedInThePartsModule) {
    Template root("ok\n", R"({"a": "s"})", "root.tyx");
    Template child("@if a == 1:\nx\n@end\n", "{}", "child.tyx");
    Result<MappedText> mapped = evaluate_parts({part_of(root), part_of(child)}, root.scope,
                                               root.warnings, builder_for(root), root.work);
    ASSERT_FALSE(mapped.ok());
    EXPECT_EQ(mapped.error().kind, ErrorKind::TypeMismatch);
    ASSERT_NE(mapped.error().location.source, nullptr);
    EXPECT_EQ(mapped.error().location.source->name, "child.tyx");
    EXPECT_EQ(mapped.error().location.span, (Span{0, 11}));
}

TEST(EvaluateParts, LimitsHoldForTheWholeSkeleton) {
    // Each part runs 600,000 iterations: within the limit alone, over it together.
    std::string loops;
    for (int i = 0; i < 6; ++i)
        loops += "@for i in items:\n@end\n";
    Template first(loops, "{}", "a.tyx");
    Template second(loops, "{}", "b.tyx");
    first.scope.define_variable("items", Value::array(ValueArray(100'000, Value::null())));
    Result<MappedText> looped = evaluate_parts({part_of(first), part_of(second)}, first.scope,
                                               first.warnings, builder_for(first), first.work);
    expect_error(looped, ExpectedError{ErrorKind::ResourceLimit,
                                       "resource limit exceeded: total loop iterations exceeded "
                                       "maximum of 1000000 across all loops in this compilation",
                                       std::nullopt});

    // Each part makes 2^19 - 1 user-function calls through a chain that calls the next
    // function twice: within MAX_TOTAL_CALLS alone, over it together, as the same nodes are
    // when rendered without a map.
    std::string chain;
    for (int i = 1; i < 19; ++i) {
        const std::string next = "f" + std::to_string(i + 1) + "()";
        chain +=
            "@define f" + std::to_string(i) + "():\n{{ " + next + " }}{{ " + next + " }}\n@end\n";
    }
    chain += "@define f19():\nx\n@end\n{{ f1() }}\n";
    Template calls(chain, "{}", "calls.tyx");
    const std::string calls_error =
        "resource limit exceeded: total user function calls exceeded maximum of 1000000 in this "
        "compilation";
    Result<MappedText> called = evaluate_parts({part_of(calls), part_of(calls)}, calls.scope,
                                               calls.warnings, builder_for(calls), calls.work);
    expect_error(called, ExpectedError{ErrorKind::ResourceLimit, calls_error, std::nullopt});

    // Each part's text is just over half the output limit.
    Template big("{{ half }}", "{}", "big.tyx");
    big.scope.define_variable("half", Value::string(std::string(MAX_OUTPUT_SIZE / 2 + 1, 'x')));
    Result<MappedText> sized = evaluate_parts({part_of(big), part_of(big)}, big.scope, big.warnings,
                                              builder_for(big), big.work);
    expect_error(sized, ExpectedError{ErrorKind::ResourceLimit,
                                      "resource limit exceeded: output exceeds maximum size of "
                                      "52428800 bytes",
                                      std::nullopt});
}

}  // namespace
}  // namespace tyx
