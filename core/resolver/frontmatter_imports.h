// The frontmatter `imports` list: the modules a template imports without @import lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/frontmatter/frontmatter.h"
#include "core/result.h"

namespace tyx {

// Entries of one `imports` list.
inline constexpr size_t MAX_FRONTMATTER_IMPORTS = 256;

enum class FrontmatterImportKind : uint8_t { Alias = 0, Whole = 1, Selective = 2 };

struct FrontmatterImport {
    FrontmatterImportKind kind = FrontmatterImportKind::Whole;
    // Exactly as written; starts with "./" or "../".
    std::string path;
    // Alias only: an identifier.
    std::string alias;
    // Selective only: not empty, no duplicates, each an identifier or "prompt".
    std::vector<std::string> names;

    friend bool operator==(const FrontmatterImport&, const FrontmatterImport&) = default;
};

// `value` is what the frontmatter holds under the key `imports`; the caller looks the key up.
Result<std::vector<FrontmatterImport>> parse_frontmatter_imports(const YamlValue& value);
Result<FrontmatterImport> parse_frontmatter_import(const YamlValue& entry, size_t index);

}  // namespace tyx
