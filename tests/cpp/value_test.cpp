#include "core/value.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tyx {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Value num(double n) {
    return Value::number(n);
}
Value str(std::string s) {
    return Value::string(std::move(s));
}
Value obj(ValueObject entries) {
    return Value::object(sort_object_entries(std::move(entries)));
}

TEST(ValueTest, NumberDisplay) {
    struct Case {
        double number;
        std::string text;
    };
    const Case cases[] = {
        {3, "3"},
        {2.5, "2.5"},
        {0.1, "0.1"},
        {-2.5, "-2.5"},
        {1e21, "1000000000000000000000"},
        {1e-7, "0.0000001"},
        {0.000001, "0.000001"},
        {9223372036854775808.0, "9223372036854776000"},    // 2^63: first value past the integers
        {-9223372036854775808.0, "-9223372036854775808"},  // -2^63: still an integer
        {1152921504606846976.0, "1152921504606846976"},    // 2^60
        {-0.0, "0"},
        {0, "0"},
        {-7, "-7"},
        {123.456, "123.456"},
        {-0.001, "-0.001"},
        {1.5e-300, "0." + std::string(299, '0') + "15"},
        {kNaN, "NaN"},
        {-kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
        {std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
    };
    for (const Case& c : cases) {
        std::string out;
        append_number_text(c.number, out);
        EXPECT_EQ(out, c.text) << c.number;
    }
    EXPECT_EQ(format_value(num(1e300)), "1" + std::string(300, '0'));
}

TEST(ValueTest, DisplayOfEveryVariant) {
    struct Case {
        Value value;
        const char* text;
    };
    const Case cases[] = {
        {str("héllo {x}"), "héllo {x}"},
        {Value::boolean(true), "true"},
        {Value::boolean(false), "false"},
        {Value::null(), ""},
        {Value::array({}), ""},
        {obj({}), ""},
        {Value::array({num(1), str("a"), Value::null(), Value::boolean(true)}), "1, a, , true"},
        {Value::array({Value::array({num(1), num(2)}), Value::array({num(3)})}), "1, 2, 3"},
        {obj({{"b", num(2)}, {"a", num(1)}}), "a: 1, b: 2"},
        {obj({{"b", num(1)}, {"a", num(2)}, {"B", num(3)}}), "B: 3, a: 2, b: 1"},
        {obj({{"k", Value::array({num(1), num(2)})}, {"o", obj({{"x", str("y")}})}}),
         "k: 1, 2, o: x: y"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(format_value(c.value), c.text);
}

TEST(ValueTest, TypeNamesAndTruthiness) {
    struct Case {
        Value value;
        const char* type;
        bool truthy;
    };
    const Case cases[] = {
        {str(""), "string", false},
        {str("0"), "string", true},
        {str("false"), "string", true},
        {num(0), "number", false},
        {num(-0.0), "number", false},
        {num(kNaN), "number", false},
        {num(0.5), "number", true},
        {num(-kInf), "number", true},
        {Value::boolean(true), "boolean", true},
        {Value::boolean(false), "boolean", false},
        {Value::array({}), "array", false},
        {Value::array({Value::null()}), "array", true},
        {obj({}), "object", false},
        {obj({{"a", Value::null()}}), "object", true},
        {Value::null(), "null", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.value.type_name(), c.type) << format_value(c.value);
        EXPECT_EQ(c.value.truthy(), c.truthy) << c.type << " " << format_value(c.value);
    }
}

TEST(ValueTest, Equality) {
    struct Case {
        Value a;
        Value b;
        bool equal;
    };
    const Case cases[] = {
        {num(1), num(1), true},
        {num(0.0), num(-0.0), true},
        {num(kNaN), num(kNaN), false},
        {Value::array({num(kNaN)}), Value::array({num(kNaN)}), false},
        {num(1), str("1"), false},
        {Value::null(), Value::null(), true},
        {Value::null(), Value::boolean(false), false},
        {str(""), Value::null(), false},
        {str("a"), str("a"), true},
        {str("a"), str("A"), false},
        {Value::boolean(true), Value::boolean(true), true},
        {Value::boolean(true), Value::boolean(false), false},
        {Value::array({num(1), num(2)}), Value::array({num(1), num(2)}), true},
        {Value::array({num(1), num(2)}), Value::array({num(2), num(1)}), false},
        {Value::array({num(1)}), Value::array({num(1), num(1)}), false},
        {obj({{"a", num(1)}, {"b", num(2)}}), obj({{"b", num(2)}, {"a", num(1)}}), true},
        {obj({{"a", num(1)}}), obj({{"a", num(2)}}), false},
        {obj({{"a", num(1)}}), obj({{"b", num(1)}}), false},
        {obj({{"a", num(1)}}), obj({{"a", num(1)}, {"b", num(1)}}), false},
        {obj({}), Value::array({}), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(values_equal(c.a, c.b), c.equal)
            << format_value(c.a) << " vs " << format_value(c.b);
        EXPECT_EQ(values_equal(c.b, c.a), c.equal);
    }
    const Value one = num(1);
    EXPECT_TRUE(values_equal(one, one));
    const Value nan = num(kNaN);
    EXPECT_FALSE(values_equal(nan, nan));
}

TEST(ValueTest, SortObjectEntriesKeepsLastOfEqualKeys) {
    ValueObject sorted = sort_object_entries(
        {{"b", num(1)}, {"a", num(2)}, {"b", num(3)}, {"\xc3\xa9", num(4)}, {"a", num(5)}});
    ASSERT_EQ(sorted.size(), 3u);
    EXPECT_EQ(sorted[0].first, "a");
    EXPECT_EQ(sorted[0].second.as_number(), 5);
    EXPECT_EQ(sorted[1].first, "b");
    EXPECT_EQ(sorted[1].second.as_number(), 3);
    EXPECT_EQ(sorted[2].first, "\xc3\xa9");  // bytes above 0x7f sort after ASCII
}

TEST(ValueTest, FindAndSharing) {
    const Value object = obj({{"b", num(2)}, {"a", num(1)}, {"c", str("x")}});
    ASSERT_NE(object.find("a"), nullptr);
    EXPECT_EQ(object.find("a")->as_number(), 1);
    EXPECT_EQ(object.find("c")->as_string(), "x");
    EXPECT_EQ(object.find("d"), nullptr);
    EXPECT_EQ(object.find("A"), nullptr);
    EXPECT_EQ(str("a").find("a"), nullptr);
    EXPECT_EQ(obj({}).find(""), nullptr);

    const Value copy = object;  // shares the entries instead of copying them
    EXPECT_EQ(&copy.as_object(), &object.as_object());
}

// Small objects are scanned and larger ones searched: both must find every key and no other.
TEST(ValueTest, FindOnEitherSideOfTheScanLimit) {
    for (int size : {7, 8, 9, 40}) {
        ValueObject entries;
        for (int i = 0; i < size; ++i)
            entries.emplace_back("k" + std::to_string(i), num(i));
        const Value object = obj(std::move(entries));
        for (int i = 0; i < size; ++i) {
            const Value* found = object.find("k" + std::to_string(i));
            ASSERT_NE(found, nullptr) << size << " " << i;
            EXPECT_EQ(found->as_number(), i);
        }
        EXPECT_EQ(object.find("k"), nullptr) << size;
        EXPECT_EQ(object.find("k" + std::to_string(size)), nullptr) << size;
    }
}

nlohmann::json nested_json_arrays(int levels) {
    nlohmann::json json = 1;
    for (int i = 0; i < levels; ++i)
        json = nlohmann::json::array({json});
    return json;
}

TEST(ValueTest, FromJson) {
    const auto json = nlohmann::json::parse(
        R"({"s": "t", "n": -3, "u": 18446744073709551615, "f": 2.5, "b": true, "z": null,)"
        R"( "a": [1, "x"], "o": {"y": 1, "x": 2}})");
    auto value = value_from_json(json);
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(format_value(*value),
              "a: 1, x, b: true, f: 2.5, n: -3, o: x: 2, y: 1, s: t, u: 18446744073709552000, z: ");
    EXPECT_EQ(value->find("u")->as_number(), 18446744073709551615.0);
    EXPECT_TRUE(value->find("z")->is_null());
    EXPECT_EQ(value->find("o")->as_object().front().first, "x");
}

TEST(ValueTest, FromJsonDepthLimit) {
    EXPECT_TRUE(value_from_json(nested_json_arrays(64)).ok());
    auto failed = value_from_json(nested_json_arrays(65));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, ErrorKind::Json);
    EXPECT_EQ(failed.error().text, "value nesting exceeds maximum depth of 64");

    // The test is made for each value converted, so an empty container at depth 64 passes.
    nlohmann::json json = nlohmann::json::array();
    for (int i = 0; i < 64; ++i)
        json = nlohmann::json::array({json});
    EXPECT_TRUE(value_from_json(json).ok());
    EXPECT_FALSE(value_from_json(1, 65).ok());
    EXPECT_TRUE(value_from_json(1, 64).ok());
}

}  // namespace
}  // namespace tyx
