#include "core/lint/facts.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/format.h"

namespace tyx {

namespace {

struct ByteRange {
    size_t start = 0;
    size_t end = 0;
};

// The lines between the opening "---" line at the start of the source and the closing one, as
// the lexer finds them. Keys are looked up only there: a body line that happens to begin with
// "key:" is not where the key is written.
std::optional<ByteRange> frontmatter_block(std::string_view source) {
    size_t start = 0;
    if (source.starts_with("---\n")) {
        start = 4;
    } else if (source.starts_with("---\r\n")) {
        start = 5;
    } else {
        return std::nullopt;
    }
    size_t line = start;
    while (line < source.size()) {
        if (source.compare(line, 3, "---") == 0) {
            const size_t after = line + 3;
            if (after == source.size() || source[after] == '\n' || source[after] == '\r') break;
        }
        const size_t feed = source.find('\n', line);
        if (feed == std::string_view::npos) return std::nullopt;
        line = feed + 1;
    }
    return ByteRange{start, std::min(line, source.size())};
}

// An occurrence that is not at a line start resumes the search after its last byte, so it can
// step over an occurrence that is, one it overlaps. Overlapping occurrences of "key:" stand a
// period of it apart, and the one at a line start follows a line feed; so only a key with such a
// period, a line feed right before its repetition, can be passed over like this.
bool can_be_stepped_over(std::string_view pattern) {
    // The pattern's borders, the longest first, from its prefix function.
    std::vector<size_t> prefix(pattern.size(), 0);
    for (size_t i = 1; i < pattern.size(); ++i) {
        size_t length = prefix[i - 1];
        while (length > 0 && pattern[i] != pattern[length])
            length = prefix[length - 1];
        if (pattern[i] == pattern[length]) ++length;
        prefix[i] = length;
    }
    for (size_t border = pattern.empty() ? 0 : prefix.back(); border > 0;
         border = prefix[border - 1]) {
        if (pattern[pattern.size() - border - 1] == '\n') return true;
    }
    return false;
}

// For keys that hold a line feed, which stand over several lines where the walk over lines
// below cannot see them: the suffixes of the text up to the block's end in byte order, and over
// that order a tree of the first line start among the suffixes of each range. The suffixes that
// begin with "key:" form one range, whose first line start is where the key is, unless the key
// can be stepped over.
class BlockSuffixes {
  public:
    BlockSuffixes(std::string_view source, ByteRange block)
        : block_(block), text_(source.substr(0, block.end)) {
        order_ = suffix_order(text_);
        const size_t count = order_.size();
        first_line_start_.assign(2 * count, kNone);
        for (size_t i = 0; i < count; ++i) {
            if (is_line_start(order_[i])) first_line_start_[count + i] = order_[i];
        }
        for (size_t i = count; i-- > 1;) {
            first_line_start_[i] = std::min(first_line_start_[2 * i], first_line_start_[2 * i + 1]);
        }
    }

    std::optional<uint64_t> locate(std::string_view key) const {
        const std::string pattern = cat(key, ":");
        const auto prefix_of = [&](uint32_t position) {
            return text_.substr(position, pattern.size());
        };
        const auto first = std::lower_bound(order_.begin(), order_.end(), pattern,
                                            [&](uint32_t position, std::string_view wanted) {
                                                return prefix_of(position) < wanted;
                                            });
        const auto last = std::upper_bound(first, order_.end(), pattern,
                                           [&](std::string_view wanted, uint32_t position) {
                                               return wanted < prefix_of(position);
                                           });
        const uint32_t found = first_line_start_in(static_cast<size_t>(first - order_.begin()),
                                                   static_cast<size_t>(last - order_.begin()));
        if (found == kNone) return std::nullopt;
        if (!can_be_stepped_over(pattern)) return found;
        // The search itself, over the occurrences taken in order: the first at a line start is
        // accepted, a rejected one resumes the search after its last byte.
        std::vector<uint32_t> occurrences(first, last);
        const auto later = std::greater<uint32_t>();
        std::make_heap(occurrences.begin(), occurrences.end(), later);
        size_t from = block_.start;
        while (!occurrences.empty()) {
            std::pop_heap(occurrences.begin(), occurrences.end(), later);
            const uint32_t position = occurrences.back();
            occurrences.pop_back();
            if (position < from) continue;
            if (is_line_start(position)) return position;
            from = position + pattern.size();
        }
        return std::nullopt;
    }

