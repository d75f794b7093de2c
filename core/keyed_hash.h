// Hashes keyed by a secret of the process, for tables whose keys come from input: without the
// secret, no one can choose keys that share a table's slots.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif

namespace tyx {

// Drawn once, on first use, and never changed: every table of one process places its keys alike.
struct HashSecret {
    uint64_t sip0, sip1;
    uint64_t mix_xor;
    // Odd.
    uint64_t mix_multiplier;
};

namespace hash_detail {

inline uint64_t mix_word(uint64_t value) {
    value ^= value >> 30;
    value *= 0xBF58476D1CE4E5B9ull;
    value ^= value >> 27;
    value *= 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

inline HashSecret draw_secret() {
    uint64_t words[4] = {};
#if __has_include(<sys/random.h>)
    const bool drawn = getentropy(words, sizeof words) == 0;
#else
    const bool drawn = false;
#endif
    if (!drawn) {
        // No system source: the clock and where this process's stack and code were placed.
        uint64_t seed =
            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        seed ^= reinterpret_cast<uintptr_t>(&seed) ^ reinterpret_cast<uintptr_t>(&draw_secret);
        for (uint64_t& word : words)
            word = mix_word(seed += 0x9E3779B97F4A7C15ull);
    }
    return {words[0], words[1], words[2], words[3] | 1};
}

inline uint64_t rotate(uint64_t value, int by) {
    return value << by | value >> (64 - by);
}

template <class Word>
Word load(const char* at) {
    Word word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

}  // namespace hash_detail

inline const HashSecret& hash_secret() {
    static const HashSecret secret = hash_detail::draw_secret();
    return secret;
}

// SipHash-1-3 of the bytes under the key (k0, k1), as CPython hashes its str and bytes.
inline uint64_t sip_hash_13(uint64_t k0, uint64_t k1, const char* data, size_t size) {
    using hash_detail::rotate;
    uint64_t v0 = k0 ^ 0x736F6D6570736575ull;
    uint64_t v1 = k1 ^ 0x646F72616E646F6Dull;
    uint64_t v2 = k0 ^ 0x6C7967656E657261ull;
    uint64_t v3 = k1 ^ 0x7465646279746573ull;
    const auto round = [&] {
        v0 += v1;
        v1 = rotate(v1, 13) ^ v0;
        v0 = rotate(v0, 32);
        v2 += v3;
        v3 = rotate(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotate(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotate(v1, 17) ^ v2;
        v2 = rotate(v2, 32);
    };
    const size_t whole = size & ~size_t{7};
    for (size_t at = 0; at < whole; at += 8) {
        const uint64_t word = hash_detail::load<uint64_t>(data + at);
        v3 ^= word;
        round();
        v0 ^= word;
    }
    uint64_t last = uint64_t{size} << 56;
    for (size_t at = whole; at < size; ++at)
        last |= uint64_t{static_cast<unsigned char>(data[at])} << (8 * (at - whole));
    v3 ^= last;
    round();
    v0 ^= last;
    v2 ^= 0xFF;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// A text's hash under the process's secret, for tables of texts that come from input.
inline uint64_t keyed_text_hash(std::string_view text) {
    const HashSecret& secret = hash_secret();
    return sip_hash_13(secret.sip0, secret.sip1, text.data(), text.size());
}

// A word's hash under the process's secret: every bit of the word and of the secret over every
// bit of the hash, by a multiply by the secret odd multiplier, which is a bijection, so that
// distinct words never meet in all 64 bits, then a fixed finish that brings the product's high
// bits, which depend on every bit below them, down to the low bits that index a table. A table
// keeps its own copy of the secret's two words, so that hashing reads no shared state.
struct WordSpread {
    uint64_t mix_xor = 0;
    uint64_t mix_multiplier = 1;

    static WordSpread of_process() {
        const HashSecret& secret = hash_secret();
        return {secret.mix_xor, secret.mix_multiplier};
    }
    uint64_t of(uint64_t word) const {
        uint64_t value = (word ^ mix_xor) * mix_multiplier;
        value ^= value >> 32;
        value *= 0xD6E8FEB86659FD93ull;
        return value ^ (value >> 32);
    }
};

inline uint64_t keyed_word_hash(uint64_t word) {
    return WordSpread::of_process().of(word);
}

// The text hash for the standard unordered containers, which look up views without building
// strings.
struct KeyedTextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return keyed_text_hash(text); }
};

}  // namespace tyx
