// The limits of loading and merging a frontmatter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

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

}  // namespace tyx
