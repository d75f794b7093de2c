#include "core/resolver/loaders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tyx {
namespace {

namespace fs = std::filesystem;

// A fresh directory tree under the system temporary directory, removed afterwards.
class TempTree {
  public:
    TempTree() {
        std::string pattern = (fs::temp_directory_path() / "vorpel-loader-XXXXXX").string();
        char* made = ::mkdtemp(pattern.data());
        EXPECT_NE(made, nullptr);
        // Canonical from the start, so that keys can be compared as plain strings.
        base_ = fs::canonical(pattern).string();
    }
    ~TempTree() {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }
    const std::string& base() const { return base_; }
    std::string path(const std::string& relative) const { return base_ + "/" + relative; }
    void write(const std::string& relative, const std::string& text) const {
        fs::path file = path(relative);
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    void mkdir(const std::string& relative) const { fs::create_directories(path(relative)); }
    void link(const std::string& target, const std::string& relative) const {
        fs::create_symlink(target, path(relative));
    }

  private:
    std::string base_;
};

void expect_error(const CompileError& error, ErrorKind kind, const std::string& text) {
    EXPECT_EQ(error.kind, kind) << error.text;
    EXPECT_EQ(error.text, text);
    EXPECT_FALSE(error.location.span.has_value());
}

template <class T>
void expect_error(const Result<T>& result, ErrorKind kind, const std::string& text) {
    ASSERT_FALSE(result.ok()) << "expected failure: " << text;
    expect_error(result.error(), kind, text);
}

// A project at <tmp>/proj marked by .tyxroot, with the loader's root found from it.
class DiskLoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tree.write("proj/.tyxroot", "");
        tree.write("proj/main.tyx", "main");
        tree.write("proj/lib/util.tyx", "util");
        tree.write("outside.tyx", "outside");
        tree.write("etc/passwd", "secret");
        ASSERT_TRUE(loader.set_base_dir(root()).ok());
        ASSERT_EQ(loader.project_root(), root());
    }
    std::string root() const { return tree.path("proj"); }

    TempTree tree;
    DiskLoader loader;
};

TEST_F(DiskLoaderTest, ResolvesAndReadsInsideTheProject) {
    Result<std::string> key = loader.resolve_relative(root(), "./lib/util.tyx");
    ASSERT_TRUE(key.ok()) << key.error().text;
    EXPECT_EQ(*key, tree.path("proj/lib/util.tyx"));
    EXPECT_EQ(loader.parent_dir(*key), tree.path("proj/lib"));
    Result<std::string> text = loader.read_source(*key);
    ASSERT_TRUE(text.ok()) << text.error().text;
    EXPECT_EQ(*text, "util");

    Result<std::string> back = loader.resolve_relative(tree.path("proj/lib"), "../main.tyx");
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, tree.path("proj/main.tyx"));
}

