#include "core/value.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/format.h"

namespace tyx {
namespace {

bool key_less(const std::pair<std::string, Value>& a, const std::pair<std::string, Value>& b) {
    // std::string compares through char_traits<char>, which orders bytes as unsigned char.
    return a.first < b.first;
}

}  // namespace

CompileError value_nesting_error(ErrorKind kind) {
    return CompileError::of(
        kind, cat("value nesting exceeds maximum depth of ", decimal(MAX_VALUE_DEPTH)));
}

Value Value::string(std::string text) {
    return Value(
        Data(std::in_place_index<1>, std::make_shared<const std::string>(std::move(text))));
}

Value Value::array(ValueArray items) {
    return Value(
        Data(std::in_place_index<4>, std::make_shared<const ValueArray>(std::move(items))));
}

Value Value::object(ValueObject entries) {
    return Value(
        Data(std::in_place_index<5>, std::make_shared<const ValueObject>(std::move(entries))));
}

const Value* Value::find(std::string_view key) const {
    if (!is_object()) return nullptr;
    const ValueObject& entries = as_object();
    // Most objects have a handful of keys: a scan compares lengths before any byte, where a
    // binary search orders bytes at every step.
    constexpr size_t kScanLimit = 8;
    if (entries.size() <= kScanLimit) {
        for (const auto& [name, value] : entries) {
            if (name == key) return &value;
        }
        return nullptr;
    }
    auto it =
        std::lower_bound(entries.begin(), entries.end(), key,
                         [](const auto& entry, std::string_view k) { return entry.first < k; });
    if (it == entries.end() || it->first != key) return nullptr;
    return &it->second;
}

bool Value::truthy() const {
    switch (kind()) {
        case Kind::String:
            return !as_string().empty();
        case Kind::Number: {
            const double number = as_number();
            return number != 0.0 && !std::isnan(number);
        }
        case Kind::Bool:
            return as_bool();
        case Kind::Array:
            return !as_array().empty();
        case Kind::Object:
            return !as_object().empty();
        case Kind::Null:
            return false;
    }
    return false;
}

std::string_view Value::type_name() const {
    switch (kind()) {
        case Kind::String:
            return "string";
        case Kind::Number:
            return "number";
        case Kind::Bool:
            return "boolean";
        case Kind::Array:
            return "array";
        case Kind::Object:
            return "object";
        case Kind::Null:
            return "null";
    }
    return "null";
}

ValueObject sort_object_entries(ValueObject entries) {
    auto strictly_sorted = [&] {
        for (size_t i = 1; i < entries.size(); ++i) {
            if (!(entries[i - 1].first < entries[i].first)) return false;
        }
        return true;
    };
    if (strictly_sorted()) return entries;
    // Most objects have a handful of keys: an insertion sort, stable like the library's, needs
    // none of the buffer that std::stable_sort allocates.
    constexpr size_t kInsertionSortLimit = 16;
    if (entries.size() <= kInsertionSortLimit) {
        for (size_t i = 1; i < entries.size(); ++i) {
            size_t j = i;
            if (!key_less(entries[i], entries[j - 1])) continue;
            auto moving = std::move(entries[i]);
            for (; j > 0 && key_less(moving, entries[j - 1]); --j)
                entries[j] = std::move(entries[j - 1]);
            entries[j] = std::move(moving);
        }
    } else {
        std::stable_sort(entries.begin(), entries.end(), key_less);
    }
    // Of a run of equal keys the stable sort keeps the input order, so the run's last one wins.
    size_t out = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && entries[i + 1].first == entries[i].first) continue;
        if (out != i) entries[out] = std::move(entries[i]);
        ++out;
    }
    entries.resize(out);
    return entries;
}

bool values_equal(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::String:
            return a.as_string() == b.as_string();
        case Value::Kind::Number:
            return a.as_number() == b.as_number();
        case Value::Kind::Bool:
            return a.as_bool() == b.as_bool();
        case Value::Kind::Null:
            return true;
        case Value::Kind::Array: {
            const ValueArray& x = a.as_array();
            const ValueArray& y = b.as_array();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i) {
                if (!values_equal(x[i], y[i])) return false;
            }
            return true;
        }
        case Value::Kind::Object: {
            // Both are sorted with unique keys, so equal key sets line up entry by entry.
            const ValueObject& x = a.as_object();
            const ValueObject& y = b.as_object();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i) {
                if (x[i].first != y[i].first || !values_equal(x[i].second, y[i].second)) {
                    return false;
                }
            }
            return true;
        }
    }
    return false;
}

