// What one template imports, exports, defines, uses and rebinds, collected once per lint run
// so that the name rules never walk the syntax tree themselves.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/frontmatter/frontmatter.h"
#include "core/keyed_tables.h"
#include "core/parser.h"
#include "core/result.h"

namespace tyx {

// The deepest body the fact walk enters; the parser's own block limit keeps every accepted
// template within it.
inline constexpr uint64_t MAX_LINT_NESTING_DEPTH = 64;

// Frontmatter keys that configure the template rather than hold a variable.
inline constexpr std::array<std::string_view, 4> LINT_RESERVED_KEYS = {"imports", "type", "extends",
                                                                       "prompt"};

enum class ImportFactKind : uint8_t { Alias = 0, Whole = 1, Selective = 2 };
enum class ExportFactKind : uint8_t { Name = 0, ReexportName = 1, ReexportAll = 2 };

struct ImportFact {
    std::string path;  // without its quotes
    std::vector<std::string> names;
    std::vector<uint64_t> name_offsets;
    std::optional<std::string> alias;
    uint64_t offset = 0;  // of the @import line
    ImportFactKind kind = ImportFactKind::Whole;
};

struct ExportFact {
    std::optional<std::string> name;
    std::optional<std::string> from_path;
    uint64_t offset = 0;  // of the @export line
    ExportFactKind kind = ExportFactKind::Name;
};

struct DefineFact {
    std::string name;
    uint64_t start = 0;  // the @define line
    uint64_t end = 0;    // its @end line
};

struct FrontmatterKeyFact {
    bool found = false;
    uint64_t offset = 0;  // meaningful only when found
    std::string name;
};

enum class BindingKind : uint8_t {
    FrontmatterVariable = 0,
    ImportAlias = 1,
    ForLoopVariable = 2,
    DefineParameter = 3,
};

// The text the shadow-variable message shows for a kind.
std::string_view binding_kind_text(BindingKind kind);

struct ShadowFact {
    std::string name;
    uint64_t offset = 0;  // the @for or @define line
    BindingKind inner = BindingKind::ForLoopVariable;
    BindingKind outer = BindingKind::FrontmatterVariable;
};

struct LintFacts {
    std::vector<ImportFact> import_facts;
    std::vector<ExportFact> export_facts;
    std::vector<DefineFact> define_facts;
    std::vector<FrontmatterKeyFact> frontmatter_key_facts;
    std::vector<ShadowFact> shadow_facts;
    KeyedTextSet referenced;
    KeyedTextSet called;
    KeyedTextSet qualified_namespaces;
    KeyedTextSet included;
    bool has_export = false;
    bool skip_unused = false;
};

// The outer names the walk checks new bindings against.
struct LintBindings {
    KeyedTextSet frontmatter_names;
    KeyedTextSet import_aliases;                   // top-level alias imports only
    std::vector<std::string_view> loop_variables;  // of the enclosing @for loops, in the tree
};

// Appends one fact per top-level String key of a mapping `value`, reserved keys left out. A key
// is located where "key:" begins a line of the frontmatter block at the start of `source`.
void collect_frontmatter_key_facts(std::string_view source, const YamlValue& value,
                                   LintFacts& facts);

// Walks `nodes` in source order; fails only when `depth` passes MAX_LINT_NESTING_DEPTH.
Status collect_node_facts(const std::vector<Node>& nodes, LintFacts& facts, LintBindings& bindings,
                          uint64_t depth);

void collect_expression_facts(const Expression& expression, LintFacts& facts);
void collect_condition_facts(const Condition& condition, LintFacts& facts);

// All facts of one parsed template: its frontmatter keys, then the walk of its body. A frontmatter
// that is no valid YAML leaves no key facts; one that passes a size limit fails, as does the
// walk's nesting limit. `skip_unused` is left for the caller.
Result<LintFacts> collect_template_facts(const ParsedTemplate& tree, std::string_view source);

// Records at most one fact: a frontmatter variable first, then an import alias, then an
// enclosing loop variable.
void record_loop_variable_shadowing(std::string_view name, uint64_t offset,
                                    const LintBindings& bindings, LintFacts& facts);

}  // namespace tyx