  private:
    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

    bool is_line_start(size_t position) const {
        return position == block_.start || (position > block_.start && text_[position - 1] == '\n');
    }

    uint32_t first_line_start_in(size_t low, size_t high) const {
        uint32_t first = kNone;
        for (low += order_.size(), high += order_.size(); low < high; low /= 2, high /= 2) {
            if (low % 2 == 1) first = std::min(first, first_line_start_[low++]);
            if (high % 2 == 1) first = std::min(first, first_line_start_[--high]);
        }
        return first;
    }

    // Prefix doubling: suffixes sorted by their first 2^k bytes, for growing k, each round by
    // two counting sorts of the rank pairs.
    static std::vector<uint32_t> suffix_order(std::string_view text) {
        const size_t size = text.size();
        std::vector<uint32_t> order(size);
        std::vector<uint32_t> rank(size);
        std::vector<uint32_t> by_second(size);
        std::vector<uint32_t> next_rank(size);
        std::vector<size_t> count;
        for (size_t i = 0; i < size; ++i) {
            order[i] = static_cast<uint32_t>(i);
            rank[i] = static_cast<unsigned char>(text[i]);
        }
        const auto sort_by = [&](const std::vector<uint32_t>& input, std::vector<uint32_t>& output,
                                 size_t keys, const auto& key_of) {
            count.assign(keys + 1, 0);
            for (const uint32_t i : input)
                ++count[key_of(i) + 1];
            for (size_t key = 1; key <= keys; ++key)
                count[key] += count[key - 1];
            for (const uint32_t i : input)
                output[count[key_of(i)]++] = i;
        };
        size_t ranks = 256;
        sort_by(std::vector<uint32_t>(order), order, ranks,
                [&](uint32_t i) -> size_t { return rank[i]; });
        for (size_t length = 1; size > 0; length *= 2) {
            const auto second = [&](uint32_t i) -> size_t {
                return i + length < size ? size_t{rank[i + length]} + 1 : 0;
            };
            sort_by(order, by_second, ranks + 1, second);
            sort_by(by_second, order, ranks, [&](uint32_t i) -> size_t { return rank[i]; });
            next_rank[order[0]] = 0;
            for (size_t i = 1; i < size; ++i) {
                const uint32_t a = order[i - 1];
                const uint32_t b = order[i];
                const bool same = rank[a] == rank[b] && second(a) == second(b);
                next_rank[b] = next_rank[a] + (same ? 0 : 1);
            }
            rank.swap(next_rank);
            ranks = size_t{rank[order[size - 1]]} + 1;
            if (ranks == size) break;
        }
        return order;
    }

    ByteRange block_;
    std::string_view text_;
    std::vector<uint32_t> order_;
    std::vector<uint32_t> first_line_start_;
};

// The keys without a line feed, in byte order, each with the first line of the block that
// begins with it and ":". Read byte by byte, a line narrows the keys it can begin with to a
// range of this order, so one walk over the block locates them all.
class LineKeys {
  public:
    explicit LineKeys(std::vector<std::string_view> keys) : keys_(std::move(keys)) {
        std::sort(keys_.begin(), keys_.end());
        keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
        offsets_.resize(keys_.size());
    }

    void locate(std::string_view source, ByteRange block) {
        size_t line = block.start;
        while (line < block.end) {
            locate_at(source.substr(line, block.end - line), line);
            const size_t feed = source.find('\n', line);
            if (feed == std::string_view::npos) break;
            line = feed + 1;
        }
    }

    std::optional<uint64_t> offset_of(std::string_view key) const {
        const auto found = std::lower_bound(keys_.begin(), keys_.end(), key);
        if (found == keys_.end() || *found != key) return std::nullopt;
        return offsets_[static_cast<size_t>(found - keys_.begin())];
    }

