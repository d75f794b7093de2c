#include "core/resolver/source_path.h"

#include <algorithm>

#include "core/resolver/loaders.h"

namespace tyx {
namespace {

bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::vector<std::string_view> split_slashes(std::string_view text) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (true) {
        size_t slash = text.find('/', start);
        if (slash == std::string_view::npos) {
            out.push_back(text.substr(start));
            return out;
        }
        out.push_back(text.substr(start, slash - start));
        start = slash + 1;
    }
}

std::vector<std::string> to_strings(const std::vector<std::string_view>& parts) {
    return std::vector<std::string>(parts.begin(), parts.end());
}

std::string join_segments(const std::vector<std::string>& segments) {
    std::string out;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) out += '/';
        out += segments[i];
    }
    return out;
}

// A relative path keeps its leading ".." segments: there is nothing above it to remove.
std::vector<std::string> relative_components(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view part : split_slashes(text)) {
        if (part.empty() || part == ".") continue;
        if (part == ".." && !out.empty() && out.back() != "..") {
            out.pop_back();
            continue;
        }
        out.emplace_back(part);
    }
    return out;
}

}  // namespace

std::optional<std::string> strip_verbatim_prefix(std::string_view text) {
    std::string out(text);
    std::replace(out.begin(), out.end(), '\\', '/');
    if (out.starts_with("//?/UNC/")) {
        out.erase(0, 8);
    } else if (out.starts_with("//?/")) {
        out.erase(0, 4);
    }
    if (out.empty()) return std::nullopt;
    return out;
}

bool is_absolute_source_path(std::string_view text) {
    if (text.find(":\\") != std::string_view::npos) return true;
    if (text.find(":/") != std::string_view::npos) return true;
    return text.size() >= 2 && is_ascii_letter(text[0]) && text[1] == ':';
}

std::vector<std::string> split_normalized_components(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view part : split_slashes(text)) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!out.empty()) out.pop_back();
            continue;
        }
        out.emplace_back(part);
    }
    return out;
}

std::optional<std::vector<std::string>> apply_relative_components(
    const std::vector<std::string>& stack, const std::vector<std::string>& segments) {
    std::vector<std::string> out = stack;
    for (const std::string& part : segments) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (out.empty()) return std::nullopt;
            out.pop_back();
            continue;
        }
        out.push_back(part);
    }
    return out;
}

std::string last_usable_component(const std::vector<std::string>& segments) {
    size_t end = segments.size();
    while (end > 0 && segments[end - 1] == "..")
        --end;
    if (end == 0) return "source";
    const std::string& last = segments[end - 1];
    if (last.empty() || last == "." || last.find('/') != std::string::npos ||
        last.find(":\\") != std::string::npos || last.find(":/") != std::string::npos ||
        (last.size() >= 2 && is_ascii_letter(last[0]) && last[1] == ':')) {
        return "source";
    }
    return last;
}

std::string display_source_path(std::string_view path, const std::optional<std::string>& root) {
    if (path.starts_with('<') && path.ends_with('>')) return std::string(path);
    std::optional<std::string> normalized = strip_verbatim_prefix(path);
    if (!normalized) return "source";
    const std::string& text = *normalized;
    bool absolute = text.starts_with('/') || is_absolute_source_path(text);
    std::vector<std::string> segments =
        absolute ? split_normalized_components(text) : relative_components(text);

    if (!root) {
        if (absolute || (!segments.empty() && segments.front() == "..")) {
            return last_usable_component(segments);
        }
        return segments.empty() ? "source" : join_segments(segments);
    }

    std::optional<std::string> stripped_root = strip_verbatim_prefix(*root);
    if (!stripped_root) return last_usable_component(segments);
    std::vector<std::string> root_segments = split_normalized_components(*stripped_root);

    std::vector<std::string> full;
    if (absolute) {
        full = std::move(segments);
    } else {
        std::optional<std::vector<std::string>> applied =
            apply_relative_components(root_segments, segments);
        if (!applied) return last_usable_component(segments);
        full = std::move(*applied);
    }

    if (full.size() < root_segments.size() ||
        !std::equal(root_segments.begin(), root_segments.end(), full.begin())) {
        return last_usable_component(full);
    }
    std::vector<std::string> rest(full.begin() + static_cast<std::ptrdiff_t>(root_segments.size()),
                                  full.end());
    std::string relative = rest.empty() ? std::string(".") : join_segments(rest);

    // The relative text must lead back to exactly the same path, or it would name another file.
    std::optional<std::vector<std::string>> round_trip =
        apply_relative_components(root_segments, to_strings(split_slashes(relative)));
    if (round_trip && *round_trip == full && !relative.starts_with('/') &&
        !is_absolute_source_path(relative)) {
        return relative;
    }
    return last_usable_component(full);
}

std::string display_source_path_with_root(std::string_view path, const ModuleLoader& loader) {
    return display_source_path(path, loader.project_root());
}

std::string_view path_file_name(std::string_view path) {
    size_t cut = path.find_last_of("/\\");
    if (cut == std::string_view::npos) return path;
    return path.substr(cut + 1);
}

}  // namespace tyx
