// Names crafted against the name tables' index as it was placed before it took a secret of the
// process: a fixed bijection of a name's key, so names could be searched for offline that all
// fall in a few of a table's slots. bench/crafted_names_bench.cpp and the tests share them, and
// the texts and numbers that the standard hashes put in one bucket.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// libstdc++'s std::hash of a text (`_Hash_bytes`): MurmurHash2-64A with a fixed seed. Each
// 8-byte block enters its state by a bijection, so for any state there is one block that brings
// it to any other.
namespace std_hash_detail {

inline constexpr uint64_t kMultiplier = 0xC6A4A7935BD1E995ull;
inline constexpr uint64_t kSeed = 0xC70F6907ull;

inline uint64_t shift_mix(uint64_t value) {
    return value ^ (value >> 47);
}

// The inverse of an odd number modulo 2^64, by Newton's iteration: each step doubles the bits
// that are right, from the 3 an odd number is its own inverse in.
inline uint64_t inverse(uint64_t odd) {
    uint64_t inverse = odd;
    for (int step = 0; step < 5; ++step)
        inverse *= 2 - odd * inverse;
    return inverse;
}

}  // namespace std_hash_detail

// `count` distinct texts of 16 printable bytes that libstdc++'s std::hash maps to one value: for
// each first block in counting order, the second block that brings the state to a fixed value,
// kept when its bytes are printable (about one first block in 2,800).
inline std::vector<std::string> texts_sharing_std_hash(size_t count) {
    using namespace std_hash_detail;
    const uint64_t inverse_multiplier = inverse(kMultiplier);
    const auto block_value = [](uint64_t block) {
        return shift_mix(block * kMultiplier) * kMultiplier;
    };
    const auto block_of_value = [&](uint64_t value) {
        return shift_mix(value * inverse_multiplier) * inverse_multiplier;
    };
    const uint64_t start = kSeed ^ (16 * kMultiplier);
    const uint64_t wanted = 0x0123456789ABCDEFull * inverse_multiplier;
    std::vector<std::string> texts;
    texts.reserve(count);
    for (uint64_t index = 0; texts.size() < count; ++index) {
        char first[8];
        uint64_t rest = index;
        for (char& byte : first) {
            byte = static_cast<char>('0' + rest % 64);
            rest /= 64;
        }
        const uint64_t state =
            (start ^ block_value(hash_detail::load<uint64_t>(first))) * kMultiplier;
        const uint64_t second = block_of_value(wanted ^ state);
        bool printable = true;
        for (int at = 0; at < 64; at += 8) {
            const uint64_t byte = (second >> at) & 0xFF;
            printable = printable && byte >= 0x20 && byte < 0x7F;
        }
        if (!printable) continue;
        std::string text(first, sizeof first);
        text.resize(16);
        std::memcpy(text.data() + 8, &second, sizeof second);
        texts.push_back(std::move(text));
    }
    return texts;
}

// `count` distinct numbers whose bits are multiples of `bucket_count` past those of 1: the
// standard hash of a number is the number itself, so a table with that many buckets puts them
// all in one.
inline std::vector<double> numbers_sharing_identity_bucket(size_t count, size_t bucket_count) {
    const uint64_t one = std::bit_cast<uint64_t>(1.0);
    const uint64_t first = (one / bucket_count + 1) * bucket_count;
    std::vector<double> numbers;
    numbers.reserve(count);
    for (uint64_t i = 0; i < count; ++i)
        numbers.push_back(std::bit_cast<double>(first + i * bucket_count));
    return numbers;
}

}  // namespace tyx
