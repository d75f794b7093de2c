#include "core/resolver/output.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/format.h"
#include "core/keyed_tables.h"
#include "core/resolver/loaders.h"
#include "core/resolver/source_path.h"
#include "core/text.h"

namespace tyx {
namespace {

bool is_tyx_marker(std::string_view value) {
    return value == "tyx" || value == "\"tyx\"" || value == "'tyx'";
}

// The key must end where YAML ends a key, so that "imports:x: 1" is another key altogether.
bool opens_imports_block(std::string_view line) {
    constexpr std::string_view kKey = "imports:";
    return line.starts_with(kKey) &&
           (line.size() == kKey.size() || line[kKey.size()] == ' ' || line[kKey.size()] == '\t');
}

// Unindented lines that still belong to an imports list written at the margin: its entries and
// the comments between them.
bool continues_imports_block(std::string_view line) {
    if (line.front() == '#') return true;
    return line.front() == '-' && (line.size() == 1 || line[1] == ' ' || line[1] == '\t');
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        std::string_view line = newline == std::string_view::npos
                                    ? text.substr(start)
                                    : text.substr(start, newline - start);
        if (newline != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        if (newline == std::string_view::npos) break;
        start = newline + 1;
    }
    return lines;
}

}  // namespace

std::string finalize_output(std::string text) {
    if (text.find('\r') != std::string::npos) std::erase(text, '\r');
    text.resize(trim_trailing_white_space(text).size());
    if (!text.empty()) text += '\n';
    return text;
}

std::string prepend_frontmatter(std::optional<std::string_view> frontmatter, std::string body) {
    if (!frontmatter) return body;
    std::string collected;
    bool in_imports = false;
    for (std::string_view line : split_lines(*frontmatter)) {
        if (line.empty()) {
            if (in_imports) continue;
        } else if (line.front() == ' ' || line.front() == '\t') {
            if (in_imports) continue;
            collected.append(line);
            collected += '\n';
            continue;
        } else if (in_imports && continues_imports_block(line)) {
            continue;
        } else if (opens_imports_block(line)) {
            in_imports = true;
            continue;
        } else if (line.starts_with("type:") &&
                   is_tyx_marker(trim_white_space(line.substr(std::string_view("type:").size())))) {
            in_imports = false;
            continue;
        }
        in_imports = false;
        collected.append(line);
        collected += '\n';
    }
    // Whole blank lines only: the edges of the first and last lines kept are part of values.
    const std::string_view kept = trim_blank_lines(collected);
    if (kept.empty()) return body;
    std::string out;
    out.reserve(kept.size() + body.size() + 9);
    out += "---\n";
    out += kept;
    out += "\n---\n";
    out += body;
    return out;
}

std::optional<MapBuilder> apply_source_map_limits(MapBuilder builder, bool sources_content,
                                                  std::vector<std::string>& warnings) {
    if (builder.segments_overflowed()) {
        warnings.push_back("source map segment cap (" + decimal(MAX_SOURCE_MAP_SEGMENTS) +
                           " segments) exceeded; no source map will be generated");
        return std::nullopt;
    }
    uint64_t total = 0;
    for (const SharedText& content : builder.source_contents()) {
        total += content->size();
    }
    // Tested whether or not the contents were asked for, so the warning does not depend on it.
    if (total > MAX_SOURCES_CONTENT_SIZE) {
        warnings.push_back("sourcesContent total size (" + decimal(total) + " bytes) exceeds the " +
                           decimal(MAX_SOURCES_CONTENT_SIZE) +
                           " byte ceiling; sourcesContent will be omitted from the source map");
        builder.omit_sources_content = true;
    }
    if (!sources_content) builder.omit_sources_content = true;
    return builder;
}

SourceMap finish_entry_source_map(MapBuilder builder, std::string_view rendered,
                                  std::string_view output, std::size_t prefix_length) {
    return MapBuilder::finish(std::move(builder), rendered, output, prefix_length, std::nullopt);
}

namespace {

// The entry given as text is registered under this key; a map lists it under a file name, which
// is what its consumers expect.
constexpr std::string_view kEntryTextKey = "<source>";
constexpr std::string_view kEntryTextName = "input.tyx";

std::string usual_source_name(std::string_view key, const std::optional<std::string>& root) {
    if (key == kEntryTextKey) return std::string(kEntryTextName);
    return display_source_path(key, root);
}

// The segments from index `from` on, "/"-separated.
std::string joined_from(const std::vector<std::string>& segments, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < segments.size(); ++i) {
        if (i > from) out += '/';
        out += segments[i];
    }
    return out;
}

// Longer names that still lead to the source of `key`, shortest first: for a file inside the
// project root, its relative paths from the directories above the root; for one shown by the
// end of its path, longer ends of it; then its whole normalised path. None for a relative key
// without a root, which is shown whole already.
std::vector<std::string> longer_source_names(std::string_view key,
                                             const std::optional<std::string>& root) {
    if (key == kEntryTextKey) return {std::string(kEntryTextKey)};
    const std::optional<std::string> path = strip_verbatim_prefix(key);
    const std::optional<std::string> root_path = root ? strip_verbatim_prefix(*root) : std::nullopt;
    if (!path) return {};
    const bool absolute = path->starts_with('/') || is_absolute_source_path(*path);
    if (!absolute && !root_path) return {};
    const std::string& whole = absolute ? *path : *root_path + "/" + *path;
    const std::vector<std::string> full = split_normalized_components(whole);
    const std::vector<std::string> root_segments =
        root_path ? split_normalized_components(*root_path) : std::vector<std::string>();

    std::vector<std::string> names;
    if (root_path && full.size() > root_segments.size() &&
        std::equal(root_segments.begin(), root_segments.end(), full.begin())) {
        // No relative path climbs above a drive letter.
        const std::size_t height =
            root_segments.size() -
            (!root_segments.empty() && is_absolute_source_path(root_segments.front()) ? 1 : 0);
        std::string up;
        for (std::size_t climbed = 1; climbed <= height; ++climbed) {
            up += "../";
            names.push_back(up + joined_from(full, root_segments.size() - climbed));
        }
    } else {
        for (std::size_t kept = 2; kept < full.size(); ++kept)
            names.push_back(joined_from(full, full.size() - kept));
    }
    names.push_back((whole.starts_with('/') ? "/" : "") + joined_from(full, 0));
    return names;
}

// A name for the source of `key` that no name in `taken` is; numbered after its usual name when
// no longer one is free.
std::string distinct_source_name(std::string_view key, const std::string& usual,
                                 const std::optional<std::string>& root,
                                 const KeyedTextSet& taken) {
    for (std::string& name : longer_source_names(key, root)) {
        if (!taken.contains(name)) return std::move(name);
    }
    for (uint64_t number = 2;; ++number) {
        std::string numbered = usual + " (" + decimal(number) + ")";
        if (!taken.contains(numbered)) return numbered;
    }
}

}  // namespace

void relativize_source_map_sources(SourceMap& map, const ModuleLoader& loader) {
    const std::optional<std::string> root = loader.project_root();
    std::vector<std::string> names;
    names.reserve(map.sources.size());
    for (const std::string& key : map.sources)
        names.push_back(usual_source_name(key, root));
    // Consumers take equal names for one source. The first source of a name keeps it; a later
    // one is renamed to a name that no source has, so no other source changes for it.
    KeyedTextSet taken(names.begin(), names.end());
    KeyedTextSet claimed;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (claimed.insert(names[i]).second) continue;
        names[i] = distinct_source_name(map.sources[i], names[i], root, taken);
        taken.insert(names[i]);
    }
    map.sources = std::move(names);
}

}  // namespace tyx
