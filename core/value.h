// The runtime value of the template language.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/result.h"

namespace tyx {

// The deepest nesting a conversion accepts.
inline constexpr int MAX_VALUE_DEPTH = 64;

class Value;
using ValueArray = std::vector<Value>;
// Entries sorted by key bytes, each key once; every visible order of an object is this one.
using ValueObject = std::vector<std::pair<std::string, Value>>;

// Immutable: strings, arrays and objects are shared, so copying a Value is cheap.
class Value {
  public:
    enum class Kind : uint8_t { String, Number, Bool, Array, Object, Null };

    Value() = default;
    static Value string(std::string text);
    static Value number(double number) { return Value(Data(std::in_place_index<2>, number)); }
    static Value boolean(bool flag) { return Value(Data(std::in_place_index<3>, flag)); }
    static Value array(ValueArray items);
    // `entries` must be sorted by key bytes with unique keys (see sort_object_entries).
    static Value object(ValueObject entries);
    static Value null() { return Value(); }

    Kind kind() const {
        // By the alternatives' order in Data.
        constexpr Kind kinds[] = {Kind::Null, Kind::String, Kind::Number,
                                  Kind::Bool, Kind::Array,  Kind::Object};
        return kinds[data_.index()];
    }
    bool is_string() const { return data_.index() == 1; }
    bool is_number() const { return data_.index() == 2; }
    bool is_bool() const { return data_.index() == 3; }
    bool is_array() const { return data_.index() == 4; }
    bool is_object() const { return data_.index() == 5; }
    bool is_null() const { return data_.index() == 0; }

    const std::string& as_string() const { return *std::get<1>(data_); }
    double as_number() const { return std::get<2>(data_); }
    bool as_bool() const { return std::get<3>(data_); }
    const ValueArray& as_array() const { return *std::get<4>(data_); }
    const ValueObject& as_object() const { return *std::get<5>(data_); }

    // The entry of an object for `key`, or nullptr (also when this is not an object).
    const Value* find(std::string_view key) const;

    bool truthy() const;
    // "string", "number", "boolean", "array", "object" or "null".
    std::string_view type_name() const;

  private:
    using Data =
        std::variant<std::monostate, std::shared_ptr<const std::string>, double, bool,
                     std::shared_ptr<const ValueArray>, std::shared_ptr<const ValueObject>>;
    explicit Value(Data data) : data_(std::move(data)) {}
    Data data_;
};

// Sorts entries by key bytes; of entries with the same key the last one is kept.
ValueObject sort_object_entries(ValueObject entries);

// The language's equality: NaN equals nothing, 0 equals -0, objects compare by key sets.
bool values_equal(const Value& a, const Value& b);

// The display text of a value: what an interpolation writes and `string` returns.
std::string format_value(const Value& value);
void append_value_text(const Value& value, std::string& out);
// The display text of a number alone.
void append_number_text(double number, std::string& out);
// The float text of a number: shortest round-trip digits, positional, "-" for every negative
// number including -0, "NaN", "inf", "-inf". Unlike the display text it never prints integers
// exactly, so 2^60 gives "1152921504606847000".
void append_float_text(double number, std::string& out);

// The error of a conversion nested past MAX_VALUE_DEPTH.
CompileError value_nesting_error(ErrorKind kind);

// Converts one JSON value (depth 0 for a whole variable); nesting past MAX_VALUE_DEPTH is a
// Json error.
Result<Value> value_from_json(const nlohmann::json& json, int depth = 0);

}  // namespace tyx