void append_float_text(double number, std::string& out) {
    if (std::isnan(number)) {
        out += "NaN";
        return;
    }
    if (std::isinf(number)) {
        out += number < 0 ? "-inf" : "inf";
        return;
    }
    std::array<char, 64> buffer{};
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number,
                                   std::chars_format::scientific);
    (void)ec;  // 64 bytes hold any shortest scientific double
    std::string_view text(buffer.data(), static_cast<size_t>(end - buffer.data()));
    if (!text.empty() && text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    const size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    std::string_view exponent_text = text.substr(e + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
    (void)std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(),
                          exponent);

    // The digits stand for 0.d1d2... times 10^(exponent + 1).
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<size_t>(point));
        out += '.';
        out.append(digits, static_cast<size_t>(point), std::string::npos);
    }
}

void append_number_text(double number, std::string& out) {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (number == std::trunc(number) && number >= -kTwo63 && number < kTwo63) {
        std::array<char, 24> buffer{};
        auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                       static_cast<int64_t>(number));
        (void)ec;  // 24 bytes hold any 64-bit decimal
        out.append(buffer.data(), end);
        return;
    }
    append_float_text(number, out);
}

void append_value_text(const Value& value, std::string& out) {
    switch (value.kind()) {
        case Value::Kind::String:
            out += value.as_string();
            return;
        case Value::Kind::Number:
            append_number_text(value.as_number(), out);
            return;
        case Value::Kind::Bool:
            out += value.as_bool() ? "true" : "false";
            return;
        case Value::Kind::Array: {
            bool first = true;
            for (const Value& item : value.as_array()) {
                if (!first) out += ", ";
                first = false;
                append_value_text(item, out);
            }
            return;
        }
        case Value::Kind::Object: {
            bool first = true;
            for (const auto& [key, item] : value.as_object()) {
                if (!first) out += ", ";
                first = false;
                out += key;
                out += ": ";
                append_value_text(item, out);
            }
            return;
        }
        case Value::Kind::Null:
            return;
    }
}

std::string format_value(const Value& value) {
    std::string out;
    append_value_text(value, out);
    return out;
}

Result<Value> value_from_json(const nlohmann::json& json, int depth) {
    if (depth > MAX_VALUE_DEPTH) return value_nesting_error(ErrorKind::Json);
    switch (json.type()) {
        case nlohmann::json::value_t::null:
            return Value::null();
        case nlohmann::json::value_t::boolean:
            return Value::boolean(json.get<bool>());
        case nlohmann::json::value_t::string:
            return Value::string(json.get<std::string>());
        case nlohmann::json::value_t::number_unsigned:
            return Value::number(static_cast<double>(json.get<uint64_t>()));
        case nlohmann::json::value_t::number_integer:
            return Value::number(static_cast<double>(json.get<int64_t>()));
        case nlohmann::json::value_t::number_float:
            return Value::number(json.get<double>());
        case nlohmann::json::value_t::array: {
            ValueArray items;
            items.reserve(json.size());
            for (const auto& item : json) {
                TYX_ASSIGN_OR_RETURN(Value converted, value_from_json(item, depth + 1));
                items.push_back(std::move(converted));
            }
            return Value::array(std::move(items));
        }
        case nlohmann::json::value_t::object: {
            ValueObject entries;
            entries.reserve(json.size());
            for (const auto& [key, item] : json.items()) {
                TYX_ASSIGN_OR_RETURN(Value converted, value_from_json(item, depth + 1));
                entries.emplace_back(key, std::move(converted));
            }
            return Value::object(sort_object_entries(std::move(entries)));
        }
        case nlohmann::json::value_t::binary:
        case nlohmann::json::value_t::discarded:
            break;
    }
    // Only the JSON parser's own sentinels reach here; a parsed document never holds them.
    return CompileError::of(ErrorKind::Json, "unsupported JSON value");
}

}  // namespace tyx
