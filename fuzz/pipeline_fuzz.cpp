// Compiles an entry and up to four modules of a virtual module map, with and without a source
// map, and checks that the map changes nothing else, that a check agrees with a compilation,
// that Markdown output is finished text and that a map is a well-formed version 3 map of it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/resolver/lib.h"
#include "fuzz_modules.h"

namespace {

using fuzz::require;

struct Run {
    tyx::Result<tyx::CompileOutput> outcome;
    std::vector<std::string> warnings;
};

Run compile(const tyx::ModuleMap& modules, const tyx::CompileOptions& options) {
    tyx::Resolver resolver = tyx::new_virtual_resolver(modules);
    std::vector<std::string> warnings;
    auto outcome =
        tyx::compile_entry_key(resolver, fuzz::ENTRY_KEY, &fuzz::fuzz_vars(), options, warnings);
    return Run{std::move(outcome), std::move(warnings)};
}

Run check(const tyx::ModuleMap& modules) {
    tyx::Resolver resolver = tyx::new_virtual_resolver(modules);
    std::vector<std::string> warnings;
    auto outcome =
        tyx::compile_entry_key_without_map(resolver, fuzz::ENTRY_KEY, &fuzz::fuzz_vars(), warnings);
    return Run{std::move(outcome), std::move(warnings)};
}

// The warnings only a run with a map gives: about the map itself.
bool is_map_warning(std::string_view warning) {
    return warning.starts_with("source map") || warning.starts_with("sourcesContent");
}

std::vector<std::string> without_map_warnings(std::vector<std::string> warnings) {
    std::erase_if(warnings, [](const std::string& warning) { return is_map_warning(warning); });
    return warnings;
}

void require_same_error(const tyx::CompileError& a, const tyx::CompileError& b) {
    require(a.kind == b.kind && tyx::format_error_message(a) == tyx::format_error_message(b));
}

void require_same_body(const tyx::CompileOutput& a, const tyx::CompileOutput& b) {
    require(a.is_markdown() == b.is_markdown());
    if (a.is_markdown()) {
        require(std::get<tyx::MarkdownOutput>(a.body).text ==
                std::get<tyx::MarkdownOutput>(b.body).text);
        return;
    }
    const auto& left = std::get<std::vector<tyx::Message>>(a.body);
    const auto& right = std::get<std::vector<tyx::Message>>(b.body);
    require(left == right);
}

void require_finished_markdown(std::string_view text) {
    require(text.find('\r') == std::string_view::npos);
    if (text.empty()) return;
    require(text.back() == '\n');
    require(text.size() == 1 || text[text.size() - 2] != '\n');
}

// The UTF-16 code units of each line of `text`, lines ending at "\n".
std::vector<int64_t> line_units(std::string_view text) {
    std::vector<int64_t> units{0};
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            units.push_back(0);
        } else if ((byte & 0xC0) != 0x80) {
            units.back() += byte >= 0xF0 ? 2 : 1;
        }
    }
    return units;
}

// One base64 VLQ number of `mappings` from `at`; nothing when it is malformed.
std::optional<int64_t> read_vlq(std::string_view mappings, size_t& at) {
    static constexpr std::string_view kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 5) {
        if (at >= mappings.size()) return std::nullopt;
        const size_t digit = kDigits.find(mappings[at++]);
        if (digit == std::string_view::npos) return std::nullopt;
        value |= static_cast<uint64_t>(digit & 31) << shift;
        if ((digit & 32) == 0) {
            const auto magnitude = static_cast<int64_t>(value >> 1);
            return (value & 1) != 0 ? -magnitude : magnitude;
        }
    }
    return std::nullopt;
}

