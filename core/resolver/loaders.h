// The ModuleLoader interface through which the resolver finds, reads and names modules, and its
// two implementations: the file system below a project root, and an in-memory module map.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "core/keyed_tables.h"
#include "core/result.h"

namespace tyx {

// Bytes of one template source: a template given as text or a module read by a loader.
inline constexpr uint64_t MAX_SOURCE_SIZE = 10'485'760;
// Directories examined while searching upwards for a project root marker.
inline constexpr size_t MAX_ROOT_SEARCH_DEPTH = 256;
// Segments of one virtual module key produced by resolution.
inline constexpr size_t MAX_MODULE_KEY_SEGMENTS = 256;
// Tested in this order in each directory; either makes it the project root.
inline constexpr std::array<std::string_view, 2> PROJECT_ROOT_MARKERS = {".git", ".tyxroot"};

// The virtual modules: module key to source text, matched byte for byte.
using ModuleMap = std::map<std::string, std::string, std::less<>>;

class ModuleLoader {
  public:
    virtual ~ModuleLoader() = default;

    // An entry path (absolute or relative to the current directory) to its module key.
    virtual Result<std::string> resolve(std::string_view path) = 0;
    // An import path, relative to an importing module's directory, to a module key.
    virtual Result<std::string> resolve_relative(std::string_view directory,
                                                 std::string_view path) = 0;
    // The directory against which a module's own imports resolve; may be empty.
    virtual std::string parent_dir(std::string_view key) const = 0;
    virtual Result<std::string> read_source(std::string_view key) const = 0;
    virtual bool is_plain_markdown(std::string_view key) const = 0;
    virtual Status set_base_dir(std::string_view directory) = 0;
    // The same for a directory that canonicalize has already returned, so that the path is not
    // resolved a second time.
    virtual void set_canonical_base_dir(std::string_view directory) {
        (void)set_base_dir(directory);
    }
    virtual Result<std::string> canonicalize(std::string_view path) = 0;
    virtual std::optional<std::string> project_root() const = 0;
    // Whether a project root is set or will be found without another base directory; unlike
    // project_root, it may answer without searching for the root.
    virtual bool knows_project_root() const { return project_root().has_value(); }
};

// "import path is empty" / "import path contains null byte".
Status validate_import_path(std::string_view path);
// Every import path written in a template is relative: it starts with "./" or "../".
Status check_import_path(std::string_view path);

// The extension of a file name: the text after its last ".", none when that "." is the first
// character or there is none.
std::optional<std::string_view> file_extension(std::string_view file_name);
// The extension of the key's final component is exactly "md".
bool has_markdown_extension(std::string_view key);

// The description of the first invalid UTF-8 sequence, as "invalid utf-8 sequence of {} bytes
// from index {}" or "incomplete utf-8 byte sequence from index {}"; none for valid text.
std::optional<std::string> describe_invalid_utf8(std::string_view text);
// A path for a message: invalid UTF-8 bytes written as "\xNN", then escaped for display.
std::string escape_path_for_display(std::string_view path);
// The platform's description of an errno value.
std::string system_error_text(int error_number);

// The file-system loader. Keys are canonical absolute paths below the project root.
class DiskLoader final : public ModuleLoader {
  public:
    Result<std::string> resolve(std::string_view path) override;
    Result<std::string> resolve_relative(std::string_view directory,
                                         std::string_view path) override;
    std::string parent_dir(std::string_view key) const override;
    Result<std::string> read_source(std::string_view key) const override;
    bool is_plain_markdown(std::string_view key) const override;
    Status set_base_dir(std::string_view directory) override;
    void set_canonical_base_dir(std::string_view directory) override;
    Result<std::string> canonicalize(std::string_view path) override;
    std::optional<std::string> project_root() const override;
    // Another base directory could change nothing once the search has a start.
    bool knows_project_root() const override { return root_start_.has_value(); }

  private:
    // What a key named when it was resolved, so that a file swapped for another (or for a
    // link) between resolution and reading is refused rather than read.
    struct ResolvedFile {
        uint64_t device = 0;
        uint64_t inode = 0;
        std::string shown;
    };

    // Records where the root search starts; the search itself waits until the root is needed.
    void find_project_root(const std::string& start);
    const std::optional<std::string>& root() const;
    Result<std::string> resolve_disk_path_in_dir(std::string_view directory, std::string_view path);
    Status check_contained(const std::string& canonical, std::string_view shown) const;
    Status remember(const std::string& canonical, std::string_view shown);

    // Set at most once; the first start given wins. A compilation that imports nothing never
    // reads the root, so the search of the ancestors for a marker is put off until one asks.
    std::optional<std::string> root_start_;
    mutable std::optional<std::string> root_;
    KeyedTextMap<ResolvedFile> resolved_;
};

// Owns an open file descriptor and closes it.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();
    int get() const { return fd_; }

  private:
    int fd_;
};

// The text of an open file whose metadata fstat gave as `info`: only a regular file is read,
// its size is checked from that metadata before anything is read, reading stops one byte past
// MAX_SOURCE_SIZE (the file may have grown since), and the text must be UTF-8. The messages
// name the file as `name`.
Result<std::string> read_opened_text(int fd, const struct stat& info, std::string_view name);

// The canonical form of a file path whose final component must not be a symbolic link;
// `shown` is the path as the user wrote it, named by the messages.
Result<std::string> canonicalize_rejecting_symlinks(std::string_view path, std::string_view shown);
Result<std::string> canonicalize_import_path(std::string_view path);

// The in-memory loader over a ModuleMap; nothing touches the file system.
class VirtualLoader final : public ModuleLoader {
  public:
    explicit VirtualLoader(ModuleMap modules) : modules_(std::move(modules)) {}

    Result<std::string> resolve(std::string_view path) override;
    Result<std::string> resolve_relative(std::string_view directory,
                                         std::string_view path) override;
    std::string parent_dir(std::string_view key) const override;
    Result<std::string> read_source(std::string_view key) const override;
    bool is_plain_markdown(std::string_view key) const override;
    Status set_base_dir(std::string_view directory) override;
    Result<std::string> canonicalize(std::string_view path) override;
    std::optional<std::string> project_root() const override;

  private:
    ModuleMap modules_;
};

}  // namespace tyx
