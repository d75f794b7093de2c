#include "core/resolver/frontmatter_imports.h"

#include <algorithm>

#include "core/format.h"
#include "core/parser_helpers.h"
#include "core/resolver/loaders.h"

namespace tyx {
namespace {

CompileError entry_error(size_t index, std::string_view message) {
    return CompileError::of(ErrorKind::Import, "imports[" + decimal(index) + "]: " +
                                                   std::string(message) + " (in frontmatter)");
}

}  // namespace

Result<std::vector<FrontmatterImport>> parse_frontmatter_imports(const YamlValue& value) {
    if (!value.is_sequence()) {
        return CompileError::of(ErrorKind::Import,
                                "imports must be a YAML sequence (in frontmatter)");
    }
    const YamlSequence& entries = value.as_sequence();
    if (entries.size() > MAX_FRONTMATTER_IMPORTS) {
        return CompileError::of(ErrorKind::ResourceLimit, "imports exceeds maximum of " +
                                                              decimal(MAX_FRONTMATTER_IMPORTS) +
                                                              " entries (in frontmatter)");
    }
    std::vector<FrontmatterImport> imports;
    imports.reserve(entries.size());
    for (size_t index = 0; index < entries.size(); ++index) {
        TYX_ASSIGN_OR_RETURN(FrontmatterImport entry,
                             parse_frontmatter_import(entries[index], index));
        imports.push_back(std::move(entry));
    }
    return imports;
}

Result<FrontmatterImport> parse_frontmatter_import(const YamlValue& entry, size_t index) {
    auto fail = [index](std::string_view message) { return entry_error(index, message); };
    if (!entry.is_mapping()) return fail("each entry must be a mapping");
    const YamlMapping& mapping = entry.as_mapping();
    for (const auto& [key, unused] : mapping.entries()) {
        if (!key.is_string()) return fail("keys must be strings");
        const std::string& name = key.as_string();
        if (name != "path" && name != "as" && name != "names") {
            return fail("unknown key '" + name + "'");
        }
    }

    const YamlValue* path = mapping.find("path");
    if (path == nullptr) return fail("missing required key 'path'");
    if (!path->is_string()) return fail("'path' must be a string");
    FrontmatterImport result;
    result.path = path->as_string();
    if (!check_import_path(result.path).ok()) {
        // A NUL byte passes the prefix test but not the path test: say what is wrong with it.
        if (result.path.find('\0') != std::string::npos &&
            (result.path.starts_with("./") || result.path.starts_with("../"))) {
            return fail("invalid path: import path contains null byte");
        }
        return fail("invalid path \"" + result.path + "\": must start with './' or '../'");
    }

    const YamlValue* alias = mapping.find("as");
    const YamlValue* names = mapping.find("names");
    if (alias != nullptr && names != nullptr)
        return fail("'as' and 'names' are mutually exclusive");

    if (alias != nullptr) {
        if (!alias->is_string()) return fail("'as' must be a string");
        if (!is_valid_identifier(alias->as_string())) {
            return fail("invalid identifier '" + alias->as_string() +
                        "' for 'as': must start with a letter or '_' and contain only "
                        "alphanumeric characters or '_'");
        }
        result.kind = FrontmatterImportKind::Alias;
        result.alias = alias->as_string();
        return result;
    }
    if (names == nullptr) {
        result.kind = FrontmatterImportKind::Whole;
        return result;
    }

    if (!names->is_sequence()) return fail("'names' must be a sequence");
    const YamlSequence& items = names->as_sequence();
    if (items.empty()) return fail("names cannot be empty");
    for (const YamlValue& item : items) {
        if (!item.is_string()) return fail("each name in 'names' must be a string");
        const std::string& name = item.as_string();
        if (name != "prompt" && !is_valid_identifier(name)) {
            return fail("invalid identifier '" + name +
                        "' in 'names': must start with a letter or '_' and contain only "
                        "alphanumeric characters or '_'");
        }
        if (std::find(result.names.begin(), result.names.end(), name) != result.names.end()) {
            return fail("duplicate name '" + name + "' in 'names'");
        }
        result.names.push_back(name);
    }
    result.kind = FrontmatterImportKind::Selective;
    return result;
}

}  // namespace tyx
