#include "core/frontmatter/frontmatter.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/value.h"

namespace tyx {
namespace {

// A compact, unambiguous spelling of a loaded value: u7 unsigned, i-3 negative, f2.5 float,
// 's' string, null, true/false, [..] sequence, {k: v} mapping, !tag(value).
std::string describe(const YamlValue& value) {
    switch (value.kind()) {
        case YamlValue::Kind::Null:
            return "null";
        case YamlValue::Kind::Bool:
            return value.as_bool() ? "true" : "false";
        case YamlValue::Kind::Number: {
            const YamlNumber& number = value.as_number();
            switch (number.kind()) {
                case YamlNumber::Kind::Unsigned:
                    return "u" + std::to_string(number.as_unsigned());
                case YamlNumber::Kind::Negative:
                    return "i" + std::to_string(number.as_negative());
                case YamlNumber::Kind::Float:
                    break;
            }
            std::string text = "f";
            append_number_text(number.as_float(), text);
            return text;
        }
        case YamlValue::Kind::String:
            return "'" + value.as_string() + "'";
        case YamlValue::Kind::Sequence: {
            std::string text = "[";
            for (const YamlValue& item : value.as_sequence()) {
                if (text.size() > 1) text += ", ";
                text += describe(item);
            }
            return text + "]";
        }
        case YamlValue::Kind::Mapping: {
            std::string text = "{";
            for (const auto& [key, item] : value.as_mapping().entries()) {
                if (text.size() > 1) text += ", ";
                text += describe(key) + ": " + describe(item);
            }
            return text + "}";
        }
        case YamlValue::Kind::Tagged:
            return "!" + value.tag() + "(" + describe(value.tagged_value()) + ")";
    }
    return "?";
}

std::string load(std::string_view text) {
    auto value = parse_frontmatter_yaml(text);
    if (!value.ok()) return "error: " + value.error().text;
    return describe(*value);
}

struct ErrorCase {
    std::string text;
    ErrorKind kind;
    std::string message;
};

void expect_error(const ErrorCase& c) {
    auto value = parse_frontmatter_yaml(c.text);
    ASSERT_FALSE(value.ok()) << c.text << " gave " << describe(*value);
    EXPECT_EQ(value.error().kind, c.kind) << c.text;
    EXPECT_EQ(value.error().text, c.message) << c.text;
    EXPECT_FALSE(value.error().location.span.has_value());
}

TEST(FrontmatterTest, EmptyTextsAreNull) {
    for (const char* text : {"", "# only a comment\n", "\n\n   \n", "# a\n# b"}) {
        EXPECT_EQ(load(text), "null") << text;
    }
}

TEST(FrontmatterTest, PlainScalarResolution) {
    struct Case {
        const char* scalar;
        const char* expected;
    };
    const Case cases[] = {
        {"", "null"},
        {"~", "null"},
        {"null", "null"},
        {"Null", "null"},
        {"NULL", "null"},
        {"nULL", "'nULL'"},
        {"true", "true"},
        {"True", "true"},
        {"TRUE", "true"},
        {"false", "false"},
        {"False", "false"},
        {"FALSE", "false"},
        {"tRUE", "'tRUE'"},
        {"yes", "'yes'"},
        {"no", "'no'"},
        {"on", "'on'"},
        {"off", "'off'"},
        {"y", "'y'"},
        {"0", "u0"},
        {"-0", "u0"},
        {"+0", "u0"},
        {"42", "u42"},
        {"+42", "u42"},
        {"-42", "i-42"},
        {"0x1F", "u31"},
        {"0x1f", "u31"},
        {"+0x10", "u16"},
        {"-0x10", "i-16"},
        {"0X10", "'0X10'"},
        {"0x", "'0x'"},
        {"0xg", "'0xg'"},
        {"0o17", "u15"},
        {"0o8", "'0o8'"},
        {"0O17", "'0O17'"},
        {"0b101", "u5"},
        {"-0b11", "i-3"},
        {"0b2", "'0b2'"},
        {"007", "'007'"},
        {"-0123", "'-0123'"},
        {"+01", "'+01'"},
        {"00", "'00'"},
        // The leading-zero rule is about integer spellings; a fraction makes a float form.
        {"00.5", "f0.5"},
        {"01.5", "f1.5"},
        {"-01.5", "f-1.5"},
        {"007e1", "f70"},
        {"1.e2", "f100"},
        {"+-1", "'+-1'"},
        {"--1", "'--1'"},
        {"1_000", "'1_000'"},
        {"18446744073709551615", "u18446744073709551615"},
        {"-9223372036854775808", "i-9223372036854775808"},
        {"1e3", "f1000"},
        {"1E3", "f1000"},
        {"1.5", "f1.5"},
        {"+1.5", "f1.5"},
        {"-1.5", "f-1.5"},
        {".5", "f0.5"},
        {"5.", "f5"},
        {"0.5", "f0.5"},
        {"1e-3", "f0.001"},
        {"2.5e+2", "f250"},
        {"1e", "'1e'"},
        {"1e+", "'1e+'"},
        {".", "'.'"},
        {"-.", "'-.'"},
        {"1.2.3", "'1.2.3'"},
        {"1e999", "'1e999'"},
        {"-1e999", "'-1e999'"},
        {"1e-999", "f0"},
        {".inf", "finf"},
        {".Inf", "finf"},
        {".INF", "finf"},
        {"+.inf", "finf"},
        {"-.inf", "f-inf"},
        {"-.Inf", "f-inf"},
        {"-.INF", "f-inf"},
        {".iNF", "'.iNF'"},
        {".nan", "fNaN"},
        {".NaN", "fNaN"},
        {".NAN", "fNaN"},
        {"-.nan", "'-.nan'"},
        {"nan", "'nan'"},
        {"inf", "'inf'"},
        {"infinity", "'infinity'"},
        {"NaN", "'NaN'"},
        // Beyond 128 bits an integer spelling is read as a float.
        {"123456789012345678901234567890123456789012",
         "f123456789012345680000000000000000000000000"},
        {"0x1ffffffffffffffffffffffffffffffff", "'0x1ffffffffffffffffffffffffffffffff'"},
        {"<<", "'<<'"},
        {"hello world", "'hello world'"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(load(std::string("v: ") + c.scalar), std::string("{'v': ") + c.expected + "}")
            << c.scalar;
    }
}

TEST(FrontmatterTest, QuotedAndBlockScalarsAreStrings) {
    EXPECT_EQ(load("a: '42'\nb: \"true\"\nc: ''\nd: |\n  1\ne: >\n  ~\n"),
              "{'a': '42', 'b': 'true', 'c': '', 'd': '1\n', 'e': '~\n'}");
}

TEST(FrontmatterTest, NaNIsTheQuietNaN) {
    auto value = parse_frontmatter_yaml(".NaN");
    ASSERT_TRUE(value.ok());
    ASSERT_TRUE(value->is_number());
    EXPECT_EQ(value->as_number().kind(), YamlNumber::Kind::Float);
    EXPECT_EQ(std::bit_cast<uint64_t>(value->as_number().as_float()), 0x7ff8000000000000ULL);
    EXPECT_EQ(YamlNumber::from_float(-std::nan("7")).bits(), 0x7ff8000000000000ULL);
}

TEST(FrontmatterTest, IntegersBeyondSixtyFourBits) {
    const ErrorCase cases[] = {
        {"18446744073709551616", ErrorKind::Yaml,
         "invalid type: integer `18446744073709551616` as u128, expected any YAML value"},
        {"0xffffffffffffffffffffffffffffffff", ErrorKind::Yaml,
         "invalid type: integer `340282366920938463463374607431768211455` as u128, expected any "
         "YAML value"},
        {"-9223372036854775809", ErrorKind::Yaml,
         "invalid type: integer `-9223372036854775809` as i128, expected any YAML value"},
        {"-0x80000000000000000000000000000000", ErrorKind::Yaml,
         "invalid type: integer `-170141183460469231731687303715884105728` as i128, expected any "
         "YAML value"},
        {"a:\n  b: 18446744073709551616", ErrorKind::Yaml,
         "a.b: invalid type: integer `18446744073709551616` as u128, expected any YAML value at "
         "line 2 column 6"},
    };
    for (const ErrorCase& c : cases)
        expect_error(c);
    // One past the i128 range is no integer at all, so it is read as a float.
    EXPECT_EQ(load("-170141183460469231731687303715884105729"),
              "f-170141183460469230000000000000000000000");
}

TEST(FrontmatterTest, Tags) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"!point 1", "!point(u1)"},
        {"! 12", "!!(u12)"},
        {"!point 'x'", "!point('x')"},
        {"!p [1, !q {a: ~}]", "!p([u1, !q({'a': null})])"},
        {"!<!verbatim> 1", "!verbatim(u1)"},
        {"!!str 12", "'12'"},
        {"!!str", "''"},
        {"!!null ~", "null"},
        {"!!null NULL", "null"},
        {"!!bool 'True'", "true"},
        {"!!bool FALSE", "false"},
        {"!!int '12'", "u12"},
        {"!!int -0x10", "i-16"},
        {"!!float 1", "f1"},
        {"!!float 007", "f7"},
        {"!!float 18446744073709551616", "f18446744073709552000"},
        {"!!float '.5'", "f0.5"},
        {"!!float .inf", "finf"},
        {"!!binary aGVsbG8=", "'aGVsbG8='"},
        {"!<tag:example.com,2000:x> 5", "'5'"},
        {"!!seq [1]", "[u1]"},
        {"!!map {a: 1}", "{'a': u1}"},
        {"!<tag:example.com,2000:x> [1]", "[u1]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(load(c.text), c.expected) << c.text;
}

TEST(FrontmatterTest, CoreTagMismatches) {
    const ErrorCase cases[] = {
        {"!!int x", ErrorKind::Yaml, "invalid value: string \"x\", expected an integer"},
        {"!!int 1.5", ErrorKind::Yaml, "invalid value: string \"1.5\", expected an integer"},
        {"!!int 007", ErrorKind::Yaml, "invalid value: string \"007\", expected an integer"},
        {"!!float x", ErrorKind::Yaml, "invalid value: string \"x\", expected a float"},
        {"!!float nan", ErrorKind::Yaml, "invalid value: string \"nan\", expected a float"},
        // Prefixed integer spellings are no float forms.
        {"!!float 0x10", ErrorKind::Yaml, "invalid value: string \"0x10\", expected a float"},
        {"!!float -0b11", ErrorKind::Yaml, "invalid value: string \"-0b11\", expected a float"},
        {"!!bool yes", ErrorKind::Yaml, "invalid value: string \"yes\", expected a boolean"},
        {"!!null ''", ErrorKind::Yaml, "invalid value: string \"\", expected null"},
        {"!!null 0", ErrorKind::Yaml, "invalid value: string \"0\", expected null"},
        {"a: !!int \"x\\\"y\"", ErrorKind::Yaml,
         "a: invalid value: string \"x\\\"y\", expected an integer at line 1 column 4"},
        {"'': {'': !!null x}", ErrorKind::Yaml,
         ".: invalid value: string \"x\", expected null at line 1 column 10"},
        {"- 1\n- [!!bool x]", ErrorKind::Yaml,
         "[1][0]: invalid value: string \"x\", expected a boolean at line 2 column 4"},
    };
    for (const ErrorCase& c : cases)
        expect_error(c);
}

TEST(FrontmatterTest, MappingsKeepDocumentOrderAndAnyKey) {
    EXPECT_EQ(load("z: 1\na: 2\nm: 3\n1: x\n~: y\ntrue: z\n[1, 2]: s\n{k: v}: m\n<<: merge\n"),
              "{'z': u1, 'a': u2, 'm': u3, u1: 'x', null: 'y', true: 'z', [u1, u2]: 's', "
              "{'k': 'v'}: 'm', '<<': 'merge'}");
    auto value = parse_frontmatter_yaml("b: 1\na: {c: 2}");
    ASSERT_TRUE(value.ok());
    const YamlMapping& mapping = value->as_mapping();
    ASSERT_NE(mapping.find("a"), nullptr);
    EXPECT_EQ(describe(*mapping.find("a")), "{'c': u2}");
    EXPECT_EQ(mapping.find("c"), nullptr);
    EXPECT_EQ(mapping.find(YamlValue::number(YamlNumber::from_unsigned(1))), nullptr);
}

TEST(FrontmatterTest, DuplicateKeys) {
    const ErrorCase cases[] = {
        {"a: 1\na: 2", ErrorKind::Yaml, "duplicate entry with key \"a\" at line 2 column 1"},
        {"a: 1\n'a': 2", ErrorKind::Yaml, "duplicate entry with key \"a\" at line 2 column 1"},
        {"{\"q\\\"\\n\": 1, \"q\\\"\\n\": 2}", ErrorKind::Yaml,
         "duplicate entry with key \"q\\\"\\n\" at line 1 column 14"},
        {"~: 1\nnull: 2", ErrorKind::Yaml, "duplicate entry with null key at line 2 column 1"},
        {"true: 1\nTrue: 2", ErrorKind::Yaml, "duplicate entry with key `true` at line 2 column 1"},
        {"0x10: 1\n16: 2", ErrorKind::Yaml, "duplicate entry with key 16 at line 2 column 1"},
        {"-1: 1\n-0b1: 2", ErrorKind::Yaml, "duplicate entry with key -1 at line 2 column 1"},
        {"1.5: 1\n15e-1: 2", ErrorKind::Yaml, "duplicate entry with key 1.5 at line 2 column 1"},
        {"1.0: 1\n1.0: 2", ErrorKind::Yaml, "duplicate entry with key 1.0 at line 2 column 1"},
        {"? [1]\n: a\n? [1]\n: b", ErrorKind::Yaml,
         "duplicate entry in YAML map at line 3 column 3"},
        {"? {a: 1, b: 2}\n: a\n? {b: 2, a: 1}\n: b", ErrorKind::Yaml,
         "duplicate entry in YAML map at line 3 column 3"},
        {"!t a: 1\n!t a: 2", ErrorKind::Yaml, "duplicate entry in YAML map at line 2 column 1"},
        {"m:\n  x: 1\n  x: 2", ErrorKind::Yaml,
         "m: duplicate entry with key \"x\" at line 3 column 3"},
    };
    for (const ErrorCase& c : cases)
        expect_error(c);
    // Keys of different variants or numeric representations are different keys.
    EXPECT_EQ(load("1: a\n1.0: b\n'1': c\n!t 1: d"), "{u1: 'a', f1: 'b', '1': 'c', !t(u1): 'd'}");
}

// Small mappings are searched by a scan and larger ones through an index built on the way; a
// repeated key is found on either side of the switch, and lookups find every key.
TEST(FrontmatterTest, DuplicateKeysInSmallAndLargeMappings) {
    for (const int count : {1, 7, 8, 9, 30}) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += "k" + std::to_string(i) + ": " + std::to_string(i) + "\n";
        auto value = parse_frontmatter_yaml(text);
        ASSERT_TRUE(value.ok()) << count;
        for (int i = 0; i < count; ++i)
            EXPECT_NE(value->as_mapping().find("k" + std::to_string(i)), nullptr) << count;
        EXPECT_EQ(value->as_mapping().find("k" + std::to_string(count)), nullptr);
        for (const int repeated : {0, count - 1}) {
            const std::string key = "k" + std::to_string(repeated);
            expect_error({text + key + ": again", ErrorKind::Yaml,
                          "duplicate entry with key \"" + key + "\" at line " +
                              std::to_string(count + 1) + " column 1"});
        }
    }
}

// Blocks of plain `key: value` lines are read without libyaml; a comment after the first line
// sends the same block through libyaml, which must agree on every value, error and position.
TEST(FrontmatterTest, PlainKeyValueLinesReadAsLibyamlReadsThem) {
    const std::string cases[] = {
        "title: Weekly planning assistant\nversion: 3\ntone: friendly\n",
        "a: 1\nb: -2\nc: 1.5\nd: 1e5\ne: 0x1F\nf: 0o17\ng: 1_000\nh: +1\ni: 012",
        "a: true\nb: False\nc: null\nd: NULL\ne: yes\nf: off\ng: inf\nh: NaN",
        "a: 99999999999999999999999\nb: 18446744073709551616\nc: 2001-12-14",
        "key-name:    spaced   words  inside\n_k: (x), y/z + w.",
        "a: 1\nb: 2\na: 3",
        "true: 1\nTrue: 2",
        "k1: a\nk1: b\n",
    };
    for (const std::string& text : cases) {
        const size_t feed = text.find('\n');
        std::string commented = text;
        commented.insert(feed == std::string::npos ? text.size() : feed, "  # c");
        EXPECT_EQ(load(text), load(commented)) << text;
    }
    EXPECT_EQ(load("title: Weekly planning assistant\nversion: 3\n"),
              "{'title': 'Weekly planning assistant', 'version': u3}");
}

TEST(FrontmatterTest, AnchorsAndAliases) {
    EXPECT_EQ(load("a: &x [1, {b: 2}]\nc: *x\nd: &y s\ne: *y\n"),
              "{'a': [u1, {'b': u2}], 'c': [u1, {'b': u2}], 'd': 's', 'e': 's'}");
    // An alias names the latest anchor of its name defined before it.
    EXPECT_EQ(load("a: &x 1\nb: *x\nc: &x 2\nd: *x"), "{'a': u1, 'b': u1, 'c': u2, 'd': u2}");
    EXPECT_EQ(load("&k key: *k"), "{'key': 'key'}");
    EXPECT_EQ(load("a: &t !point 1\nb: *t"), "{'a': !point(u1), 'b': !point(u1)}");
    // The merge key has no meaning of its own.
    EXPECT_EQ(load("base: &b {x: 1}\nderived:\n  <<: *b\n  y: 2"),
              "{'base': {'x': u1}, 'derived': {'<<': {'x': u1}, 'y': u2}}");

    const ErrorCase cases[] = {
        {"a: *nope", ErrorKind::Yaml, "a: unknown anchor at line 1 column 4"},
        {"a: *x\nb: &x 1", ErrorKind::Yaml, "a: unknown anchor at line 1 column 4"},
        // An alias repeats its anchor's keys, so a mapping holding both fails.
        {"&k a: 1\n*k : 2", ErrorKind::Yaml, "duplicate entry with key \"a\" at line 2 column 1"},
    };
    for (const ErrorCase& c : cases)
        expect_error(c);
}

TEST(FrontmatterTest, SelfReferenceStopsAtTheRecursionLimit) {
    auto value = parse_frontmatter_yaml("&x [*x]");
    ASSERT_FALSE(value.ok());
    EXPECT_EQ(value.error().kind, ErrorKind::Yaml);
    std::string path;
    for (int i = 0; i < 128; ++i)
        path += "[0]";
    EXPECT_EQ(value.error().text, path + ": recursion limit exceeded");
}

TEST(FrontmatterTest, ParseErrors) {
    const ErrorCase cases[] = {
        {"a: [1, 2", ErrorKind::Yaml,
         "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at "
         "line 1 column 4"},
        {"\ta: 1", ErrorKind::Yaml,
         "found character that cannot start any token, while scanning for the next token"},
        {"a: 1\n\tb: 2", ErrorKind::Yaml,
         "found a tab character that violates indentation at line 2 column 1, while scanning a "
         "plain scalar at line 1 column 4"},
        {"a: \xff", ErrorKind::Yaml, "invalid leading UTF-8 octet at position 3"},
        {"a: 1\n...\nb", ErrorKind::Yaml,
         "did not find expected <document start> at line 3 column 1"},
        {"a: 1\n--- \nb: 2", ErrorKind::Yaml,
         "deserializing from YAML containing more than one document is not supported"},
        {"--- a\n--- b", ErrorKind::Yaml,
         "deserializing from YAML containing more than one document is not supported"},
    };
    for (const ErrorCase& c : cases)
        expect_error(c);
    // A document closed by "..." or opened by a directive is still one document.
    EXPECT_EQ(load("a: 1\n...\n"), "{'a': u1}");
    EXPECT_EQ(load("%YAML 1.1\n---\na: 1"), "{'a': u1}");
    EXPECT_EQ(load("--- a"), "'a'");
}

TEST(FrontmatterTest, BuildErrorsBeforeTheBreakWinOverTheParseError) {
    expect_error(
        {"a: 1\na: 2\nb: [", ErrorKind::Yaml, "duplicate entry with key \"a\" at line 2 column 1"});
    // Once the events run out the held-back parse error is the result.
    auto value = parse_frontmatter_yaml("a: 1\nb: [");
    ASSERT_FALSE(value.ok());
    EXPECT_EQ(value.error().kind, ErrorKind::Yaml);
    EXPECT_EQ(value.error().text.rfind("did not find expected node content", 0), 0u)
        << value.error().text;
}

TEST(FrontmatterTest, SizeLimit) {
    std::string text = "a: '";
    text += std::string(MAX_FRONTMATTER_BYTES - 5, 'x');
    text += "'";
    ASSERT_EQ(text.size(), 1'048'576u);
    auto passed = parse_frontmatter_yaml(text);
    ASSERT_TRUE(passed.ok()) << passed.error().text;
    EXPECT_EQ(passed->as_mapping().find("a")->as_string().size(), MAX_FRONTMATTER_BYTES - 5);

    text += ' ';
    expect_error({text, ErrorKind::ResourceLimit,
                  "frontmatter too large (1048577 bytes, max 1048576 bytes)"});
    // The size test comes first: an oversized text is refused even with too many brackets.
    expect_error({std::string(MAX_FRONTMATTER_BYTES + 1, '['), ErrorKind::ResourceLimit,
                  "frontmatter too large (1048577 bytes, max 1048576 bytes)"});
}

TEST(FrontmatterTest, FlowNestingScan) {
    const std::string too_deep = "frontmatter YAML flow nesting exceeds maximum depth of 1024";
    // 1024 brackets pass the scan and then fail as YAML.
    auto passed_scan = parse_frontmatter_yaml(std::string(1024, '['));
    ASSERT_FALSE(passed_scan.ok());
    EXPECT_EQ(passed_scan.error().kind, ErrorKind::Yaml);

    expect_error({std::string(1025, '['), ErrorKind::ResourceLimit, too_deep});
    expect_error({std::string(1025, '{'), ErrorKind::ResourceLimit, too_deep});
    expect_error({"a: '" + std::string(1025, '[') + "'", ErrorKind::ResourceLimit, too_deep});
    expect_error({"# " + std::string(1025, '[') + "\na: 1", ErrorKind::ResourceLimit, too_deep});
    expect_error(
        {std::string(600, '[') + std::string(425, '{'), ErrorKind::ResourceLimit, too_deep});
    // Closers never take the counter below zero, so leading ones buy no extra depth.
    expect_error(
        {std::string(10, ']') + std::string(1025, '['), ErrorKind::ResourceLimit, too_deep});

    std::string lines;
    for (int i = 0; i < 2000; ++i)
        lines += "]\n[";
    auto alternating = parse_frontmatter_yaml(lines);
    ASSERT_FALSE(alternating.ok());
    EXPECT_EQ(alternating.error().kind, ErrorKind::Yaml);

    std::string balanced;
    for (int i = 0; i < 2000; ++i)
        balanced += "- [1]\n";
    EXPECT_TRUE(parse_frontmatter_yaml(balanced).ok());
}

std::string nested_flow(int levels) {
    return std::string(static_cast<size_t>(levels), '[') + "1" +
           std::string(static_cast<size_t>(levels), ']');
}

TEST(FrontmatterTest, RecursionLimit) {
    auto passed = parse_frontmatter_yaml(nested_flow(128));
    ASSERT_TRUE(passed.ok()) << passed.error().text;

    std::string path;
    for (int i = 0; i < 128; ++i)
        path += "[0]";
    expect_error({nested_flow(129), ErrorKind::Yaml,
                  path + ": recursion limit exceeded at line 1 column 129"});

    // Block mappings nest too; a tag adds no level.
    std::string block;
    for (int i = 0; i < 128; ++i)
        block += std::string(static_cast<size_t>(i), ' ') + "k:\n";
    EXPECT_TRUE(parse_frontmatter_yaml(block).ok());
    EXPECT_TRUE(parse_frontmatter_yaml("!t " + nested_flow(128)).ok());
    block += std::string(128, ' ') + "k: 1\n";
    auto failed = parse_frontmatter_yaml(block);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, ErrorKind::Yaml);
    EXPECT_NE(failed.error().text.find(": recursion limit exceeded at line 129 column 129"),
              std::string::npos)
        << failed.error().text;
}