// Every segment lies within the generated text and within its source where the content is
// given, generated columns grow strictly along a line, and every index names an entry.
void check_mappings(std::string_view mappings, std::string_view output,
                    const std::vector<std::optional<std::string>>& contents, size_t name_count) {
    const std::vector<int64_t> generated_lines = line_units(output);
    std::vector<std::optional<std::vector<int64_t>>> source_lines;
    for (const auto& content : contents) {
        if (content) {
            source_lines.emplace_back(line_units(*content));
        } else {
            source_lines.emplace_back();
        }
    }
    size_t line = 0;
    int64_t column = 0;
    std::optional<int64_t> previous_column;
    int64_t fields[5] = {0, 0, 0, 0, 0};
    size_t at = 0;
    while (at < mappings.size()) {
        if (mappings[at] == ';') {
            ++line;
            column = 0;
            previous_column.reset();
            ++at;
            continue;
        }
        if (mappings[at] == ',') {
            require(previous_column.has_value());
            ++at;
        }
        require(line < generated_lines.size());
        int count = 0;
        while (at < mappings.size() && mappings[at] != ',' && mappings[at] != ';') {
            require(count < 5);
            const std::optional<int64_t> delta = read_vlq(mappings, at);
            require(delta.has_value());
            if (count == 0) {
                column += *delta;
            } else {
                fields[count] += *delta;
            }
            ++count;
        }
        require(count == 1 || count == 4 || count == 5);
        require(column >= 0 && column <= generated_lines[line]);
        require(!previous_column || column > *previous_column);
        previous_column = column;
        if (count == 1) continue;
        const int64_t source = fields[1];
        const int64_t source_line = fields[2];
        const int64_t source_column = fields[3];
        require(source >= 0 && static_cast<size_t>(source) < contents.size());
        require(source_line >= 0 && source_column >= 0);
        if (const auto& lines = source_lines[static_cast<size_t>(source)]) {
            require(static_cast<size_t>(source_line) < lines->size());
            require(source_column <= (*lines)[static_cast<size_t>(source_line)]);
        }
        if (count == 5) require(fields[4] >= 0 && static_cast<size_t>(fields[4]) < name_count);
    }
}

// The map goes through the canonical result to text and back, as a binding would hand it on.
void check_map(tyx::CompileOutput output, std::vector<std::string> warnings) {
    const std::string text = std::get<tyx::MarkdownOutput>(output.body).text;
    const std::string wire =
        tyx::CoreCompileResult::to_canonical_json(
            tyx::CoreCompileResult::from_output(std::move(output), std::move(warnings), {}))
            ->dump();
    const nlohmann::json parsed = nlohmann::json::parse(wire);
    require(parsed.at("output") == text);
    const nlohmann::json& map = parsed.at("sourceMap");
    require(map.at("version") == 3);
    const auto& sources = map.at("sources");
    std::set<std::string> names_seen;
    std::vector<std::optional<std::string>> contents;
    for (const auto& source : sources) {
        require(names_seen.insert(source.get<std::string>()).second);
        contents.emplace_back();
    }
    if (map.contains("sourcesContent")) {
        const auto& given = map.at("sourcesContent");
        require(given.size() == sources.size());
        for (size_t i = 0; i < given.size(); ++i) {
            if (given[i].is_string()) contents[i] = given[i].get<std::string>();
        }
    }
    check_mappings(map.at("mappings").get<std::string>(), text, contents, map.at("names").size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // Every caller hands the core UTF-8: the binding encodes strings, the loaders check files.
    if (tyx::describe_invalid_utf8(input)) return 0;
    const tyx::ModuleMap modules = fuzz::split_modules(input);

    Run plain = compile(modules, tyx::CompileOptions{});
    Run checked = check(modules);
    require(plain.outcome.ok() == checked.outcome.ok());
    require(plain.warnings == checked.warnings);
    if (!plain.outcome.ok()) {
        require_same_error(plain.outcome.error(), checked.outcome.error());
    } else {
        require_same_body(*plain.outcome, *checked.outcome);
        if (plain.outcome->is_markdown()) {
            require_finished_markdown(std::get<tyx::MarkdownOutput>(plain.outcome->body).text);
        }
    }

    // With the sources' content on every other input, so that both forms of a map are met.
    const bool with_content = size % 2 == 1;
    Run mapped = compile(modules, tyx::CompileOptions{true, with_content});
    require(mapped.outcome.ok() == plain.outcome.ok());
    require(without_map_warnings(mapped.warnings) == plain.warnings);
    if (!plain.outcome.ok()) {
        require_same_error(plain.outcome.error(), mapped.outcome.error());
        return 0;
    }
    require_same_body(*plain.outcome, *mapped.outcome);
    if (!mapped.outcome->is_markdown()) return 0;
    if (std::get<tyx::MarkdownOutput>(mapped.outcome->body).source_map) {
        check_map(std::move(*mapped.outcome), std::move(mapped.warnings));
    }
    return 0;
}
