#include "core/name_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "bench/crafted_names.h"

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

// Against CPython's hash of bytes with its secret zeroed (PYTHONHASHSEED=0), which is the same
// function.
TEST(KeyedHash, TextHashIsSipHash13) {
    const std::pair<std::string_view, uint64_t> cases[] = {
        {"a", 0x407448D2B89B1813ull},
        {"abcdefg", 0x6DB12AAE9070F506ull},
        {"abcdefgh", 0x3F7B849C0B8E35EAull},
        {"abcdefghijklmno", 0x1FD27A29B0E9DC7Aull},
        {"abcdefghijklmnop", 0x94F60D3D29E6A312ull},
    };
    for (const auto& [text, hash] : cases)
        EXPECT_EQ(sip_hash_13(0, 0, text.data(), text.size()), hash) << text;
}

// Names whose unkeyed placement in a table of 2^kSlotBits slots is one of its first 16 slots.
constexpr int kSlotBits = 14;
std::vector<std::string> names_crowding_unkeyed_slots(size_t count) {
    return names_with_unkeyed_zero_bits(count, ((uint64_t{1} << kSlotBits) - 1) & ~uint64_t{15});
}

// A NameMap of 4,096 names has 2^14 slots; the names crafted against the unkeyed placement all
// fell into one run of slots, so that every lookup probed thousands of them.
TEST(NameMap, NamesCraftedAgainstTheUnkeyedIndexSpreadOverItsSlots) {
    const std::vector<std::string> names = names_crowding_unkeyed_slots(4096);
    std::vector<bool> used(size_t{1} << kSlotBits);
    const size_t mask = used.size() - 1;
    size_t longest_probe = 0;
    for (const std::string& name : names) {
        size_t slot = static_cast<size_t>(NameHash::spread(NameHash{}(name))) & mask;
        size_t probe = 1;
        for (; used[slot]; slot = (slot + 1) & mask)
            ++probe;
        used[slot] = true;
        longest_probe = std::max(longest_probe, probe);
    }
    EXPECT_LT(longest_probe, 64u);

    NameMap<size_t> map;
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_TRUE(map.insert_or_assign(names[i], i).second) << names[i];
    ASSERT_EQ(map.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(map.at(names[i]), i) << names[i];
    EXPECT_FALSE(map.contains("zzzzzzz"));
}

// The unkeyed hash of a long name mixed each 8-byte word into its state by a multiply, which
// carries the top bit of a word to the top bit alone and so sets bits 63 and 31 of the mixed
// state: flipping a word's top bit and those two bits of the next word left the hash as it was,
// whatever the words. Every one of these 2^12 names of 13 words had one hash.
TEST(NameHash, LongNamesOfOneUnkeyedHashHaveDistinctKeys) {
    constexpr int kFlips = 12;
    constexpr uint64_t kTopBit = uint64_t{1} << 63;
    constexpr uint64_t kCarried = kTopBit | uint64_t{1} << 31;
    std::vector<std::string> names;
    for (uint32_t flips = 0; flips < (uint32_t{1} << kFlips); ++flips) {
        std::string name(8 * (kFlips + 1), 'a');
        for (int word = 0; word <= kFlips; ++word) {
            uint64_t bits = 0;
            if (word < kFlips && (flips >> word & 1) != 0) bits ^= kTopBit;
            if (word > 0 && (flips >> (word - 1) & 1) != 0) bits ^= kCarried;
            for (int byte = 0; byte < 8; ++byte) {
                name[static_cast<size_t>(8 * word + byte)] ^=
                    static_cast<char>(bits >> (8 * byte) & 0xFF);
            }
        }
        names.push_back(std::move(name));
    }
    std::set<uint64_t> keys;
    for (const std::string& name : names)
        keys.insert(NameHash{}(name));
    EXPECT_EQ(keys.size(), names.size());

    NameMap<size_t> map;
    for (size_t i = 0; i < names.size(); ++i)
        map.insert_or_assign(names[i], i);
    ASSERT_EQ(map.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(map.at(names[i]), i);
}

}  // namespace
}  // namespace tyx
