#include "core/name_map.h"

#include <gtest/gtest.h>

#include <string>

namespace tyx {
namespace {

// Sizes on both sides of the switch from scanning to the index, and past a few index rebuilds.
class NameMapSizes : public ::testing::TestWithParam<int> {};

TEST_P(NameMapSizes, FindsEveryNameAndNoOther) {
    const int count = GetParam();
    NameMap<int> map;
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(map.insert_or_assign("name" + std::to_string(i), i).second);
    }
    ASSERT_EQ(map.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto found = map.find("name" + std::to_string(i));
        ASSERT_NE(found, map.end()) << i;
        EXPECT_EQ(found->second, i);
    }
    EXPECT_EQ(map.find("name"), map.end());
    EXPECT_EQ(map.find("name" + std::to_string(count)), map.end());
    EXPECT_FALSE(map.contains(""));
}

TEST_P(NameMapSizes, ReplacingKeepsOneEntryPerName) {
    const int count = GetParam();
    NameMap<int> map;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(map.insert_or_assign("k" + std::to_string(i), round).second, round == 0);
        }
    }
    ASSERT_EQ(map.size(), static_cast<size_t>(count));
    for (const auto& [name, value] : map)
        EXPECT_EQ(value, 1) << name;
}

INSTANTIATE_TEST_SUITE_P(Sizes, NameMapSizes, ::testing::Values(0, 1, 8, 9, 16, 17, 100, 5000));

TEST(NameMap, EmplaceKeepsTheFirstValueAndIndexKeepsTheSecond) {
    NameMap<std::string> map;
    EXPECT_TRUE(map.emplace("a", "first").second);
    auto again = map.emplace("a", "second");
    EXPECT_FALSE(again.second);
    EXPECT_EQ(again.first->second, "first");
    map["a"] = "third";
    map["b"];
    EXPECT_EQ(map.at("a"), "third");
    EXPECT_EQ(map.at("b"), "");
    EXPECT_THROW((void)map.at("c"), std::out_of_range);
}

TEST(NameMap, ClearedMapStartsOverBelowAndAboveTheIndexSize) {
    NameMap<int> map;
    for (int i = 0; i < 50; ++i)
        map.insert_or_assign(std::to_string(i), i);
    map.clear();
    EXPECT_TRUE(map.empty());
    EXPECT_FALSE(map.contains("3"));
    for (int i = 0; i < 20; ++i)
        map.insert_or_assign("x" + std::to_string(i), i);
    EXPECT_FALSE(map.contains("3"));
    EXPECT_EQ(map.at("x19"), 19);
    EXPECT_EQ(map.size(), 20u);
}

TEST(NameMap, NamesDifferingOnlyAfterAPrefixOrByEmbeddedNulAreDistinct) {
    NameMap<int> map;
    map.insert_or_assign("ab", 1);
    map.insert_or_assign("a", 2);
    map.insert_or_assign(std::string("a\0b", 3), 3);
    EXPECT_EQ(map.at("ab"), 1);
    EXPECT_EQ(map.at("a"), 2);
    EXPECT_EQ(map.at(std::string_view("a\0b", 3)), 3);
    EXPECT_EQ(map.size(), 3u);
}

// Short names are compared by their packed bytes alone, so every byte of every short length
// must take part.
TEST(NameMap, NamesOfEachLengthDifferingInAnyOneByteAreDistinct) {
    for (size_t size = 1; size <= 10; ++size) {
        NameMap<size_t> map;
        const std::string base(size, 'a');
        map.insert_or_assign(base, size);
        for (size_t at = 0; at < size; ++at) {
            std::string other = base;
            other[at] = 'b';
            EXPECT_FALSE(map.contains(other)) << other;
            EXPECT_TRUE(map.insert_or_assign(other, at).second) << other;
        }
        EXPECT_EQ(map.size(), size + 1);
        EXPECT_EQ(map.at(base), size);
    }
}

}  // namespace
}  // namespace tyx
