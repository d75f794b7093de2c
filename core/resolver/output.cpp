#include "core/resolver/output.h"

#include <vector>

#include "core/text.h"

namespace tyx {
namespace {

bool is_tyx_marker(std::string_view value) {
    return value == "tyx" || value == "\"tyx\"" || value == "'tyx'";
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
        } else if (line.starts_with("imports:")) {
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
    std::string_view kept = trim_white_space(collected);
    if (kept.empty()) return body;
    std::string out;
    out.reserve(kept.size() + body.size() + 9);
    out += "---\n";
    out += kept;
    out += "\n---\n";
    out += body;
    return out;
}

}  // namespace tyx