  private:
    void locate_at(std::string_view rest, size_t line) {
        auto first = keys_.begin();
        auto last = keys_.end();
        // Every key in [first, last) begins with the first `length` bytes of the line; the one
        // that is no longer, if any, comes first.
        for (size_t length = 0; first != last && length < rest.size(); ++length) {
            const auto byte = static_cast<unsigned char>(rest[length]);
            if (first->size() == length) {
                std::optional<uint64_t>& offset =
                    offsets_[static_cast<size_t>(first - keys_.begin())];
                if (byte == ':' && !offset) offset = line;
                ++first;
            }
            if (byte == '\n') break;
            first = std::lower_bound(first, last, byte,
                                     [length](std::string_view key, unsigned char wanted) {
                                         return static_cast<unsigned char>(key[length]) < wanted;
                                     });
            last = std::upper_bound(first, last, byte,
                                    [length](unsigned char wanted, std::string_view key) {
                                        return wanted < static_cast<unsigned char>(key[length]);
                                    });
        }
    }

    std::vector<std::string_view> keys_;
    std::vector<std::optional<uint64_t>> offsets_;
};

bool is_reserved_key(std::string_view key) {
    return std::find(LINT_RESERVED_KEYS.begin(), LINT_RESERVED_KEYS.end(), key) !=
           LINT_RESERVED_KEYS.end();
}

bool holds(const std::vector<std::string_view>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

Status collect_body_facts(const std::vector<Node>& body, LintFacts& facts, LintBindings& bindings,
                          uint64_t depth) {
    return collect_node_facts(body, facts, bindings, depth + 1);
}

Status collect_if_facts(const Node::If& branch, LintFacts& facts, LintBindings& bindings,
                        uint64_t depth) {
    collect_condition_facts(branch.condition, facts);
    TYX_TRY(collect_body_facts(branch.then_body, facts, bindings, depth));
    for (const ElseIfBranch& elseif : branch.elseif_branches) {
        collect_condition_facts(elseif.condition, facts);
        TYX_TRY(collect_body_facts(elseif.body, facts, bindings, depth));
    }
    if (branch.else_branch) {
        TYX_TRY(collect_body_facts(branch.else_branch->body, facts, bindings, depth));
    }
    return {};
}

Status collect_for_facts(const Node::For& loop, LintFacts& facts, LintBindings& bindings,
                         uint64_t depth) {
    collect_expression_facts(loop.iterable, facts);
    record_loop_variable_shadowing(loop.item_variable, loop.offset, bindings, facts);
    if (loop.key_variable) {
        record_loop_variable_shadowing(*loop.key_variable, loop.offset, bindings, facts);
    }
    const size_t depth_before = bindings.loop_variables.size();
    bindings.loop_variables.push_back(loop.item_variable);
    if (loop.key_variable) bindings.loop_variables.push_back(*loop.key_variable);
    Status status = collect_body_facts(loop.body, facts, bindings, depth);
    bindings.loop_variables.resize(depth_before);
    return status;
}

Status collect_define_facts(const Node::Define& define, LintFacts& facts, LintBindings& bindings,
                            uint64_t depth) {
    facts.define_facts.push_back(
        DefineFact{std::string(define.name), define.offset, define.end_offset});
    for (const DefineParam& param : define.params) {
        if (bindings.frontmatter_names.contains(param.name)) {
            facts.shadow_facts.push_back(ShadowFact{std::string(param.name), define.offset,
                                                    BindingKind::DefineParameter,
                                                    BindingKind::FrontmatterVariable});
        }
        if (holds(bindings.loop_variables, param.name)) {
            facts.shadow_facts.push_back(ShadowFact{std::string(param.name), define.offset,
                                                    BindingKind::DefineParameter,
                                                    BindingKind::ForLoopVariable});
        }
    }
    return collect_body_facts(define.body, facts, bindings, depth);
}

void collect_import_facts(const Node::Import& import, LintFacts& facts) {
    ImportFact fact;
    fact.offset = import.offset;
    visit_unboxed(Overloaded{
                      [&](const ImportKind::Alias& alias) {
                          fact.kind = ImportFactKind::Alias;
                          fact.path = alias.path;
                          fact.alias = alias.alias;
                      },
                      [&](const ImportKind::Whole& whole) {
                          fact.kind = ImportFactKind::Whole;
                          fact.path = whole.path;
                      },
                      [&](const ImportKind::Selective& selective) {
                          fact.kind = ImportFactKind::Selective;
                          fact.path = selective.path;
                          fact.names.assign(selective.names.begin(), selective.names.end());
                          fact.name_offsets = selective.name_offsets;
                      },
                  },
                  import.kind.value);
    facts.import_facts.push_back(std::move(fact));
}

void collect_export_facts(const Node::Export& exported, LintFacts& facts) {
    facts.has_export = true;
    ExportFact fact;
    fact.offset = exported.offset;
    visit_unboxed(Overloaded{
                      [&](const ExportKind::Name& name) {
                          fact.kind = ExportFactKind::Name;
                          fact.name = name.name;
                      },
                      [&](const ExportKind::ReexportName& reexport) {
                          fact.kind = ExportFactKind::ReexportName;
                          fact.name = reexport.name;
                          fact.from_path = reexport.path;
                      },
                      [&](const ExportKind::ReexportAll& reexport) {
                          fact.kind = ExportFactKind::ReexportAll;
                          fact.from_path = reexport.path;
                      },
                  },
                  exported.kind.value);
    facts.export_facts.push_back(std::move(fact));
}

}  // namespace

std::string_view binding_kind_text(BindingKind kind) {
    switch (kind) {
        case BindingKind::FrontmatterVariable:
            return "frontmatter variable";
        case BindingKind::ImportAlias:
            return "import alias";
        case BindingKind::ForLoopVariable:
            return "@for loop variable";
        case BindingKind::DefineParameter:
            return "@define parameter";
    }
    return "";
}

void collect_frontmatter_key_facts(std::string_view source, const YamlValue& value,
                                   LintFacts& facts) {
    if (!value.is_mapping()) return;
    std::vector<std::string_view> names;
    for (const auto& [key, entry] : value.as_mapping().entries()) {
        if (key.is_string() && !is_reserved_key(key.as_string())) names.push_back(key.as_string());
    }
    const std::optional<ByteRange> block = frontmatter_block(source);
    std::vector<std::string_view> line_names;
    for (std::string_view name : names) {
        if (name.find('\n') == std::string_view::npos) line_names.push_back(name);
    }
    const bool over_lines = line_names.size() < names.size();
    LineKeys line_keys(std::move(line_names));
    std::optional<BlockSuffixes> suffixes;
    if (block) {
        line_keys.locate(source, *block);
        if (over_lines) suffixes.emplace(source, *block);
    }
    for (std::string_view name : names) {
        FrontmatterKeyFact fact;
        fact.name = std::string(name);
        if (block) {
            const std::optional<uint64_t> offset = name.find('\n') == std::string_view::npos
                                                       ? line_keys.offset_of(name)
                                                       : suffixes->locate(name);
            if (offset) {
                fact.found = true;
                fact.offset = *offset;
            }
        }
        facts.frontmatter_key_facts.push_back(std::move(fact));
    }
}

Status collect_node_facts(const std::vector<Node>& nodes, LintFacts& facts, LintBindings& bindings,
                          uint64_t depth) {
    if (depth > MAX_LINT_NESTING_DEPTH) {
        return CompileError::of(
            ErrorKind::ResourceLimit,
            cat("template nesting exceeds maximum depth of ", decimal(MAX_LINT_NESTING_DEPTH)));
    }
    for (const Node& node : nodes) {
        Status status =
            visit_node(Overloaded{
                           [](const Node::Text&) { return Status(); },
                           [](const Node::EscapedBrace&) { return Status(); },
                           [&](const Node::Interpolation& interpolation) {
                               collect_expression_facts(interpolation.expression, facts);
                               return Status();
                           },
                           [&](const Node::If& branch) {
                               return collect_if_facts(branch, facts, bindings, depth);
                           },
                           [&](const Node::For& loop) {
                               return collect_for_facts(loop, facts, bindings, depth);
                           },
                           [&](const Node::Define& define) {
                               return collect_define_facts(define, facts, bindings, depth);
                           },
                           [&](const Node::Import& import) {
                               collect_import_facts(import, facts);
                               return Status();
                           },
                           [&](const Node::Export& exported) {
                               collect_export_facts(exported, facts);
                               return Status();
                           },
                           [&](const Node::Include& include) {
                               facts.included.emplace(include.name);
                               return Status();
                           },
                           [&](const Node::MessageBlock& message) {
                               collect_expression_facts(message.role, facts);
                               return collect_body_facts(message.body, facts, bindings, depth);
                           },
                           [&](const Node::Block& block) {
                               return collect_body_facts(block.body, facts, bindings, depth);
                           },
                       },
                       node);
        TYX_TRY(std::move(status));
    }
    return {};
}

void collect_expression_facts(const Expression& expression, LintFacts& facts) {
    visit_unboxed(
        Overloaded{
            [&](const Expression::Variable& variable) { facts.referenced.emplace(variable.name); },
            [&](const Expression::DotPath& path) { facts.referenced.emplace(path.root); },
            [&](const Expression::Call& call) {
                facts.called.emplace(call.name);
                for (const Expression& argument : call.args)
                    collect_expression_facts(argument, facts);
            },
            [&](const Expression::QualifiedCall& call) {
                facts.qualified_namespaces.emplace(call.namespace_name);
                for (const Expression& argument : call.args)
                    collect_expression_facts(argument, facts);
            },
            [](const auto&) {},
        },
        expression.value);
}

void collect_condition_facts(const Condition& condition, LintFacts& facts) {
    visit_unboxed(Overloaded{
                      [&](const Condition::Truthy& truthy) {
                          collect_expression_facts(truthy.expression, facts);
                      },
                      [&](const Condition::Not& negated) {
                          collect_expression_facts(negated.expression, facts);
                      },
                      [&](const Condition::Equals& equals) {
                          collect_expression_facts(equals.left, facts);
                          collect_expression_facts(equals.right, facts);
                      },
                      [&](const Condition::NotEquals& not_equals) {
                          collect_expression_facts(not_equals.left, facts);
                          collect_expression_facts(not_equals.right, facts);
                      },
                      [&](const Condition::And& all) {
                          for (const Condition& operand : all.conditions)
                              collect_condition_facts(operand, facts);
                      },
                      [&](const Condition::Or& any) {
                          for (const Condition& operand : any.conditions)
                              collect_condition_facts(operand, facts);
                      },
                  },
                  condition.value);
}

Result<LintFacts> collect_template_facts(const ParsedTemplate& tree, std::string_view source) {
    LintFacts facts;
    if (tree.frontmatter) {
        Result<YamlValue> frontmatter = parse_frontmatter_yaml(*tree.frontmatter);
        if (frontmatter.ok()) {
            collect_frontmatter_key_facts(source, frontmatter.value(), facts);
        } else if (frontmatter.error().kind == ErrorKind::ResourceLimit) {
            return std::move(frontmatter).take_error();
        }
        // Any other frontmatter failure is the check's to report; linting goes on without keys.
    }
    LintBindings bindings;
    for (const FrontmatterKeyFact& fact : facts.frontmatter_key_facts) {
        bindings.frontmatter_names.insert(fact.name);
    }
    for (const Node& node : tree.body) {
        const auto* import = node_if<Node::Import>(node);
        if (import == nullptr) continue;
        if (const auto* alias = std::get_if<ImportKind::Alias>(&import->kind.value)) {
            bindings.import_aliases.emplace(alias->alias);
        }
    }
    TYX_TRY(collect_node_facts(tree.body, facts, bindings, 0));
    return facts;
}

void record_loop_variable_shadowing(std::string_view name, uint64_t offset,
                                    const LintBindings& bindings, LintFacts& facts) {
    std::optional<BindingKind> outer;
    if (bindings.frontmatter_names.contains(name)) {
        outer = BindingKind::FrontmatterVariable;
    } else if (bindings.import_aliases.contains(name)) {
        outer = BindingKind::ImportAlias;
    } else if (holds(bindings.loop_variables, name)) {
        outer = BindingKind::ForLoopVariable;
    }
    if (outer) {
        facts.shadow_facts.push_back(
            ShadowFact{std::string(name), offset, BindingKind::ForLoopVariable, *outer});
    }
}

}  // namespace tyx
