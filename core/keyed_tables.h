// The standard unordered containers for keys that come from input. The standard hashes have no
// secret (a number's is the number itself, a text's a fixed mix of its bytes), so keys can be
// chosen offline that all share one bucket; these place keys by the hashes of the process's
// secret instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/keyed_hash.h"

namespace tyx {

struct KeyedWordHash {
    // Cheap enough that the containers need not store it beside each key, as for std::hash.
    size_t operator()(uint64_t word) const noexcept { return keyed_word_hash(word); }
};

// Both look up views without building strings.
using KeyedTextSet = std::unordered_set<std::string, KeyedTextHash, std::equal_to<>>;
template <class T>
using KeyedTextMap = std::unordered_map<std::string, T, KeyedTextHash, std::equal_to<>>;

using KeyedWordSet = std::unordered_set<uint64_t, KeyedWordHash>;

}  // namespace tyx
