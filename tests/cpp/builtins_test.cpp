#include "core/builtins.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench/crafted_names.h"

namespace tyx {
namespace {

Value S(std::string text) {
    return Value::string(std::move(text));
}
Value N(double number) {
    return Value::number(number);
}
Value B(bool flag) {
    return Value::boolean(flag);
}
Value A(std::vector<Value> items) {
    return Value::array(std::move(items));
}
Value O(ValueObject entries) {
    return Value::object(sort_object_entries(std::move(entries)));
}
const Value Null = Value::null();

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A typed rendering that tells apart what the display text merges ("1" and 1, -0 and 0).
std::string describe(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::String:
            return "\"" + value.as_string() + "\"";
        case Value::Kind::Number:
            return float_text(value.as_number());
        case Value::Kind::Bool:
            return value.as_bool() ? "true" : "false";
        case Value::Kind::Null:
            return "null";
        case Value::Kind::Array: {
            std::string out = "[";
            for (const Value& item : value.as_array()) {
                if (out.size() > 1) out += ", ";
                out += describe(item);
            }
            return out + "]";
        }
        case Value::Kind::Object: {
            std::string out = "{";
            for (const auto& [key, item] : value.as_object()) {
                if (out.size() > 1) out += ", ";
                out += key + ": " + describe(item);
            }
            return out + "}";
        }
    }
    return "?";
}

std::string outcome(const Result<Value>& result) {
    if (result.ok()) return describe(result.value());
    const CompileError& error = result.error();
    std::string kind = error.kind == ErrorKind::Builtin         ? "Builtin"
                       : error.kind == ErrorKind::ResourceLimit ? "ResourceLimit"
                                                                : "other";
    return "error(" + kind + "): " + error.text;
}

Result<Value> call(std::string_view name, const std::vector<Value>& arguments) {
    const BuiltinSpec* spec = lookup_builtin(name);
    if (spec == nullptr) return new_syntax_error("no builtin " + std::string(name));
    WorkBudget work;
    return spec->handler(arguments, work);
}

struct Case {
    std::string_view name;
    std::vector<Value> arguments;
    std::string expected;
};

void expect_cases(const std::vector<Case>& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(c.name) + " case #" + std::to_string(i));
        const Result<Value> result = call(c.name, c.arguments);
        EXPECT_EQ(outcome(result), c.expected);
        if (!result.ok()) {
            EXPECT_FALSE(result.error().location.span.has_value());
            EXPECT_EQ(result.error().location.source, nullptr);
        }
    }
}

TEST(BuiltinTable, RowsInOrderWithArgumentCounts) {
    struct Row {
        std::string_view name;
        uint64_t min_args;
        uint64_t max_args;
    };
    const Row rows[] = {
        {"upper", 1, 1},    {"lower", 1, 1},       {"trim", 1, 1},      {"replace", 3, 3},
        {"split", 2, 2},    {"starts_with", 2, 2}, {"ends_with", 2, 2}, {"slice", 2, 3},
        {"contains", 2, 2}, {"join", 2, 2},        {"length", 1, 1},    {"first", 1, 1},
        {"last", 1, 1},     {"reverse", 1, 1},     {"sort", 1, 1},      {"unique", 1, 1},
        {"string", 1, 1},   {"number", 1, 1},
    };
    ASSERT_EQ(BUILTINS.size(), std::size(rows));
    for (std::size_t i = 0; i < BUILTINS.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(BUILTINS[i].name, rows[i].name);
        EXPECT_EQ(BUILTINS[i].min_args, rows[i].min_args);
        EXPECT_EQ(BUILTINS[i].max_args, rows[i].max_args);
        EXPECT_NE(BUILTINS[i].handler, nullptr);
        EXPECT_EQ(lookup_builtin(rows[i].name), &BUILTINS[i]);
    }
}

TEST(BuiltinTable, LookupIsExactAndCaseSensitive) {
    for (std::string_view name : {"Upper", "UPPER", "upper ", " upper", "", "up", "uppers",
                                  "starts-with", "len", "format"}) {
        EXPECT_EQ(lookup_builtin(name), nullptr) << name;
    }
}

TEST(BuiltinTable, ArityMessageOfARow) {
    const BuiltinSpec* upper = lookup_builtin("upper");
    ASSERT_NE(upper, nullptr);
    const CompileError error =
        new_arity_error(upper->name, upper->min_args, upper->max_args, 2, std::nullopt);
    EXPECT_EQ(format_error_message(error),
              "arity mismatch for 'upper': expected 1 argument, got 2");
    EXPECT_EQ(error.detail, "");
    const BuiltinSpec* slice = lookup_builtin("slice");
    ASSERT_NE(slice, nullptr);
    EXPECT_EQ(format_error_message(
                  new_arity_error(slice->name, slice->min_args, slice->max_args, 1, std::nullopt)),
              "arity mismatch for 'slice': expected 2-3 arguments, got 1");
}

