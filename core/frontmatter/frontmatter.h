// A template's frontmatter: its YAML text loaded into one YamlValue, the deep merge of two
// frontmatter mappings, and the conversion of loaded values into runtime values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/frontmatter/yaml_value.h"
#include "core/result.h"
#include "core/value.h"

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

// Converts one loaded frontmatter value (depth 0 for the value of a top-level key); nesting past
// MAX_VALUE_DEPTH or a key that is not a string is a Yaml error. Tags are dropped, each counting
// as one level.
Result<Value> value_from_yaml(const YamlValue& yaml, int depth = 0);

}  // namespace tyx
