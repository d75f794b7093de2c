#include "core/lint/facts.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/frontmatter/frontmatter.h"
#include "core/keyed_tables.h"
#include "core/lexer.h"
#include "core/parser.h"

namespace tyx {
namespace {

LintFacts facts_of(std::string_view source) {
    auto text = std::make_shared<const std::string>(source);
    auto tokens = tokenize(*text, "input.tyx");
    EXPECT_TRUE(tokens.ok()) << source;
    if (!tokens.ok()) return {};
    auto tree = parse_template(*tokens, "input.tyx", text);
    EXPECT_TRUE(tree.ok()) << (tree.ok() ? "" : tree.error().text);
    if (!tree.ok()) return {};
    auto facts = collect_template_facts(*tree, source);
    EXPECT_TRUE(facts.ok());
    if (!facts.ok()) return {};
    return std::move(facts).value();
}

std::set<std::string> sorted(const KeyedTextSet& names) {
    return {names.begin(), names.end()};
}

struct KeyCase {
    const char* name;
    std::string source;
    // name, and the text the key's offset points at; empty when the key is not located
    std::vector<std::pair<std::string, std::string>> keys;
};

TEST(FrontmatterKeyFacts, LocatesKeysAtLineStartsInTheBlock) {
    const std::vector<KeyCase> cases = {
        {"plain key", "---\ntitle: x\n---\n", {{"title", "title: x"}}},
        {"reserved keys give no fact",
         "---\nimports: []\ntype: tyx\nextends: x\nprompt: p\nPrompt: q\n---\n",
         {{"Prompt", "Prompt: q"}}},
        {"CR LF line ends", "---\r\na: 1\r\nb: 2\r\n---\r\n", {{"a", "a: 1"}, {"b", "b: 2"}}},
        {"only a line start counts",
         "---\na: 'title: b'\ntitle: c\n---\n",
         {{"a", "a: 'title"}, {"title", "title: c"}}},
        {"quoted key is not located", "---\n\"q\": 1\n---\n", {{"q", ""}}},
        // The body line "q: later" is not where the key is written.
        {"a body line is not the key", "---\n'q': 1\n---\nq: later\n", {{"q", ""}}},
        {"flow mapping", "---\n{a: 1, b: 2}\n---\n", {{"a", ""}, {"b", ""}}},
        {"mapping order kept", "---\nz: 1\na: 2\n---\n", {{"z", "z: 1"}, {"a", "a: 2"}}},
        {"non-string keys skipped", "---\n1: a\ntrue: b\nk: c\n---\n", {{"k", "k: c"}}},
        {"a sequence gives nothing", "---\n- a\n- b\n---\n", {}},
        {"a scalar gives nothing", "---\nhello\n---\n", {}},
        {"invalid YAML gives nothing", "---\na: [1\n---\n", {}},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        const LintFacts facts = facts_of(c.source);
        std::vector<std::tuple<std::string, bool, uint64_t>> got;
        for (const FrontmatterKeyFact& fact : facts.frontmatter_key_facts) {
            got.emplace_back(fact.name, fact.found, fact.found ? fact.offset : 0);
        }
        std::vector<std::tuple<std::string, bool, uint64_t>> expected;
        for (const auto& [name, text] : c.keys) {
            expected.emplace_back(name, !text.empty(), text.empty() ? 0 : c.source.find(text));
        }
        EXPECT_EQ(got, expected);
    }
    // The first key of a plain block sits right after the opening line.
    EXPECT_EQ(facts_of("---\ntitle: x\n---\n").frontmatter_key_facts.at(0).offset, 4u);
}

using KeySpans = std::vector<std::tuple<std::string, bool, uint64_t>>;

KeySpans key_spans(const LintFacts& facts) {
    KeySpans spans;
    for (const FrontmatterKeyFact& fact : facts.frontmatter_key_facts) {
        spans.emplace_back(fact.name, fact.found, fact.found ? fact.offset : 0);
    }
    return spans;
}

struct SpanCase {
    const char* name;
    std::string source;
    KeySpans spans;  // name, found, offset
};

// Exact offsets of the keys of frontmatters that a key search can trip on: keys that stand
// elsewhere too, lines that only look like keys, and keys that are not written as "key:".
TEST(FrontmatterKeyFacts, KeyOffsetsOfAwkwardFrontmatters) {
    const std::vector<SpanCase> cases = {
        {"CR LF lines and body",
         "---\r\na: 1\r\nbb: 2\r\n---\r\na: body\r\n",
         {{"a", true, 5}, {"bb", true, 11}}},
        {"comments that look like keys",
         "---\n# a: no\na: 1 # b: no\n#b: 2\nb: 3\n---\n",
         {{"a", true, 12}, {"b", true, 31}}},
        {"quoted keys",
         "---\n\"a\": 1\n'b c': 2\nd: 3\n---\n",
         {{"a", false, 0}, {"b c", false, 0}, {"d", true, 20}}},
        {"flow mapping over lines",
         "---\n{a: 1,\nb: 2,\n\"c\": 3}\n---\n",
         {{"a", false, 0}, {"b", true, 11}, {"c", false, 0}}},
        {"flow mapping value",
         "---\nm: {a: 1, b: 2}\na: 3\n---\n",
         {{"m", true, 4}, {"a", true, 20}}},
        {"nested mappings",
         "---\nouter:\n  x: 1\n  inner:\n    y: 2\nx: 3\ny: 4\n---\n",
         {{"outer", true, 4}, {"x", true, 36}, {"y", true, 41}}},
        {"key written again inside a later value",
         "---\nk: 1\nv: \"x\nk: again\"\n---\n",
         {{"k", true, 4}, {"v", true, 9}}},
        {"key inside an earlier multi-line value",
         "---\nv: \"x\nk: inside\"\nk: 3\n---\n",
         {{"v", true, 4}, {"k", true, 10}}},
        {"key inside an earlier key",
         "---\na:b: 1\nab: 2\na: 3\nb: 4\n---\n",
         {{"a:b", true, 4}, {"ab", true, 11}, {"a", true, 4}, {"b", true, 22}}},
        {"key that is a prefix of an earlier key",
         "---\nkey2: 1\nkey: 2\nke: 3\n---\n",
         {{"key2", true, 4}, {"key", true, 12}, {"ke", true, 19}}},
        {"keys inside block scalars",
         "---\nt: |\n  a: x\n  b: y\nu: >-\n  a: z\na: 1\nb: 2\n---\n",
         {{"t", true, 4}, {"u", true, 23}, {"a", true, 36}, {"b", true, 41}}},
        {"complex and spaced keys",
         "---\n? a\n: 1\nb : 2\nc:\n---\n",
         {{"a", false, 0}, {"b", false, 0}, {"c", true, 18}}},
        {"anchors, aliases and a merge",
         "---\nbase: &b {x: 1}\ncopy: *b\n<<: *b\n---\n",
         {{"base", true, 4}, {"copy", true, 20}, {"<<", true, 29}}},
        {"empty and non-ASCII keys",
         "---\n\"\": 1\nna\xc3\xafve: 2\n---\n",
         {{"", false, 0}, {"na\xc3\xafve", true, 10}}},
        {"closing line at the end of the source",
         "---\na: 1\nb: 2\n---",
         {{"a", true, 4}, {"b", true, 9}}},
        {"a body line after the block",
         "---\n'q': 1\nr: 2\n---\nq: later\nr: later\n",
         {{"q", false, 0}, {"r", true, 11}}},
    };
    for (const SpanCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(key_spans(facts_of(c.source)), c.spans);
    }
}

// Keys set against sources written for them, most of which no template's frontmatter could
// give: keys holding line feeds or carriage returns, one whose text would run past the block.
TEST(FrontmatterKeyFacts, KeyOffsetsOfKeysWithLineFeeds) {
    struct Case {
        const char* name;
        std::string source;
        std::vector<std::string> keys;
        KeySpans spans;
    };
    const std::vector<Case> cases = {
        {"key over two lines",
         "---\nx\na\nb: 1\n---\n",
         {"a\nb", "x\na"},
         {{"a\nb", true, 6}, {"x\na", false, 0}}},
        {"line feed at the start",
         "---\nx\n\nb: 1\n---\n",
         {"\nb", "b"},
         {{"\nb", true, 6}, {"b", true, 7}}},
        {"occurrence inside an earlier one",
         "---\nza:\na:\na: 1\n---\n",
         {"a:\na", "a"},
         {{"a:\na", false, 0}, {"a", true, 8}}},
        {"occurrence past the block",
         "---\na\n---\nb: 1\n",
         {"a\n---\nb", "b"},
         {{"a\n---\nb", false, 0}, {"b", false, 0}}},
        {"no closing line", "---\na: 1\n", {"a"}, {{"a", true, 4}}},
        {"carriage return in a key",
         "---\na\r: 1\r\na: 2\n---\n",
         {"a\r", "a"},
         {{"a\r", true, 4}, {"a", true, 11}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        YamlMapping mapping;
        for (const std::string& key : c.keys) {
            ASSERT_TRUE(mapping.insert(YamlValue::string(key), YamlValue::null()));
        }
        LintFacts facts;
        collect_frontmatter_key_facts(c.source, YamlValue::mapping(mapping), facts);
        EXPECT_EQ(key_spans(facts), c.spans);
    }
}

// The key search taken one key at a time: every occurrence of "key:" from the block's start, the
// first at a line start accepted, a rejected one resuming the search after its last byte.
std::optional<uint64_t> search_key_alone(std::string_view source, size_t start, size_t end,
                                         const std::string& key) {
    const std::string pattern = key + ":";
    for (size_t from = start; from < end;) {
        const size_t hit = source.find(pattern, from);
        if (hit == std::string_view::npos || hit + pattern.size() > end) return std::nullopt;
        if (hit == start || source[hit - 1] == '\n') return hit;
        from = hit + pattern.size();
    }
    return std::nullopt;
}

// Blocks and keys drawn from a few bytes, so that keys overlap, repeat, run into each other and
// over lines; every key lands where the search for it alone puts it.
TEST(FrontmatterKeyFacts, AllKeysLandWhereEachAloneIsFound) {
    std::mt19937 random(22);
    const std::string_view alphabet = "ab:\n\r";
    const auto draw = [&](size_t length) {
        std::string text;
        for (size_t i = 0; i < length; ++i)
            text += alphabet[random() % alphabet.size()];
        return text;
    };
    for (int round = 0; round < 3000; ++round) {
        std::string block = draw(random() % 40);
        if (!block.empty() && block.back() != '\n') block += '\n';
        const std::string source = "---\n" + block + "---\n" + draw(random() % 10);
        YamlMapping mapping;
        KeySpans expected;
        for (int k = 0; k < 6; ++k) {
            std::string key = draw(random() % 5);
            if (!mapping.insert(YamlValue::string(key), YamlValue::null())) continue;
            const std::optional<uint64_t> offset =
                search_key_alone(source, 4, 4 + block.size(), key);
            expected.emplace_back(key, offset.has_value(), offset.value_or(0));
        }
        LintFacts facts;
        collect_frontmatter_key_facts(source, YamlValue::mapping(mapping), facts);
        ASSERT_EQ(key_spans(facts), expected) << source;
    }
}

TEST(FrontmatterKeyFacts, NeedsTheOpeningLine) {
    LintFacts facts;
    YamlMapping mapping;
    ASSERT_TRUE(mapping.insert(YamlValue::string("a"), YamlValue::null()));
    collect_frontmatter_key_facts("a: 1\n", YamlValue::mapping(mapping), facts);
    ASSERT_EQ(facts.frontmatter_key_facts.size(), 1u);
    EXPECT_FALSE(facts.frontmatter_key_facts[0].found);
}

TEST(NodeFacts, RecordsNamesUsedInExpressions) {
    const LintFacts facts = facts_of(
        "{{ user.name }}\n{{ fmt(x, y.z, g(w)) }}\n{{ lib.render(q) }}\n"
        "@message {{ role_var }}:\nhi\n@end\n@if a == b.c && !d:\n@elseif e || f:\n@end\n"
        "@for i in items:\n@end\n@include part\n");
    EXPECT_EQ(sorted(facts.referenced),
              (std::set<std::string>{"a", "b", "d", "e", "f", "items", "q", "role_var", "user", "w",
                                     "x", "y"}));
    EXPECT_EQ(sorted(facts.called), (std::set<std::string>{"fmt", "g"}));
    EXPECT_EQ(sorted(facts.qualified_namespaces), (std::set<std::string>{"lib"}));
    EXPECT_EQ(sorted(facts.included), (std::set<std::string>{"part"}));
    EXPECT_FALSE(facts.has_export);
}

TEST(NodeFacts, RecordsDirectivesInWalkOrder) {
    const std::string source =
        "@import \"./a.tyx\" as a\n@import \"./w.tyx\"\n@import { f, gg } from \"./s.tyx\"\n"
        "@if x:\n@import \"./n.tyx\" as n\n@export inner\n@end\n"
        "@export f\n@export h from \"./b.tyx\"\n@export * from \"./c.tyx\"\n"
        "@define d(p):\nbody\n@end\n";
    const LintFacts facts = facts_of(source);
    ASSERT_EQ(facts.import_facts.size(), 4u);
    const ImportFact& alias = facts.import_facts[0];
    EXPECT_EQ(alias.kind, ImportFactKind::Alias);
    EXPECT_EQ(alias.path, "./a.tyx");
    EXPECT_EQ(alias.alias, "a");
    EXPECT_EQ(alias.offset, 0u);
    EXPECT_EQ(facts.import_facts[1].kind, ImportFactKind::Whole);
    EXPECT_EQ(facts.import_facts[1].path, "./w.tyx");
    EXPECT_FALSE(facts.import_facts[1].alias);
    const ImportFact& selective = facts.import_facts[2];
    EXPECT_EQ(selective.kind, ImportFactKind::Selective);
    EXPECT_EQ(selective.names, (std::vector<std::string>{"f", "gg"}));
    EXPECT_EQ(selective.name_offsets,
              (std::vector<uint64_t>{source.find("f, gg"), source.find("gg }")}));
    EXPECT_EQ(facts.import_facts[3].offset, source.find("@import \"./n"));

    ASSERT_EQ(facts.export_facts.size(), 4u);
    EXPECT_EQ(facts.export_facts[0].name, "inner");
    EXPECT_EQ(facts.export_facts[1].kind, ExportFactKind::Name);
    EXPECT_EQ(facts.export_facts[1].name, "f");
    EXPECT_FALSE(facts.export_facts[1].from_path);
    EXPECT_EQ(facts.export_facts[2].kind, ExportFactKind::ReexportName);
    EXPECT_EQ(facts.export_facts[2].name, "h");
    EXPECT_EQ(facts.export_facts[2].from_path, "./b.tyx");
    EXPECT_EQ(facts.export_facts[3].kind, ExportFactKind::ReexportAll);
    EXPECT_FALSE(facts.export_facts[3].name);
    EXPECT_EQ(facts.export_facts[3].from_path, "./c.tyx");
    EXPECT_EQ(facts.export_facts[3].offset, source.find("@export *"));
    EXPECT_TRUE(facts.has_export);

    ASSERT_EQ(facts.define_facts.size(), 1u);
    EXPECT_EQ(facts.define_facts[0].name, "d");
    EXPECT_EQ(facts.define_facts[0].start, source.find("@define"));
    EXPECT_EQ(facts.define_facts[0].end, source.rfind("@end"));
}

struct ShadowCase {
    const char* name;
    std::string source;
    // name, the start of the directive line the fact points at, inner, outer
    std::vector<std::tuple<std::string, std::string, BindingKind, BindingKind>> facts;
};

TEST(NodeFacts, RecordsShadowingBindings) {
    using BK = BindingKind;
    const std::vector<ShadowCase> cases = {
        {"value variable under a frontmatter key",
         "---\nvalue: 1\n---\n@for key, value in m:\n{{ key }}\n@end\n",
         {{"value", "@for key", BK::ForLoopVariable, BK::FrontmatterVariable}}},
        {"both variables, value first",
         "---\nvalue: 1\n---\n@for key in ks:\n@for key, value in m:\n@end\n@end\n",
         {{"value", "@for key, value", BK::ForLoopVariable, BK::FrontmatterVariable},
          {"key", "@for key, value", BK::ForLoopVariable, BK::ForLoopVariable}}},
        {"a top-level import alias",
         "@import \"./a.tyx\" as lib\n@for lib in xs:\n@end\n",
         {{"lib", "@for lib", BK::ForLoopVariable, BK::ImportAlias}}},
        {"a nested import alias is no outer name",
         "@if c:\n@import \"./a.tyx\" as lib\n@end\n@for lib in xs:\n@end\n",
         {}},
        {"frontmatter wins over the alias",
         "---\nlib: 1\n---\n@import \"./a.tyx\" as lib\n@for lib in xs:\n@end\n",
         {{"lib", "@for lib", BK::ForLoopVariable, BK::FrontmatterVariable}}},
        {"a parameter under a key and a loop variable",
         "---\ntitle: t\n---\n@for title in xs:\n@define f(title):\nx\n@end\n@end\n",
         {{"title", "@for title", BK::ForLoopVariable, BK::FrontmatterVariable},
          {"title", "@define", BK::DefineParameter, BK::FrontmatterVariable},
          {"title", "@define", BK::DefineParameter, BK::ForLoopVariable}}},
        {"a parameter is not compared with aliases",
         "@import \"./a.tyx\" as lib\n@define f(lib):\nx\n@end\n",
         {}},
        {"loop variables are popped after the body",
         "@for i in xs:\n@end\n@for i in ys:\n@end\n",
         {}},
        {"a loop variable is not compared with parameters",
         "@define f(p):\n@for p in xs:\n@end\n@end\n",
         {}},
    };
    for (const ShadowCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::tuple<std::string, uint64_t, BindingKind, BindingKind>> got;
        for (const ShadowFact& fact : facts_of(c.source).shadow_facts) {
            got.emplace_back(fact.name, fact.offset, fact.inner, fact.outer);
        }
        std::vector<std::tuple<std::string, uint64_t, BindingKind, BindingKind>> expected;
        for (const auto& [name, line, inner, outer] : c.facts) {
            expected.emplace_back(name, c.source.find(line), inner, outer);
        }
        EXPECT_EQ(got, expected);
    }
}

TEST(NodeFacts, NestingLimitIsCheckedBeforeTheNodes) {
    LintFacts facts;
    LintBindings bindings;
    EXPECT_TRUE(collect_node_facts({}, facts, bindings, MAX_LINT_NESTING_DEPTH).ok());
    const Status status = collect_node_facts({}, facts, bindings, MAX_LINT_NESTING_DEPTH + 1);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind, ErrorKind::ResourceLimit);
    EXPECT_EQ(status.error().text, "template nesting exceeds maximum depth of 64");
    EXPECT_FALSE(status.error().location.span);
}

TEST(NodeFacts, BindingKindTexts) {
    EXPECT_EQ(binding_kind_text(BindingKind::FrontmatterVariable), "frontmatter variable");
    EXPECT_EQ(binding_kind_text(BindingKind::ImportAlias), "import alias");
    EXPECT_EQ(binding_kind_text(BindingKind::ForLoopVariable), "@for loop variable");
    EXPECT_EQ(binding_kind_text(BindingKind::DefineParameter), "@define parameter");
}

}  // namespace
}  // namespace tyx
