// Names crafted against the name tables' index as it was placed before it took a secret of the
// process: a fixed bijection of a name's key, so names could be searched for offline that all
// fall in a few of a table's slots. bench/crafted_names_bench.cpp and the tests share them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/name_map.h"

namespace tyx {

// Where the unkeyed index placed a short name's key.
inline uint64_t unkeyed_spread(uint64_t key) {
    key *= 0xFF51AFD7ED558CCDull;
    key ^= key >> 32;
    key ^= key >> 33;
    key *= 0xC4CEB9FE1A85EC53ull;
    return key ^ (key >> 33);
}

// Seven lower-case letters, the `index`th in counting order.
inline std::string seven_letter_name(uint64_t index) {
    std::string name(7, 'a');
    for (char& letter : name) {
        letter = static_cast<char>('a' + index % 26);
        index /= 26;
    }
    return name;
}

// The first `count` seven-letter names whose unkeyed placement has every bit of `zero_bits` zero.
inline std::vector<std::string> names_with_unkeyed_zero_bits(size_t count, uint64_t zero_bits) {
    std::vector<std::string> names;
    names.reserve(count);
    for (uint64_t index = 0; names.size() < count; ++index) {
        std::string name = seven_letter_name(index);
        if ((unkeyed_spread(NameHash{}(name)) & zero_bits) == 0) names.push_back(std::move(name));
    }
    return names;
}

}  // namespace tyx
