#include "core/resolver/frontmatter_imports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tyx {
namespace {

YamlValue parse(const std::string& text) {
    Result<YamlValue> value = parse_frontmatter_yaml(text);
    EXPECT_TRUE(value.ok()) << value.error().text;
    return value.ok() ? *value : YamlValue::null();
}

Result<std::vector<FrontmatterImport>> read_imports(const std::string& frontmatter) {
    YamlValue value = parse(frontmatter);
    const YamlValue* imports = value.is_mapping() ? value.as_mapping().find("imports") : nullptr;
    EXPECT_NE(imports, nullptr);
    if (imports == nullptr) return CompileError::of(ErrorKind::Syntax, "no imports key");
    return parse_frontmatter_imports(*imports);
}

TEST(FrontmatterImports, ReadsEachKind) {
    Result<std::vector<FrontmatterImport>> imports = read_imports(
        "imports:\n"
        "  - path: ./a.tyx\n"
        "    as: a\n"
        "  - path: ../b.tyx\n"
        "  - {path: ./c.tyx, names: [prompt, greet]}\n");
    ASSERT_TRUE(imports.ok()) << imports.error().text;
    const std::vector<FrontmatterImport> expected = {
        {FrontmatterImportKind::Alias, "./a.tyx", "a", {}},
        {FrontmatterImportKind::Whole, "../b.tyx", "", {}},
        {FrontmatterImportKind::Selective, "./c.tyx", "", {"prompt", "greet"}},
    };
    EXPECT_EQ(*imports, expected);
    EXPECT_TRUE(read_imports("imports: []").value().empty());
}

TEST(FrontmatterImports, Errors) {
    struct Case {
        std::string frontmatter;
        ErrorKind kind;
        std::string message;
    };
    const std::string invalid_as =
        "' for 'as': must start with a letter or '_' and contain only alphanumeric characters or "
        "'_'";
    const std::string invalid_name =
        "' in 'names': must start with a letter or '_' and contain only alphanumeric characters "
        "or '_'";
    const std::vector<Case> cases = {
        {"imports:", ErrorKind::Import, "imports must be a YAML sequence (in frontmatter)"},
        {"imports: {a: 1}", ErrorKind::Import, "imports must be a YAML sequence (in frontmatter)"},
        {"imports: ./a.tyx", ErrorKind::Import, "imports must be a YAML sequence (in frontmatter)"},
        {"imports: !list [1]", ErrorKind::Import,
         "imports must be a YAML sequence (in frontmatter)"},
        {"imports: [./a.tyx]", ErrorKind::Import,
         "imports[0]: each entry must be a mapping (in frontmatter)"},
        {"imports: [{path: ./a.tyx, alias: a}]", ErrorKind::Import,
         "imports[0]: unknown key 'alias' (in frontmatter)"},
        {"imports: [{1: x, foo: y}]", ErrorKind::Import,
         "imports[0]: keys must be strings (in frontmatter)"},
        {"imports: [{foo: y, 1: x}]", ErrorKind::Import,
         "imports[0]: unknown key 'foo' (in frontmatter)"},
        {"imports: [{as: a}]", ErrorKind::Import,
         "imports[0]: missing required key 'path' (in frontmatter)"},
        {"imports: [{path: 3}]", ErrorKind::Import,
         "imports[0]: 'path' must be a string (in frontmatter)"},
        {"imports: [{path: a.tyx}]", ErrorKind::Import,
         "imports[0]: invalid path \"a.tyx\": must start with './' or '../' (in frontmatter)"},
        {"imports: [{path: /abs/a.tyx}]", ErrorKind::Import,
         "imports[0]: invalid path \"/abs/a.tyx\": must start with './' or '../' (in "
         "frontmatter)"},
        {"imports: [{path: \"./a\\0.tyx\"}]", ErrorKind::Import,
         "imports[0]: invalid path: import path contains null byte (in frontmatter)"},
        {"imports: [{path: ./a.tyx}, {path: ./x.tyx, as: 1x}]", ErrorKind::Import,
         "imports[1]: invalid identifier '1x" + invalid_as + " (in frontmatter)"},
        {"imports: [{path: ./x.tyx, as: 5, names: [a]}]", ErrorKind::Import,
         "imports[0]: 'as' and 'names' are mutually exclusive (in frontmatter)"},
        {"imports: [{path: ./x.tyx, as: [a]}]", ErrorKind::Import,
         "imports[0]: 'as' must be a string (in frontmatter)"},
        {"imports: [{path: ./x.tyx, names: greet}]", ErrorKind::Import,
         "imports[0]: 'names' must be a sequence (in frontmatter)"},
        {"imports: [{path: ./x.tyx, names: []}]", ErrorKind::Import,
         "imports[0]: names cannot be empty (in frontmatter)"},
        {"imports: [{path: ./x.tyx, names: [greet, 3]}]", ErrorKind::Import,
         "imports[0]: each name in 'names' must be a string (in frontmatter)"},
        {"imports: [{path: ./x.tyx, names: [greet, greet]}]", ErrorKind::Import,
         "imports[0]: duplicate name 'greet' in 'names' (in frontmatter)"},
        {"imports: [{path: ./x.tyx, names: [prompt, prompt]}]", ErrorKind::Import,
         "imports[0]: duplicate name 'prompt' in 'names' (in frontmatter)"},
        {"imports: [{path: ./x.tyx, names: [a-b]}]", ErrorKind::Import,
         "imports[0]: invalid identifier 'a-b" + invalid_name + " (in frontmatter)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frontmatter);
        Result<std::vector<FrontmatterImport>> imports = read_imports(c.frontmatter);
        ASSERT_FALSE(imports.ok());
        EXPECT_EQ(imports.error().kind, c.kind);
        EXPECT_EQ(imports.error().text, c.message);
        EXPECT_FALSE(imports.error().location.span.has_value());
    }
}

TEST(FrontmatterImports, EntryLimitAtItsBoundary) {
    auto list_of = [](size_t count, const std::string& entry) {
        std::string text = "imports:\n";
        for (size_t i = 0; i < count; ++i)
            text += "  - " + entry + "\n";
        return text;
    };
    Result<std::vector<FrontmatterImport>> fits = read_imports(list_of(256, "{path: ./a.tyx}"));
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits->size(), 256u);
    // The count is tested before any entry is read, so malformed entries do not matter.
    Result<std::vector<FrontmatterImport>> over = read_imports(list_of(257, "7"));
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.error().kind, ErrorKind::ResourceLimit);
    EXPECT_EQ(over.error().text, "imports exceeds maximum of 256 entries (in frontmatter)");
}

}  // namespace
}  // namespace tyx