TEST(BuiltinTypeError, Wording) {
    struct Row {
        std::string_view function, ordinal, expected, got, message;
    };
    const Row rows[] = {
        {"upper", "first", "string", "number", "upper() requires a string argument, got number"},
        {"replace", "third", "string", "null",
         "replace() requires a string argument for third, got null"},
        {"join", "first", "array", "string",
         "join() requires a array argument for first, got string"},
        {"length", "first", "string or array", "object",
         "length() requires a string or array argument, got object"},
        {"slice", "second", "number", "string",
         "slice() requires a number argument for second, got string"},
    };
    for (const Row& row : rows) {
        const CompileError error =
            builtin_type_error(row.function, row.ordinal, row.expected, row.got);
        EXPECT_EQ(error.kind, ErrorKind::Builtin);
        EXPECT_EQ(error.text, row.message);
        EXPECT_EQ(format_error_message(error), row.message);
        EXPECT_FALSE(error.location.span.has_value());
    }
}

TEST(Builtins, ArgumentTypeErrors) {
    expect_cases({
        {"upper", {N(1)}, "error(Builtin): upper() requires a string argument, got number"},
        {"lower", {Null}, "error(Builtin): lower() requires a string argument, got null"},
        {"trim", {A({})}, "error(Builtin): trim() requires a string argument, got array"},
        {"replace",
         {N(1), S(""), S("x")},
         "error(Builtin): replace() requires a string argument for first, got number"},
        {"replace",
         {S("a"), B(true), S("x")},
         "error(Builtin): replace() requires a string argument for second, got boolean"},
        {"replace",
         {S("a"), S("b"), Null},
         "error(Builtin): replace() requires a string argument for third, got null"},
        {"split",
         {N(1), S(",")},
         "error(Builtin): split() requires a string argument for first, got number"},
        {"split",
         {S("a"), N(1)},
         "error(Builtin): split() requires a string argument for second, got number"},
        {"split",
         {S("a"), N(1)},
         "error(Builtin): split() requires a string argument for second, got number"},
        {"starts_with",
         {S("a"), N(1)},
         "error(Builtin): starts_with() requires a string argument for second, got number"},
        {"ends_with",
         {O({}), S("a")},
         "error(Builtin): ends_with() requires a string argument for first, got object"},
        {"slice",
         {N(5), N(1)},
         "error(Builtin): slice() requires a string or array argument for first, got number"},
        {"slice",
         {N(5), S("x")},
         "error(Builtin): slice() requires a string or array argument for first, got number"},
        {"contains",
         {O({}), S("a")},
         "error(Builtin): contains() requires a string or array argument for first, got object"},
        {"contains",
         {S("abc"), N(1)},
         "error(Builtin): contains() requires a string argument for second, got number"},
        {"join",
         {S("a"), S(",")},
         "error(Builtin): join() requires a array argument for first, got string"},
        {"join",
         {A({N(1)}), N(1)},
         "error(Builtin): join() requires a string argument for second, got number"},
        {"length",
         {O({})},
         "error(Builtin): length() requires a string or array argument, got object"},
        {"length",
         {N(3)},
         "error(Builtin): length() requires a string or array argument, got number"},
        {"first", {S("a")}, "error(Builtin): first() requires a array argument, got string"},
        {"last", {N(1)}, "error(Builtin): last() requires a array argument, got number"},
        {"reverse",
         {Null},
         "error(Builtin): reverse() requires a string or array argument, got null"},
        {"sort", {S("a")}, "error(Builtin): sort() requires a array argument, got string"},
        {"unique", {N(1)}, "error(Builtin): unique() requires a array argument, got number"},
        {"number", {A({})}, "error(Builtin): number() cannot convert array to a number"},
        {"number", {O({})}, "error(Builtin): number() cannot convert object to a number"},
    });
}

TEST(Builtins, UpperAndLower) {
    expect_cases({
        {"upper", {S("")}, "\"\""},
        {"lower", {S("")}, "\"\""},
        {"upper", {S("Hello, World 42!")}, "\"HELLO, WORLD 42!\""},
        {"lower", {S("Hello, World 42!")}, "\"hello, world 42!\""},
        // Full mappings that grow the text.
        {"upper", {S("ß")}, "\"SS\""},
        {"upper", {S("straße")}, "\"STRASSE\""},
        {"upper", {S("ﬁx")}, "\"FIX\""},
        {"upper", {S("ŉ")}, "\"ʼN\""},
        // Final sigma: final only after a cased letter with none following.
        {"lower", {S("ΟΔΟΣ")}, "\"οδος\""},
        {"lower", {S("Σ")}, "\"σ\""},
        {"lower", {S("ΑΣΑ")}, "\"ασα\""},
        {"lower", {S("ΑΣ.")}, "\"ας.\""},
        {"lower", {S("ΑΣ Β")}, "\"ας β\""},
        {"lower", {S("Α'Σ")}, "\"α'ς\""},
        {"lower", {S("ΑΣ'Β")}, "\"ασ'β\""},
        // Root locale: no Turkish or Lithuanian tailoring.
        {"lower", {S("İ")}, "\"i\xCC\x87\""},
        {"upper", {S("i")}, "\"I\""},
        {"lower", {S("I")}, "\"i\""},
        // Combining marks stay where they are; astral letters map.
        {"upper", {S("e\xCC\x81t\xC3\xA9")}, "\"E\xCC\x81T\xC3\x89\""},
        {"upper", {S("\xF0\x90\x90\xA8")}, "\"\xF0\x90\x90\x80\""},
        {"lower", {S("\xF0\x90\x90\x80")}, "\"\xF0\x90\x90\xA8\""},
        {"upper", {S("日本")}, "\"日本\""},
        {"lower", {S("ÀÉÎ")}, "\"àéî\""},
    });
}

