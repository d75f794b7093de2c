#include "core/resolver/output.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/format.h"
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

std::string prepend_frontmatter(const std::optional<std::string>& frontmatter, std::string body) {
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
    for (const std::shared_ptr<const std::string>& content : builder.source_contents()) {
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

void relativize_source_map_sources(SourceMap& map, const ModuleLoader& loader) {
    const std::optional<std::string> root = loader.project_root();
    for (std::string& name : map.sources)
        name = display_source_path(name, root);
}

}  // namespace tyx
