#include "core/resolver/lint_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "core/format.h"
#include "core/lint/lint.h"
#include "core/resolver/lib.h"

namespace tyx {
namespace {

class OpenFile {
  public:
    explicit OpenFile(int fd) : fd_(fd) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Each gate owns its resolver, so that returning from it releases every module it compiled
// before the lint engine runs; the output and the warnings are dropped with it.
Status check_gate_source(std::string_view text, const BaseDirectory& base_dir,
                         const VarsMap* vars) {
    Resolver resolver;
    std::vector<std::string> warnings;
    TYX_TRY(compile_root_source(resolver, text, base_dir, vars, warnings));
    return {};
}

Status check_gate_path(std::string_view path, const VarsMap* vars) {
    Resolver resolver;
    std::vector<std::string> warnings;
    TYX_TRY(compile_entry_path(resolver, path, vars, warnings));
    return {};
}

Status check_gate_key(ModuleMap modules, std::string_view entry, const VarsMap* vars) {
    Resolver resolver = new_virtual_resolver(std::move(modules));
    std::vector<std::string> warnings;
    TYX_TRY(compile_entry_key_without_map(resolver, entry, vars, warnings));
    return {};
}

}  // namespace

Result<LintResult> lint_source_text(std::string_view text, const BaseDirectory& base_dir,
                                    const VarsMap* vars, const RuleSeverityMap& rules) {
    TYX_TRY(check_gate_source(text, base_dir, vars));
    return lint_source(text, LINT_SOURCE_FILE_NAME, rules);
}

Result<LintResult> lint_entry_path(std::string_view path, const VarsMap* vars,
                                   const RuleSeverityMap& rules) {
    TYX_TRY(check_gate_path(path, vars));
    TYX_ASSIGN_OR_RETURN(std::string text, read_lint_file(path));
    return lint_source(text, lint_file_name(path), rules);
}

Result<LintResult> lint_entry_key(ModuleMap modules, std::string_view entry, const VarsMap* vars,
                                  const RuleSeverityMap& rules) {
    auto found = modules.find(entry);
    if (found == modules.end()) {
        return CompileError::of(ErrorKind::ModuleNotFound, std::string(entry));
    }
    // The map moves into the gate's loader, which is gone by the time the text is linted.
    std::string text = found->second;
    TYX_TRY(check_gate_key(std::move(modules), entry, vars));
    return lint_source(text, entry, rules);
}

std::string_view lint_file_name(std::string_view path) {
    return last_path_component(path).value_or(path);
}

Result<std::string> read_lint_file(std::string_view path) {
    const std::string shown(path);
    auto read_error = [&](std::string_view reason) {
        return CompileError::of(ErrorKind::Io, "cannot read " + shown + ": " + std::string(reason));
    };
    auto too_large = [&](uint64_t size) {
        return CompileError::of(ErrorKind::ResourceLimit,
                                "file too large (" + decimal(size) + " bytes, max " +
                                    decimal(MAX_SOURCE_SIZE) + " bytes): " + shown);
    };
    if (path.find('\0') != std::string_view::npos) return read_error(system_error_text(EINVAL));

    // The gate refused a final link and anything but a regular file; the same flags as the
    // loader's keep a file swapped since then from being followed or from blocking the open.
    OpenFile file(::open(shown.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return read_error(system_error_text(errno));
    struct stat info;
    if (::fstat(file.get(), &info) != 0) return read_error(system_error_text(errno));
    if (S_ISDIR(info.st_mode)) return read_error(system_error_text(EISDIR));
    if (!S_ISREG(info.st_mode)) return read_error("not a regular file");
    if (info.st_size > static_cast<off_t>(MAX_SOURCE_SIZE)) {
        return too_large(static_cast<uint64_t>(info.st_size));
    }

    // The file may have grown since fstat: reading stops one byte past the limit.
    std::string text;
    text.resize(static_cast<size_t>(info.st_size) + 1);
    size_t filled = 0;
    while (filled <= MAX_SOURCE_SIZE) {
        if (filled == text.size()) {
            text.resize(std::min<size_t>(text.size() * 2, MAX_SOURCE_SIZE + 1));
        }
        ssize_t count = ::read(file.get(), text.data() + filled, text.size() - filled);
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
        return CompileError::of(ErrorKind::Io, "invalid UTF-8 in " + shown + ": " + *fault);
    }
    return text;
}

}  // namespace tyx