TEST(Builtins, Trim) {
    expect_cases({
        {"trim", {S("")}, "\"\""},
        {"trim", {S("  a b  ")}, "\"a b\""},
        {"trim", {S("\t\n\v\f\r x \r\n")}, "\"x\""},
        {"trim", {S("\xE3\x80\x80 \xE3\x80\x80")}, "\"\""},
        {"trim", {S("\xC2\x85\xC2\xA0x\xE2\x80\xA8\xE2\x80\xA9")}, "\"x\""},
        {"trim", {S("\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9Fy")}, "\"y\""},
        // Not White_Space: zero width space, byte order mark, Mongolian vowel separator.
        {"trim", {S("\xE2\x80\x8Bx\xEF\xBB\xBF")}, "\"\xE2\x80\x8Bx\xEF\xBB\xBF\""},
        {"trim", {S("\xE1\xA0\x8E")}, "\"\xE1\xA0\x8E\""},
        {"trim", {S(" \xF0\x9D\x84\x9E ")}, "\"\xF0\x9D\x84\x9E\""},
        {"trim", {S("no-space")}, "\"no-space\""},
    });
}

TEST(Builtins, TrimLeavesIllFormedBytes) {
    expect_cases({
        {"trim", {S(" \x80 ")}, "\"\x80\""},
        {"trim", {S("\xC0\xA0x")}, "\"\xC0\xA0x\""},  // an overlong space is no space
        {"trim", {S("x \xE3\x80")}, "\"x \xE3\x80\""},
    });
}

TEST(Builtins, Replace) {
    expect_cases({
        {"replace",
         {S("abc"), S(""), S("x")},
         "error(Builtin): replace() search string must not be empty"},
        {"replace", {S("aaa"), S("aa"), S("b")}, "\"ba\""},
        {"replace", {S("aaa"), S("a"), S("")}, "\"\""},
        {"replace", {S("a-b-c"), S("-"), S("--")}, "\"a--b--c\""},
        {"replace", {S("abc"), S("x"), S("y")}, "\"abc\""},
        {"replace", {S(""), S("x"), S("y")}, "\"\""},
        {"replace", {S("héllo"), S("é"), S("e")}, "\"hello\""},
        {"replace", {S("abab"), S("ab"), S("ba")}, "\"baba\""},
    });
}

TEST(Builtins, ReplaceWithLongSearchText) {
    const std::string search = std::string(100, 'a') + "b";
    const std::string text = std::string(300, 'a') + "b" + std::string(50, 'a') + search + "tail";
    const Result<Value> result = call("replace", {S(text), S(search), S("X")});
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->as_string(), std::string(200, 'a') + "X" + std::string(50, 'a') + "Xtail");
}

TEST(Builtins, ReplaceOutputLimit) {
    const std::string too_large =
        "error(Builtin): replace() output exceeds maximum size of 52428800 bytes";
    const std::string base(MAX_OUTPUT_SIZE - 1, 'x');
    const Value last_byte = S(base + "y");
    EXPECT_EQ(call("replace", {last_byte, S("y"), S("z")})->as_string().size(), MAX_OUTPUT_SIZE);
    EXPECT_EQ(outcome(call("replace", {last_byte, S("y"), S("zz")})), too_large);

    // Growth spread over many occurrences: 1,048,576 times 50 bytes is exactly the limit.
    const Value many = S(std::string(1'048'576, 'a'));
    EXPECT_EQ(call("replace", {many, S("a"), S(std::string(50, 'r'))})->as_string().size(),
              MAX_OUTPUT_SIZE);
    EXPECT_EQ(outcome(call("replace", {many, S("a"), S(std::string(51, 'r'))})), too_large);

    // The result is the text when nothing matches, so the text itself is held to the limit.
    const Value over = S(std::string(MAX_OUTPUT_SIZE + 1, 'x'));
    EXPECT_EQ(outcome(call("replace", {over, S("y"), S("z")})), too_large);
    EXPECT_EQ(call("replace", {over, S(std::string(1000, 'x')), S("")})->as_string().size(),
              (MAX_OUTPUT_SIZE + 1) % 1000);
}

TEST(Builtins, Split) {
    expect_cases({
        {"split", {S("a"), S("")}, "error(Builtin): split() separator must not be empty"},
        {"split", {S("a,,b"), S(",")}, "[\"a\", \"\", \"b\"]"},
        {"split", {S(",a,"), S(",")}, "[\"\", \"a\", \"\"]"},
        {"split", {S(""), S(",")}, "[\"\"]"},
        {"split", {S("a"), S("a")}, "[\"\", \"\"]"},
        {"split", {S("abc"), S(",")}, "[\"abc\"]"},
        {"split", {S("aaa"), S("aa")}, "[\"\", \"a\"]"},
        {"split", {S("x::y::z"), S("::")}, "[\"x\", \"y\", \"z\"]"},
        {"split", {S("é·ü·日"), S("·")}, "[\"é\", \"ü\", \"日\"]"},
    });
}

