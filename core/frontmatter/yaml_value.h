// The value a frontmatter's YAML loads into: null, booleans, numbers, strings, sequences,
// mappings with keys of any kind, and locally tagged values. The rest of the core includes it
// through frontmatter.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace tyx {

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

}  // namespace tyx