TEST_F(DiskLoaderTest, RefusesPathsThatLeaveTheProject) {
    tree.write("proj2/a.tyx", "sibling");
    tree.mkdir("proj/sub");
    struct Case {
        std::string directory;
        std::string path;
        ErrorKind kind;
        std::string message;
    };
    const std::vector<Case> cases = {
        {root(), "../outside.tyx", ErrorKind::Import,
         "import path escapes project directory: \"../outside.tyx\""},
        {root() + "/sub", "../../etc/passwd", ErrorKind::Import,
         "import path escapes project directory: \"../../etc/passwd\""},
        {root(), tree.path("etc/passwd"), ErrorKind::Import,
         "import path escapes project directory: \"" + tree.path("etc/passwd") + "\""},
        // The sibling's name shares the root's name as a prefix: compared by components.
        {root(), "../proj2/a.tyx", ErrorKind::Import,
         "import path escapes project directory: \"../proj2/a.tyx\""},
        // A missing file outside is reported as missing, not as an escape.
        {root(), "../missing.tyx", ErrorKind::FileNotFound, "../missing.tyx"},
        {root(), "./missing.tyx", ErrorKind::FileNotFound, "./missing.tyx"},
        {root(), "./nodir/missing.tyx", ErrorKind::FileNotFound, "./nodir/missing.tyx"},
        {root(), "./lib/..", ErrorKind::FileNotFound, "./lib/.."},
        {root(), "", ErrorKind::Import, "import path is empty"},
        {root(), std::string("./a\0b.tyx", 9), ErrorKind::Import, "import path contains null byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        expect_error(loader.resolve_relative(c.directory, c.path), c.kind, c.message);
    }
}

TEST_F(DiskLoaderTest, RefusesAFinalSymbolicLink) {
    tree.link(tree.path("outside.tyx"), "proj/out.tyx");
    tree.link(tree.path("proj/main.tyx"), "proj/in.tyx");
    tree.link(tree.path("proj/gone.tyx"), "proj/dangling.tyx");
    expect_error(loader.resolve_relative(root(), "./out.tyx"), ErrorKind::Import,
                 "symlinks are not allowed in imports: ./out.tyx");
    // Even a link that stays inside the project.
    expect_error(loader.resolve_relative(root(), "./in.tyx"), ErrorKind::Import,
                 "symlinks are not allowed in imports: ./in.tyx");
    expect_error(loader.resolve_relative(root(), "./dangling.tyx"), ErrorKind::FileNotFound,
                 "./dangling.tyx");
}

TEST_F(DiskLoaderTest, FollowsDirectoryLinksThenChecksContainment) {
    tree.link(tree.path("proj/lib"), "proj/inner");
    tree.link(tree.base(), "proj/up");
    Result<std::string> inside = loader.resolve_relative(root(), "./inner/util.tyx");
    ASSERT_TRUE(inside.ok()) << inside.error().text;
    EXPECT_EQ(*inside, tree.path("proj/lib/util.tyx"));
    expect_error(loader.resolve_relative(root(), "./up/outside.tyx"), ErrorKind::Import,
                 "import path escapes project directory: \"./up/outside.tyx\"");
}

TEST_F(DiskLoaderTest, ReadsOnlyRegularFiles) {
    tree.mkdir("proj/x.tyx");
    ASSERT_EQ(::mkfifo(tree.path("proj/fifo.tyx").c_str(), 0644), 0);
    Result<std::string> directory = loader.resolve_relative(root(), "./x.tyx");
    ASSERT_TRUE(directory.ok());
    expect_error(loader.read_source(*directory), ErrorKind::Io,
                 "cannot read x.tyx: Is a directory");
    // A FIFO must neither hang the open nor the read.
    Result<std::string> fifo = loader.resolve_relative(root(), "./fifo.tyx");
    ASSERT_TRUE(fifo.ok());
    expect_error(loader.read_source(*fifo), ErrorKind::Io,
                 "cannot read fifo.tyx: not a regular file");
    if (::geteuid() == 0 &&
        ::mknod(tree.path("proj/zero.tyx").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0) {
        Result<std::string> device = loader.resolve_relative(root(), "./zero.tyx");
        ASSERT_TRUE(device.ok());
        expect_error(loader.read_source(*device), ErrorKind::Io,
                     "cannot read zero.tyx: not a regular file");
    }
}

TEST_F(DiskLoaderTest, RefusesAFileSwappedAfterResolution) {
    tree.write("proj/swap.tyx", "original");
    tree.write("proj/other.tyx", "other");
    Result<std::string> key = loader.resolve_relative(root(), "./swap.tyx");
    ASSERT_TRUE(key.ok());

    fs::remove(tree.path("proj/swap.tyx"));
    tree.link(tree.path("outside.tyx"), "proj/swap.tyx");
    expect_error(loader.read_source(*key), ErrorKind::Import,
                 "symlinks are not allowed in imports: ./swap.tyx");

    fs::remove(tree.path("proj/swap.tyx"));
    fs::rename(tree.path("proj/other.tyx"), tree.path("proj/swap.tyx"));
    expect_error(loader.read_source(*key), ErrorKind::Import,
                 "symlinks are not allowed in imports: ./swap.tyx");
}

TEST_F(DiskLoaderTest, RefusesAParentDirectorySwappedForALink) {
    Result<std::string> key = loader.resolve_relative(root(), "./lib/util.tyx");
    ASSERT_TRUE(key.ok());
    tree.write("elsewhere/util.tyx", "elsewhere");
    fs::rename(tree.path("proj/lib"), tree.path("proj/lib-old"));
    tree.link(tree.path("elsewhere"), "proj/lib");
    expect_error(loader.read_source(*key), ErrorKind::Import,
                 "symlinks are not allowed in imports: ./lib/util.tyx");
}

TEST_F(DiskLoaderTest, SizeLimitAtItsBoundary) {
    tree.write("proj/lib/fits.tyx", std::string(MAX_SOURCE_SIZE, 'a'));
    tree.write("proj/lib/big.tyx", std::string(MAX_SOURCE_SIZE + 1, 'a'));
    Result<std::string> fits = loader.resolve_relative(root(), "./lib/fits.tyx");
    ASSERT_TRUE(fits.ok());
    Result<std::string> text = loader.read_source(*fits);
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text->size(), MAX_SOURCE_SIZE);
    Result<std::string> big = loader.resolve_relative(root(), "./lib/big.tyx");
    ASSERT_TRUE(big.ok());
    expect_error(loader.read_source(*big), ErrorKind::ResourceLimit,
                 "file too large (10485761 bytes, max 10485760 bytes): lib/big.tyx");
}

TEST_F(DiskLoaderTest, RefusesInvalidUtf8AndKeepsTheTextUnchanged) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"ab\xff", "invalid UTF-8 in bad.tyx: invalid utf-8 sequence of 1 bytes from index 2"},
        {"a\xe2\x82", "invalid UTF-8 in bad.tyx: incomplete utf-8 byte sequence from index 1"},
        {"\xe2\x82x", "invalid UTF-8 in bad.tyx: invalid utf-8 sequence of 2 bytes from index 0"},
        {"\xed\xa0\x80",
         "invalid UTF-8 in bad.tyx: invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xf0\x9f\x98x",
         "invalid UTF-8 in bad.tyx: invalid utf-8 sequence of 3 bytes from index 0"},
    };
    for (const Case& c : cases) {
        tree.write("proj/bad.tyx", c.text);
        Result<std::string> key = loader.resolve_relative(root(), "./bad.tyx");
        ASSERT_TRUE(key.ok());
        expect_error(loader.read_source(*key), ErrorKind::Io, c.message);
    }
    tree.write("proj/bom.tyx", "\xef\xbb\xbfx\r\ny");
    Result<std::string> key = loader.resolve_relative(root(), "./bom.tyx");
    ASSERT_TRUE(key.ok());
    EXPECT_EQ(loader.read_source(*key).value(), "\xef\xbb\xbfx\r\ny");
}

