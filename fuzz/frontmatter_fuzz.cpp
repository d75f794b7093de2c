// Feeds arbitrary bytes to the frontmatter loader, then through the conversions that follow it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/frontmatter/frontmatter.h"
#include "core/value.h"

namespace {

// Whether merging the mapping with itself must give it back unchanged: every key a String that
// is not reserved at the top, and the same below, through the mappings that merge.
bool merges_into_itself(const tyx::YamlMapping& mapping, bool top) {
    for (const auto& [key, value] : mapping.entries()) {
        if (!key.is_string()) return false;
        if (top) {
            for (std::string_view reserved : tyx::MERGE_RESERVED_KEYS) {
                if (key.as_string() == reserved) return false;
            }
        }
        if (value.is_mapping() && !merges_into_itself(value.as_mapping(), false)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto loaded = tyx::parse_frontmatter_yaml(text);
    if (!loaded.ok()) return 0;
    (void)tyx::value_from_yaml(*loaded);
    if (!loaded->is_mapping()) return 0;
    auto merged = tyx::merge_frontmatter(loaded->as_mapping(), loaded->as_mapping());
    if (merged.ok() && merges_into_itself(loaded->as_mapping(), true) &&
        !(tyx::YamlValue::mapping(*merged) == *loaded)) {
        __builtin_trap();
    }
    return 0;
}
