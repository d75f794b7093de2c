#include <vector>

#include "core/format.h"
#include "core/resolver/loaders.h"

namespace tyx {
namespace {

CompileError segment_limit_error(std::string_view path) {
    return CompileError::of(ErrorKind::ResourceLimit,
                            "import path exceeds maximum segment count (" +
                                decimal(MAX_MODULE_KEY_SEGMENTS) + "): \"" + std::string(path) +
                                "\"");
}

template <class Visit>
void for_each_segment(std::string_view text, Visit visit) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t slash = text.find('/', start);
        if (slash == std::string_view::npos) slash = text.size();
        if (!visit(text.substr(start, slash - start))) return;
        start = slash + 1;
    }
}

}  // namespace

Result<std::string> VirtualLoader::resolve(std::string_view path) {
    TYX_TRY(validate_import_path(path));
    size_t count = 0;
    for_each_segment(path, [&](std::string_view segment) {
        if (!segment.empty() && segment != ".") ++count;
        return true;
    });
    if (count > MAX_MODULE_KEY_SEGMENTS) return segment_limit_error(path);
    return std::string(path);
}

Result<std::string> VirtualLoader::resolve_relative(std::string_view directory,
                                                    std::string_view path) {
    TYX_TRY(validate_import_path(path));
    // The directory's segments are taken as written: a key such as "./main.tyx" keeps its "."
    // so that keys differing in it stay different keys.
    std::vector<std::string_view> stack;
    for_each_segment(directory, [&](std::string_view segment) {
        if (!segment.empty()) stack.push_back(segment);
        return true;
    });
    std::optional<CompileError> failure;
    for_each_segment(path, [&](std::string_view segment) {
        if (segment.empty() || segment == ".") return true;
        if (segment == "..") {
            if (stack.empty()) {
                failure = CompileError::of(
                    ErrorKind::Import,
                    "import path escapes project directory: \"" + std::string(path) + "\"");
                return false;
            }
            stack.pop_back();
            return true;
        }
        if (stack.size() >= MAX_MODULE_KEY_SEGMENTS) {
            failure = segment_limit_error(path);
            return false;
        }
        stack.push_back(segment);
        return true;
    });
    if (failure) return std::move(*failure);
    if (stack.empty()) {
        return CompileError::of(ErrorKind::Import,
                                "import path resolves to empty key: \"" + std::string(path) + "\"");
    }
    std::string key;
    for (size_t i = 0; i < stack.size(); ++i) {
        if (i > 0) key += '/';
        key += stack[i];
    }
    return key;
}

std::string VirtualLoader::parent_dir(std::string_view key) const {
    size_t slash = key.rfind('/');
    if (slash == std::string_view::npos) return {};
    return std::string(key.substr(0, slash));
}

Result<std::string> VirtualLoader::read_source(std::string_view key) const {
    auto found = modules_.find(key);
    if (found == modules_.end())
        return CompileError::of(ErrorKind::ModuleNotFound, std::string(key));
    if (found->second.size() > MAX_SOURCE_SIZE) {
        return CompileError::of(ErrorKind::ResourceLimit,
                                "file too large (" + decimal(found->second.size()) +
                                    " bytes, max " + decimal(MAX_SOURCE_SIZE) +
                                    " bytes): " + std::string(key));
    }
    return found->second;
}

bool VirtualLoader::is_plain_markdown(std::string_view key) const {
    return has_markdown_extension(key);
}

Status VirtualLoader::set_base_dir(std::string_view) {
    return {};
}

Result<std::string> VirtualLoader::canonicalize(std::string_view path) {
    return std::string(path);
}

std::optional<std::string> VirtualLoader::project_root() const {
    return std::nullopt;
}

}  // namespace tyx