std::string sequence_of(size_t count) {
    std::string text = "[";
    for (size_t i = 0; i < count; ++i)
        text += i == 0 ? "1" : ",1";
    return text + "]";
}

const char* const kNodeCountMessage =
    "frontmatter YAML node count exceeds maximum of 200000 (anchors expanded by aliases count "
    "once per expansion)";

TEST(FrontmatterTest, NodeBudget) {
    // The sequence itself is one node.
    auto passed = parse_frontmatter_yaml(sequence_of(199'999));
    ASSERT_TRUE(passed.ok()) << passed.error().text;
    EXPECT_EQ(passed->as_sequence().size(), 199'999u);
    expect_error({sequence_of(200'000), ErrorKind::ResourceLimit, kNodeCountMessage});

    // A tagged node takes two units, keys take one each.
    std::string tagged = "[";
    for (int i = 0; i < 99'999; ++i)
        tagged += i == 0 ? "!t 1" : ",!t 1";
    EXPECT_TRUE(parse_frontmatter_yaml(tagged + ",1]").ok());
    expect_error({tagged + ",1,1]", ErrorKind::ResourceLimit, kNodeCountMessage});
}

TEST(FrontmatterTest, AliasExpansionsCountAgainstTheBudget) {
    // An anchor of 1,000 nodes referenced by 200 aliases.
    std::string text = "a: &a " + sequence_of(999) + "\nb: [";
    for (int i = 0; i < 200; ++i)
        text += i == 0 ? "*a" : ", *a";
    text += "]\n";
    expect_error({text, ErrorKind::ResourceLimit, kNodeCountMessage});

    // The classic exponential expansion stops long before it could grow.
    std::string laughs = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
    for (char name = 'b'; name <= 'j'; ++name) {
        laughs += std::string(1, name) + ": &" + name + " [";
        for (int i = 0; i < 10; ++i)
            laughs += std::string(i == 0 ? "*" : ", *") + (char)(name - 1);
        laughs += "]\n";
    }
    auto failed = parse_frontmatter_yaml(laughs);
    ASSERT_FALSE(failed.ok());
    EXPECT_TRUE(failed.error().kind == ErrorKind::ResourceLimit ||
                failed.error().kind == ErrorKind::Yaml);
}

TEST(FrontmatterTest, AliasRepetitionLimit) {
    // a is a scalar anchor, b expands it 200 times, c expands b n times: n * 201 + 200
    // expansions against 100 per collected event of the document (10 + 200 + n events).
    auto text = [](int n) {
        std::string t = "a: &a x\nb: &b [";
        for (int i = 0; i < 200; ++i)
            t += i == 0 ? "*a" : ",*a";
        t += "]\nc: [";
        for (int i = 0; i < n; ++i)
            t += i == 0 ? "*b" : ",*b";
        return t + "]";
    };
    auto passed = parse_frontmatter_yaml(text(205));
    ASSERT_TRUE(passed.ok()) << passed.error().text;
    auto failed = parse_frontmatter_yaml(text(206));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, ErrorKind::Yaml);
    EXPECT_EQ(failed.error().text.rfind("c[205][194]: repetition limit exceeded", 0), 0u)
        << failed.error().text;
    EXPECT_NE(failed.error().text.find("]: repetition limit exceeded at line 2 column "),
              std::string::npos)
        << failed.error().text;
}

const char* const kTextSizeMessage =
    "frontmatter YAML text exceeds maximum of 16777216 bytes (anchors expanded by aliases count "
    "once per expansion)";

TEST(FrontmatterTest, AliasExpansionsCountTheirTextAgain) {
    // Scalar and tag bytes, keys included: 1 + 65535 + 1 + 255 * 65535 + 1 + filler.
    auto text = [](size_t filler, const char* tag) {
        std::string t = "a: &a " + std::string(tag) + std::string(65'535, 'x') + "\nb: [";
        for (int i = 0; i < 255; ++i)
            t += i == 0 ? "*a" : ",*a";
        return t + "]\nc: " + std::string(filler, 'y');
    };
    auto passed = parse_frontmatter_yaml(text(253, ""));
    ASSERT_TRUE(passed.ok()) << passed.error().text;
    EXPECT_EQ(passed->as_mapping().find("b")->as_sequence().size(), 255u);
    expect_error({text(254, ""), ErrorKind::ResourceLimit, kTextSizeMessage});
    // A local tag is copied with each expansion too.
    expect_error({text(0, "!t "), ErrorKind::ResourceLimit, kTextSizeMessage});

    // Half a megabyte referenced by a hundred thousand aliases stops without being built.
    std::string hostile = "a: &a " + std::string(500'000, 'x') + "\nb: [";
    for (int i = 0; i < 100'000; ++i)
        hostile += i == 0 ? "*a" : ",*a";
    expect_error({hostile + "]", ErrorKind::ResourceLimit, kTextSizeMessage});
}

TEST(FrontmatterTest, HostileTextsFailQuickly) {
    // Each of these is bounded by a limit before it can cost much.
    const std::string texts[] = {
        std::string(1'000'000, '-'),          std::string(1'000'000, ' ') + "a",
        "a: \"" + std::string(500'000, '\\'), std::string(500'000, '\t'),
        std::string(300'000, '*') + "x",      std::string(1'000'000, '\0'),
    };
    for (const std::string& text : texts) {
        auto value = parse_frontmatter_yaml(text);
        if (!value.ok()) {
            EXPECT_EQ(value.error().kind, ErrorKind::Yaml);
        }
    }
}

YamlMapping mapping_of(std::string_view text) {
    auto value = parse_frontmatter_yaml(text);
    EXPECT_TRUE(value.ok()) << value.error().text;
    return value->as_mapping();
}

std::string merged(std::string_view base, std::string_view overlay) {
    auto result = merge_frontmatter(mapping_of(base), mapping_of(overlay));
    if (!result.ok()) return "error: " + result.error().text;
    return describe(YamlValue::mapping(*result));
}

TEST(FrontmatterTest, Merge) {
    struct Case {
        const char* base;
        const char* overlay;
        const char* expected;
    };
    const Case cases[] = {
        {"{type: tyx, a: 1, m: {x: 1, y: 2}}", "{m: {y: 3, z: 4}, b: 2, imports: []}",
         "{'a': u1, 'm': {'x': u1, 'y': u3, 'z': u4}, 'b': u2}"},
        {"{k: {a: 1}}", "{k: [1]}", "{'k': [u1]}"},
        {"{k: [1]}", "{k: {a: 1}}", "{'k': {'a': u1}}"},
        {"{k: 1}", "{k: ~}", "{'k': null}"},
        {"{extends: x, imports: [a], type: y}", "{extends: z}", "{}"},
        // Reserved keys are left out only at the top level.
        {"{m: {type: a, imports: 1}}", "{m: {extends: b}}",
         "{'m': {'type': 'a', 'imports': u1, 'extends': 'b'}}"},
        // Keys that are not strings are dropped, but copied values keep theirs.
        {"{1: a, ~: b, s: {1: c}}", "{true: d, t: {2: e}}", "{'s': {u1: 'c'}, 't': {u2: 'e'}}"},
        // A tagged value never merges.
        {"{k: !t {a: 1}}", "{k: {b: 2}}", "{'k': {'b': u2}}"},
        {"{k: {a: 1}}", "{k: !t {b: 2}}", "{'k': !t({'b': u2})}"},
        {"{b: 1, a: 2}", "{c: 3, a: 4, d: 5}", "{'b': u1, 'a': u4, 'c': u3, 'd': u5}"},
        {"{}", "{}", "{}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(merged(c.base, c.overlay), c.expected) << c.base << " + " << c.overlay;
    }
}

TEST(FrontmatterTest, MergeLeavesItsInputsUnchanged) {
    const YamlMapping base = mapping_of("{m: {x: 1}}");
    const YamlMapping overlay = mapping_of("{m: {y: 2}}");
    auto result = merge_frontmatter(base, overlay);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(describe(YamlValue::mapping(base)), "{'m': {'x': u1}}");
    EXPECT_EQ(describe(YamlValue::mapping(overlay)), "{'m': {'y': u2}}");
}

TEST(FrontmatterTest, MergeDepthLimit) {
    // `levels` mappings nested under the key a below the top mapping.
    auto nested = [](int levels, const char* leaf) {
        YamlMapping inner;
        inner.insert(YamlValue::string(leaf), YamlValue::number(YamlNumber::from_unsigned(1)));
        for (int i = 0; i < levels; ++i) {
            YamlMapping outer;
            outer.insert(YamlValue::string("a"), YamlValue::mapping(std::move(inner)));
            inner = std::move(outer);
        }
        return inner;
    };
    auto passed = merge_frontmatter(nested(64, "x"), nested(64, "y"));
    ASSERT_TRUE(passed.ok()) << passed.error().text;
    const YamlMapping* deepest = &*passed;
    for (int i = 0; i < 64; ++i)
        deepest = &deepest->find("a")->as_mapping();
    EXPECT_EQ(describe(YamlValue::mapping(*deepest)), "{'x': u1, 'y': u1}");

    auto failed = merge_frontmatter(nested(65, "x"), nested(65, "y"));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, ErrorKind::ResourceLimit);
    EXPECT_EQ(failed.error().text, "frontmatter merge depth exceeds maximum of 64");
    // Only mappings on both sides descend.
    EXPECT_TRUE(merge_frontmatter(nested(100, "x"), nested(0, "y")).ok());
}

TEST(FrontmatterTest, ConversionToValues) {
    auto converted = [](std::string_view text) -> Result<Value> {
        auto yaml = parse_frontmatter_yaml(text);
        if (!yaml.ok()) return std::move(yaml).take_error();
        return value_from_yaml(*yaml);
    };
    auto value = converted("\"1\": x\nb: [1, -2, 2.5, .inf, ~, true]\nt: !point 7");
    ASSERT_TRUE(value.ok()) << value.error().text;
    EXPECT_EQ(format_value(*value), "1: x, b: 1, -2, 2.5, inf, , true, t: 7");

    auto failed = converted("1: x");
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, ErrorKind::Yaml);
    EXPECT_EQ(failed.error().text,
              "TYX only supports string keys in objects; found integer/float key \u2014 use a "
              "quoted string key instead");

    // The frontmatter scope converts the value of each top-level key at depth 0.
    auto key_value = [](int levels) {
        auto yaml = parse_frontmatter_yaml("v: " + nested_flow(levels));
        EXPECT_TRUE(yaml.ok());
        return value_from_yaml(*yaml->as_mapping().find("v"));
    };
    EXPECT_TRUE(key_value(64).ok());
    auto too_deep = key_value(65);
    ASSERT_FALSE(too_deep.ok());
    EXPECT_EQ(too_deep.error().kind, ErrorKind::Yaml);
    EXPECT_EQ(too_deep.error().text, "value nesting exceeds maximum depth of 64");
}

YamlValue yaml_str(std::string s) {
    return YamlValue::string(std::move(s));
}

TEST(FrontmatterTest, ConversionOfBuiltValues) {
    YamlMapping inner;
    ASSERT_TRUE(inner.insert(yaml_str("z"), YamlValue::number(YamlNumber::from_negative(-2))));
    ASSERT_TRUE(inner.insert(yaml_str("y"), YamlValue::number(YamlNumber::from_float(0.5))));
    YamlMapping root;
    ASSERT_TRUE(root.insert(yaml_str("m"), YamlValue::mapping(inner)));
    ASSERT_TRUE(root.insert(yaml_str("s"),
                            YamlValue::sequence({YamlValue::null(), YamlValue::boolean(false)})));
    ASSERT_TRUE(root.insert(yaml_str("t"), YamlValue::tagged("point", yaml_str("p"))));
    ASSERT_TRUE(root.insert(yaml_str("u"), YamlValue::number(YamlNumber::from_unsigned(7))));
    auto value = value_from_yaml(YamlValue::mapping(root));
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(format_value(*value), "m: y: 0.5, z: -2, s: , false, t: p, u: 7");
}

TEST(FrontmatterTest, ConversionRejectsKeysThatAreNotStrings) {
    struct Case {
        YamlValue key;
        const char* kind;
    };
    const Case cases[] = {
        {YamlValue::null(), "null"},
        {YamlValue::boolean(true), "boolean"},
        {YamlValue::number(YamlNumber::from_unsigned(1)), "integer/float"},
        {YamlValue::number(YamlNumber::from_float(1.5)), "integer/float"},
        {YamlValue::sequence({}), "sequence"},
        {YamlValue::mapping({}), "mapping"},
        {YamlValue::tagged("t", yaml_str("k")), "tagged"},
    };
    for (const Case& c : cases) {
        YamlMapping mapping;
        ASSERT_TRUE(mapping.insert(yaml_str("ok"), YamlValue::null()));
        ASSERT_TRUE(mapping.insert(c.key, yaml_str("x")));
        auto failed = value_from_yaml(YamlValue::mapping(mapping));
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.error().kind, ErrorKind::Yaml);
        EXPECT_EQ(failed.error().text,
                  std::string("TYX only supports string keys in objects; found ") + c.kind +
                      " key \u2014 use a quoted string key instead");
    }
}

TEST(FrontmatterTest, ConversionDepthLimit) {
    auto nested = [](int levels, bool tag_innermost) {
        YamlValue value = YamlValue::number(YamlNumber::from_unsigned(1));
        if (tag_innermost) value = YamlValue::tagged("t", value);
        for (int i = 0; i < levels; ++i)
            value = YamlValue::sequence({value});
        return value;
    };
    EXPECT_TRUE(value_from_yaml(nested(64, false)).ok());
    auto failed = value_from_yaml(nested(65, false));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, ErrorKind::Yaml);
    EXPECT_EQ(failed.error().text, "value nesting exceeds maximum depth of 64");
    // A tag counts as one level of nesting.
    EXPECT_TRUE(value_from_yaml(nested(63, true)).ok());
    EXPECT_FALSE(value_from_yaml(nested(64, true)).ok());
}

// libstdc++ hashes a 16-byte text (MurmurHash64A, without a secret) by mixing each 8-byte word
// into its state through bijections, so for any first word there is a second that brings the
// state to one chosen value: every text here had one std::hash.
std::vector<std::string> texts_of_one_unkeyed_hash(size_t count) {
    constexpr uint64_t kMul = 0xC6A4A7935BD1E995ull;
    // The inverse of kMul modulo 2^64, by Newton's iteration.
    uint64_t inverse = kMul;
    for (int i = 0; i < 5; ++i)
        inverse *= 2 - kMul * inverse;
    const auto shift_mix = [](uint64_t value) { return value ^ (value >> 47); };
    const uint64_t start = 0xC70F6907ull ^ (16 * kMul);
    const uint64_t target = 0x0123456789ABCDEFull;
    std::vector<std::string> texts;
    for (uint64_t first = 0; first < count; ++first) {
        const uint64_t state = (start ^ (shift_mix(first * kMul) * kMul)) * kMul;
        const uint64_t mixed = (target * inverse) ^ state;
        const uint64_t second = shift_mix(mixed * inverse) * inverse;
        std::string text(16, '\0');
        std::memcpy(text.data(), &first, 8);
        std::memcpy(text.data() + 8, &second, 8);
        texts.push_back(std::move(text));
    }
    return texts;
}

TEST(YamlMapping, KeysOfOneUnkeyedHashHashApartAndAreEachFound) {
    const std::vector<std::string> texts = texts_of_one_unkeyed_hash(4096);
    const std::hash<std::string_view> unkeyed;
    if (unkeyed(texts[0]) != unkeyed(texts[1])) GTEST_SKIP() << "another standard library";
    std::set<size_t> hashes;
    YamlMapping mapping;
    for (size_t i = 0; i < texts.size(); ++i) {
        hashes.insert(hash_yaml_value(YamlValue::string(texts[i])));
        EXPECT_TRUE(mapping.insert(YamlValue::string(texts[i]),
                                   YamlValue::number(YamlNumber::from_unsigned(i))));
    }
    EXPECT_EQ(hashes.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        const YamlValue* found = mapping.find(texts[i]);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->as_number().as_unsigned(), i);
        EXPECT_FALSE(mapping.insert(YamlValue::string(texts[i]), YamlValue::null()));
    }
}

}  // namespace
}  // namespace tyx
