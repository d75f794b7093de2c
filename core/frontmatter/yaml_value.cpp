#include "core/frontmatter/yaml_value.h"

#include <bit>
#include <cmath>

#include "core/keyed_hash.h"

namespace tyx {

YamlNumber YamlNumber::from_negative(int64_t number) {
    return YamlNumber(Kind::Negative, static_cast<uint64_t>(number));
}

YamlNumber YamlNumber::from_float(double number) {
    constexpr uint64_t kQuietNaN = 0x7ff8000000000000ULL;
    if (std::isnan(number)) return YamlNumber(Kind::Float, kQuietNaN);
    return YamlNumber(Kind::Float, std::bit_cast<uint64_t>(number));
}

double YamlNumber::as_float() const {
    return std::bit_cast<double>(bits_);
}

double YamlNumber::to_double() const {
    switch (kind_) {
        case Kind::Unsigned:
            return static_cast<double>(bits_);
        case Kind::Negative:
            return static_cast<double>(as_negative());
        case Kind::Float:
            return as_float();
    }
    return as_float();
}

YamlMapping::YamlMapping() = default;
YamlMapping::YamlMapping(const YamlMapping&) = default;
YamlMapping::YamlMapping(YamlMapping&&) noexcept = default;
YamlMapping& YamlMapping::operator=(const YamlMapping&) = default;
YamlMapping& YamlMapping::operator=(YamlMapping&&) noexcept = default;
YamlMapping::~YamlMapping() = default;

bool YamlMapping::insert(YamlValue key, YamlValue value) {
    if (index_.empty() && entries_.size() < kScannedEntries) {
        for (const Entry& entry : entries_) {
            if (entry.first == key) return false;
        }
        entries_.emplace_back(std::move(key), std::move(value));
        return true;
    }
    if (index_.empty()) {
        for (size_t i = 0; i < entries_.size(); ++i)
            index_.emplace(hash_yaml_value(entries_[i].first), i);
    }
    const size_t hash = hash_yaml_value(key);
    auto [first, last] = index_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
        if (entries_[it->second].first == key) return false;
    }
    index_.emplace(hash, entries_.size());
    entries_.emplace_back(std::move(key), std::move(value));
    return true;
}

const YamlValue* YamlMapping::find(const YamlValue& key) const {
    if (index_.empty()) {
        for (const Entry& entry : entries_) {
            if (entry.first == key) return &entry.second;
        }
        return nullptr;
    }
    auto [first, last] = index_.equal_range(hash_yaml_value(key));
    for (auto it = first; it != last; ++it) {
        if (entries_[it->second].first == key) return &entries_[it->second].second;
    }
    return nullptr;
}

const YamlValue* YamlMapping::find(std::string_view key) const {
    if (index_.empty()) {
        for (const Entry& entry : entries_) {
            if (entry.first.is_string() && entry.first.as_string() == key) return &entry.second;
        }
        return nullptr;
    }
    // Must hash as hash_yaml_value does for a String.
    auto [first, last] = index_.equal_range(keyed_text_hash(key));
    for (auto it = first; it != last; ++it) {
        const YamlValue& candidate = entries_[it->second].first;
        if (candidate.is_string() && candidate.as_string() == key) {
            return &entries_[it->second].second;
        }
    }
    return nullptr;
}

bool operator==(const YamlMapping& a, const YamlMapping& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a.entries_) {
        const YamlValue* other = b.find(key);
        if (other == nullptr || !(*other == value)) return false;
    }
    return true;
}

YamlValue::Tagged::Tagged(std::string tag_text, YamlValue value)
    : tag(std::move(tag_text)), inner(std::make_unique<YamlValue>(std::move(value))) {}
YamlValue::Tagged::Tagged(const Tagged& other)
    : tag(other.tag), inner(std::make_unique<YamlValue>(*other.inner)) {}
YamlValue::Tagged& YamlValue::Tagged::operator=(const Tagged& other) {
    if (this != &other) {
        tag = other.tag;
        inner = std::make_unique<YamlValue>(*other.inner);
    }
    return *this;
}
YamlValue::Tagged::~Tagged() = default;

YamlValue::YamlValue() = default;
YamlValue::YamlValue(const YamlValue&) = default;
YamlValue::YamlValue(YamlValue&&) noexcept = default;
YamlValue& YamlValue::operator=(const YamlValue&) = default;
YamlValue& YamlValue::operator=(YamlValue&&) noexcept = default;
YamlValue::~YamlValue() = default;
YamlValue::YamlValue(Data data) : data_(std::move(data)) {}

YamlValue YamlValue::boolean(bool flag) {
    return YamlValue(Data(std::in_place_index<1>, flag));
}
YamlValue YamlValue::number(YamlNumber number) {
    return YamlValue(Data(std::in_place_index<2>, number));
}
YamlValue YamlValue::string(std::string text) {
    return YamlValue(Data(std::in_place_index<3>, std::move(text)));
}
YamlValue YamlValue::sequence(YamlSequence items) {
    return YamlValue(Data(std::in_place_index<4>, std::move(items)));
}
YamlValue YamlValue::mapping(YamlMapping entries) {
    return YamlValue(Data(std::in_place_index<5>, std::move(entries)));
}
YamlValue YamlValue::tagged(std::string tag, YamlValue inner) {
    return YamlValue(Data(std::in_place_index<6>, std::move(tag), std::move(inner)));
}

bool operator==(const YamlValue& a, const YamlValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case YamlValue::Kind::Null:
            return true;
        case YamlValue::Kind::Bool:
            return a.as_bool() == b.as_bool();
        case YamlValue::Kind::Number:
            return a.as_number() == b.as_number();
        case YamlValue::Kind::String:
            return a.as_string() == b.as_string();
        case YamlValue::Kind::Sequence:
            return a.as_sequence() == b.as_sequence();
        case YamlValue::Kind::Mapping:
            return a.as_mapping() == b.as_mapping();
        case YamlValue::Kind::Tagged:
            return a.tag() == b.tag() && a.tagged_value() == b.tagged_value();
    }
    return false;
}

size_t hash_yaml_value(const YamlValue& value) {
    auto mix = [](size_t seed, size_t h) {
        return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
    };
    switch (value.kind()) {
        case YamlValue::Kind::Null:
            return 0x6e756c6cULL;
        case YamlValue::Kind::Bool:
            return value.as_bool() ? 0x74727565ULL : 0x66616c73ULL;
        case YamlValue::Kind::Number:
            return mix(static_cast<size_t>(value.as_number().kind()) + 1,
                       keyed_word_hash(value.as_number().bits()));
        case YamlValue::Kind::String:
            return keyed_text_hash(value.as_string());
        case YamlValue::Kind::Sequence: {
            size_t seed = 0x736571ULL;
            for (const YamlValue& item : value.as_sequence())
                seed = mix(seed, hash_yaml_value(item));
            return seed;
        }
        case YamlValue::Kind::Mapping: {
            // Order-blind, like mapping equality.
            size_t sum = 0x6d6170ULL;
            for (const auto& [key, item] : value.as_mapping().entries()) {
                sum += mix(hash_yaml_value(key), hash_yaml_value(item));
            }
            return sum;
        }
        case YamlValue::Kind::Tagged:
            return mix(keyed_text_hash(value.tag()), hash_yaml_value(value.tagged_value()));
    }
    return 0;
}

}  // namespace tyx
