// A template's frontmatter: its YAML text loaded into one YamlValue, the deep merge of two
// frontmatter mappings, and the conversion of loaded values into runtime values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/frontmatter/limits.h"
#include "core/frontmatter/yaml_value.h"
#include "core/result.h"
#include "core/value.h"

namespace tyx {

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
