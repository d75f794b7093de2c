// Tables of names for scope frames, module function tables and the names functions capture.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/keyed_hash.h"

namespace tyx {

// The key a table compares names by, inline: names are short identifiers, and a scope lookup
// computes its key once for all the frames it searches. A name of up to 7 bytes is its key, its
// bytes packed beside its size, so equal keys mean equal names and the bytes are never read
// again; a longer name's key is its keyed hash with the top byte set, which no short key has,
// and equal keys are confirmed byte for byte. An index places a key by `spread`, which mixes it
// with the process's secret: which names share a slot cannot be known outside the process.
struct NameHash {
    // Always inline: most lookups cost only a few instructions besides the key.
    [[gnu::always_inline]] uint64_t operator()(std::string_view name) const {
        const char* data = name.data();
        const size_t size = name.size();
        if (size < 8) {
            const uint64_t tag = uint64_t{size} << 56;
            if (size >= 4) [[likely]] {
                // Two loads that overlap below 8 bytes, each byte at its own place in both.
                return tag | uint64_t{hash_detail::load<uint32_t>(data)} |
                       uint64_t{hash_detail::load<uint32_t>(data + size - 4)} << (8 * (size - 4));
            }
            if (size == 0) return tag;
            const auto byte = [&](size_t at) {
                return uint64_t{static_cast<unsigned char>(data[at])};
            };
            return tag | byte(0) | byte(size >> 1) << 8 | byte(size - 1) << 16;
        }
        return long_key(data, size);
    }
    // Whether a key of `size` bytes' name is the name itself.
    static bool is_exact(size_t size) { return size < 8; }
    // Where an index places a key, which depends on the process's secret.
    static uint64_t spread(uint64_t key) { return keyed_word_hash(key); }

  private:
    static constexpr uint64_t kLongKey = uint64_t{0xFF} << 56;

    // Out of line: most names are short.
    [[gnu::noinline]] static uint64_t long_key(const char* data, size_t size) {
        return keyed_text_hash({data, size}) | kLongKey;
    }
};

// A name with its key, computed once: a scope lookup hands the same NameKey to every table it
// searches. Made implicitly from any text, so a table is searched by a name as it stands.
struct NameKey {
    template <class Text>
    requires std::convertible_to<const Text&, std::string_view>
    [[gnu::always_inline]] NameKey(const Text& text)  // NOLINT: implicit, as a name is its key
        : name(text), key(NameHash{}(name)) {}

    std::string_view name;
    uint64_t key;
};

// The open-addressing index of a table of names that has outgrown a scan: each used slot holds
// an entry's position + 1, placed by the spread of its key and probed linearly. It stays at most
// half full, so every probe sequence ends at an empty slot.
class NameIndex {
  public:
    static constexpr size_t kAbsent = static_cast<size_t>(-1);

    bool empty() const { return slots_.empty(); }
    void clear() { slots_.clear(); }

    // The position of the first entry placed for `key` for which `matches(position)` holds, or
    // kAbsent. Calls nothing but `matches`.
    template <class Matches>
    size_t find(uint64_t key, Matches matches) const {
        const size_t mask = slots_.size() - 1;
        for (size_t slot = static_cast<size_t>(spread_.of(key)) & mask;; slot = (slot + 1) & mask) {
            const uint32_t stored = slots_[slot];
            if (stored == 0) return kAbsent;
            if (matches(size_t{stored - 1})) return stored - 1;
        }
    }

    // Takes in the table's last entry, at `position`; `key_at` gives the key at any position.
    template <class KeyAt>
    void add(size_t position, KeyAt key_at) {
        const size_t count = position + 1;
        if (count * 2 <= slots_.size()) {
            place(position, key_at(position));
            return;
        }
        size_t capacity = 32;
        while (capacity < count * 4)
            capacity *= 2;
        slots_.assign(capacity, 0);
        spread_ = WordSpread::of_process();
        for (size_t i = 0; i < count; ++i)
            place(i, key_at(i));
    }

  private:
    void place(size_t position, uint64_t key) {
        const size_t mask = slots_.size() - 1;
        size_t slot = static_cast<size_t>(spread_.of(key)) & mask;
        while (slots_[slot] != 0)
            slot = (slot + 1) & mask;
        slots_[slot] = static_cast<uint32_t>(position + 1);
    }

    std::vector<uint32_t> slots_;
    // Kept from when the slots were made, so that a probe reads the secret without calling.
    WordSpread spread_;
};

// Entries in insertion order with their keys beside them. Most tables hold a few names (the
// parameters of one call, the variable of one loop), which a scan of the keys finds faster
// than a hash table's buckets and without allocating any; a table that grows past
// kLinearLimit gains an open-addressing index so that large `vars` stay constant-time. The
// order of entries is never visible: whoever shows names sorts them first.
template <class T>
class NameMap {
  public:
    using value_type = std::pair<std::string, T>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    // The name's entry, or end(); every member below that takes a name searches the same way.
    iterator find(const NameKey& name) {
        const size_t at = position(name);
        return at == kAbsent ? end() : begin() + static_cast<std::ptrdiff_t>(at);
    }
    const_iterator find(const NameKey& name) const {
        const size_t at = position(name);
        return at == kAbsent ? end() : begin() + static_cast<std::ptrdiff_t>(at);
    }
    bool contains(const NameKey& name) const { return position(name) != kAbsent; }

