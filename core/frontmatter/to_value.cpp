#include <string>
#include <string_view>
#include <utility>

#include "core/frontmatter/frontmatter.h"

namespace tyx {
namespace {

std::string_view yaml_key_kind(const YamlValue& key) {
    switch (key.kind()) {
        case YamlValue::Kind::Null:
            return "null";
        case YamlValue::Kind::Bool:
            return "boolean";
        case YamlValue::Kind::Number:
            return "integer/float";
        case YamlValue::Kind::String:
            return "string";
        case YamlValue::Kind::Sequence:
            return "sequence";
        case YamlValue::Kind::Mapping:
            return "mapping";
        case YamlValue::Kind::Tagged:
            return "tagged";
    }
    return "tagged";
}

}  // namespace

Result<Value> value_from_yaml(const YamlValue& yaml, int depth) {
    if (depth > MAX_VALUE_DEPTH) return value_nesting_error(ErrorKind::Yaml);
    switch (yaml.kind()) {
        case YamlValue::Kind::Null:
            return Value::null();
        case YamlValue::Kind::Bool:
            return Value::boolean(yaml.as_bool());
        case YamlValue::Kind::Number:
            return Value::number(yaml.as_number().to_double());
        case YamlValue::Kind::String:
            return Value::string(yaml.as_string());
        case YamlValue::Kind::Sequence: {
            ValueArray items;
            items.reserve(yaml.as_sequence().size());
            for (const YamlValue& item : yaml.as_sequence()) {
                TYX_ASSIGN_OR_RETURN(Value converted, value_from_yaml(item, depth + 1));
                items.push_back(std::move(converted));
            }
            return Value::array(std::move(items));
        }
        case YamlValue::Kind::Mapping: {
            ValueObject entries;
            entries.reserve(yaml.as_mapping().size());
            for (const auto& [key, item] : yaml.as_mapping().entries()) {
                if (!key.is_string()) {
                    std::string message = "TYX only supports string keys in objects; found ";
                    message += yaml_key_kind(key);
                    message += " key \u2014 use a quoted string key instead";
                    return CompileError::of(ErrorKind::Yaml, std::move(message));
                }
                TYX_ASSIGN_OR_RETURN(Value converted, value_from_yaml(item, depth + 1));
                entries.emplace_back(key.as_string(), std::move(converted));
            }
            return Value::object(sort_object_entries(std::move(entries)));
        }
        case YamlValue::Kind::Tagged:
            return value_from_yaml(yaml.tagged_value(), depth + 1);
    }
    return Value::null();
}

}  // namespace tyx
