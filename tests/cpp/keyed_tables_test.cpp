// Keys that the standard hashes put in one bucket, in the containers that hold keys from input:
// texts with one libstdc++ std::hash value, and numbers that are multiples of the bucket count.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bench/crafted_names.h"
#include "core/keyed_tables.h"
#include "core/lint/diagnostic.h"
#include "core/lint/facts.h"

namespace tyx {
namespace {

constexpr size_t kKeys = 2'000;
// Placed at random, 2,000 keys in about as many buckets put at most a handful in any one.
constexpr size_t kMostInOneBucket = 16;

template <class Table>
size_t most_in_one_bucket(const Table& table) {
    size_t most = 0;
    for (size_t bucket = 0; bucket < table.bucket_count(); ++bucket)
        most = std::max(most, table.bucket_size(bucket));
    return most;
}

template <class Table>
size_t most_in_one_bucket_of(const std::vector<std::string>& keys, Table table) {
    for (const std::string& key : keys)
        table.emplace(key, typename Table::mapped_type{});
    return most_in_one_bucket(table);
}

template <class Set>
size_t most_in_one_bucket_of_set(const std::vector<std::string>& keys, Set set) {
    for (const std::string& key : keys)
        set.insert(key);
    return most_in_one_bucket(set);
}

TEST(KeyedTables, TextsSharingOneStdHashSpreadOverTheBuckets) {
    const std::vector<std::string> texts = texts_sharing_std_hash(kKeys);
    const size_t shared = std::hash<std::string>{}(texts.front());
    if (!std::all_of(texts.begin(), texts.end(), [&](const std::string& text) {
            return std::hash<std::string>{}(text) == shared;
        })) {
        GTEST_SKIP() << "std::hash is not libstdc++'s MurmurHash2-64A";
    }
    ASSERT_EQ(std::set<std::string>(texts.begin(), texts.end()).size(), kKeys);

    const LintFacts facts;
    const LintBindings bindings;
    const std::vector<std::pair<const char*, std::function<size_t()>>> tables = {
        {"referenced", [&] { return most_in_one_bucket_of_set(texts, facts.referenced); }},
        {"called", [&] { return most_in_one_bucket_of_set(texts, facts.called); }},
        {"qualified_namespaces",
         [&] { return most_in_one_bucket_of_set(texts, facts.qualified_namespaces); }},
        {"included", [&] { return most_in_one_bucket_of_set(texts, facts.included); }},
        {"frontmatter_names",
         [&] { return most_in_one_bucket_of_set(texts, bindings.frontmatter_names); }},
        {"import_aliases",
         [&] { return most_in_one_bucket_of_set(texts, bindings.import_aliases); }},
        {"RuleSeverityMap", [&] { return most_in_one_bucket_of(texts, RuleSeverityMap{}); }},
        {"KeyedTextSet", [&] { return most_in_one_bucket_of_set(texts, KeyedTextSet{}); }},
        {"KeyedTextMap", [&] { return most_in_one_bucket_of(texts, KeyedTextMap<size_t>{}); }},
    };
    for (const auto& [name, most] : tables)
        EXPECT_LE(most(), kMostInOneBucket) << name;
}

TEST(KeyedTables, NumbersSharingOneIdentityBucketSpreadOverTheBuckets) {
    KeyedWordSet words;
    words.reserve(kKeys);
    for (const double number : numbers_sharing_identity_bucket(kKeys, words.bucket_count()))
        words.insert(std::bit_cast<uint64_t>(number));
    ASSERT_EQ(words.size(), kKeys);
    EXPECT_LE(most_in_one_bucket(words), kMostInOneBucket);
}

}  // namespace
}  // namespace tyx