    // Adds the entry unless the name is present; the bool tells whether it was added.
    template <class... Args>
    std::pair<iterator, bool> emplace(const NameKey& name, Args&&... args) {
        const size_t at = position(name);
        if (at != kAbsent) return {begin() + static_cast<std::ptrdiff_t>(at), false};
        append(name, std::forward<Args>(args)...);
        return {end() - 1, true};
    }
    // The name's string is built only when the name is new.
    template <class V>
    std::pair<iterator, bool> insert_or_assign(const NameKey& name, V&& value) {
        const size_t at = position(name);
        if (at != kAbsent) {
            entries_[at].second = std::forward<V>(value);
            return {begin() + static_cast<std::ptrdiff_t>(at), false};
        }
        append(name, std::forward<V>(value));
        return {end() - 1, true};
    }
    void reserve(size_t count) {
        entries_.reserve(count);
        hashes_.reserve(count);
    }
    // Keeps the storage for the entries that come next.
    void clear() {
        entries_.clear();
        hashes_.clear();
        index_.clear();
    }
    // As the standard maps do, for a name the caller knows is present.
    const T& at(const NameKey& name) const {
        const size_t at = position(name);
        if (at == kAbsent) throw std::out_of_range("NameMap::at");
        return entries_[at].second;
    }
    T& operator[](const NameKey& name) {
        const size_t at = position(name);
        if (at != kAbsent) return entries_[at].second;
        append(name);
        return entries_.back().second;
    }

  private:
    static constexpr size_t kAbsent = NameIndex::kAbsent;
    static constexpr size_t kLinearLimit = 8;

    // A short name is found without calling anything, by a scan of the keys or a probe of the
    // index: a scope lookup repeats this for the innermost frame of every lookup. A long name's
    // equal keys are confirmed byte for byte, out of line.
    [[gnu::always_inline]] size_t position(const NameKey& name) const {
        if (!NameHash::is_exact(name.name.size())) [[unlikely]] {
            return confirmed_position(name);
        }
        if (!index_.empty()) [[unlikely]] {
            return index_.find(name.key, [&](size_t i) { return hashes_[i] == name.key; });
        }
        for (size_t i = 0; i < hashes_.size(); ++i) {
            if (hashes_[i] == name.key) return i;
        }
        return kAbsent;
    }
    [[gnu::noinline]] size_t confirmed_position(NameKey name) const {
        const auto matches = [&](size_t i) {
            return hashes_[i] == name.key && entries_[i].first == name.name;
        };
        if (!index_.empty()) return index_.find(name.key, matches);
        for (size_t i = 0; i < hashes_.size(); ++i) {
            if (matches(i)) return i;
        }
        return kAbsent;
    }

    // The entry is built in place, its name's string once from the view.
    template <class... Args>
    void append(const NameKey& name, Args&&... args) {
        // A table that is not indexed never moves its entries, and most tables are filled one
        // name at a time.
        if (entries_.size() == entries_.capacity()) {
            reserve(std::max(kLinearLimit, 2 * entries_.size()));
        }
        entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(name.name),
                              std::forward_as_tuple(std::forward<Args>(args)...));
        hashes_.push_back(name.key);
        if (entries_.size() <= kLinearLimit) return;
        index_.add(entries_.size() - 1, [this](size_t i) { return hashes_[i]; });
    }

    std::vector<value_type> entries_;
    std::vector<uint64_t> hashes_;
    // Empty until the table passes kLinearLimit entries.
    NameIndex index_;
};

// A name table that keeps its bindings in the order they were made, so that it can be read as
// it stood at any earlier length: capturing it costs a length, not a copy. Once frozen, the
// bindings made so far stay readable; rebinding a name whose latest binding came after the
// last freeze replaces that binding in place, so a table that is never frozen again grows no
// faster than a NameMap.
template <class T>
class NameLog {
  public:
    // The bindings kept, which a reader records as the length it reads at.
    size_t size() const { return entries_.size(); }

    void bind(const NameKey& name, T entry) {
        auto [found, added] = index_.emplace(name);
        Bindings& bindings = found->second;
        if (!added && bindings.latest >= frozen_) {
            entries_[bindings.latest] = std::move(entry);
            return;
        }
        if (!added) bindings.earlier.push_back(bindings.latest);
        bindings.latest = static_cast<uint32_t>(entries_.size());
        // Grows as the index does, so that a log of a few names is never moved.
        if (entries_.size() == entries_.capacity()) {
            entries_.reserve(std::max(kFirstCapacity, 2 * entries_.size()));
        }
        entries_.push_back(std::move(entry));
    }

    // Every binding made so far stays readable at the lengths it was seen at.
    void freeze() { frozen_ = entries_.size(); }

    // The entry the name was bound to when the table held `length` bindings, or nullptr.
    const T* find(const NameKey& name, size_t length) const {
        auto found = index_.find(name);
        if (found == index_.end()) return nullptr;
        const Bindings& bindings = found->second;
        if (bindings.latest < length) return &entries_[bindings.latest];
        // Only a name rebound after the reader's length reaches this search.
        auto after = std::lower_bound(bindings.earlier.begin(), bindings.earlier.end(), length);
        if (after == bindings.earlier.begin()) return nullptr;
        return &entries_[*(after - 1)];
    }

  private:
    // The positions of a name's bindings: the latest, and the earlier ones that a freeze kept,
    // in ascending order. Most names are bound once and allocate nothing here.
    struct Bindings {
        uint32_t latest = 0;
        std::vector<uint32_t> earlier;
    };

    static constexpr size_t kFirstCapacity = 8;

    std::vector<T> entries_;
    NameMap<Bindings> index_;
    size_t frozen_ = 0;
};

}  // namespace tyx
