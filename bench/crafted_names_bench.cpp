// Names crafted to collide in the name tables' index as it was placed before it took a secret,
// and the time of filling and searching a table with them against ordinary names.
//
//   crafted_names_bench                 times NameMap with 60,000 and 200,000 names of each set
//   crafted_names_bench names COUNT     prints COUNT crafted names, one a line
//   crafted_names_bench ordinary COUNT  prints COUNT ordinary names of the same length
//
// bench/name_tables_bench.py takes its names from here.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/crafted_names.h"
#include "core/name_map.h"

namespace {

// Slots 0-2047 and their images past bit 18: a table of 60,000 or 200,000 names (2^18 or 2^20
// slots) placed every one of them in one cluster.
constexpr uint64_t kZeroBits = uint64_t{0xFF} << 11;

std::vector<std::string> names(size_t count, bool crafted) {
    if (crafted) return tyx::names_with_unkeyed_zero_bits(count, kZeroBits);
    std::vector<std::string> found;
    for (uint64_t index = 0; index < count; ++index)
        found.push_back(tyx::seven_letter_name(index));
    return found;
}

double seconds_to_fill_and_search(const std::vector<std::string>& set) {
    const auto start = std::chrono::steady_clock::now();
    tyx::NameMap<int> map;
    for (const std::string& name : set)
        map.insert_or_assign(name, 1);
    size_t found = 0;
    for (const std::string& name : set)
        found += map.contains(name) ? 1 : 0;
    const auto stop = std::chrono::steady_clock::now();
    if (found != set.size()) std::abort();
    return std::chrono::duration<double>(stop - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {
        const bool crafted = std::strcmp(argv[1], "names") == 0;
        const size_t count = std::strtoull(argv[2], nullptr, 10);
        for (const std::string& name : names(count, crafted))
            std::printf("%s\n", name.c_str());
        return 0;
    }
    std::printf("%-10s %12s %12s %8s\n", "names", "ordinary s", "crafted s", "ratio");
    for (size_t count : {size_t{60'000}, size_t{200'000}}) {
        const double ordinary = seconds_to_fill_and_search(names(count, false));
        const double crafted = seconds_to_fill_and_search(names(count, true));
        std::printf("%-10zu %12.4f %12.4f %8.2f\n", count, ordinary, crafted, crafted / ordinary);
    }
    return 0;
}
