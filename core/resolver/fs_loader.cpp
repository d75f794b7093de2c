#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "core/format.h"
#include "core/resolver/loaders.h"
#include "core/resolver/source_path.h"

namespace tyx {
namespace {

// A path as the platform splits it: "." and empty components dropped, ".." kept.
struct PathParts {
    bool absolute = false;
    std::vector<std::string_view> parts;
};

PathParts split_path(std::string_view path) {
    PathParts out;
    out.absolute = path.starts_with('/');
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view part = path.substr(start, slash - start);
        if (!part.empty() && part != ".") out.parts.push_back(part);
        start = slash + 1;
    }
    return out;
}

// None for a path that ends in ".." or has no component at all.
std::optional<std::string_view> final_component(std::string_view path) {
    PathParts split = split_path(path);
    if (split.parts.empty() || split.parts.back() == "..") return std::nullopt;
    return split.parts.back();
}

// The path without its final component; none when there is no final component to remove.
std::optional<std::string> parent_text(std::string_view path) {
    PathParts split = split_path(path);
    if (split.parts.empty()) return std::nullopt;
    std::string out = split.absolute ? "/" : "";
    for (size_t i = 0; i + 1 < split.parts.size(); ++i) {
        if (i > 0) out += '/';
        out += split.parts[i];
    }
    return out;
}

std::string join_path(std::string_view directory, std::string_view path) {
    if (path.starts_with('/') || directory.empty()) return std::string(path);
    std::string out(directory);
    if (!out.ends_with('/')) out += '/';
    out += path;
    return out;
}

struct RealPath {
    std::string path;
    int error = 0;
};

RealPath real_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return {{}, EINVAL};
    std::string owned(path);
    char* resolved = ::realpath(owned.c_str(), nullptr);
    if (resolved == nullptr) return {{}, errno};
    RealPath out{resolved, 0};
    std::free(resolved);
    return out;
}

bool entry_exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

CompileError symlink_error(std::string_view shown) {
    return CompileError::of(ErrorKind::Import,
                            "symlinks are not allowed in imports: " + std::string(shown));
}

CompileError not_found_error(std::string_view shown) {
    return CompileError::of(ErrorKind::FileNotFound, std::string(shown));
}

// A component that is not UTF-8 would turn into U+FFFD in the key and name another file.
Status require_utf8_path(std::string_view path) {
    if (!describe_invalid_utf8(path)) return {};
    return CompileError::of(ErrorKind::Io,
                            "path is not valid UTF-8: " + escape_path_for_display(path));
}

bool is_within(std::string_view path, std::string_view root) {
    if (!path.starts_with(root)) return false;
    return path.size() == root.size() || root.ends_with('/') || path[root.size()] == '/';
}

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

Result<std::string> read_opened_text(int fd, const struct stat& info, std::string_view name) {
    auto read_error = [&](std::string_view reason) {
        return CompileError::of(ErrorKind::Io, cat("cannot read ", name, ": ", reason));
    };
    auto too_large = [&](uint64_t size) {
        return CompileError::of(ErrorKind::ResourceLimit,
                                cat("file too large (", decimal(size), " bytes, max ",
                                    decimal(MAX_SOURCE_SIZE), " bytes): ", name));
    };
    if (S_ISDIR(info.st_mode)) return read_error(system_error_text(EISDIR));
    if (!S_ISREG(info.st_mode)) return read_error("not a regular file");
    if (info.st_size > static_cast<off_t>(MAX_SOURCE_SIZE)) {
        return too_large(static_cast<uint64_t>(info.st_size));
    }

    std::string text;
    text.resize(static_cast<size_t>(info.st_size) + 1);
    size_t filled = 0;
    while (filled <= MAX_SOURCE_SIZE) {
        if (filled == text.size())
            text.resize(std::min<size_t>(text.size() * 2, MAX_SOURCE_SIZE + 1));
        ssize_t count = ::read(fd, text.data() + filled, text.size() - filled);
        if (count < 0) {
            if (errno == EINTR) continue;
            return read_error(system_error_text(errno));
        }
        if (count == 0) break;
        filled += static_cast<size_t>(count);
    }
    text.resize(filled);
    if (filled > MAX_SOURCE_SIZE) return too_large(filled);
    if (std::optional<std::string> fault = describe_invalid_utf8(text)) {
        return CompileError::of(ErrorKind::Io, cat("invalid UTF-8 in ", name, ": ", *fault));
    }
    return text;
}

Result<std::string> canonicalize_rejecting_symlinks(std::string_view path, std::string_view shown) {
    std::optional<std::string_view> name = final_component(path);
    if (!name) return not_found_error(shown);
    std::string parent = parent_text(path).value_or("");
    if (parent.empty()) parent = ".";
    RealPath canonical_parent = real_path(parent);
    if (canonical_parent.error != 0) return not_found_error(shown);
    std::string joined = join_path(canonical_parent.path, *name);
    RealPath canonical = real_path(joined);
    if (canonical.error != 0) return not_found_error(shown);
    // Both are absolute and normalised, so comparing the texts compares the components.
    if (canonical.path != joined) return symlink_error(shown);
    TYX_TRY(require_utf8_path(canonical.path));
    return canonical.path;
}

Result<std::string> canonicalize_import_path(std::string_view path) {
    return canonicalize_rejecting_symlinks(path, path);
}