TEST_F(DiskLoaderTest, RefusesAPathThatIsNotUtf8) {
    tree.write("odd\xff/a.tyx", "x");
    tree.link(tree.path("odd\xff"), "proj/odd");
    Result<std::string> key = loader.resolve_relative(root(), "./odd/a.tyx");
    expect_error(key, ErrorKind::Io, "path is not valid UTF-8: " + tree.base() + "/odd\\xFF/a.tyx");
}

TEST_F(DiskLoaderTest, UnreadableFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    tree.write("proj/secret.tyx", "x");
    fs::permissions(tree.path("proj/secret.tyx"), fs::perms::none);
    Result<std::string> key = loader.resolve_relative(root(), "./secret.tyx");
    ASSERT_TRUE(key.ok());
    expect_error(loader.read_source(*key), ErrorKind::Io,
                 "cannot read secret.tyx: Permission denied");
}

TEST(DiskLoader, ProjectRootSearch) {
    TempTree tree;
    tree.mkdir("a/.git");
    tree.write("a/b/.tyxroot", "");
    tree.mkdir("a/b/c/d");
    tree.mkdir("solo/deep");
    tree.write("marked/.git", "gitdir: elsewhere");
    tree.mkdir("dangle/in");
    tree.link(tree.path("nowhere"), "dangle/.git");
    tree.write("dangle/.tyxroot", "");
    struct Case {
        std::string start;
        std::string root;
    };
    const std::vector<Case> cases = {
        // The nearer marker wins, whichever name it has.
        {"a/b/c/d", "a/b"},
        {"a/b", "a/b"},
        {"a", "a"},
        {"marked", "marked"},
        // A dangling link named .git is no marker, but .tyxroot beside it is.
        {"dangle/in", "dangle"},
    };
    for (const Case& c : cases) {
        DiskLoader loader;
        ASSERT_TRUE(loader.set_base_dir(tree.path(c.start)).ok());
        EXPECT_EQ(loader.project_root(), tree.path(c.root)) << c.start;
    }

    // The first root found stays.
    DiskLoader loader;
    ASSERT_TRUE(loader.set_base_dir(tree.path("a/b")).ok());
    ASSERT_TRUE(loader.set_base_dir(tree.path("a")).ok());
    EXPECT_EQ(loader.project_root(), tree.path("a/b"));

    DiskLoader dangling;
    fs::remove(tree.path("dangle/.tyxroot"));
    ASSERT_TRUE(dangling.set_base_dir(tree.path("dangle/in")).ok());
    EXPECT_NE(dangling.project_root(), tree.path("dangle"));
}

