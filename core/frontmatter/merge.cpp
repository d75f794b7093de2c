#include <string_view>
#include <utility>

#include "core/format.h"
#include "core/frontmatter/frontmatter.h"

namespace tyx {
namespace {

bool is_reserved_key(std::string_view key) {
    for (std::string_view reserved : MERGE_RESERVED_KEYS) {
        if (key == reserved) return true;
    }
    return false;
}

}  // namespace

Result<YamlMapping> merge_frontmatter(const YamlMapping& base, const YamlMapping& overlay,
                                      int depth) {
    if (depth > MAX_FRONTMATTER_MERGE_DEPTH) {
        return CompileError::of(
            ErrorKind::ResourceLimit,
            "frontmatter merge depth exceeds maximum of " + decimal(MAX_FRONTMATTER_MERGE_DEPTH));
    }
    auto taken = [depth](const YamlValue& key) {
        return key.is_string() && !(depth == 0 && is_reserved_key(key.as_string()));
    };
    YamlMapping result;
    for (const auto& [key, value] : base.entries()) {
        if (!taken(key)) continue;
        const YamlValue* other = overlay.find(key);
        if (other == nullptr) {
            result.insert(key, value);
        } else if (value.is_mapping() && other->is_mapping()) {
            TYX_ASSIGN_OR_RETURN(
                YamlMapping merged,
                merge_frontmatter(value.as_mapping(), other->as_mapping(), depth + 1));
            result.insert(key, YamlValue::mapping(std::move(merged)));
        } else {
            result.insert(key, *other);
        }
    }
    for (const auto& [key, value] : overlay.entries()) {
        if (taken(key)) result.insert(key, value);  // refused for keys already taken from base
    }
    return result;
}

}  // namespace tyx
