#include "core/resolver/resolver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tyx {
namespace {

namespace fs = std::filesystem;

TEST(Resolver, ModuleCacheKeepsFirstInsertionOrder) {
    Resolver resolver = new_virtual_resolver({});
    EXPECT_EQ(resolver.module_count(), 0u);
    EXPECT_EQ(resolver.find_module("a"), nullptr);
    resolver.store_module("b", nullptr);
    resolver.store_module("a", nullptr);
    resolver.store_module("entry", nullptr);
    // Replacing a key keeps its place.
    resolver.store_module("b", nullptr);
    EXPECT_EQ(resolver.module_count(), 3u);
    EXPECT_NE(resolver.find_module("a"), nullptr);
    EXPECT_EQ(resolver.dependencies(), (std::vector<std::string>{"b", "a", "entry"}));
    EXPECT_EQ(resolver.dependencies("entry"), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(resolver.loader().project_root(), std::nullopt);
    EXPECT_FALSE(resolver.source_map_wanted());
}

TEST(Resolver, StackAndLifoCheck) {
    Resolver resolver;
    resolver.push_resolving("<source>");
    resolver.push_resolving("/p/a.tyx");
    EXPECT_TRUE(resolver.is_resolving("/p/a.tyx"));
    EXPECT_FALSE(resolver.is_resolving("/p/b.tyx"));
    EXPECT_EQ(resolver.pop_resolving(), "/p/a.tyx");
    EXPECT_EQ(resolver.pop_resolving(), "<source>");
    EXPECT_EQ(resolver.pop_resolving(), std::nullopt);
    EXPECT_TRUE(resolver.resolving_stack().empty());

    EXPECT_TRUE(check_stack_pop(std::string("k"), "k").ok());
    struct Case {
        std::optional<std::string> popped;
        std::string got;
    };
    for (const Case& c : {Case{std::nullopt, "<empty>"}, Case{std::string("other"), "other"}}) {
        Status check = check_stack_pop(c.popped, "k");
        ASSERT_FALSE(check.ok());
        EXPECT_EQ(check.error().kind, ErrorKind::Syntax);
        EXPECT_EQ(check.error().text,
                  "internal error: resolving stack LIFO invariant violated (expected k, got " +
                      c.got + ") — this is a compiler bug, please report it");
        EXPECT_FALSE(check.error().location.span.has_value());
    }

    // A failed compilation keeps its own error; a successful one gets the LIFO error.
    Result<int> failed = check_entry_stack_pop(Result<int>(CompileError::of(ErrorKind::Io, "io")),
                                               std::nullopt, "k");
    EXPECT_EQ(failed.error().text, "io");
    Result<int> lost = check_entry_stack_pop(Result<int>(1), std::nullopt, "k");
    ASSERT_FALSE(lost.ok());
    EXPECT_EQ(lost.error().kind, ErrorKind::Syntax);
    EXPECT_EQ(check_entry_stack_pop(Result<int>(1), std::string("k"), "k").value(), 1);
}

TEST(ResolveBaseDir, Cases) {
    char* current = ::getcwd(nullptr, 0);
    std::string cwd(current);
    std::free(current);
    EXPECT_EQ(resolve_base_dir(std::nullopt).value().path, cwd);
    EXPECT_EQ(resolve_base_dir(std::string()).value().path, cwd);
    EXPECT_EQ(resolve_base_dir(std::string("/")).value().path, "/");
    EXPECT_EQ(resolve_base_dir(std::string("/tmp/../tmp")).value().path,
              fs::canonical("/tmp").string());

    struct Case {
        std::string path;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"/no/such/dir", "cannot resolve base directory /no/such/dir: No such file or directory"},
        {"/tmp/\xff", "base_dir path is not valid UTF-8"},
        // The platform would stop reading at the NUL and resolve another directory.
        {std::string("/tmp\0/etc", 9),
         "cannot resolve base directory " + std::string("/tmp\0/etc", 9) + ": Invalid argument"},
    };
    for (const Case& c : cases) {
        Result<BaseDirectory> dir = resolve_base_dir(c.path);
        ASSERT_FALSE(dir.ok());
        EXPECT_EQ(dir.error().kind, ErrorKind::Io);
        EXPECT_EQ(dir.error().text, c.message);
    }
    EXPECT_EQ(path_to_utf8_string("a/\xc3").error().text, "path is not valid UTF-8");
    EXPECT_EQ(path_to_utf8_string("a/é").value(), "a/é");
}

TEST(ResolveBaseDir, DirectoriesThatAreNotUtf8) {
    std::string pattern = (fs::temp_directory_path() / "vorpel-base-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string root = fs::canonical(pattern).string();
    const std::string odd = root + "/\xff";
    ASSERT_TRUE(fs::create_directory(odd));
    fs::create_directory_symlink(odd, root + "/link");

    // The path as passed is valid; the directory it resolves to is not.
    Result<BaseDirectory> linked = resolve_base_dir(root + "/link");
    ASSERT_FALSE(linked.ok());
    EXPECT_EQ(linked.error().kind, ErrorKind::Io);
    EXPECT_EQ(linked.error().text, "base_dir path is not valid UTF-8");

    char* current = ::getcwd(nullptr, 0);
    const std::string saved(current);
    std::free(current);
    ASSERT_EQ(::chdir(odd.c_str()), 0);
    Result<BaseDirectory> cwd = resolve_base_dir(std::nullopt);
    EXPECT_EQ(::chdir(saved.c_str()), 0);
    ASSERT_FALSE(cwd.ok());
    EXPECT_EQ(cwd.error().kind, ErrorKind::Io);
    EXPECT_EQ(cwd.error().text, "current directory path is not valid UTF-8");
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

TEST(CheckTyxModule, Cases) {
    struct Case {
        std::string key;
        std::string text;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"/p/a.tyx", "", true},
        {"lib/a.tyx", "anything", true},
        {"/p/a.TYX", "", false},
        {"/p/.tyx", "", false},
        {"/p/a.txt", "---\ntype: tyx\n---\n", false},
        {"/p/a.md", "---\ntype: tyx\n---\nbody", true},
        {"/p/a.md", "---\r\ntype: tyx\r\n---\r\nbody", true},
        {"/p/a.md", "---\ntype:tyx\n---\n", true},
        {"/p/a.md", "---\ntype: \"tyx\"\n---\n", true},
        {"/p/a.md", "---\ntype: 'tyx'\n---\n", true},
        {"/p/a.md", "---\ntitle: x\ntype: tyx\n---\n", true},
        {"/p/a.md", "---\nmeta:\n  type: tyx\n---\n", false},
        {"/p/a.md", "---\ntype: tyx # note\n---\n", false},
        {"/p/a.md", "---\nType: tyx\n---\n", false},
        {"/p/a.md", "---\ntype: tyx\n", false},
        {"/p/a.md", "# plain markdown\n", false},
        {"/p/a.md", "", false},
        {"C:\\p\\a.md", "---\ntype: tyx\n---\n", true},
    };
    for (const Case& c : cases) {
        Status check = check_tyx_module(c.key, c.text);
        EXPECT_EQ(check.ok(), c.accepted) << c.key << " " << c.text;
        if (!check.ok()) {
            EXPECT_EQ(check.error().kind, ErrorKind::NotTyx);
            EXPECT_EQ(check.error().text, c.key);
        }
    }
    EXPECT_TRUE(scan_frontmatter_type_line("a: 1\ntype:   tyx  "));
    EXPECT_FALSE(scan_frontmatter_type_line("\xc2\xa0type: tyx"));
    EXPECT_FALSE(scan_frontmatter_type_line(""));
}

TEST(FormatCycleChain, Cases) {
    const std::vector<std::string> stack = {"<source>", "/p/a.tyx", "/p/b.tyx"};
    EXPECT_EQ(format_cycle_chain(stack, "/p/a.tyx"), "a.tyx → b.tyx → a.tyx");
    EXPECT_EQ(format_cycle_chain({"<source>", "/p/a.tyx"}, "/p/a.tyx"), "a.tyx → a.tyx");
    EXPECT_EQ(format_cycle_chain(stack, "/p/z.tyx"), "<source> → a.tyx → b.tyx → z.tyx");
}

}  // namespace
}  // namespace tyx
