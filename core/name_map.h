// Tables of names for scope frames, module function tables and the names functions capture.
#pragma once

#include <algorithm>
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
    using is_transparent = void;
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

    // Out of line, so that a lookup of a short name keeps no registers for the hash.
    [[gnu::noinline]] static uint64_t long_key(const char* data, size_t size) {
        return keyed_text_hash({data, size}) | kLongKey;
    }
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
    // kAbsent.
    template <class Matches>
    size_t find(uint64_t key, Matches matches) const {
        const size_t mask = slots_.size() - 1;
        for (size_t slot = static_cast<size_t>(NameHash::spread(key)) & mask;;
             slot = (slot + 1) & mask) {
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
        for (size_t i = 0; i < count; ++i)
            place(i, key_at(i));
    }

  private:
    void place(size_t position, uint64_t key) {
        const size_t mask = slots_.size() - 1;
        size_t slot = static_cast<size_t>(NameHash::spread(key)) & mask;
        while (slots_[slot] != 0)
            slot = (slot + 1) & mask;
        slots_[slot] = static_cast<uint32_t>(position + 1);
    }

    std::vector<uint32_t> slots_;
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

    iterator find(std::string_view name) { return find(name, NameHash{}(name)); }
    const_iterator find(std::string_view name) const { return find(name, NameHash{}(name)); }
    iterator find(std::string_view name, uint64_t hash) {
        const size_t at = position(name, hash);
        return at == kAbsent ? end() : begin() + static_cast<std::ptrdiff_t>(at);
    }
    const_iterator find(std::string_view name, uint64_t hash) const {
        const size_t at = position(name, hash);
        return at == kAbsent ? end() : begin() + static_cast<std::ptrdiff_t>(at);
    }
    // Whether scan_short finds `name`: a short name in a table without an index.
    bool scans_for(std::string_view name) const {
        return index_.empty() && NameHash::is_exact(name.size());
    }
    // The value of the name whose key is `hash`, for a name scans_for holds for; calls nothing,
    // so a lookup that finds its name here saves no registers.
    const T* scan_short(uint64_t hash) const {
        for (size_t i = 0; i < hashes_.size(); ++i) {
            if (hashes_[i] == hash) return &entries_[i].second;
        }
        return nullptr;
    }
    // The name's value, or nullptr.
    const T* find_value(std::string_view name, uint64_t hash) const {
        const size_t at = position(name, hash);
        return at == kAbsent ? nullptr : &entries_[at].second;
    }
    bool contains(std::string_view name) const {
        return position(name, NameHash{}(name)) != kAbsent;
    }

    // Adds the entry unless the name is present; the bool tells whether it was added.
    template <class... Args>
    std::pair<iterator, bool> emplace(std::string_view name, Args&&... args) {
        const uint64_t hash = NameHash{}(name);
        const size_t at = position(name, hash);
        if (at != kAbsent) return {begin() + static_cast<std::ptrdiff_t>(at), false};
        append(name, hash, std::forward<Args>(args)...);
        return {end() - 1, true};
    }
    // The name's string is built only when the name is new.
    template <class V>
    std::pair<iterator, bool> insert_or_assign(std::string_view name, V&& value) {
        const uint64_t hash = NameHash{}(name);
        const size_t at = position(name, hash);
        if (at != kAbsent) {
            entries_[at].second = std::forward<V>(value);
            return {begin() + static_cast<std::ptrdiff_t>(at), false};
        }
        append(name, hash, std::forward<V>(value));
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
    const T& at(std::string_view name) const {
        const size_t at = position(name, NameHash{}(name));
        if (at == kAbsent) throw std::out_of_range("NameMap::at");
        return entries_[at].second;
    }
    T& operator[](std::string_view name) {
        const uint64_t hash = NameHash{}(name);
        const size_t at = position(name, hash);
        if (at != kAbsent) return entries_[at].second;
        append(name, hash);
        return entries_.back().second;
    }

  private:
    static constexpr size_t kAbsent = NameIndex::kAbsent;
    static constexpr size_t kLinearLimit = 8;

    size_t position(std::string_view name, uint64_t hash) const {
        if (!index_.empty()) [[unlikely]] {
            return indexed_position(name, hash);
        }
        if (!NameHash::is_exact(name.size())) [[unlikely]] {
            return confirmed_position(name, hash);
        }
        for (size_t i = 0; i < hashes_.size(); ++i) {
            if (hashes_[i] == hash) return i;
        }
        return kAbsent;
    }
    // These two are out of line, so that the scan of a small table for a short name, which a
    // scope lookup repeats for every frame, keeps no registers for an index or a comparison.
    [[gnu::noinline]] size_t confirmed_position(std::string_view name, uint64_t hash) const {
        for (size_t i = 0; i < hashes_.size(); ++i) {
            if (hashes_[i] == hash && entries_[i].first == name) return i;
        }
        return kAbsent;
    }
    [[gnu::noinline]] size_t indexed_position(std::string_view name, uint64_t hash) const {
        const bool exact = NameHash::is_exact(name.size());
        return index_.find(hash, [&](size_t i) {
            return hashes_[i] == hash && (exact || entries_[i].first == name);
        });
    }

    // The entry is built in place, its name's string once from the view.
    template <class... Args>
    void append(std::string_view name, uint64_t hash, Args&&... args) {
        // A table that is not indexed never moves its entries, and most tables are filled one
        // name at a time.
        if (entries_.size() == entries_.capacity()) {
            reserve(std::max(kLinearLimit, 2 * entries_.size()));
        }
        entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(name),
                              std::forward_as_tuple(std::forward<Args>(args)...));
        hashes_.push_back(hash);
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

    void bind(std::string_view name, T entry) {
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
    const T* find(std::string_view name, uint64_t hash, size_t length) const {
        auto found = index_.find(name, hash);
        if (found == index_.end()) return nullptr;
        const Bindings& bindings = found->second;
        if (bindings.latest < length) return &entries_[bindings.latest];
        // Only a name rebound after the reader's length reaches this search.
        auto after = std::lower_bound(bindings.earlier.begin(), bindings.earlier.end(), length);
        if (after == bindings.earlier.begin()) return nullptr;
        return &entries_[*(after - 1)];
    }

    // Each name bound when the table held `length` bindings, with its entry then.
    template <class Visit>
    void for_each(size_t length, Visit visit) const {
        for (const auto& [name, bindings] : index_) {
            if (const T* entry = find(name, NameHash{}(name), length)) visit(name, *entry);
        }
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
