// Checks a node list against the scope it will be rendered in, before anything is rendered.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "core/scope.h"
#include "core/tree.h"

namespace tyx {

// Calls nested inside call arguments; a 65th level fails.
inline constexpr uint64_t MAX_VALIDATION_DEPTH = 64;

// Reports the first undefined name, wrong argument count or unsuitable loop source, located in
// `source_text` under the display name `source_name`. Every frame pushed is popped again. A span,
// so that one node of an inheritance skeleton is checked against its own module.
Status validate_nodes(std::span<const Node> nodes, Scope& scope, std::string_view source_name,
                      std::string_view source_text);

}  // namespace tyx
