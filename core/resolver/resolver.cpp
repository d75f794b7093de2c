#include "core/resolver/resolver.h"
#include "core/text.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "core/format.h"
#include "core/resolver/output.h"
#include "core/resolver/source_path.h"

namespace tyx {

Resolver::Resolver() : loader_(std::make_unique<DiskLoader>()) {}

Resolver::Resolver(std::unique_ptr<ModuleLoader> loader) : loader_(std::move(loader)) {}

Resolver new_virtual_resolver(ModuleMap modules) {
    return Resolver(std::make_unique<VirtualLoader>(std::move(modules)));
}

const CompiledModulePtr* Resolver::find_module(std::string_view key) const {
    auto found = cache_index_.find(std::string(key));
    if (found == cache_index_.end()) return nullptr;
    return &cache_order_[found->second].second;
}

void Resolver::store_module(std::string key, CompiledModulePtr module) {
    auto found = cache_index_.find(key);
    if (found != cache_index_.end()) {
        cache_order_[found->second].second = std::move(module);
        return;
    }
    cache_index_.emplace(key, cache_order_.size());
    cache_order_.emplace_back(std::move(key), std::move(module));
}

std::vector<std::string> Resolver::dependencies(std::optional<std::string_view> leave_out) const {
    std::vector<std::string> keys;
    keys.reserve(cache_order_.size());
    for (const auto& [key, unused] : cache_order_) {
        if (!leave_out || key != *leave_out) keys.push_back(key);
    }
    return keys;
}

bool Resolver::is_resolving(std::string_view key) const {
    return std::find(stack_.begin(), stack_.end(), key) != stack_.end();
}

std::optional<std::string> Resolver::pop_resolving() {
    if (stack_.empty()) return std::nullopt;
    std::string key = std::move(stack_.back());
    stack_.pop_back();
    return key;
}

Status check_stack_pop(const std::optional<std::string>& popped, std::string_view expected) {
    if (popped && *popped == expected) return {};
    return new_syntax_error("internal error: resolving stack LIFO invariant violated (expected " +
                            std::string(expected) + ", got " + popped.value_or("<empty>") +
                            ") — this is a compiler bug, please report it");
}

Result<BaseDirectory> resolve_base_dir(const std::optional<std::string>& base_path) {
    if (!base_path || base_path->empty()) {
        char* current = ::getcwd(nullptr, 0);
        if (current == nullptr) {
            return CompileError::of(
                ErrorKind::Io, "cannot determine current directory: " + system_error_text(errno));
        }
        std::string directory(current);
        std::free(current);
        if (describe_invalid_utf8(directory)) {
            return CompileError::of(ErrorKind::Io, "current directory path is not valid UTF-8");
        }
        return BaseDirectory{std::move(directory)};
    }
    if (describe_invalid_utf8(*base_path)) {
        return CompileError::of(ErrorKind::Io, "base_dir path is not valid UTF-8");
    }
    auto cannot_resolve = [&](int error) {
        return CompileError::of(ErrorKind::Io, "cannot resolve base directory " + *base_path +
                                                   ": " + system_error_text(error));
    };
    if (base_path->find('\0') != std::string::npos) return cannot_resolve(EINVAL);
    char* resolved = ::realpath(base_path->c_str(), nullptr);
    if (resolved == nullptr) return cannot_resolve(errno);
    std::string directory(resolved);
    std::free(resolved);
    if (describe_invalid_utf8(directory)) {
        return CompileError::of(ErrorKind::Io, "base_dir path is not valid UTF-8");
    }
    return BaseDirectory{std::move(directory)};
}

Result<std::string> path_to_utf8_string(std::string_view path) {
    if (describe_invalid_utf8(path)) {
        return CompileError::of(ErrorKind::Io, "path is not valid UTF-8");
    }
    return std::string(path);
}

bool scan_frontmatter_type_line(std::string_view frontmatter) {
    size_t start = 0;
    while (start <= frontmatter.size()) {
        size_t newline = frontmatter.find('\n', start);
        std::string_view line = newline == std::string_view::npos
                                    ? frontmatter.substr(start)
                                    : frontmatter.substr(start, newline - start);
        if (newline != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        // An indented line belongs to a nested mapping, so it cannot mark the module.
        bool indented = !line.empty() && trim_leading_white_space(line).size() != line.size();
        if (!indented && line.starts_with("type:")) {
            std::string_view value = trim_white_space(line.substr(5));
            if (value == "tyx" || value == "\"tyx\"" || value == "'tyx'") return true;
        }
        if (newline == std::string_view::npos) break;
        start = newline + 1;
    }
    return false;
}

Status check_tyx_module(std::string_view key, std::string_view text) {
    std::optional<std::string_view> extension = file_extension(path_file_name(key));
    if (extension == "tyx") return {};
    if (extension == "md") {
        size_t opening = text.starts_with("---\n") ? 4 : text.starts_with("---\r\n") ? 5 : 0;
        if (opening != 0) {
            std::string_view rest = text.substr(opening);
            size_t closing = rest.find("\n---");
            if (closing != std::string_view::npos &&
                scan_frontmatter_type_line(rest.substr(0, closing))) {
                return {};
            }
        }
    }
    return CompileError::of(ErrorKind::NotTyx, std::string(key));
}

std::string format_cycle_chain(const std::vector<std::string>& stack, std::string_view key) {
    auto first = std::find(stack.begin(), stack.end(), key);
    if (first == stack.end()) first = stack.begin();
    std::string chain;
    for (auto it = first; it != stack.end(); ++it) {
        chain += path_file_name(*it);
        chain += " → ";
    }
    chain += path_file_name(key);
    return chain;
}

}  // namespace tyx
