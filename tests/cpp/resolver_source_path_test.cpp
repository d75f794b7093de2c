#include "core/resolver/source_path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tyx {
namespace {

struct DisplayCase {
    std::string path;
    std::optional<std::string> root;
    std::string expected;
};

TEST(DisplaySourcePath, Table) {
    const std::vector<DisplayCase> cases = {
        {"<source>", std::nullopt, "<source>"},
        {"<source>", "/home/u/proj", "<source>"},
        {"/home/u/proj/lib/a.tyx", "/home/u/proj", "lib/a.tyx"},
        {"/home/u/proj", "/home/u/proj", "."},
        {"/srv/other/b.tyx", "/home/u/proj", "b.tyx"},
        {"/home/u/proj/lib/a.tyx", std::nullopt, "a.tyx"},
        {"lib/./x/../a.tyx", std::nullopt, "lib/a.tyx"},
        {"../shared/a.tyx", std::nullopt, "a.tyx"},
        {"C:\\work\\proj\\a.tyx", std::nullopt, "a.tyx"},
        {"//?/C:/work/a.tyx", std::nullopt, "a.tyx"},
        {"input.tyx", "/home/u/proj", "input.tyx"},
        {"/x/..", std::nullopt, "source"},
        // Empty paths and bare verbatim prefixes.
        {"", std::nullopt, "source"},
        {"//?/", std::nullopt, "source"},
        {"\\\\?\\UNC\\", "/r", "source"},
        // A final component that is a drive.
        {"C:", std::nullopt, "source"},
        {"/a/C:", std::nullopt, "source"},
        // A root of "/" shows the absolute path without its leading "/".
        {"/a/b.tyx", "/", "a/b.tyx"},
        // Relative paths that climb above the root show their final component.
        {"../x.tyx", "/home/u/proj", "x.tyx"},
        {"../../x.tyx", "/home", "x.tyx"},
        // A path outside the root never shows ".." steps.
        {"/home/u/projects/a.tyx", "/home/u/proj", "a.tyx"},
        {"/home/u/a.tyx", "/home/u/proj", "a.tyx"},
        // A relative path below the root.
        {"lib/a.tyx", "/home/u/proj", "lib/a.tyx"},
        {"./lib/../b.tyx", "/p", "b.tyx"},
        {"a/b/", std::nullopt, "a/b"},
        {".", std::nullopt, "source"},
        {"..", std::nullopt, "source"},
        {"../..", std::nullopt, "source"},
        {"x/../..", std::nullopt, "source"},
        // Windows paths under a Windows root.
        {"C:\\work\\proj\\lib\\a.tyx", "C:\\work\\proj", "lib/a.tyx"},
        {"//?/C:/work/proj/a.tyx", "C:/work/proj", "a.tyx"},
        {"/p/a.tyx", "//?/", "a.tyx"},
        {"<odd", std::nullopt, "<odd"},
    };
    for (const DisplayCase& c : cases) {
        EXPECT_EQ(display_source_path(c.path, c.root), c.expected)
            << "path " << c.path << " root " << c.root.value_or("none");
    }
}

TEST(DisplaySourcePath, Helpers) {
    EXPECT_EQ(strip_verbatim_prefix("\\\\?\\UNC\\srv\\x"), "srv/x");
    EXPECT_EQ(strip_verbatim_prefix("//?/C:/a"), "C:/a");
    EXPECT_EQ(strip_verbatim_prefix("//?/"), std::nullopt);
    EXPECT_EQ(strip_verbatim_prefix(""), std::nullopt);

    EXPECT_TRUE(is_absolute_source_path("C:"));
    EXPECT_TRUE(is_absolute_source_path("z:rest"));
    EXPECT_TRUE(is_absolute_source_path("x:/y"));
    EXPECT_TRUE(is_absolute_source_path("ab:\\y"));
    EXPECT_FALSE(is_absolute_source_path("/abs"));
    EXPECT_FALSE(is_absolute_source_path("1:"));
    EXPECT_FALSE(is_absolute_source_path("a"));

    using Segments = std::vector<std::string>;
    EXPECT_EQ(split_normalized_components("/a/./b//../c/"), (Segments{"a", "c"}));
    EXPECT_EQ(split_normalized_components("../../a"), (Segments{"a"}));
    EXPECT_EQ(apply_relative_components({"a", "b"}, {"..", ".", "", "c"}), (Segments{"a", "c"}));
    EXPECT_EQ(apply_relative_components({"a"}, {"..", ".."}), std::nullopt);
    EXPECT_EQ(last_usable_component({"a", "b", "..", ".."}), "b");
    EXPECT_EQ(last_usable_component({}), "source");
    EXPECT_EQ(last_usable_component({"."}), "source");
    EXPECT_EQ(last_usable_component({"x:/y"}), "source");
}

TEST(PathFileName, Cases) {
    EXPECT_EQ(path_file_name("key"), "key");
    EXPECT_EQ(path_file_name("lib/"), "");
    EXPECT_EQ(path_file_name("/p/a.tyx"), "a.tyx");
    EXPECT_EQ(path_file_name("C:\\p\\b.tyx"), "b.tyx");
    EXPECT_EQ(path_file_name("<source>"), "<source>");
}

}  // namespace
}  // namespace tyx
