// Finishing the Markdown output of an entry template: line endings, trailing white space, the
// final newline and the frontmatter block written back in front; and the limits and last
// touches of its source map.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/sourcemap.h"

namespace tyx {

class ModuleLoader;

// Summed bytes of the source texts one map may embed as `sourcesContent`; past it the map is
// kept without them.
inline constexpr std::size_t MAX_SOURCES_CONTENT_SIZE = 52'428'800;

// Carriage returns removed, trailing white space trimmed, then exactly one "\n" unless empty.
std::string finalize_output(std::string text);

// `frontmatter` less its `imports` block and its `type: tyx` line, between "---" lines, in front
// of `body`; `body` unchanged when nothing of the frontmatter remains.
std::string prepend_frontmatter(std::optional<std::string_view> frontmatter, std::string body);

// The builder, unless it overflowed its segment cap; with `sourcesContent` switched off when
// the sources are too large or were not asked for. Appends at most one warning.
std::optional<MapBuilder> apply_source_map_limits(MapBuilder builder, bool sources_content,
                                                  std::vector<std::string>& warnings);

// The map of `output`, in which `prefix_length` bytes of frontmatter stand before the finished
// form of `rendered`.
SourceMap finish_entry_source_map(MapBuilder builder, std::string_view rendered,
                                  std::string_view output, std::size_t prefix_length);

// The map's sources as display paths relative to the loader's project root, in their order, the
// entry given as text named "input.tyx". No two are alike: a source whose name an earlier one
// has is given a longer name that still leads to it, or failing that a numbered one.
void relativize_source_map_sources(SourceMap& map, const ModuleLoader& loader);

}  // namespace tyx
