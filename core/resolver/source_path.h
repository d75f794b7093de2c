// Display paths: how a module key or source name is shown to the user, relative to the project
// root when one is known, so that results do not depend on where the project lies on disk.
// Pure string functions; "/" and "\" separators, drive letters and "//?/" prefixes are accepted.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyx {

class ModuleLoader;

// Every "\" replaced by "/", then a leading "//?/UNC/" or "//?/" removed; none when empty.
std::optional<std::string> strip_verbatim_prefix(std::string_view text);
// A drive letter or ":\" / ":/" anywhere; the leading-"/" case is the caller's.
bool is_absolute_source_path(std::string_view text);
// "/"-separated segments without empty and "." ones; ".." removes the one before it.
std::vector<std::string> split_normalized_components(std::string_view text);
// None when a ".." finds the stack empty.
std::optional<std::vector<std::string>> apply_relative_components(
    const std::vector<std::string>& stack, const std::vector<std::string>& segments);
// The fallback name: the last segment that can stand alone, else "source".
std::string last_usable_component(const std::vector<std::string>& segments);

std::string display_source_path(std::string_view path, const std::optional<std::string>& root);
std::string display_source_path_with_root(std::string_view path, const ModuleLoader& loader);
// The text after the last "/" or "\"; the whole path when it has neither.
std::string_view path_file_name(std::string_view path);

}  // namespace tyx
