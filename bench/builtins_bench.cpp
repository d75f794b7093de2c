// Times the builtins whose cost grows with their input: replace, split, sort and unique.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/crafted_names.h"
#include "core/builtins.h"
#include "core/value.h"

namespace {

constexpr int kRuns = 5;

struct Scenario {
    const char* label;
    const char* builtin;
    std::vector<tyx::Value> arguments;
    std::size_t input_bytes;
};

// A fixed linear congruential sequence, so that every run sorts the same shuffled input.
uint64_t next_random(uint64_t& state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
}

std::string words(std::size_t bytes, std::string_view word, std::string_view separator) {
    std::string text;
    text.reserve(bytes + word.size() + separator.size());
    while (text.size() < bytes) {
        text += word;
        text += separator;
    }
    return text;
}

std::vector<Scenario> scenarios() {
    std::vector<Scenario> out;
    const std::string ten_mb = words(10'000'000, "lorem ipsum", ", ");
    out.push_back(
        {"replace, 10 MB, 769,231 hits, growing",
         "replace",
         {tyx::Value::string(ten_mb), tyx::Value::string(", "), tyx::Value::string(" --- ")},
         ten_mb.size()});
    out.push_back(
        {"replace, 10 MB, 769,231 hits, shrinking",
         "replace",
         {tyx::Value::string(ten_mb), tyx::Value::string("lorem"), tyx::Value::string("l")},
         ten_mb.size()});
    // A needle that almost matches everywhere: the worst case of a naive search.
    const std::string all_a(10'000'000, 'a');
    out.push_back({"replace, 10 MB of 'a', 300-byte near-miss search",
                   "replace",
                   {tyx::Value::string(all_a), tyx::Value::string(std::string(299, 'a') + "b"),
                    tyx::Value::string("x")},
                   all_a.size()});

    // 100,000 pieces of 11 bytes, the most one call may produce.
    const std::string pieces = words(1'200'000, "field-value", ",");
    out.push_back(
        {"split, 1.2 MB into 100,000 pieces",
         "split",
         {tyx::Value::string(pieces.substr(0, 100'000 * 12 - 1)), tyx::Value::string(",")},
         100'000 * 12 - 1});

    uint64_t state = 42;
    tyx::ValueArray numbers;
    tyx::ValueArray strings;
    for (int i = 0; i < 100'000; ++i) {
        const uint64_t r = next_random(state);
        numbers.push_back(tyx::Value::number(static_cast<double>(r % 1'000'000) / 7.0));
        strings.push_back(tyx::Value::string("key-" + std::to_string(r)));
    }
    out.push_back({"sort, 100,000 numbers", "sort", {tyx::Value::array(numbers)}, 0});
    out.push_back({"sort, 100,000 strings", "sort", {tyx::Value::array(strings)}, 0});

    tyx::ValueArray mixed;
    for (int i = 0; i < 100'000; ++i) {
        const uint64_t r = next_random(state) % 20'000;
        switch (i % 4) {
            case 0:
                mixed.push_back(tyx::Value::number(static_cast<double>(r)));
                break;
            case 1:
                mixed.push_back(tyx::Value::string("s" + std::to_string(r)));
                break;
            case 2:
                mixed.push_back(tyx::Value::array(
                    {tyx::Value::number(static_cast<double>(r)), tyx::Value::string("x")}));
                break;
            default:
                mixed.push_back(
                    tyx::Value::object({{"id", tyx::Value::number(static_cast<double>(r))}}));
                break;
        }
    }
    out.push_back(
        {"unique, 100,000 mixed elements", "unique", {tyx::Value::array(std::move(mixed))}, 0});
    out.push_back({"unique, 100,000 numbers", "unique", {tyx::Value::array(numbers)}, 0});

    // Keys that the standard hashes put in one bucket, against as many ordinary ones: texts of
    // one libstdc++ std::hash value, and numbers whose bits are multiples of the bucket count
    // that a set reserved for them has.
    constexpr std::size_t kCrafted = 20'000;
    tyx::ValueArray crafted_texts;
    tyx::ValueArray ordinary_texts;
    for (std::string& text : tyx::texts_sharing_std_hash(kCrafted)) {
        ordinary_texts.push_back(tyx::Value::string(text.substr(0, 8) + "ordinary"));
        crafted_texts.push_back(tyx::Value::string(std::move(text)));
    }
    out.push_back({"unique, 20,000 ordinary strings of 16 bytes",
                   "unique",
                   {tyx::Value::array(std::move(ordinary_texts))},
                   0});
    out.push_back({"unique, 20,000 strings of one std::hash",
                   "unique",
                   {tyx::Value::array(std::move(crafted_texts))},
                   0});
    std::unordered_set<uint64_t> reserved;
    reserved.reserve(kCrafted);
    tyx::ValueArray crafted_numbers;
    tyx::ValueArray ordinary_numbers;
    for (const double number :
         tyx::numbers_sharing_identity_bucket(kCrafted, reserved.bucket_count())) {
        crafted_numbers.push_back(tyx::Value::number(number));
        ordinary_numbers.push_back(tyx::Value::number(static_cast<double>(crafted_numbers.size())));
    }
    out.push_back({"unique, 20,000 ordinary numbers",
                   "unique",
                   {tyx::Value::array(std::move(ordinary_numbers))},
                   0});
    out.push_back({"unique, 20,000 numbers in one std::hash bucket",
                   "unique",
                   {tyx::Value::array(std::move(crafted_numbers))},
                   0});
    return out;
}

std::size_t result_size(const tyx::Value& value) {
    if (value.is_string()) return value.as_string().size();
    if (value.is_array()) return value.as_array().size();
    return 0;
}

int run(const Scenario& scenario) {
    const tyx::BuiltinSpec* builtin = tyx::lookup_builtin(scenario.builtin);
    if (builtin == nullptr) {
        std::cerr << scenario.label << ": no builtin " << scenario.builtin << '\n';
        return 1;
    }
    double best_ms = 1e300;
    std::size_t size = 0;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        tyx::WorkBudget work;
        const tyx::Result<tyx::Value> result = builtin->handler(scenario.arguments, work);
        const auto stop = std::chrono::steady_clock::now();
        if (!result.ok()) {
            std::cerr << scenario.label << ": " << tyx::format_error_message(result.error())
                      << '\n';
            return 1;
        }
        size = result_size(result.value());
        best_ms =
            std::min(best_ms, std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::cout << scenario.label << ": " << best_ms << " ms";
    if (scenario.input_bytes != 0) {
        std::cout << " (" << static_cast<double>(scenario.input_bytes) / 1e6 / (best_ms / 1e3)
                  << " MB/s)";
    }
    std::cout << ", result size " << size << ", best of " << kRuns << '\n';
    return 0;
}

}  // namespace

int main() {
    int failures = 0;
    for (const Scenario& scenario : scenarios())
        failures += run(scenario);
    return failures == 0 ? 0 : 1;
}
