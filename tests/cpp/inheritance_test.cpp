// The pieces of template inheritance that the pipeline cannot show on their own: the YAML writer
// of merged frontmatter, the skeleton expansion and the body check's locations.
#include "core/resolver/inheritance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/resolver/lib.h"

namespace tyx {
namespace {

YamlValue str(std::string text) {
    return YamlValue::string(std::move(text));
}

YamlValue integer(uint64_t number) {
    return YamlValue::number(YamlNumber::from_unsigned(number));
}

YamlValue real(double number) {
    return YamlValue::number(YamlNumber::from_float(number));
}

YamlMapping mapping_of(std::vector<std::pair<std::string, YamlValue>> entries) {
    YamlMapping mapping;
    for (auto& [key, value] : entries)
        mapping.insert(str(key), std::move(value));
    return mapping;
}

std::string emitted(const YamlMapping& mapping) {
    Result<std::optional<std::string>> text = emit_frontmatter_yaml(mapping);
    EXPECT_TRUE(text.ok()) << (text.ok() ? "" : text.error().text);
    if (!text.ok() || !*text) return "<none>";
    return **text;
}

TEST(EmitFrontmatter, ScalarsAreWrittenSoThatTheyReadBack) {
    struct Case {
        YamlValue value;
        std::string text;
    };
    const std::vector<Case> cases = {
        {YamlValue::null(), "v: null\n"},
        {YamlValue::boolean(true), "v: true\n"},
        {YamlValue::boolean(false), "v: false\n"},
        {integer(42), "v: 42\n"},
        {YamlValue::number(YamlNumber::from_negative(-7)), "v: -7\n"},
        {real(1.0), "v: 1.0\n"},
        {real(0.1), "v: 0.1\n"},
        {real(1e16), "v: 1e16\n"},
        {real(1234.5), "v: 1234.5\n"},
        {real(1.5e-7), "v: 1.5e-7\n"},
        {real(0.00025), "v: 0.00025\n"},
        {real(-2.5e300), "v: -2.5e300\n"},
        {real(-0.0), "v: -0.0\n"},
        {real(std::numeric_limits<double>::infinity()), "v: .inf\n"},
        {real(-std::numeric_limits<double>::infinity()), "v: -.inf\n"},
        {real(std::numeric_limits<double>::quiet_NaN()), "v: .nan\n"},
        {str("plain text"), "v: plain text\n"},
        {str("é ✓"), "v: é ✓\n"},
        // Strings that would read back as another kind are single-quoted.
        {str(""), "v: ''\n"},
        {str("true"), "v: 'true'\n"},
        {str("No"), "v: No\n"},
        {str("~"), "v: '~'\n"},
        {str("null"), "v: 'null'\n"},
        {str("12"), "v: '12'\n"},
        {str("007"), "v: '007'\n"},
        {str("0x1F"), "v: '0x1F'\n"},
        {str("-1.5e3"), "v: '-1.5e3'\n"},
        {str(".inf"), "v: '.inf'\n"},
        {str("1e999"), "v: 1e999\n"},
        {str("line one\nline two"), "v: |-\n  line one\n  line two\n"},
        {str("ends\n"), "v: |\n  ends\n"},
        {YamlValue::sequence({str("x"), integer(1)}), "v:\n- x\n- 1\n"},
        {YamlValue::sequence({}), "v: []\n"},
        {YamlValue::mapping(YamlMapping()), "v: {}\n"},
        {YamlValue::mapping(mapping_of({{"inner", str("y")}})), "v:\n  inner: y\n"},
        {YamlValue::tagged("custom", str("x")), "v: !custom x\n"},
        // Characters past U+FFFF are written as they are.
        {str("\U0001F600"), "v: \U0001F600\n"},
        {str("a\t\U0001F600"), "v: \"a\\t\U0001F600\"\n"},
        {YamlValue::mapping(mapping_of({{"\U0001F600", str("\U0001F601")}})),
         "v:\n  \U0001F600: \U0001F601\n"},
        // Private use characters and their percent-encoded forms do not upset that.
        {YamlValue::sequence(
             {str("\ue000 !%EE%80%81 \U0001F600"), YamlValue::tagged("!", str("x"))}),
         "v:\n- \ue000 !%EE%80%81 \U0001F600\n- ! x\n"},
        // The non-specific tag stays non-specific.
        {YamlValue::tagged("!", integer(5)), "v: ! 5\n"},
        {YamlValue::tagged("!", YamlValue::sequence({str("\U0001F600")})), "v: !\n- \U0001F600\n"},
        // White space at either end of a string is kept inside quotes.
        {str("\u3000"), "v: '\u3000'\n"},
        {str("x\u00a0"), "v: 'x\u00a0'\n"},
        {str("\u2009x"), "v: '\u2009x'\n"},
        {YamlValue::mapping(mapping_of({{"\u3000", str("y")}})), "v:\n  '\u3000': y\n"},
        // A literal block keeps a last line that ends in white space; one that is only white
        // space is written quoted instead.
        {str("a\nb\u3000"), "v: |-\n  a\n  b\u3000\n"},
        {str("\u3000\na"), "v: |-\n  \u3000\n  a\n"},
        {str("a\n\u3000"), "v: 'a\n\n  \u3000'\n"},
        {str("a\n\u3000\n"), "v: 'a\n\n  \u3000\n\n  '\n"},
        {str("a\n "), "v: \"a\\n \"\n"},
    };
    for (const Case& c : cases) {
        YamlMapping mapping = mapping_of({{"v", c.value}});
        const std::string text = emitted(mapping);
        EXPECT_EQ(text, c.text);
        // The written text loads back to the same mapping.
        Result<YamlValue> loaded = parse_frontmatter_yaml(text);
        ASSERT_TRUE(loaded.ok()) << text << loaded.error().text;
        ASSERT_TRUE(loaded->is_mapping()) << text;
        const YamlValue* value = loaded->as_mapping().find("v");
        ASSERT_NE(value, nullptr) << text;
        if (c.value.is_number() && std::isnan(c.value.as_number().as_float())) continue;
        EXPECT_EQ(*value, c.value) << text;
    }
}

TEST(EmitFrontmatter, KeysKeepTheirOrderAndQuoting) {
    YamlMapping mapping = mapping_of({{"title", str("B")},
                                      {"tags", YamlValue::sequence({str("x")})},
                                      {"true", str("key that reads as a boolean")}});
    EXPECT_EQ(emitted(mapping), "title: B\ntags:\n- x\n'true': key that reads as a boolean\n");
}

TEST(EmitFrontmatter, EmptyMappingWritesNothingAndInvalidTextFails) {
    Result<std::optional<std::string>> none = emit_frontmatter_yaml(YamlMapping());
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none->has_value());

