// A template's frontmatter: its YAML text loaded into one YamlValue, and the deep merge of two
// frontmatter mappings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/result.h"

namespace tyx {

inline constexpr size_t MAX_FRONTMATTER_BYTES = 1'048'576;
// Bounds the raw bracket count of the text, quotes and comments included.
inline constexpr int MAX_FRONTMATTER_FLOW_DEPTH = 1024;
// Nodes built in one parse, every alias expansion counted again.
inline constexpr uint64_t MAX_FRONTMATTER_NODES = 200'000;
// Bytes of scalar and tag text built in one parse, every alias expansion counted again: the node
// budget alone would let one long anchored scalar be copied once per alias, a few hundred
// thousand times. Text without aliases never comes near it.
inline constexpr uint64_t MAX_FRONTMATTER_TEXT_BYTES = 16 * MAX_FRONTMATTER_BYTES;
// Nested sequences and mappings.
inline constexpr int MAX_YAML_RECURSION_DEPTH = 128;
// Alias expansions allowed per event of the document.
inline constexpr uint64_t MAX_ALIAS_REPLAYS_FACTOR = 100;
inline constexpr int MAX_FRONTMATTER_MERGE_DEPTH = 64;
// Top-level keys that belong to one template only and so never pass through a merge.
inline constexpr std::array<std::string_view, 3> MERGE_RESERVED_KEYS = {"imports", "type",
                                                                        "extends"};

// An unsigned integer (every integer that is zero or positive), a negative signed integer or a
// float; a NaN float is always the quiet NaN 0x7ff8000000000000.
class YamlNumber {
  public:
    enum class Kind : uint8_t { Unsigned, Negative, Float };

    static YamlNumber from_unsigned(uint64_t number) { return YamlNumber(Kind::Unsigned, number); }
    // `number` must be below zero.
    static YamlNumber from_negative(int64_t number);
    static YamlNumber from_float(double number);

    Kind kind() const { return kind_; }
    uint64_t as_unsigned() const { return bits_; }
    int64_t as_negative() const { return static_cast<int64_t>(bits_); }
    double as_float() const;
    // The nearest 64-bit float.
    double to_double() const;
    // The raw representation: equal numbers have the same kind and the same bits.
    uint64_t bits() const { return bits_; }

    friend bool operator==(const YamlNumber&, const YamlNumber&) = default;

  private:
    YamlNumber(Kind kind, uint64_t bits) : kind_(kind), bits_(bits) {}
    Kind kind_ = Kind::Unsigned;
    uint64_t bits_ = 0;
};

class YamlValue;
using YamlSequence = std::vector<YamlValue>;

// Entries in the order of the text, each key once; keys may be any YamlValue.
class YamlMapping {
  public:
    using Entry = std::pair<YamlValue, YamlValue>;

    YamlMapping();
    YamlMapping(const YamlMapping&);
    YamlMapping(YamlMapping&&) noexcept;
    YamlMapping& operator=(const YamlMapping&);
    YamlMapping& operator=(YamlMapping&&) noexcept;
    ~YamlMapping();

    // Appends the entry; returns false and changes nothing when an equal key is present.
    bool insert(YamlValue key, YamlValue value);
    const YamlValue* find(const YamlValue& key) const;
    // The value under the String key `key`.
    const YamlValue* find(std::string_view key) const;

    const std::vector<Entry>& entries() const { return entries_; }
    size_t size() const;
    bool empty() const;

    // Equal when both hold the same keys with equal values, in any order.
    friend bool operator==(const YamlMapping& a, const YamlMapping& b);

  private:
    // A mapping this small is searched by a scan; a larger one builds the index.
    static constexpr size_t kScannedEntries = 8;
    std::vector<Entry> entries_;
    // Key hash to entry position, so that duplicate tests and merges stay linear; empty while
    // the mapping holds fewer than kScannedEntries entries.
    std::unordered_multimap<size_t, size_t> index_;
};

class YamlValue {
  public:
    enum class Kind : uint8_t { Null, Bool, Number, String, Sequence, Mapping, Tagged };

    YamlValue();
    YamlValue(const YamlValue&);
    YamlValue(YamlValue&&) noexcept;
    YamlValue& operator=(const YamlValue&);
    YamlValue& operator=(YamlValue&&) noexcept;
    ~YamlValue();

    static YamlValue null() { return YamlValue(); }
    static YamlValue boolean(bool flag);
    static YamlValue number(YamlNumber number);
    static YamlValue string(std::string text);
    static YamlValue sequence(YamlSequence items);
    static YamlValue mapping(YamlMapping entries);
    // `tag` without the leading "!" of the local tag (a tag of exactly "!" stays "!").
    static YamlValue tagged(std::string tag, YamlValue inner);

    Kind kind() const { return static_cast<Kind>(data_.index()); }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_bool() const { return kind() == Kind::Bool; }
    bool is_number() const { return kind() == Kind::Number; }
    bool is_string() const { return kind() == Kind::String; }
    bool is_sequence() const { return kind() == Kind::Sequence; }
    bool is_mapping() const { return kind() == Kind::Mapping; }
    bool is_tagged() const { return kind() == Kind::Tagged; }

    bool as_bool() const { return std::get<1>(data_); }
    const YamlNumber& as_number() const { return std::get<2>(data_); }
    const std::string& as_string() const { return std::get<3>(data_); }
    const YamlSequence& as_sequence() const { return std::get<4>(data_); }
    const YamlMapping& as_mapping() const { return std::get<5>(data_); }
    const std::string& tag() const { return std::get<6>(data_).tag; }
    const YamlValue& tagged_value() const { return *std::get<6>(data_).inner; }

    friend bool operator==(const YamlValue& a, const YamlValue& b);

  private:
    struct Tagged {
        std::string tag;
        // Never null; boxed because a value cannot hold itself.
        std::unique_ptr<YamlValue> inner;
        Tagged(std::string tag_text, YamlValue value);
        Tagged(const Tagged& other);
        Tagged(Tagged&&) noexcept = default;
        Tagged& operator=(const Tagged& other);
        Tagged& operator=(Tagged&&) noexcept = default;
        ~Tagged();
    };
    using Data = std::variant<std::monostate, bool, YamlNumber, std::string, YamlSequence,
                              YamlMapping, Tagged>;
    explicit YamlValue(Data data);
    Data data_;
};

inline size_t YamlMapping::size() const {
    return entries_.size();
}
inline bool YamlMapping::empty() const {
    return entries_.empty();
}

// A hash consistent with operator== of YamlValue, keyed like the name tables' (see keyed_hash.h),
// since mapping keys come from the frontmatter's text.
size_t hash_yaml_value(const YamlValue& value);

// Loads the frontmatter text (UTF-8, carriage returns removed, possibly empty) into one value;
// fails with a ResourceLimit or Yaml error. An empty text, or one of comments only, is Null.
Result<YamlValue> parse_frontmatter_yaml(std::string_view text);

// Whether `text`, written as a plain scalar, would read back as something other than this same
// string: empty, a null or boolean spelling, an integer form of up to 128 bits, a float form, or
// digits with a leading zero (which other readers take for an octal number).
bool plain_scalar_changes_kind(std::string_view text);

// The deep merge used by template inheritance: `base` keys first in their order, then the new
// keys of `overlay`; overlay wins except that two mappings under one key merge. Only String
// keys are taken, and at depth 0 the reserved keys are left out.
Result<YamlMapping> merge_frontmatter(const YamlMapping& base, const YamlMapping& overlay,
                                      int depth = 0);

}  // namespace tyx
