// Finishing the Markdown output of an entry template: line endings, trailing white space, the
// final newline and the frontmatter block written back in front.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tyx {

// Carriage returns removed, trailing white space trimmed, then exactly one "\n" unless empty.
std::string finalize_output(std::string text);

// `frontmatter` less its `imports` block and its `type: tyx` line, between "---" lines, in front
// of `body`; `body` unchanged when nothing of the frontmatter remains.
std::string prepend_frontmatter(const std::optional<std::string>& frontmatter, std::string body);

}  // namespace tyx