void DiskLoader::find_project_root(const std::string& start) {
    if (!root_start_) root_start_ = start;
}

const std::optional<std::string>& DiskLoader::root() const {
    if (root_ || !root_start_) return root_;
    const std::string& start = *root_start_;
    std::string directory = start;
    for (size_t examined = 0; examined < MAX_ROOT_SEARCH_DEPTH; ++examined) {
        for (std::string_view marker : PROJECT_ROOT_MARKERS) {
            if (entry_exists(join_path(directory, marker))) {
                root_ = directory;
                return root_;
            }
        }
        std::optional<std::string> parent = parent_text(directory);
        if (!parent || parent->empty()) break;
        directory = std::move(*parent);
    }
    root_ = start;
    return root_;
}

Status DiskLoader::check_contained(const std::string& canonical, std::string_view shown) const {
    const std::optional<std::string>& root = this->root();
    if (!root || is_within(canonical, *root)) return {};
    return CompileError::of(
        ErrorKind::Import, "import path escapes project directory: \"" + std::string(shown) + "\"");
}

Status DiskLoader::remember(const std::string& canonical, std::string_view shown) {
    struct stat info;
    if (::lstat(canonical.c_str(), &info) != 0) return not_found_error(shown);
    if (S_ISLNK(info.st_mode)) return symlink_error(shown);
    resolved_[canonical] = ResolvedFile{static_cast<uint64_t>(info.st_dev),
                                        static_cast<uint64_t>(info.st_ino), std::string(shown)};
    return {};
}

Result<std::string> DiskLoader::resolve_disk_path_in_dir(std::string_view directory,
                                                         std::string_view path) {
    TYX_TRY(validate_import_path(path));
    TYX_ASSIGN_OR_RETURN(std::string canonical,
                         canonicalize_rejecting_symlinks(join_path(directory, path), path));
    TYX_TRY(check_contained(canonical, path));
    TYX_TRY(remember(canonical, path));
    return canonical;
}

Result<std::string> DiskLoader::resolve(std::string_view path) {
    TYX_TRY(validate_import_path(path));
    TYX_ASSIGN_OR_RETURN(std::string canonical, canonicalize_import_path(path));
    std::string parent = parent_text(canonical).value_or("");
    find_project_root(parent.empty() ? std::string(".") : parent);
    TYX_TRY(check_contained(canonical, path));
    TYX_TRY(remember(canonical, path));
    return canonical;
}

Result<std::string> DiskLoader::resolve_relative(std::string_view directory,
                                                 std::string_view path) {
    return resolve_disk_path_in_dir(directory, path);
}

std::string DiskLoader::parent_dir(std::string_view key) const {
    return parent_text(key).value_or("");
}

Result<std::string> DiskLoader::read_source(std::string_view key) const {
    std::string name = display_source_path(key, project_root());
    auto known = resolved_.find(std::string(key));
    std::string_view shown =
        known != resolved_.end() ? std::string_view(known->second.shown) : std::string_view(name);
    auto read_error = [&](std::string_view reason) {
        return CompileError::of(ErrorKind::Io, "cannot read " + name + ": " + std::string(reason));
    };
    if (key.find('\0') != std::string_view::npos) return read_error(system_error_text(EINVAL));

    // O_NOFOLLOW refuses a final link at the open itself, and O_NONBLOCK keeps a FIFO from
    // blocking the open; the descriptor is then checked to be the very file that was resolved.
    FileDescriptor file(
        ::open(std::string(key).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        int error = errno;
        if (error == ELOOP) return symlink_error(shown);
        return read_error(system_error_text(error));
    }
    struct stat info;
    if (::fstat(file.get(), &info) != 0) return read_error(system_error_text(errno));
    if (known != resolved_.end() && (static_cast<uint64_t>(info.st_dev) != known->second.device ||
                                     static_cast<uint64_t>(info.st_ino) != known->second.inode)) {
        return symlink_error(shown);
    }
    return read_opened_text(file.get(), info, name);
}

bool DiskLoader::is_plain_markdown(std::string_view key) const {
    return has_markdown_extension(key);
}

Status DiskLoader::set_base_dir(std::string_view directory) {
    RealPath canonical = real_path(directory);
    if (canonical.error != 0) {
        return CompileError::of(ErrorKind::Io, "cannot resolve base directory " +
                                                   std::string(directory) + ": " +
                                                   system_error_text(canonical.error));
    }
    find_project_root(canonical.path);
    return {};
}

void DiskLoader::set_canonical_base_dir(std::string_view directory) {
    find_project_root(std::string(directory));
}

// The base directory is canonicalised as a directory: "/" has no final component, and a
// directory given by the caller may itself be reached through links. A failure keeps the wording
// of a missing file, as for every other path the loader cannot resolve.
Result<std::string> DiskLoader::canonicalize(std::string_view path) {
    RealPath canonical = real_path(path);
    if (canonical.error != 0) {
        return CompileError::of(ErrorKind::Io, "cannot resolve path " + std::string(path) + ": " +
                                                   format_error_message(not_found_error(path)));
    }
    TYX_TRY(require_utf8_path(canonical.path));
    return canonical.path;
}

std::optional<std::string> DiskLoader::project_root() const {
    const std::optional<std::string>& root = this->root();
    if (!root || describe_invalid_utf8(*root)) return std::nullopt;
    return root;
}

}  // namespace tyx
