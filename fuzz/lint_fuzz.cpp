// Lints the entry of a virtual module map under a few rule settings and checks what a fixing
// tool relies on: every span and fix lies within the source, and a template that passes the
// check still passes it once the fix edits are applied, one diagnostic's or all fixable ones'.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/lint/diagnostic.h"
#include "core/lint/lint_entry.h"
#include "core/resolver/lib.h"
#include "fuzz_modules.h"

namespace {

using fuzz::require;

// Each fixed text costs a compilation; the rest of a long list adds little.
constexpr size_t kMaxDiagnosticsFixedAlone = 4;

bool passes_check(const tyx::ModuleMap& modules) {
    tyx::Resolver resolver = tyx::new_virtual_resolver(modules);
    std::vector<std::string> warnings;
    return tyx::compile_entry_key_without_map(resolver, fuzz::ENTRY_KEY, &fuzz::fuzz_vars(),
                                              warnings)
        .ok();
}

// A single-brace interpolation or role is migrated to double braces: the fix turns literal text
// into an expression on purpose, so the fixed template needs the names it reads and may not pass.
bool is_migration(const tyx::LintDiagnostic& diagnostic) {
    return diagnostic.rule == tyx::RULE_LEGACY_INTERPOLATION &&
           std::string_view(diagnostic.message).starts_with("legacy single-brace");
}

// Whether the edits of a diagnostic count toward a fix of everything fixable that keeps the
// template's meaning; the edits are what a tool applies, the ranges only mark a diagnostic as
// fixable.
bool is_fixable(const tyx::LintDiagnostic& diagnostic, bool fix_unused_allowed) {
    if (!diagnostic.fix_edits || is_migration(diagnostic)) return false;
    if (diagnostic.rule == tyx::RULE_UNUSED_IMPORT ||
        diagnostic.rule == tyx::RULE_UNUSED_FUNCTION) {
        return fix_unused_allowed;
    }
    return true;
}

// Applies the edits in order of their start, leaving out any that overlaps one already taken.
std::string apply_edits(std::string_view source, std::vector<tyx::FixEdit> edits) {
    std::stable_sort(edits.begin(), edits.end(),
                     [](const auto& a, const auto& b) { return a.start < b.start; });
    std::string fixed;
    uint64_t done = 0;
    for (const tyx::FixEdit& edit : edits) {
        if (edit.start < done) continue;
        fixed.append(source.substr(done, edit.start - done));
        fixed += edit.new_text;
        done = edit.end;
    }
    fixed.append(source.substr(done));
    return fixed;
}

void check_fixed(tyx::ModuleMap modules, std::string_view source, std::vector<tyx::FixEdit> edits) {
    modules[std::string(fuzz::ENTRY_KEY)] = apply_edits(source, std::move(edits));
    require(passes_check(modules));
}

void check_positions(const tyx::LintResult& result, std::string_view source) {
    for (const tyx::LintDiagnostic& diagnostic : result.diagnostics) {
        require(diagnostic.severity != tyx::Severity::Off);
        if (diagnostic.span) {
            require(diagnostic.span->offset <= source.size());
            require(diagnostic.span->length <= source.size() - diagnostic.span->offset);
        }
        if (diagnostic.fix_ranges) {
            require(!diagnostic.fix_ranges->empty());
            for (const tyx::FixRange& range : *diagnostic.fix_ranges)
                require(range.start <= range.end && range.end <= source.size());
        }
        if (diagnostic.fix_edits) {
            require(!diagnostic.fix_edits->empty());
            for (const tyx::FixEdit& edit : *diagnostic.fix_edits)
                require(edit.start <= edit.end && edit.end <= source.size());
        }
    }
}

// The defaults, every rule at one level, and every rule at a level the input picks.
std::vector<tyx::RuleSeverityMap> rule_settings(std::string_view input) {
    std::vector<tyx::RuleSeverityMap> settings(3);
    uint64_t pick = 0;
    for (char c : input.substr(0, 8))
        pick = pick * 31 + static_cast<unsigned char>(c);
    for (std::string_view rule : tyx::KNOWN_RULES) {
        settings[1][std::string(rule)] = tyx::Severity::Info;
        settings[2][std::string(rule)] = static_cast<tyx::Severity>(pick % 4);
        pick /= 4;
    }
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // Every caller hands the core UTF-8: the binding encodes strings, the loaders check files.
    if (tyx::describe_invalid_utf8(input)) return 0;
    const tyx::ModuleMap modules = fuzz::split_modules(input);
    const std::string source = modules.at(std::string(fuzz::ENTRY_KEY));
    const bool passes = passes_check(modules);

    std::vector<tyx::FixEdit> all_edits;
    size_t fixed_alone = 0;
    for (const tyx::RuleSeverityMap& rules : rule_settings(input)) {
        auto linted = tyx::lint_entry_key(modules, fuzz::ENTRY_KEY, &fuzz::fuzz_vars(), rules);
        // The gate is the check: linting fails exactly when the check does, unless the lint
        // engine itself refuses the template.
        if (!passes) require(!linted.ok());
        if (!linted.ok()) continue;
        require(passes);
        check_positions(*linted, source);
        for (const tyx::LintDiagnostic& diagnostic : linted->diagnostics) {
            if (!is_fixable(diagnostic, linted->fix_unused_allowed)) continue;
            if (fixed_alone < kMaxDiagnosticsFixedAlone) {
                ++fixed_alone;
                check_fixed(modules, source, *diagnostic.fix_edits);
            }
            all_edits.insert(all_edits.end(), diagnostic.fix_edits->begin(),
                             diagnostic.fix_edits->end());
        }
    }
    if (!all_edits.empty()) check_fixed(modules, source, std::move(all_edits));
    return 0;
}