TEST(DiskLoader, ProjectRootSearchDepthAtItsBoundary) {
    TempTree tree;
    tree.write("m/.tyxroot", "");
    // The start directory is the first examined, so a marker 255 levels up is the last found.
    std::string last = "m";
    for (size_t i = 0; i + 1 < MAX_ROOT_SEARCH_DEPTH; ++i)
        last += "/d";
    std::string beyond = last + "/d";
    tree.mkdir(beyond);

    DiskLoader found;
    ASSERT_TRUE(found.set_base_dir(tree.path(last)).ok());
    EXPECT_EQ(found.project_root(), tree.path("m"));
    DiskLoader fallback;
    ASSERT_TRUE(fallback.set_base_dir(tree.path(beyond)).ok());
    EXPECT_EQ(fallback.project_root(), tree.path(beyond));
}

TEST(DiskLoader, EntryResolutionSetsTheRootFromTheFile) {
    TempTree tree;
    tree.write("p/.tyxroot", "");
    tree.write("p/docs/entry.tyx", "x");
    tree.link(tree.path("p/docs/entry.tyx"), "p/link.tyx");
    DiskLoader loader;
    Result<std::string> key = loader.resolve(tree.path("p/docs/entry.tyx"));
    ASSERT_TRUE(key.ok()) << key.error().text;
    EXPECT_EQ(*key, tree.path("p/docs/entry.tyx"));
    EXPECT_EQ(loader.project_root(), tree.path("p"));

    DiskLoader other;
    expect_error(other.resolve(tree.path("p/link.tyx")), ErrorKind::Import,
                 "symlinks are not allowed in imports: " + tree.path("p/link.tyx"));
    expect_error(other.resolve(tree.path("p/none.tyx")), ErrorKind::FileNotFound,
                 tree.path("p/none.tyx"));
    expect_error(other.resolve(""), ErrorKind::Import, "import path is empty");

    // An entry outside a root that was set before is refused after the search.
    DiskLoader rooted;
    ASSERT_TRUE(rooted.set_base_dir(tree.path("p/docs")).ok());
    tree.write("q/x.tyx", "x");
    expect_error(rooted.resolve(tree.path("q/x.tyx")), ErrorKind::Import,
                 "import path escapes project directory: \"" + tree.path("q/x.tyx") + "\"");
}

TEST(DiskLoader, BaseDirectoryCanonicalisation) {
    DiskLoader loader;
    Result<std::string> slash = loader.canonicalize("/");
    ASSERT_TRUE(slash.ok()) << slash.error().text;
    EXPECT_EQ(*slash, "/");
    expect_error(loader.canonicalize("/no/such/dir"), ErrorKind::Io,
                 "cannot resolve path /no/such/dir: file not found: /no/such/dir");
    expect_error(loader.set_base_dir("/no/such/dir"), ErrorKind::Io,
                 "cannot resolve base directory /no/such/dir: No such file or directory");
    EXPECT_EQ(loader.project_root(), std::nullopt);
    EXPECT_TRUE(loader.set_base_dir("/").ok());
    EXPECT_EQ(loader.project_root(), "/");
}