    Result<std::optional<std::string>> invalid =
        emit_frontmatter_yaml(mapping_of({{"v", str("bad \xff byte")}}));
    ASSERT_FALSE(invalid.ok());
    EXPECT_EQ(invalid.error().kind, ErrorKind::Yaml);
    EXPECT_FALSE(invalid.error().text.empty());
}

std::shared_ptr<const std::vector<Node>> nodes_of(std::vector<Node> nodes) {
    return std::make_shared<const std::vector<Node>>(std::move(nodes));
}

// Its text must outlive the node: the tests pass literals.
Node text_node(std::string_view text, uint64_t offset) {
    return Node{Node::Text{text, offset}};
}

Node block_node(std::string_view name, std::vector<Node> body, uint64_t offset) {
    return Node{Node::Block{name, std::move(body), offset}};
}

// Hand-built nodes have no tree, so their sources are only names and a text.
SharedSource source_named(std::string_view key, std::string_view text) {
    return SharedSource{std::make_shared<const std::string>(key),
                        std::make_shared<const std::string>(key),
                        std::make_shared<const std::string>(text)};
}

TEST(Skeleton, ExpandsBlocksIntoTheirOverridesAndKeepsOtherNodesApart) {
    const SharedSource root = source_named("root.tyx", "root text");
    const SharedSource child = source_named("child.tyx", "child text");
    auto skeleton =
        nodes_of({text_node("head\n", 0), block_node("main", {text_node("default\n", 20)}, 5),
                  text_node("tail\n", 40), block_node("side", {text_node("side\n", 60)}, 50)});
    const auto* main = node_if<Node::Block>((*skeleton)[1]);
    const auto* side = node_if<Node::Block>((*skeleton)[3]);
    auto override_body = nodes_of({text_node("override\n", 3), text_node("more\n", 12)});
    BlockMap blocks = {
        {"main", BlockOverride{override_body, child, 0}},
        {"side",
         BlockOverride{std::shared_ptr<const std::vector<Node>>(skeleton, &side->body), root, 50}},
    };
    ASSERT_NE(main, nullptr);

    Result<std::vector<BodyPart>> parts = expand_skeleton(skeleton, blocks, root);
    ASSERT_TRUE(parts.ok());
    ASSERT_EQ(parts->size(), 4u);
    const std::vector<std::pair<std::string, size_t>> expected = {
        {"root.tyx", 1}, {"child.tyx", 2}, {"root.tyx", 1}, {"root.tyx", 1}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(*(*parts)[i].source.key, expected[i].first) << i;
        EXPECT_EQ((*parts)[i].nodes.size(), expected[i].second) << i;
    }
    EXPECT_EQ((*parts)[1].nodes.data(), override_body->data());

    Result<std::shared_ptr<const std::vector<Node>>> flat =
        flatten_skeleton(skeleton, blocks, root);
    ASSERT_TRUE(flat.ok());
    std::vector<std::string> texts;
    for (const Node& node : **flat)
        texts.emplace_back(node_get<Node::Text>(node).text);
    EXPECT_EQ(texts,
              (std::vector<std::string>{"head\n", "override\n", "more\n", "tail\n", "side\n"}));

    // A skeleton block without an entry would drop its override silently: refused instead.
    blocks.pop_back();
    Result<std::vector<BodyPart>> broken = expand_skeleton(skeleton, blocks, root);
    ASSERT_FALSE(broken.ok());
    EXPECT_EQ(broken.error().kind, ErrorKind::Syntax);
    EXPECT_TRUE(broken.error().text.starts_with(
        "internal error: skeleton @block has no effective_blocks entry"))
        << broken.error().text;
    EXPECT_FALSE(flatten_skeleton(skeleton, blocks, root).ok());
}

// The copied nodes view the trees they came from, which the list keeps alive.
TEST(Skeleton, FlattenedListKeepsTheTreesOfItsNodesAlive) {
    const SharedSource root = source_named("root.tyx", "root text");
    const SharedSource child = source_named("child.tyx", "child text");
    auto skeleton = nodes_of({text_node("head\n", 0), block_node("main", {}, 5)});
    auto override_body = nodes_of({text_node("override\n", 3)});
    BlockMap blocks = {{"main", BlockOverride{override_body, child, 0}}};
    Result<std::shared_ptr<const std::vector<Node>>> flat =
        flatten_skeleton(skeleton, blocks, root);
    ASSERT_TRUE(flat.ok());
    std::shared_ptr<const std::vector<Node>> list = std::move(flat).value();
    const std::weak_ptr<const std::vector<Node>> skeleton_alive = skeleton;
    const std::weak_ptr<const std::vector<Node>> override_alive = override_body;
    blocks.clear();
    skeleton.reset();
    override_body.reset();
    EXPECT_FALSE(skeleton_alive.expired());
    EXPECT_FALSE(override_alive.expired());
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ(node_get<Node::Text>((*list)[1]).text, "override\n");
    list.reset();
    EXPECT_TRUE(skeleton_alive.expired());
    EXPECT_TRUE(override_alive.expired());
}

TEST(ExtendingBody, LocatesTheFirstNodeThatIsNoOverride) {
    const std::string text = "@extends \"./b.tyx\"\né\n@include m\n";
    const ModuleSource source{"c.tyx", "c.tyx", text, "", nullptr};
    struct Case {
        Node node;
        Span span;
    };
    const std::vector<Case> cases = {
        {text_node("stray\n", 22), Span{0, 18}},
        {Node{Node::Export{ExportKind{ExportKind::Name{"f"}}, 22}}, Span{0, 18}},
        {Node{Node::Include{"m", 22}}, Span{22, 10}},
        // An offset inside a character or past the end gives an empty span.
        {Node{Node::Include{"m", 20}}, Span{20, 0}},
        {Node{Node::Include{"m", 500}}, Span{500, 0}},
    };
    for (const Case& c : cases) {
        std::vector<Node> body;
        body.push_back(text_node("\n  \n", 19));
        body.push_back(block_node("main", {}, 19));
        body.push_back(c.node);
        Status status = check_extending_template_body(body, source);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().kind, ErrorKind::Extends);
        EXPECT_EQ(status.error().text, "an extending template may contain only @block overrides");
        EXPECT_EQ(status.error().location.span, c.span);
    }
    EXPECT_TRUE(check_extending_template_body({text_node(" \t\n", 0)}, source).ok());
}

}  // namespace
}  // namespace tyx
