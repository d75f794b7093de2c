// The rules about the shape of blocks: empty bodies, an @else that repeats its @if, and
// branches that can never be taken; and the structural equality they compare trees with.
#pragma once

#include <cstdint>
#include <vector>

#include "core/lint/diagnostic.h"
#include "core/lint/facts.h"
#include "core/parser.h"

namespace tyx {

inline constexpr uint64_t IF_KEYWORD_LENGTH = 3;
inline constexpr uint64_t ELSEIF_KEYWORD_LENGTH = 7;
inline constexpr uint64_t ELSE_KEYWORD_LENGTH = 5;
inline constexpr uint64_t FOR_KEYWORD_LENGTH = 4;
inline constexpr uint64_t MESSAGE_KEYWORD_LENGTH = 8;
// "@define " before the function name.
inline constexpr uint64_t DEFINE_PREFIX_LENGTH = 8;

// No nodes, or only Text nodes of white space.
bool is_blank_body(const std::vector<Node>& nodes);

// Walkers return false once a push was refused, so that the rule can stop. `facts` tells
// whether an empty @define can be removed without breaking a call or an export of it.
bool check_empty_blocks(const std::vector<Node>& nodes, const RuleContext& context,
                        const LintFacts& facts);
bool check_empty_if_branches(const Node::If& node, const RuleContext& context,
                             const LintFacts& facts);

bool check_redundant_else(const std::vector<Node>& nodes, const RuleContext& context);

bool check_unreachable_branches(const std::vector<Node>& nodes, const RuleContext& context);
bool check_unreachable_if(const Node::If& node, const RuleContext& context);

// Equal trees apart from byte offsets; an @export never equals anything.
bool nodes_structurally_equal(const std::vector<Node>& a, const std::vector<Node>& b);
bool conditions_equal(const Condition& a, const Condition& b);
// Numbers compare by their bits, so 0 and -0 differ.
bool expressions_equal(const Expression& a, const Expression& b);
bool call_args_equal(const std::vector<Expression>& a, const std::vector<Expression>& b);

}  // namespace tyx