TEST(DiskLoader, PlainMarkdownAndParentDirectory) {
    DiskLoader loader;
    struct Case {
        std::string key;
        bool markdown;
    };
    const std::vector<Case> cases = {
        {"/p/a.md", true},   {"/p/a.MD", false}, {"/p/.md", false},  {"/p/a.tyx", false},
        {"/p/a.b.md", true}, {"/p/..md", true},  {"/p/x/..", false}, {"/p/a.md/", true},
        {"a.md", true},      {"/p/md", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(loader.is_plain_markdown(c.key), c.markdown) << c.key;
    EXPECT_EQ(loader.parent_dir("/p/lib/a.tyx"), "/p/lib");
    EXPECT_EQ(loader.parent_dir("/a.tyx"), "/");
    EXPECT_EQ(loader.parent_dir("/"), "");
    EXPECT_EQ(loader.parent_dir("a.tyx"), "");
}

TEST(VirtualLoader, ResolveRelative) {
    VirtualLoader loader({});
    struct Case {
        std::string directory;
        std::string path;
        std::string key;
    };
    const std::vector<Case> ok = {
        {"lib", "./b.tyx", "lib/b.tyx"},
        {"lib", "../c.tyx", "c.tyx"},
        {"", "./x/../y.tyx", "y.tyx"},
        {"", "./lib/util.tyx", "lib/util.tyx"},
        {".", "./lib/util.tyx", "./lib/util.tyx"},
        {"a//b", "./c.tyx", "a/b/c.tyx"},
        {"..", "./c.tyx", "../c.tyx"},
    };
    for (const Case& c : ok) {
        Result<std::string> key = loader.resolve_relative(c.directory, c.path);
        ASSERT_TRUE(key.ok()) << c.path << ": " << key.error().text;
        EXPECT_EQ(*key, c.key);
    }
    expect_error(loader.resolve_relative("lib", "../../c.tyx"), ErrorKind::Import,
                 "import path escapes project directory: \"../../c.tyx\"");
    expect_error(loader.resolve_relative("", "./"), ErrorKind::Import,
                 "import path resolves to empty key: \"./\"");
    expect_error(loader.resolve_relative("", ""), ErrorKind::Import, "import path is empty");
    expect_error(loader.resolve_relative("", std::string("./\0", 3)), ErrorKind::Import,
                 "import path contains null byte");
}

TEST(VirtualLoader, SegmentLimitAtItsBoundary) {
    VirtualLoader loader({});
    std::string directory;
    for (size_t i = 0; i < MAX_MODULE_KEY_SEGMENTS - 1; ++i)
        directory += "d/";
    Result<std::string> last = loader.resolve_relative(directory, "./x.tyx");
    ASSERT_TRUE(last.ok());
    EXPECT_EQ(last->size(), directory.size() + 5);
    expect_error(loader.resolve_relative(directory, "./e/x.tyx"), ErrorKind::ResourceLimit,
                 "import path exceeds maximum segment count (256): \"./e/x.tyx\"");

    std::string path = "./";
    for (size_t i = 0; i < MAX_MODULE_KEY_SEGMENTS; ++i)
        path += "s/";
    // "./" and the trailing empty segment do not count: 256 segments pass.
    EXPECT_TRUE(loader.resolve(path).ok());
    path += "t";
    expect_error(loader.resolve(path), ErrorKind::ResourceLimit,
                 "import path exceeds maximum segment count (256): \"" + path + "\"");
    EXPECT_EQ(loader.resolve("../a/../b").value(), "../a/../b");
}

TEST(VirtualLoader, ReadsTheMapExactly) {
    ModuleMap modules = {{"lib/a.tyx", "A"},
                         {"big.tyx", std::string(MAX_SOURCE_SIZE + 1, 'x')},
                         {"fits.tyx", std::string(MAX_SOURCE_SIZE, 'x')}};
    VirtualLoader loader(std::move(modules));
    EXPECT_EQ(loader.read_source("lib/a.tyx").value(), "A");
    expect_error(loader.read_source("./lib/a.tyx"), ErrorKind::ModuleNotFound, "./lib/a.tyx");
    expect_error(loader.read_source("big.tyx"), ErrorKind::ResourceLimit,
                 "file too large (10485761 bytes, max 10485760 bytes): big.tyx");
    EXPECT_TRUE(loader.read_source("fits.tyx").ok());
    EXPECT_EQ(loader.parent_dir("lib/a.tyx"), "lib");
    EXPECT_EQ(loader.parent_dir("a.tyx"), "");
    EXPECT_EQ(loader.parent_dir("./main.tyx"), ".");
    EXPECT_TRUE(loader.is_plain_markdown("doc.md"));
    EXPECT_FALSE(loader.is_plain_markdown("doc.MD"));
    EXPECT_FALSE(loader.is_plain_markdown(".md"));
    EXPECT_TRUE(loader.set_base_dir("/anything").ok());
    EXPECT_EQ(loader.canonicalize("x/../y").value(), "x/../y");
    EXPECT_EQ(loader.project_root(), std::nullopt);
}

TEST(ImportPath, Checks) {
    expect_error(check_import_path("lib/x.tyx"), ErrorKind::Import,
                 "import path must be relative (start with './' or '../'): \"lib/x.tyx\"");
    expect_error(check_import_path("/abs.tyx"), ErrorKind::Import,
                 "import path must be relative (start with './' or '../'): \"/abs.tyx\"");
    expect_error(check_import_path(std::string("./a\0", 4)), ErrorKind::Import,
                 "import path contains null byte");
    EXPECT_TRUE(check_import_path("../x.tyx").ok());
    EXPECT_TRUE(check_import_path("./x.tyx").ok());
}

TEST(Utf8, Descriptions) {
    EXPECT_EQ(describe_invalid_utf8("plain é ✓ 😀"), std::nullopt);
    EXPECT_EQ(describe_invalid_utf8("\xc0\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(describe_invalid_utf8("ok\xf4\x90\x80\x80"),
              "invalid utf-8 sequence of 1 bytes from index 2");
    EXPECT_EQ(describe_invalid_utf8("\xf0\x9f"), "incomplete utf-8 byte sequence from index 0");
    EXPECT_EQ(escape_path_for_display("a\xff\n"), "a\\xFF\\u000A");
}

}  // namespace
}  // namespace tyx