TEST(Builtins, SplitPieceLimit) {
    const Result<Value> last_passing = call("split", {S(std::string(99'999, ',')), S(",")});
    ASSERT_TRUE(last_passing.ok());
    EXPECT_EQ(last_passing->as_array().size(), MAX_SPLIT_PIECES);
    EXPECT_EQ(outcome(call("split", {S(std::string(100'000, ',')), S(",")})),
              "error(ResourceLimit): split() result exceeds maximum of 100000 elements");
    const Result<Value> failing = call("split", {S(std::string(100'000, ',')), S(",")});
    EXPECT_EQ(format_error_message(failing.error()),
              "resource limit exceeded: split() result exceeds maximum of 100000 elements");
}

TEST(Builtins, StartsWithAndEndsWith) {
    expect_cases({
        {"starts_with", {S("abc"), S("")}, "true"},
        {"starts_with", {S("abc"), S("ab")}, "true"},
        {"starts_with", {S("abc"), S("bc")}, "false"},
        {"starts_with", {S("ab"), S("abc")}, "false"},
        {"starts_with", {S("Abc"), S("a")}, "false"},
        {"ends_with", {S(""), S("")}, "true"},
        {"ends_with", {S("abc"), S("bc")}, "true"},
        {"ends_with", {S("abc"), S("ab")}, "false"},
        {"ends_with", {S("héllo"), S("llo")}, "true"},
    });
}

TEST(Builtins, String) {
    expect_cases({
        {"string", {N(3)}, "\"3\""},
        {"string", {N(-0.0)}, "\"0\""},
        {"string", {N(2.5)}, "\"2.5\""},
        {"string", {N(1152921504606846976.0)}, "\"1152921504606846976\""},
        {"string", {N(kNaN)}, "\"NaN\""},
        {"string", {A({N(1), N(2)})}, "\"1, 2\""},
        {"string", {A({A({N(1), N(2)}), A({N(3)})})}, "\"1, 2, 3\""},
        {"string", {Null}, "\"\""},
        {"string", {B(true)}, "\"true\""},
        {"string", {S("x")}, "\"x\""},
        {"string", {O({{"b", N(2)}, {"a", N(1)}})}, "\"a: 1, b: 2\""},
    });
}

// Shared values (as frontmatter aliases make them) can display as far more text than they hold;
// both builtins that build display texts stop at the output limit.
TEST(Builtins, DisplayTextsAreBoundedByTheOutputLimit) {
    const std::size_t half = (MAX_OUTPUT_SIZE - 2) / 2;
    const Value fitting = A({S(std::string(half, 'a')), S(std::string(half, 'b'))});
    EXPECT_EQ(call("string", {fitting})->as_string().size(), MAX_OUTPUT_SIZE);
    const std::string string_too_large =
        "error(Builtin): string() output exceeds maximum size of 52428800 bytes";
    EXPECT_EQ(
        outcome(call("string", {A({S(std::string(half, 'a')), S(std::string(half + 1, 'b'))})})),
        string_too_large);
    EXPECT_EQ(
        call("string", {O({{"k", S(std::string(MAX_OUTPUT_SIZE - 3, 'v'))}})})->as_string().size(),
        MAX_OUTPUT_SIZE);
    EXPECT_EQ(outcome(call("string", {O({{"k", S(std::string(MAX_OUTPUT_SIZE - 2, 'v'))}})})),
              string_too_large);
    const Value megabyte = S(std::string(1 << 20, 'm'));
    const Value amplified = A(std::vector<Value>(100'000, A({megabyte})));
    EXPECT_EQ(outcome(call("string", {amplified})), string_too_large);

    const std::string unique_too_large =
        "error(Builtin): unique() element texts exceed maximum size of 52428800 bytes";
    EXPECT_EQ(outcome(call("unique", {amplified})), unique_too_large);
    const Value part = A({S(std::string(MAX_OUTPUT_SIZE / 2, 'p'))});
    const Result<Value> at_limit = call("unique", {A({part, part, A({})})});
    ASSERT_TRUE(at_limit.ok());
    EXPECT_EQ(at_limit->as_array().size(), 2u);
    EXPECT_EQ(outcome(call("unique", {A({part, part, A({S("x")})})})), unique_too_large);
    // Strings and numbers are keyed without display texts and take nothing from the budget.
    const Result<Value> keyed = call("unique", {A({part, part, megabyte, megabyte, N(1)})});
    ASSERT_TRUE(keyed.ok());
    EXPECT_EQ(keyed->as_array().size(), 3u);
}

TEST(Builtins, NumberFromNonStrings) {
    expect_cases({
        {"number", {N(2.5)}, "2.5"},
        {"number", {N(-0.0)}, "-0"},
        {"number", {N(kInf)}, "inf"},
        {"number", {B(true)}, "1"},
        {"number", {B(false)}, "0"},
        {"number", {Null}, "0"},
    });
}

TEST(Builtins, NumberFromStrings) {
    expect_cases({
        {"number", {S("42")}, "42"},
        {"number", {S(" 42 ")}, "42"},
        {"number", {S("\xE3\x80\x80 7\t\n")}, "7"},
        {"number", {S("+1")}, "1"},
        {"number", {S("-2.5")}, "-2.5"},
        {"number", {S("-0")}, "-0"},
        {"number", {S(".5")}, "0.5"},
        {"number", {S("5.")}, "5"},
        {"number", {S("00012")}, "12"},
        {"number", {S("1E+2")}, "100"},
        {"number", {S("5.e3")}, "5000"},
        {"number", {S(".5e1")}, "5"},
        {"number", {S("0000000000000000000000000000000001e-330")}, "0"},
        {"number", {S("1e-2")}, "0.01"},
        {"number", {S("0.1")}, "0.1"},
        // Correct rounding, ties to even, and the subnormal edge.
        {"number", {S("9007199254740993")}, "9007199254740992"},
        {"number", {S("2.4703282292062328e-324")}, float_text(5e-324)},
        {"number", {S("1.7976931348623157e308")}, float_text(1.7976931348623157e308)},
        // Too small becomes zero, keeping the sign.
        {"number", {S("1e-400")}, "0"},
        {"number", {S("-1e-400")}, "-0"},
        {"number", {S("2.4703282292062327e-324")}, "0"},
        {"number", {S("0.000001e-99999999999999999999")}, "0"},
        {"number", {S("0e99999999999999999999")}, "0"},
        {"number", {S("0.0001e310")}, float_text(1e306)},
    });
}

TEST(Builtins, NumberFailures) {
    const auto cannot = [](std::string text) {
        return "error(Builtin): number() cannot convert string '" + text + "' to a number";
    };
    const auto non_finite = [](std::string text) {
        return "error(Builtin): number() produced a non-finite value from '" + text + "'";
    };
    std::vector<Case> cases;
    for (std::string text :
         {"",   "   ",     "12px",  " 12px ", "4 2",   ".",    "+",     "-",           "e5",
          "1e", "1e+",     "1.2.3", "--1",    "+-1",   "0x10", "1_000", "1,000",       "٣",
          "١٢", "infinit", "in f",  "nan(1)", "1e5.5", "1 e5", "+ 1",   "\xEF\xBC\x91"}) {
        cases.push_back({"number", {S(text)}, cannot(text)});
    }
    for (std::string text :
         {"NaN", "nan", "inf", "INF", "-Infinity", "+nan", " inf ", "1e400", "-1e400",
          "1.7976931348623159e308", "1e99999999999999999999", "123456789e99999"}) {
        cases.push_back({"number", {S(text)}, non_finite(text)});
    }
    expect_cases(cases);
}

TEST(FloatText, ShortestPositional) {
    struct Row {
        double number;
        std::string_view text;
    };
    const Row rows[] = {
        {0.0, "0"},
        {-0.0, "-0"},
        {3.0, "3"},
        {-2.5, "-2.5"},
        {0.1, "0.1"},
        {1e21, "1000000000000000000000"},
        {1e-7, "0.0000001"},
        {123.456, "123.456"},
        {1152921504606846976.0, "1152921504606847000"},
        {9223372036854775808.0, "9223372036854776000"},
        {kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(float_text(row.number), row.text);
    EXPECT_EQ(float_text(1e300), "1" + std::string(300, '0'));
    EXPECT_EQ(float_text(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(float_text(-1.7976931348623157e308), "-17976931348623157" + std::string(292, '0'));
}

TEST(Builtins, Slice) {
    const double two_to_64 = 18446744073709551616.0;
    expect_cases({
        {"slice", {S("héllo"), N(1), N(3)}, "\"él\""},
        {"slice", {S("héllo"), N(1)}, "\"éllo\""},
        {"slice",
         {S("a\xF0\x9D\x84\x9E"
            "b"),
          N(1), N(2)},
         "\"\xF0\x9D\x84\x9E\""},
        {"slice", {S("abc"), N(1.9)}, "\"bc\""},
        {"slice", {S("abc"), N(10)}, "\"\""},
        {"slice", {S("abc"), N(-1), N(-2)}, "\"\""},
        {"slice", {S("abc"), N(2), N(2)}, "\"\""},
        {"slice", {S("abc"), N(2), N(1)}, "\"\""},
        {"slice", {S("abc"), N(5), N(4)}, "\"\""},
        {"slice", {A({N(1), N(2), N(3)}), N(5), N(4)}, "[]"},
        {"slice", {S("abc"), N(0), N(two_to_64)}, "\"abc\""},
        {"slice", {A({N(1), N(2), N(3)}), N(-5)}, "[1, 2, 3]"},
        {"slice", {A({N(1), N(2), N(3)}), N(2), N(1)}, "[]"},
        {"slice", {A({N(1), N(2), N(3)}), N(1), N(2)}, "[2]"},
        {"slice", {A({N(1), N(2), N(3)}), N(1), N(100)}, "[2, 3]"},
        {"slice", {A({}), N(0)}, "[]"},
        {"slice",
         {S("abc"), S("1")},
         "error(Builtin): slice() requires a number argument for second, got string"},
        {"slice",
         {S("abc"), N(0), Null},
         "error(Builtin): slice() requires a number argument for third, got null"},
        {"slice",
         {S("abc"), S("x"), N(kNaN)},
         "error(Builtin): slice() requires a number argument for second, got string"},
        {"slice",
         {S("abc"), N(kNaN)},
         "error(Builtin): slice() second argument must be a finite number, got NaN"},
        {"slice",
         {S("abc"), N(-kInf)},
         "error(Builtin): slice() second argument must be a finite number, got -inf"},
        {"slice",
         {S("abc"), N(0), N(kInf)},
         "error(Builtin): slice() third argument must be a finite number, got inf"},
        {"slice",
         {S("abc"), N(0), N(1e20)},
         "error(Builtin): slice() third argument is too large: 100000000000000000000"},
        {"slice",
         {S("abc"), N(0), N(std::nextafter(two_to_64, kInf))},
         "error(Builtin): slice() third argument is too large: 18446744073709556000"},
        {"slice",
         {S("abc"), N(1e30)},
         "error(Builtin): slice() second argument is too large: 1000000000000000000000000000000"},
    });
}

TEST(Builtins, Contains) {
    expect_cases({
        {"contains", {A({N(1), S("a")}), S("a")}, "true"},
        {"contains", {A({N(1), S("a")}), S("1")}, "false"},
        {"contains", {A({A({N(1)})}), A({N(1)})}, "true"},
        {"contains", {A({N(kNaN)}), N(kNaN)}, "false"},
        {"contains", {A({N(0)}), N(-0.0)}, "true"},
        {"contains", {A({Null}), Null}, "true"},
        {"contains", {A({O({{"a", N(1)}})}), O({{"a", N(1)}})}, "true"},
        {"contains", {A({}), N(1)}, "false"},
        {"contains", {S("abc"), S("")}, "true"},
        {"contains", {S("abc"), S("bc")}, "true"},
        {"contains", {S("abc"), S("cb")}, "false"},
        {"contains", {S(std::string(200, 'a')), S(std::string(100, 'a') + "b")}, "false"},
        {"contains", {S(std::string(200, 'a') + "b"), S(std::string(100, 'a') + "b")}, "true"},
    });
}

TEST(Builtins, Join) {
    expect_cases({
        {"join", {A({}), S(",")}, "\"\""},
        {"join", {A({S("a")}), S(",")}, "\"a\""},
        {"join", {A({S("a"), S("b"), S("c")}), S(", ")}, "\"a, b, c\""},
        {"join", {A({S("a"), S("b")}), S("")}, "\"ab\""},
        {"join", {A({S(""), S("")}), S("-")}, "\"-\""},
        {"join",
         {A({S("a"), N(1)}), S(",")},
         "error(Builtin): join() requires an array of strings, but found number in array"},
        {"join",
         {A({Null}), S(",")},
         "error(Builtin): join() requires an array of strings, but found null in array"},
    });
}

TEST(Builtins, JoinOutputLimit) {
    const std::string too_large =
        "error(Builtin): join() output exceeds maximum size of 52428800 bytes";
    const Value half = S(std::string(MAX_OUTPUT_SIZE / 2, 'h'));
    EXPECT_EQ(call("join", {A({half, half}), S("")})->as_string().size(), MAX_OUTPUT_SIZE);
    EXPECT_EQ(outcome(call("join", {A({half, half}), S(",")})), too_large);
    // Elements after the point of overflow are not examined; those before it are.
    EXPECT_EQ(outcome(call("join", {A({half, half, N(1)}), S(",")})), too_large);
    EXPECT_EQ(outcome(call("join", {A({half, N(1), half}), S(",")})),
              "error(Builtin): join() requires an array of strings, but found number in array");
    // Empty elements crossing the limit through the separators alone: 65,536 separators of 800
    // bytes are exactly the limit.
    const Value separator = S(std::string(800, ','));
    EXPECT_EQ(call("join", {A(std::vector<Value>(65'537, S(""))), separator})->as_string().size(),
              MAX_OUTPUT_SIZE);
    EXPECT_EQ(outcome(call("join", {A(std::vector<Value>(65'538, S(""))), separator})), too_large);
    EXPECT_EQ(outcome(call("join", {A({S(std::string(MAX_OUTPUT_SIZE + 1, 'x'))}), S("")})),
              too_large);
}

TEST(Builtins, LengthFirstLastReverse) {
    expect_cases({
        {"length", {S("héllo")}, "5"},
        {"length", {S("")}, "0"},
        {"length", {S("\xF0\x9D\x84\x9E")}, "1"},
        {"length", {S("e\xCC\x81")}, "2"},
        {"length", {A({N(1), A({N(2), N(3)})})}, "2"},
        {"first", {A({})}, "null"},
        {"last", {A({})}, "null"},
        {"first", {A({N(1), S("b")})}, "1"},
        {"last", {A({N(1), S("b")})}, "\"b\""},
        {"reverse", {S("héllo")}, "\"olléh\""},
        {"reverse", {S("")}, "\"\""},
        {"reverse",
         {S("a\xF0\x9D\x84\x9E"
            "b")},
         "\"b\xF0\x9D\x84\x9E"
         "a\""},
        // Combining marks are not kept with their base characters.
        {"reverse",
         {S("e\xCC\x81x")},
         "\"x\xCC\x81"
         "e\""},
        {"reverse", {A({N(1), S("b"), Null})}, "[null, \"b\", 1]"},
        {"reverse", {A({})}, "[]"},
    });
}

TEST(Builtins, Sort) {
    expect_cases({
        {"sort", {A({})}, "[]"},
        {"sort", {A({S("b"), S("B"), S("a")})}, "[\"B\", \"a\", \"b\"]"},
        {"sort", {A({S("ab"), S("b"), S("a"), S("")})}, "[\"\", \"a\", \"ab\", \"b\"]"},
        {"sort",
         {A({S("é"), S("z"), S("\xF0\x9D\x84\x9E"), S("日")})},
         "[\"z\", \"é\", \"日\", \"\xF0\x9D\x84\x9E\"]"},
        {"sort", {A({N(10), N(9), N(1.5)})}, "[1.5, 9, 10]"},
        {"sort", {A({N(0), N(-0.0), N(-1), N(0), N(-0.0)})}, "[-1, -0, -0, 0, 0]"},
        {"sort",
         {A({N(1), S("a")})},
         "error(Builtin): sort() requires a homogeneous array; found string mixed with number"},
        {"sort",
         {A({S("a"), N(1)})},
         "error(Builtin): sort() requires a homogeneous array; found number mixed with string"},
        {"sort",
         {A({S("a"), S("b"), Null, N(1)})},
         "error(Builtin): sort() requires a homogeneous array; found null mixed with string"},
        {"sort",
         {A({B(true)})},
         "error(Builtin): sort() requires an array of strings or numbers, got array of boolean"},
        {"sort",
         {A({A({}), N(1)})},
         "error(Builtin): sort() requires an array of strings or numbers, got array of array"},
        {"sort", {A({N(1), N(kNaN)})}, "error(Builtin): sort() cannot sort non-finite number: NaN"},
        {"sort", {A({N(-kInf)})}, "error(Builtin): sort() cannot sort non-finite number: -inf"},
        {"sort",
         {A({N(kNaN), S("a")})},
         "error(Builtin): sort() cannot sort non-finite number: NaN"},
        {"sort",
         {A({N(1), S("a"), N(kNaN)})},
         "error(Builtin): sort() requires a homogeneous array; found string mixed with number"},
    });
}

TEST(Builtins, SortLargeArrays) {
    std::vector<Value> numbers;
    std::vector<Value> strings;
    for (int i = 0; i < 1000; ++i) {
        const double x = static_cast<double>((i * 7919) % 1000) - 500.0;
        numbers.push_back(N(x == 0 ? (i % 2 == 0 ? -0.0 : 0.0) : x));
        strings.push_back(S(std::to_string((i * 7919) % 1000)));
    }
    numbers.push_back(N(-0.0));
    const Result<Value> sorted_numbers = call("sort", {A(numbers)});
    ASSERT_TRUE(sorted_numbers.ok());
    const ValueArray& ns = sorted_numbers->as_array();
    ASSERT_EQ(ns.size(), numbers.size());
    for (std::size_t i = 1; i < ns.size(); ++i) {
        const double a = ns[i - 1].as_number();
        const double b = ns[i].as_number();
        EXPECT_TRUE(a < b || (a == b && (std::signbit(a) || !std::signbit(b)))) << i;
    }
    const Result<Value> sorted_strings = call("sort", {A(strings)});
    ASSERT_TRUE(sorted_strings.ok());
    const ValueArray& ss = sorted_strings->as_array();
    ASSERT_EQ(ss.size(), strings.size());
    for (std::size_t i = 1; i < ss.size(); ++i)
        EXPECT_LE(ss[i - 1].as_string(), ss[i].as_string());
}

TEST(Builtins, Unique) {
    expect_cases({
        {"unique", {A({})}, "[]"},
        {"unique", {A({N(1), N(1), S("1"), Null, Null})}, "[1, \"1\", null]"},
        {"unique", {A({A({N(1), N(2)}), A({A({N(1)}), N(2)})})}, "[[1, 2]]"},
        {"unique", {A({N(0), N(-0.0), N(0)})}, "[0, -0]"},
        // Inside arrays numbers are keyed by their display text, which shows -0 as "0".
        {"unique", {A({A({N(0)}), A({N(-0.0)}), A({N(kNaN)}), A({N(kNaN)})})}, "[[0], [NaN]]"},
        {"unique", {A({N(kNaN), N(-kNaN), N(kNaN)})}, "[NaN]"},
        {"unique", {A({B(true), S("true"), B(true), B(false)})}, "[true, \"true\", false]"},
        {"unique", {A({O({{"a", N(1)}}), O({{"a", N(1)}}), O({{"a", N(2)}})})}, "[{a: 1}, {a: 2}]"},
        // Same display text, different kinds: all kept.
        {"unique", {A({O({}), A({}), S(""), Null})}, "[{}, [], \"\", null]"},
        {"unique",
         {A({A({S("a")}), S("a"), O({{"k", S("v")}}), A({S("k: v")})})},
         "[[\"a\"], \"a\", {k: \"v\"}, [\"k: v\"]]"},
        {"unique", {A({S("b"), S("a"), S("b"), S("c"), S("a")})}, "[\"b\", \"a\", \"c\"]"},
    });
}

TEST(Builtins, UniqueLargeArrayKeepsFirstOccurrences) {
    std::vector<Value> items;
    for (int i = 0; i < 20'000; ++i)
        items.push_back(N(static_cast<double>(i % 1000)));
    const Result<Value> result = call("unique", {A(items)});
    ASSERT_TRUE(result.ok());
    const ValueArray& kept = result->as_array();
    ASSERT_EQ(kept.size(), 1000u);
    for (std::size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(kept[i].as_number(), static_cast<double>(i));
}

// Keys that the standard hashes put in one bucket: each kept once, at its first place.
TEST(Builtins, UniqueOfKeysSharingAStandardBucket) {
    std::vector<Value> texts;
    for (std::string& text : texts_sharing_std_hash(500))
        texts.push_back(S(std::move(text)));
    std::vector<Value> numbers;
    for (const double number : numbers_sharing_identity_bucket(500, 1031))
        numbers.push_back(N(number));
    for (const std::vector<Value>* keys : {&texts, &numbers}) {
        std::vector<Value> items = *keys;
        items.insert(items.end(), keys->rbegin(), keys->rend());
        items.insert(items.end(), keys->begin(), keys->end());
        const Result<Value> result = call("unique", {A(items)});
        ASSERT_TRUE(result.ok());
        const ValueArray& kept = result->as_array();
        ASSERT_EQ(kept.size(), keys->size());
        for (std::size_t i = 0; i < kept.size(); ++i)
            EXPECT_TRUE(values_equal(kept[i], (*keys)[i])) << i;
    }
}

TEST(Builtins, ArgumentsAreNotChanged) {
    const Value array = A({N(3), N(1), N(2)});
    const Value text = S("AbC");
    EXPECT_EQ(describe(call("sort", {array}).value()), "[1, 2, 3]");
    EXPECT_EQ(describe(call("reverse", {array}).value()), "[2, 1, 3]");
    EXPECT_EQ(describe(call("lower", {text}).value()), "\"abc\"");
    EXPECT_EQ(describe(array), "[3, 1, 2]");
    EXPECT_EQ(describe(text), "\"AbC\"");
}

}  // namespace
}  // namespace tyx

namespace tyx {
namespace {

// Each builtin charges its work before doing it: a budget of exactly that work lets the call
// through and spends it all; a byte less stops it with the budget's error.
TEST(Builtins, WorkChargedToTheBudget) {
    constexpr uint64_t E = ELEMENT_WORK;
    const struct {
        std::string_view name;
        std::vector<Value> arguments;
        uint64_t work;
    } cases[] = {
        {"upper", {S("abc")}, 3 + 3},
        {"lower", {S("\u00c9")}, 2 + 2},
        {"trim", {S("  ab ")}, 5 + 2},
        {"trim", {S("ab")}, 2},
        // Searched once, measured once as it grows, then each piece and replacement written.
        {"replace", {S("aXbX"), S("X"), S("yy")}, 4 + 4 + (1 + 2 + 1 + 2)},
        {"replace", {S("aXb"), S("X"), S("")}, 3 + (1 + 0 + 1)},
        {"replace", {S("ab"), S("X"), S("y")}, 2},
        {"split", {S("a,bc"), S(",")}, 4 + 2 * E + 3},
        {"starts_with", {S("abc"), S("ab")}, 2},
        {"ends_with", {S("abc"), S("c")}, 1},
        // The walk to the last bound given, at most four bytes a character, then the copy.
        {"slice", {S("abcdef"), N(1), N(3)}, 6 + 2},
        {"slice", {S("abcdef"), N(1)}, 4 + 5},
        {"slice", {A({N(1), N(2), N(3)}), N(1)}, 2 * E},
        {"contains", {S("abc"), S("b")}, 3 + 1},
        // Every element visited; only texts of the needle's length are read.
        {"contains", {A({N(1), S("abc"), S("ab")}), S("ab")}, 3 * E + 2},
        {"contains", {A({A({S("x"), N(1)})}), A({S("y"), N(1)})}, E + (E + 1 + E)},
        {"join", {A({S("a"), S("bc")}), S("-")}, 2 * E + 1 + (1 + 2)},
        {"length", {S("h\u00e9")}, 3},
        {"length", {A({N(1)})}, 0},
        {"first", {A({N(1)})}, 0},
        {"reverse", {S("abc")}, 3 + 3},
        {"reverse", {A({N(1), N(2)})}, 2 * E},
        // Two rounds for two elements, each moving the elements and reading their texts.
        {"sort", {A({S("b"), S("a")})}, 2 * E + 2 * (2 * sizeof(Value) + 2)},
        {"sort", {A({N(2), N(1)})}, 2 * E + 2 * (2 * sizeof(double))},
        // The display text of an array or object element is measured: each value met and the
        // text's bytes.
        {"unique", {A({S("a"), S("a"), A({N(1)})})}, 3 * E + 1 + 1 + (E + E + 1)},
        {"string", {A({N(1), B(true)})}, E + (E + 1) + 2 + (E + 4)},
        {"string", {O({{"k", S("v")}})}, E + (2 + 1) + (E + 1)},
        {"string", {S("x")}, 0},
        {"number", {S("12")}, 2},
    };
    for (const auto& c : cases) {
        const BuiltinSpec* spec = lookup_builtin(c.name);
        ASSERT_NE(spec, nullptr) << c.name;
        const std::string label = std::string(c.name) + " " + std::to_string(c.work);
        WorkBudget exact(c.work);
        const Result<Value> passed = spec->handler(c.arguments, exact);
        EXPECT_TRUE(passed.ok()) << label;
        EXPECT_EQ(exact.used(), c.work) << label;
        if (c.work == 0) continue;
        WorkBudget short_by_one(c.work - 1);
        EXPECT_EQ(outcome(spec->handler(c.arguments, short_by_one)),
                  "error(ResourceLimit): evaluation work exceeds maximum of " +
                      std::to_string(c.work - 1) + " bytes in this compilation")
            << label;
    }
}

}  // namespace
}  // namespace tyx
